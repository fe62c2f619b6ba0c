#include "PortMessages.h"

#include "NetworkTransport.h"

std::string PortWithDevice(const std::string& label, const std::string& device)
{
    // A network port by its host and protocol: "COM 3 (192.0.2.7:4001, RTU over TCP)".
    if (const std::optional<NetworkAddress> address = ParseNetworkPath(device)) {
        const std::string where = address->HostAndPort() + ", " + address->ProtocolName();
        const std::string named = address->Name();
        return label.empty() || label == device || label == named ? named : label + " (" + where + ")";
    }
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
    if (const std::optional<NetworkAddress> address = ParseNetworkPath(link.LostDevice()))
        return "The connection to " + address->HostAndPort() + " was lost: " + link.LostErrorText();
    return PortWithDevice(label, link.LostDevice()) + " was lost: " + link.LostErrorText();
}
