// The lines a port runs (modes and rates) and the time frames take on them.
// Plain C++.
#pragma once

#include <cstdint>

constexpr unsigned kModeCount = 4;
constexpr unsigned kPortRateCount = 8;
constexpr unsigned kDisplayRateCount = 10;
extern const char* const kModeNames[kModeCount];
extern const std::uint32_t kPortRates[kPortRateCount];
// The display's own rate codes (registers 4002 and 4005), 28800 and 76800 among them.
extern const std::uint32_t kDisplayRates[kDisplayRateCount];

// Bits on the wire per character in a mode: start, 8 data, parity, stop.
unsigned CharacterBits(std::uint8_t modeIndex);
// Microseconds that `bytes` characters take on the line at a rate in baud.
std::uint64_t WireTimeMicrosAt(std::uint32_t bytes, std::uint8_t modeIndex, std::uint32_t baud);
// The same at a port rate index.
std::uint64_t WireTimeMicros(std::uint32_t bytes, std::uint8_t modeIndex, std::uint8_t rateIndex);
// The silence that ends an RTU frame: 3.5 characters, and never under the
// 1.75 ms the standard fixes for rates above 19200.
std::uint64_t FrameGapMicros(std::uint8_t modeIndex, std::uint32_t baud);

// The display counts rates in ten codes (registers 4002 and 4005); the port's
// list of eight lacks 28800 (code 5) and 76800 (code 8).
std::uint32_t RateIndexToCode(int rateIndex);
// Codes 5 and 8 give the entries of 19200 and 57600.
int RateCodeToIndex(std::uint32_t rateCode);
