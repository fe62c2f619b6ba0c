// Any bytes as what came in while a probe waited: an answer found must lie
// inside them and be a whole reply to a probe with a sound CRC.
#include "Modbus.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::optional<ProbeAnswer> answer = FindProbeAnswer(data, size);
    if (!answer)
        return 0;
    const bool exception = answer->exceptionCode != 0;
    const std::size_t length = exception ? 5 : 7;
    if (answer->end > size || answer->end < length)
        std::abort();
    const std::uint8_t* frame = data + answer->end - length;
    if (frame[0] != answer->address || answer->address < 1 || answer->address > 247)
        std::abort();
    if (frame[1] != (exception ? 0x83 : 3) || (!exception && frame[2] != 2))
        std::abort();
    if (Crc16(frame, int(length) - 3) != (frame[length - 2] << 8 | frame[length - 1]))
        std::abort();
    return 0;
}
