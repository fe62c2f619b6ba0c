// Any bytes as what reaches the simulated display, cut into requests as it
// cuts them: every reply it sends is a sound frame of its own address.
#include "Modbus.h"
#include "SlaveLogic.h"

#include <cstdlib>

namespace {

void CheckReply(const sim::Reply& reply, std::uint8_t address)
{
    if (!reply.send)
        return;
    const std::vector<std::uint8_t>& bytes = reply.bytes;
    if (bytes.size() < 5 || bytes.size() > ModbusLink::kBufferSize || bytes[0] != address
        || Crc16(bytes.data(), int(bytes.size()) - 3) != (bytes[bytes.size() - 2] << 8 | bytes.back()))
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // One display for the whole run: what one input writes, the next may read.
    static sim::SlaveLogic display(1, 1, 2);
    while (size > 0) {
        std::size_t length = sim::SlaveLogic::RequestLength(data, size);
        if (length == 0 || length > size)
            length = size;  // what is left, ended by the silence after it
        CheckReply(display.Handle(data, length), display.Address());
        data += length;
        size -= length;
    }
    // The display's own line changes only as a write of it asks, and to values it can run at.
    if (display.LineRegistersChanged())
        display.ApplyLineRegisters();
    if (display.Address() < 1 || display.Address() > 247 || display.Mode() >= kModeCount
        || display.RateCode() >= kDisplayRateCount)
        std::abort();
    return 0;
}
