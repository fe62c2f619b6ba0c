#include "Modbus.h"

#include "NetworkTransport.h"
#include "PortList.h"

// ---------------------------------------------------------------- serial port

ModbusLink::ModbusLink(ConnectionSettings& settings, RegisterImage& image)
    : settings_(settings), image_(image),
      master_(this, settings, image, [this](int osError, const std::string& errorText) { Lose(osError, errorText); })
{
}

ModbusLink::~ModbusLink()
{
    ClosePort();
}

int ModbusLink::OpenPort(std::uint8_t portIndex, std::uint8_t modeIndex, std::uint8_t rateIndex)
{
    // Indices outside the tables cannot name a port or a line: refuse them
    // before anything changes, the open port included.
    if (portIndex >= KnownPortCount() || OpenDevice(PortPath(portIndex), modeIndex, rateIndex) != 1)
        return -1;
    settings_.portIndex = portIndex;
    return 1;
}

int ModbusLink::OpenDevice(const std::string& device, std::uint8_t modeIndex, std::uint8_t rateIndex)
{
    if (modeIndex >= kModeCount || rateIndex >= kPortRateCount)
        return -1;
    if (open_)
        ClosePort();
    lostPort_ = {};
    lostError_ = 0;
    lostErrorText_.clear();
    lastOpenPort_ = PortTarget::Of(device);
    const serial::LineSettings line = LineOf(modeIndex, kPortRates[rateIndex]);
    lastOpenBaudAsked_ = line.baud;
    lastOpenFailureText_.clear();
    lastOpenGivenUp_ = false;
    std::unique_ptr<Transport> opened;
    if (lastOpenPort_.network) {
        opened = OpenNetwork(lastOpenPort_, line);
    } else {
        opened = SerialTransport::Open(lastOpenPort_.path, line, &lastOpenFailure_);
    }
    if (!opened) {
        handleState_ = HandleState::Invalid;
        open_ = false;
        settings_.portOpen = 0;
        return -1;
    }
    handleState_ = HandleState::Valid;
    transport_ = std::move(opened);
    openedPort_ = lastOpenPort_;
    master_.Attach(*transport_);
    open_ = true;
    settings_.modeIndex = modeIndex;
    settings_.rateIndex = rateIndex;
    settings_.portOpen = 1;
    if (const FrameObserver& observer = master_.Observer())
        observer({FrameEvent::Kind::Opened, nullptr, 0, PortNote(), this});
    return 1;
}

std::string ModbusLink::PortNote() const
{
    const serial::Port* port = SerialPortOf();
    return port ? port->inputLatency : std::string();
}

std::unique_ptr<Transport> ModbusLink::OpenNetwork(const PortTarget& target, const serial::LineSettings& line)
{
    lastOpenFailure_ = {};
    const std::optional<NetworkAddress>& address = target.address;
    if (!address) {
        lastOpenFailureText_ = "not a network port: give tcp://HOST:PORT or modbus-tcp://HOST:PORT";
        return nullptr;
    }
    net::ConnectFailure failure;
    std::unique_ptr<Transport> opened = OpenNetworkPort(*address, line, &failure, connectWatch_);
    if (!opened) {
        lastOpenFailure_.osError = failure.osError;
        lastOpenFailureText_ = failure.text;
        lastOpenGivenUp_ = failure.kind == net::ConnectFailure::Kind::GivenUp;
    }
    return opened;
}

std::string ModbusLink::LastOpenErrorText() const
{
    if (!lastOpenFailureText_.empty())
        return lastOpenFailureText_;
    if (lastOpenFailure_.baudReadBack)
        return "The port runs at " + std::to_string(lastOpenFailure_.baudReadBack) + " baud when asked for "
               + std::to_string(lastOpenBaudAsked_);
    return serial::OpenErrorText(lastOpenPort_.path, lastOpenFailure_.osError);
}

int ModbusLink::ClosePort()
{
    if (handleState_ != HandleState::Valid)
        return 0;
    if (open_)
        transport_->Close();
    master_.Detach();
    transport_.reset();
    settings_.portOpen = 0;
    open_ = false;
    return 1;
}

void ModbusLink::Lose(int osError, const std::string& errorText)
{
    lostPort_ = openedPort_;
    lostError_ = osError;
    lostErrorText_ = errorText;
    ClosePort();
}

const serial::Port* ModbusLink::SerialPortOf() const
{
    const auto* serialPort = dynamic_cast<const SerialTransport*>(transport_.get());
    return serialPort ? &serialPort->Port() : nullptr;
}

std::uint32_t ModbusLink::SendFrame(std::uint32_t length)
{
    if (!open_)
        return 0;
    master_.SettleBeforeRequest(std::int64_t(kSettleBoundMs) * 1000);
    return master_.Transmit(length);
}

std::uint32_t ModbusLink::WaitForReply(unsigned pauseMs, std::uint32_t wanted)
{
    master_.AwaitReply(pauseMs, wanted);
    return master_.PendingBytes();
}

// ---------------------------------------------------------------- block steps

ProbeResult ModbusLink::Probe(std::uint8_t address, unsigned latencyMs, ProbeAnswer* answer, ProbeNotes* notes)
{
    const ProbeResult result = master_.Probe(address, latencyMs, answer, notes);
    // A closed port is silent to the master; one lost under an earlier
    // exchange is still lost until it opens again.
    if (result == ProbeResult::Silent && !open_ && PortLost())
        return ProbeResult::PortLost;
    return result;
}

// ---------------------------------------------------------------- framing

int ModbusLink::BuildReadRequest(std::uint8_t address, std::uint16_t start, std::uint16_t quantity)
{
    return PutReadRequest(TransmitBuffer(), address, start, quantity);
}

int ModbusLink::CheckResponse(std::uint8_t address)
{
    int n = static_cast<int>(ReceiveFrame());
    return CheckReply(ReceiveBuffer(), std::size_t(n), address);
}

int ModbusLink::StoreResponse(std::uint16_t start, int last)
{
    return StoreReply(ReceiveBuffer(), master_.ReceivedCount(), start, last, image_);
}

int ModbusLink::BuildWriteRequest16(std::uint8_t address, std::uint16_t start,
                                    std::uint16_t quantity, std::uint8_t /*typeCode*/)
{
    return PutWriteRequest16(TransmitBuffer(), image_, address, start, quantity);
}

int ModbusLink::BuildWriteRequest32(std::uint8_t address, std::uint16_t start, std::uint16_t quantity)
{
    return PutWriteRequest32(TransmitBuffer(), image_, address, start, quantity);
}

void ModbusLink::Reset()
{
    if (open_)
        transport_->Close();
    master_.Reset();
    transport_.reset();
    handleState_ = HandleState::Null;
    open_ = false;
    settings_.portOpen = 0;
    lastOpenPort_ = {};
    lastOpenFailure_ = {};
    lastOpenFailureText_.clear();
    lastOpenGivenUp_ = false;
    connectWatch_ = {};
    lastOpenBaudAsked_ = 0;
    openedPort_ = {};
    lostPort_ = {};
    lostError_ = 0;
    lostErrorText_.clear();
}
