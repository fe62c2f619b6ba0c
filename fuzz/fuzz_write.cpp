// Any bytes as the reply to a write: acknowledged only when they are the
// request's own echo, and never read past.
#include "Modbus.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The first byte picks the block written: 16 registers of rows, or a pair of 32-bit ones.
    if (size < 1)
        return 0;
    const RegisterBlock block = data[0] & 1 ? Blocks::Rows : Blocks::CoefficientsInputII;
    const std::uint8_t request[6] = {1, 16, std::uint8_t(block.first >> 8), std::uint8_t(block.first & 0xFF), 0,
                                     std::uint8_t(block.quantity)};
    const std::uint8_t* reply = data + 1;
    const std::size_t n = size - 1;
    if (JudgeWriteReply(reply, n, request) == Rejection::None
        && (n != 8 || std::memcmp(reply, request, 6) != 0 || Crc16(reply, 5) != (reply[6] << 8 | reply[7])))
        std::abort();
    CheckReply(reply, n, 1);
    return 0;
}
