// vtctl's own kinds of argument, read from their text: a port and a line
// (addresses as Addresses.h reads them). CLI11 reads the command line; these say what
// its values mean.
#pragma once

#include "Addresses.h"
#include "Modbus.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// COM1 to COM8, mapped as the tool maps them (VT_COMn first), another port
// by the name the tool lists it under, or a device named by its path.
struct PortArgument {
    std::optional<std::uint8_t> index;  // 0 for COM1: a port index (PortList.h)
    std::string device;                 // when no index

    // "COM 1" as the tool names it, or the device.
    std::string Label() const;
    // Opens the link's port at a line; 1 when open, as OpenPort.
    int Open(ModbusLink& link, std::uint8_t modeIndex, std::uint8_t rateIndex) const;
};
PortArgument ParsePort(const std::string& text);

// "8n2": the mode index, or nothing for a name that is none.
std::optional<std::uint8_t> ParseMode(const std::string& text);
// "9600": the port rate index, or nothing for a rate the port cannot run at.
std::optional<std::uint8_t> ParseRate(const std::string& text);
// The texts of the modes and the port's rates, for help and messages.
std::string ModeChoices();  // "8n1, 8n2, 8e1, 8o1"
std::string RateChoices();  // "2400, 4800, ..."
