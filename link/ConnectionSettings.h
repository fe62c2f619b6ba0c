// The connection settings every window uses: which port, line and display
// the program's link exchanges with. Plain C++.
#pragma once

#include <cstdint>

// Which port, line and display every exchange uses.
struct ConnectionSettings {
    std::uint8_t portIndex = 0;       // 0..7 for COM 1..COM 8, then the run's other ports (PortList.h)
    std::uint8_t modeIndex = 0;       // 0..3 for 8n1, 8n2, 8e1, 8o1
    std::uint8_t rateIndex = 0;       // 0..7, see kPortRates
    std::uint8_t portOpen = 0;        // set and cleared only by OpenPort and ClosePort
    std::uint8_t displayAddress = 1;  // 1..247
};

constexpr unsigned kPortCount = 8;  // COM 1..COM 8
