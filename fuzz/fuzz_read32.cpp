// Any bytes as the reply to a read of one of the windows' 32-bit blocks; the
// first byte picks the block.
#include "ReplyChecks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const RegisterBlock blocks[] = {Blocks::Alarms, Blocks::Coefficients, Blocks::CoefficientsInputI,
                                           Blocks::CoefficientsInputII};
    if (size < 1)
        return 0;
    fuzz::ReadReplyKeepsToItsBlock(blocks[data[0] % (sizeof blocks / sizeof blocks[0])], data + 1, size - 1);
    return 0;
}
