// A simulated display set up as a technician would, and what a profile
// must never touch on one: for the tests of profiles, vtctl and the window.
#pragma once

#include "Modbus.h"
#include "SimDisplay.h"

#include <QString>

#include <algorithm>
#include <cfloat>
#include <cstdint>
#include <iterator>
#include <limits>
#include <vector>

// A display's registers that belong to the unit, never to a profile.
inline constexpr unsigned kUnitRegisters[] = {4000, 4001, 4002, 4022, 4023, 4024, 4029, 4030};

// A display set up as a technician would, unlike the simulator's start values.
inline void Configure(sim::SimDisplay& display)
{
    const std::uint32_t rows[] = {6, 3, 149, 1, 0, 0, 0, 0, 20, 2, 17, 1, 3, 1, 0, 0};
    for (unsigned k = 0; k < 16; ++k)
        display.SetRegister(Blocks::Rows.first + k, rows[k]);
    const float alarms[] = {0.1f, -3.4E38f, FLT_MAX, -FLT_MAX, FLT_MIN, std::numeric_limits<float>::denorm_min(),
                            -0.0f, 1.0f / 3};
    for (unsigned k = 0; k < 8; ++k)
        display.SetRegisterFloat(Blocks::Alarms.first + k, alarms[k]);
    const std::uint32_t brightness[] = {100, 0, 630, 2359};
    for (unsigned k = 0; k < 4; ++k)
        display.SetRegister(Blocks::Brightness.first + k, brightness[k]);
    const std::uint32_t line[] = {50, 3, 9};
    for (unsigned k = 0; k < 3; ++k)
        display.SetRegister(Blocks::DeviceLine.first + k, line[k]);
    // Device 2 polled, device 5 switched off with what its fields still hold.
    const std::uint32_t device2[] = {247, 65535, 10, 6, 60}, device5[] = {0, 1234, 0, 9, 0};
    for (unsigned k = 0; k < 5; ++k) {
        display.SetRegister(4305 + k, device2[k]);
        display.SetRegister(4320 + k, device5[k]);
    }
    display.SetRegisterFloat(7643, 1.25f);
    display.SetRegisterFloat(7644, -273.15f);
    display.SetRegisterFloat(7647, 0.001f);
    display.SetRegisterFloat(7648, 1e-7f);
}

// The first function 16 frame that writes any of the unit's own registers,
// or a 32-bit register outside the alarms and the two coefficient pairs.
inline QString ForbiddenWrite(const std::vector<sim::ReceivedFrame>& frames)
{
    for (const sim::ReceivedFrame& frame : frames) {
        if (frame.bytes.size() < 6 || frame.bytes[1] != 16)
            continue;
        const unsigned first = unsigned(frame.bytes[2] << 8 | frame.bytes[3]);
        const unsigned count = unsigned(frame.bytes[4] << 8 | frame.bytes[5]);
        for (unsigned reg = first; reg < first + count; ++reg) {
            const bool unit = std::find(std::begin(kUnitRegisters), std::end(kUnitRegisters), reg)
                              != std::end(kUnitRegisters);
            const bool wideOutside = reg >= 7500 && !(reg >= 7610 && reg <= 7617) && reg != 7643 && reg != 7644
                                     && reg != 7647 && reg != 7648;
            if (unit || wideOutside)
                return QStringLiteral("register %1 written").arg(reg);
        }
    }
    return {};
}
