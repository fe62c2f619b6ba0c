#include "PortMessages.h"

#include "NetworkTransport.h"

#include <optional>

std::string PortWithDevice(const std::string& label, const PortTarget& port)
{
    const std::string& device = port.path;
    // A network port by its host and protocol: "COM 3 (192.0.2.7:4001, RTU over TCP)".
    if (const std::optional<NetworkAddress>& address = port.address) {
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
    const PortTarget& port = link.LastOpenPort();
    if (port.path.empty())
        return "Cannot open " + label + ": no serial device stands behind it";
    return "Cannot open " + PortWithDevice(label, port) + ": " + link.LastOpenErrorText();
}

std::string PortLostText(const ModbusLink& link, const std::string& label)
{
    if (const std::optional<NetworkAddress>& address = link.LostPort().address)
        return "The connection to " + address->HostAndPort() + " was lost: " + link.LostErrorText();
    return PortWithDevice(label, link.LostPort()) + " was lost: " + link.LostErrorText();
}

namespace {

std::string ExceptionMeaning(int code, std::uint8_t address)
{
    const std::string isTheDisplay = "check that the device at address " + std::to_string(address) + " is the display";
    switch (code) {
    case 1: return " (a function the display does not know): " + isTheDisplay;
    case 2: return " (a register address the display does not have): " + isTheDisplay;
    case 3: return " (a value the display does not accept): check the values";
    case 4: return " (the display failed to carry it out): try again";
    default: return {};
    }
}

// The bytes the reply's values took, and the bytes the display's registers
// of that block give: "16 bytes where the display's 32-bit registers give 32".
std::string ByteCountText(const StepFailure& step)
{
    const std::uint32_t carried = step.received >= 5 ? step.received - 5 : 0;
    const std::uint32_t wanted = step.wholeReply >= 5 ? step.wholeReply - 5 : 0;
    return std::to_string(carried) + " bytes where the display's " + (step.wide ? "32" : "16")
           + "-bit registers give " + std::to_string(wanted) + ": the device at address "
           + std::to_string(step.address) + " is no VT5/RQ8 display, or a gateway converts its registers";
}

std::string RefusalCause(const StepFailure& step, bool pduOnly)
{
    const std::string nearRate = "check the wiring, or a rate that almost matches the display's.";
    const std::string otherMaster = "another master may be talking on the line; check that nothing else uses it.";
    // Over Modbus TCP a frame that does not hold together is the gateway's
    // or the network's doing, not the serial line's.
    const std::string notWhole = "The reply through the gateway did not come whole: check the gateway's line to "
                                 "the display (rate, mode, wiring).";
    switch (step.rejection) {
    case Rejection::Address:
        if (step.replyFramed)
            return "The reply came from address " + std::to_string(step.replyAddress) + ", not from address "
                   + std::to_string(step.address)
                   + ": another device answers on this line; check the addresses of the devices on it.";
        return "A garbled reply came, " + std::to_string(step.received) + " bytes that are no reply from address "
               + std::to_string(step.address) + ": " + nearRate;
    case Rejection::Crc:
        if (pduOnly)
            return notWhole;
        if (step.received < step.wholeReply)
            return "The reply came cut short, " + std::to_string(step.received) + " of "
                   + std::to_string(step.wholeReply) + " bytes: " + nearRate;
        return "The reply failed its CRC check: " + nearRate;
    case Rejection::Exception:
        return "The display refused the request with exception " + std::to_string(step.exceptionCode)
               + ExceptionMeaning(step.exceptionCode, step.address) + ".";
    case Rejection::Function: return "The reply was one to another function: " + otherMaster;
    case Rejection::Echo: return "The reply did not echo this write: " + otherMaster;
    case Rejection::ByteCount:
        if (step.replyFramed && step.received != step.wholeReply)
            return "The reply carried " + ByteCountText(step) + ".";
        return "The reply carried another number of values than asked for: check that the device at address "
               + std::to_string(step.address) + " is the display.";
    case Rejection::TooManyRegisters:
        return "The write holds more registers than one request carries (123, or 61 from register 7500 on): "
               "nothing was sent.";
    case Rejection::None: break;
    }
    return {};
}

}  // namespace

std::string StepFailureText(const ModbusLink& link)
{
    const StepFailure& step = link.LastFailedStep();
    const std::optional<NetworkAddress>& network = link.OpenedPort().address;
    const bool pduOnly = link.OpenedPort().ThroughGateway();
    if (step.lineNeverFellSilent)
        return "The line never fell silent before the request: another device or program keeps talking on it; "
               "check the wiring, and that nothing else uses the port.";
    const std::string address = std::to_string(step.address);
    const std::string where = "address " + address + " at " + std::to_string(step.baud) + " "
                              + kModeNames[step.modeIndex % kModeCount];
    if (step.gatewayNoReply)
        return "No reply through the gateway: "
               + (network ? "the gateway at " + network->HostAndPort() : std::string("a gateway on the line"))
               + " got no reply from address " + address + " (exception " + std::to_string(step.exceptionCode)
               + "); check the address, and the gateway's line to the display (rate, mode, wiring).";
    if (step.wideRefusedByGateway)
        return "The display's 32-bit registers (from 7500 on) did not come through the Modbus TCP gateway"
               + (network ? " at " + network->HostAndPort() : std::string())
               + ", though its 16-bit registers do: the gateway may refuse their byte counts. Connect through a "
                 "serial device server with RTU over TCP, which carries the frames as they are.";
    switch (step.kind) {
    case StepFailure::Kind::NotSent: return "The request could not be sent: the port is closed.";
    case StepFailure::Kind::NoReply:
        if (step.received > 0 && !pduOnly)
            return "Only " + std::to_string(step.received) + " of the reply's " + std::to_string(step.wholeReply)
                   + " bytes came from " + where + " within " + std::to_string(step.waitedMs)
                   + " ms: check the wiring, or a rate that almost matches the display's.";
        // Over the network the line is the device server's or the gateway's,
        // and a peer that speaks the other protocol stays silent too.
        if (network)
            return "No reply from address " + address + " through " + network->Name() + " within "
                   + std::to_string(step.waitedMs) + " ms: check the address, that the device server or gateway "
                   + "there speaks " + network->ProtocolName()
                   + ", and its line to the display (rate, mode, wiring).";
        return "No reply from " + where + " within " + std::to_string(step.waitedMs)
               + " ms: check the address, rate, mode and wiring.";
    case StepFailure::Kind::Refused: return RefusalCause(step, pduOnly);
    case StepFailure::Kind::None: break;
    }
    return {};
}

std::string StepProblemText(const ModbusLink& link)
{
    const StepFailure& step = link.LastFailedStep();
    const std::optional<NetworkAddress>& network = link.OpenedPort().address;
    const bool pduOnly = link.OpenedPort().ThroughGateway();
    const std::string gateway = network ? "the gateway at " + network->HostAndPort() : "a gateway on the line";
    if (step.gatewayNoReply)
        return "no reply through the gateway: " + gateway + " got no reply from address "
               + std::to_string(step.address) + " (exception " + std::to_string(step.exceptionCode) + ")";
    if (step.wideRefusedByGateway)
        return "the display's 32-bit registers did not come through " + gateway
               + ", though its 16-bit registers do; connect through a serial device server with RTU over TCP";
    if (step.kind == StepFailure::Kind::Refused && step.rejection == Rejection::ByteCount && step.replyFramed
        && step.received != step.wholeReply)
        return "the reply carried " + ByteCountText(step);
    if (step.kind == StepFailure::Kind::Refused && step.rejection == Rejection::Crc && pduOnly)
        return "the reply through the gateway did not come whole";
    if (step.kind == StepFailure::Kind::Refused)
        return DescribeRejection(step.rejection, step.exceptionCode);
    return "no reply";
}
