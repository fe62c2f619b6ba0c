// The connection settings every window uses: which port, line and display
// the program's link exchanges with. Plain C++.
#pragma once

#include <cstdint>
#include <optional>

// Which port, line and display every exchange uses.
struct ConnectionSettings {
    std::uint8_t portIndex = 0;       // 0..7 for COM 1..COM 8, then the run's other ports (PortList.h)
    std::uint8_t modeIndex = 0;       // 0..3 for 8n1, 8n2, 8e1, 8o1
    std::uint8_t rateIndex = 0;       // 0..7, see kPortRates
    std::uint8_t portOpen = 0;        // set and cleared only by OpenPort and ClosePort
    std::uint8_t displayAddress = 1;  // 1..247
};

constexpr unsigned kPortCount = 8;  // COM 1..COM 8

// A display's Modbus address: 0 is the broadcast, 248 on are reserved. The
// link speaks to one address at a time; the windows, the profile's rules and
// vtctl judge a typed address by this one rule.
constexpr std::uint8_t kLowestDisplayAddress = 1;
constexpr std::uint8_t kHighestDisplayAddress = 247;
constexpr std::optional<std::uint8_t> DisplayAddress(long long value)
{
    if (value < kLowestDisplayAddress || value > kHighestDisplayAddress)
        return std::nullopt;
    return std::uint8_t(value);
}
