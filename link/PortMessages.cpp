#include "PortMessages.h"

std::string PortWithDevice(const std::string& label, const std::string& device)
{
    if (label.empty() || label == device)
        return device;
    return label + " (" + device + ")";
}

std::string PortOpenFailureText(const ModbusLink& link, const std::string& label)
{
    const std::string& device = link.LastOpenDevice();
    if (device.empty())
        return "Cannot open " + label + ": no serial device stands behind it";
    return "Cannot open " + PortWithDevice(label, device) + ": " + link.LastOpenErrorText();
}

std::string PortLostText(const ModbusLink& link, const std::string& label)
{
    return PortWithDevice(label, link.LostDevice()) + " was lost: " + link.LostErrorText();
}
