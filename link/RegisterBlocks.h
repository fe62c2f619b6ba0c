// The runs of registers the tool exchanges with the display, each in one
// request. Plain C++.
#pragma once

#include <cstdint>

// A run of registers exchanged in one request.
struct RegisterBlock {
    std::uint16_t first;
    std::uint16_t quantity;
    bool wide;  // the 32-bit area: one register number per 32-bit value

    // The register type code the exchange counts its reply's bytes by.
    constexpr std::uint8_t TypeCode() const { return wide ? 6 : 3; }
    constexpr unsigned ValueBytes() const { return wide ? 4u : 2u; }
};

// The blocks the windows exchange with the display.
namespace Blocks {
constexpr RegisterBlock DisplayLine {4000, 3, false};   // address, mode code, rate code
constexpr RegisterBlock DeviceLine {4003, 3, false};    // reply time-out, mode code, rate code
constexpr RegisterBlock Rows {4006, 16, false};         // digits, format, register, alarm switch x 4
constexpr RegisterBlock Clock {4022, 3, false};         // year, month-day, hour-minute
constexpr RegisterBlock Brightness {4025, 4, false};    // day and night level, day and night start
constexpr RegisterBlock Status {4029, 2, false};        // the display's flags, the devices' flags
constexpr RegisterBlock DeviceTable {4300, 50, false};  // ten devices of five registers
constexpr RegisterBlock Alarms {7610, 8, true};         // two alarm values per row
constexpr RegisterBlock Coefficients {7643, 6, true};   // slope and offset of inputs I and II
constexpr RegisterBlock CoefficientsInputI {7643, 2, true};
constexpr RegisterBlock CoefficientsInputII {7647, 2, true};
}  // namespace Blocks

// The registers of the display's own line, one by one.
constexpr unsigned kDisplayAddressRegister = Blocks::DisplayLine.first;
constexpr unsigned kDisplayModeRegister = Blocks::DisplayLine.first + 1;  // a mode code
constexpr unsigned kDisplayRateRegister = Blocks::DisplayLine.first + 2;  // a rate code
