#include "LineTiming.h"

#include <algorithm>

const char* const kModeNames[kModeCount] = {"8n1", "8n2", "8e1", "8o1"};
const std::uint32_t kPortRates[kPortRateCount] = {2400, 4800, 9600, 14400, 19200, 38400, 57600, 115200};
const std::uint32_t kDisplayRates[kDisplayRateCount] = {2400,  4800,  9600,  14400, 19200,
                                                        28800, 38400, 57600, 76800, 115200};

unsigned CharacterBits(std::uint8_t modeIndex)
{
    // start + 8 data + (parity) + stop bits
    switch (modeIndex) {
    case 0: return 10;
    default: return 11;  // 8n2, 8e1, 8o1
    }
}

std::uint64_t WireTimeMicrosAt(std::uint32_t bytes, std::uint8_t modeIndex, std::uint32_t baud)
{
    return std::uint64_t(bytes) * CharacterBits(modeIndex) * 1000000u / (baud ? baud : 1);
}

std::uint64_t WireTimeMicros(std::uint32_t bytes, std::uint8_t modeIndex, std::uint8_t rateIndex)
{
    return WireTimeMicrosAt(bytes, modeIndex, kPortRates[std::min<unsigned>(rateIndex, kPortRateCount - 1)]);
}

std::uint64_t FrameGapMicros(std::uint8_t modeIndex, std::uint32_t baud)
{
    return std::max<std::uint64_t>(1750, WireTimeMicrosAt(7, modeIndex, baud) / 2);
}

std::uint32_t RateIndexToCode(int rateIndex)
{
    return std::uint32_t(rateIndex + (rateIndex > 4) + (rateIndex > 6));
}

int RateCodeToIndex(std::uint32_t rateCode)
{
    return int(rateCode) - (rateCode > 4) - (rateCode > 7);
}
