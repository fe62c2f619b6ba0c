#include "Modbus.h"

#include "NetworkTransport.h"
#include "PortList.h"

#include <algorithm>
#include <chrono>
#include <cstring>

ConnectionSettings Settings;
RegisterImage Image;
ModbusLink Link(Settings, Image);

void ResetLink()
{
    Link.Reset();
    Settings = ConnectionSettings {};
    Image.Clear();
    ForgetPorts();
}

// ---------------------------------------------------------------- serial port

ModbusLink::ModbusLink(ConnectionSettings& settings, RegisterImage& image)
    : settings_(settings), image_(image)
{
}

namespace {

using SteadyClock = std::chrono::steady_clock;

std::int64_t NowMicros()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(SteadyClock::now().time_since_epoch()).count();
}

}  // namespace

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
    if (openFlag)
        ClosePort();
    lostDevice_.clear();
    lostError_ = 0;
    lostErrorText_.clear();
    lastOpenDevice_ = device;
    serial::LineSettings line {kPortRates[rateIndex],
                               modeIndex == 2 ? serial::Parity::Even
                               : modeIndex == 3 ? serial::Parity::Odd
                                                : serial::Parity::None,
                               std::uint8_t(modeIndex == 1 ? 2 : 1)};
    lastOpenBaudAsked_ = line.baud;
    lastOpenFailureText_.clear();
    lastOpenGivenUp_ = false;
    std::unique_ptr<Transport> opened;
    if (IsNetworkPath(device)) {
        opened = OpenNetwork(device, line);
    } else {
        opened = SerialTransport::Open(lastOpenDevice_, line, &lastOpenFailure_);
    }
    if (!opened) {
        handleState = HandleState::Invalid;
        openFlag = 0;
        settings_.portOpen = 0;
        return -1;
    }
    handleState = HandleState::Valid;
    transport_ = std::move(opened);
    lineSettings = line;
    portDevice_ = lastOpenDevice_;
    DropStaged();
    // The last frame's end stays: the line's silence after it holds for a
    // port closed and opened again. What went on before the open is not
    // known: the first request waits for a frame gap of silence seen.
    lineBusyUntilMicros_ = std::max(lineBusyUntilMicros_, NowMicros());
    lateReplyUntilMicros_ = 0;
    lineNeverFellSilent_ = false;
    echo_ = Echo::None;
    narrowBlockCameThrough_ = false;
    openFlag = 1;
    settings_.modeIndex = modeIndex;
    settings_.rateIndex = rateIndex;
    settings_.portOpen = 1;
    return 1;
}

std::unique_ptr<Transport> ModbusLink::OpenNetwork(const std::string& path, const serial::LineSettings& line)
{
    lastOpenFailure_ = {};
    const std::optional<NetworkAddress> address = ParseNetworkPath(path);
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
    return serial::OpenErrorText(lastOpenDevice_, lastOpenFailure_.osError);
}

int ModbusLink::ClosePort()
{
    if (handleState != HandleState::Valid)
        return 0;
    if (openFlag)
        transport_->Close();
    transport_.reset();
    DropStaged();
    settings_.portOpen = 0;
    openFlag = 0;
    return 1;
}

void ModbusLink::Lose(int osError)
{
    lostDevice_ = portDevice_;
    lostError_ = osError;
    lostErrorText_ = transport_ ? transport_->ErrorText(osError) : serial::ErrorText(osError);
    ClosePort();
}

std::uint64_t ModbusLink::FrameGap() const
{
    return transport_ ? transport_->FrameGapMicros() : FrameGapMicros(settings_.modeIndex, lineSettings.baud);
}

std::int64_t ModbusLink::WireTime(std::uint32_t bytes) const
{
    return std::int64_t(transport_ ? transport_->WireTimeMicros(bytes)
                                   : WireTimeMicrosAt(bytes, settings_.modeIndex, lineSettings.baud));
}

std::int64_t ModbusLink::NetworkAllowance() const
{
    return transport_ ? transport_->NetworkAllowanceMicros() : 0;
}

const serial::Port* ModbusLink::SerialPortOf() const
{
    const auto* serialPort = dynamic_cast<const SerialTransport*>(transport_.get());
    return serialPort ? &serialPort->Port() : nullptr;
}

std::uint32_t ModbusLink::SendFrame(std::uint32_t length)
{
    if (!openFlag)
        return 0;
    SettleBeforeRequest(std::int64_t(kSettleBoundMs) * 1000);
    return Transmit(length);
}

std::uint32_t ModbusLink::Transmit(std::uint32_t length)
{
    if (!openFlag)
        return 0;
    length = std::min<std::uint32_t>(length, kBufferSize);
    int osError = 0;
    const std::int64_t began = NowMicros();
    auto written = static_cast<std::uint32_t>(transport_->Write(transmitBuffer, length, &osError));
    if (osError)
        Lose(osError);
    // The request may still be on its way out when the reply wait begins.
    requestWireMicros_ = WireTime(written);
    // Its last byte has left once the write returned (RTS dropped by hand)
    // or its wire time after the write began, whichever is later.
    lineBusyUntilMicros_ = std::max(NowMicros(), began + requestWireMicros_);
    // What comes back first may be the request itself, from an echoing adapter.
    requestLength_ = written;
    echo_ = written > 0 ? Echo::Undecided : Echo::None;
    return written;
}

std::uint64_t ModbusLink::SettleGap() const
{
    // A frame gap, but never so short that a sender's scheduling hiccup
    // (or a USB adapter's latency timer) would look like the end of what it
    // sends; waited only after stray bytes or a faulty exchange.
    return std::max<std::uint64_t>(FrameGap(), 50000);
}

void ModbusLink::SettleAfterFault()
{
    lateReplyUntilMicros_ = std::max(lateReplyUntilMicros_, NowMicros() + std::int64_t(SettleGap()));
}

void ModbusLink::AwaitQuietLine(std::int64_t boundMicros)
{
    // No request is out: nothing that comes is an echo.
    echo_ = Echo::None;
    lineNeverFellSilent_ = false;
    const std::int64_t limit = NowMicros() + boundMicros;
    // Bytes left behind a whole reply came after it: stray.
    std::int64_t strayAt = stagedCount_ > 0 ? lastReceivedMicros_ : 0;
    while (openFlag) {
        const std::uint32_t before = stagedCount_;
        Stage();
        if (stagedCount_ != before)
            strayAt = lastReceivedMicros_;
        // A line that never stops: only the latest bytes matter.
        if (stagedCount_ == kBufferSize)
            KeepStagedTail(16);
        std::int64_t quietAt = std::max(lineBusyUntilMicros_ + std::int64_t(FrameGap()), lateReplyUntilMicros_);
        if (strayAt)
            quietAt = std::max(quietAt, strayAt + std::int64_t(SettleGap()));
        const std::int64_t now = NowMicros();
        if (now >= quietAt)
            break;
        if (now >= limit) {
            // The request goes out all the same: a busy line must not hang the tool.
            lineNeverFellSilent_ = strayAt != 0 && now < strayAt + std::int64_t(SettleGap());
            break;
        }
        int osError = 0;
        if (transport_->WaitReadable(std::min(quietAt, limit) - now, &osError) == serial::WaitResult::Failed) {
            Lose(osError);
            return;
        }
    }
    lateReplyUntilMicros_ = 0;
}

void ModbusLink::SettleBeforeRequest(std::int64_t boundMicros)
{
    AwaitQuietLine(boundMicros);
    DropStaged();
}

std::uint32_t ModbusLink::PendingBytes()
{
    if (!openFlag)
        return stagedCount_;
    int osError = 0;
    std::uint32_t pending = transport_->Pending(&osError);
    if (osError)
        Lose(osError);
    return stagedCount_ + pending;
}

std::uint32_t ModbusLink::ReceiveFrame()
{
    if (PendingBytes() == 0)
        return 0;
    return TakePending();
}

std::uint32_t ModbusLink::TakeStaged()
{
    const std::uint32_t count = stagedCount_;
    std::memcpy(receiveBuffer, staged_, count);
    DropStaged();
    receivedCount_ = count;
    return count;
}

std::uint32_t ModbusLink::TakePending()
{
    // At most one buffer's worth; anything beyond stays queued for the next read.
    std::uint32_t count = TakeStaged();
    if (openFlag && count < kBufferSize) {
        int osError = 0;
        count += static_cast<std::uint32_t>(
            transport_->Read(receiveBuffer + count, kBufferSize - count, &osError));
        if (osError)
            Lose(osError);
    }
    receivedCount_ = count;
    return count;
}

void ModbusLink::Stage()
{
    if (!openFlag || stagedCount_ >= kBufferSize)
        return;
    int osError = 0;
    const auto read = static_cast<std::uint32_t>(
        transport_->Read(staged_ + stagedCount_, kBufferSize - stagedCount_, &osError));
    if (osError)
        Lose(osError);
    if (read == 0)
        return;
    stagedCount_ += read;
    lastReceivedMicros_ = NowMicros();
    lineBusyUntilMicros_ = std::max(lineBusyUntilMicros_, lastReceivedMicros_);
    DropEcho();
}

void ModbusLink::DropEcho()
{
    if (echo_ != Echo::Undecided)
        return;
    // A reply may begin as its request does (a write's acknowledgement
    // repeats its first six bytes): only the whole request is its echo.
    const std::uint32_t compared = std::min(stagedCount_, requestLength_);
    if (std::memcmp(staged_, transmitBuffer, compared) != 0) {
        echo_ = Echo::None;
        return;
    }
    if (stagedCount_ < requestLength_)
        return;
    Observe(FrameEvent::Kind::Echo, staged_, requestLength_, "echo of the request");
    std::memmove(staged_, staged_ + requestLength_, stagedCount_ - requestLength_);
    stagedCount_ -= requestLength_;
    echo_ = Echo::Dropped;
}

void ModbusLink::KeepStagedTail(std::uint32_t count)
{
    if (stagedCount_ <= count)
        return;
    std::memmove(staged_, staged_ + stagedCount_ - count, count);
    stagedCount_ = count;
}

bool ModbusLink::ExceptionReplyStaged() const
{
    // address, function with its top bit set, exception code, CRC
    return stagedCount_ >= 5 && (staged_[1] & 0x80);
}

bool ModbusLink::AwaitReply(unsigned pauseMs, std::uint32_t wanted)
{
    const std::int64_t pauseMicros = std::int64_t(pauseMs) * 1000;
    const std::int64_t deadline =
        NowMicros() + requestWireMicros_ + pauseMicros + WireTime(wanted + 1) + NetworkAllowance();
    // The pattern's counts are one short of the full reply (the index of its
    // last byte, 7 for an 8-byte acknowledgement): the wait ends on that last
    // byte, or on a whole exception reply, once any echo is out of the way.
    auto complete = [&] { return echo_ != Echo::Undecided && (stagedCount_ > wanted || ExceptionReplyStaged()); };
    if (StageFor(deadline - NowMicros(), complete))
        return true;
    if (!openFlag)
        return false;
    // Time is up. What still looks like the start of an echo is what came;
    // a reply one byte short is judged (and refused), not taken for none.
    echo_ = Echo::None;
    if (stagedCount_ >= wanted || ExceptionReplyStaged())
        return true;
    // The reply may still come: the next request waits for it first, for as
    // long as this wait was once more.
    lateReplyUntilMicros_ = deadline + pauseMicros;
    return false;
}

std::uint32_t ModbusLink::WaitForReply(unsigned pauseMs, std::uint32_t wanted)
{
    AwaitReply(pauseMs, wanted);
    return PendingBytes();
}

bool ModbusLink::StageFor(std::int64_t waitMicros, const std::function<bool()>& complete)
{
    // Blocked on the port, then read whatever came, and so on: the end of a
    // reply is seen the moment it arrives. At the deadline what has come is
    // read once more before it is judged.
    const std::int64_t deadline = NowMicros() + waitMicros;
    while (openFlag) {
        if (complete())
            return true;
        const std::int64_t now = NowMicros();
        if (now >= deadline) {
            Stage();
            return complete();
        }
        int osError = 0;
        if (transport_->WaitReadable(deadline - now, &osError) == serial::WaitResult::Failed) {
            Lose(osError);
            return false;
        }
        Stage();
    }
    return false;
}

// ---------------------------------------------------------------- framing

int ModbusLink::AppendCrc(int length)
{
    return int(::AppendCrc(transmitBuffer, std::size_t(length)));
}

int ModbusLink::BuildRequestHeader(std::uint8_t address, std::uint8_t function, std::uint16_t start,
                                   std::uint16_t quantity)
{
    // address, function, first register, quantity: both high byte first
    std::uint8_t* frame = transmitBuffer;
    frame[0] = address;
    frame[1] = function;
    frame[2] = std::uint8_t(start >> 8);
    frame[3] = std::uint8_t(start & 0xFF);
    frame[4] = std::uint8_t(quantity >> 8);
    frame[5] = std::uint8_t(quantity & 0xFF);
    return 6;
}

int ModbusLink::BuildReadRequest(std::uint8_t address, std::uint16_t start, std::uint16_t quantity)
{
    return AppendCrc(BuildRequestHeader(address, 3, start, quantity));
}

int ModbusLink::CheckResponse(std::uint8_t address)
{
    int n = static_cast<int>(ReceiveFrame());
    return CheckReply(receiveBuffer, std::size_t(n), address);
}

int ModbusLink::StoreResponse(std::uint16_t start, int last)
{
    return StoreReply(receiveBuffer, receivedCount_, start, last, image_);
}

int ModbusLink::BuildWriteRequest16(std::uint8_t address, std::uint16_t start,
                                    std::uint16_t quantity, std::uint8_t /*typeCode*/)
{
    // The byte count is one byte: the protocol carries at most 123 registers.
    if (quantity > kMostWritten16)
        return 0;
    // header, byte count, values high byte first
    std::uint8_t* frame = transmitBuffer;
    BuildRequestHeader(address, 16, start, quantity);
    frame[6] = std::uint8_t(2 * quantity);
    for (unsigned k = 0; k < quantity; ++k) {
        std::uint32_t value = image_.Get(start + k) & 0xFFFF;
        frame[7 + 2 * k] = std::uint8_t(value >> 8);
        frame[8 + 2 * k] = std::uint8_t(value & 0xFF);
    }
    return AppendCrc(7 + 2 * quantity);
}

int ModbusLink::BuildWriteRequest32(std::uint8_t address, std::uint16_t start, std::uint16_t quantity)
{
    // Four bytes a value in a one-byte count: at most 61 values.
    if (quantity > kMostWritten32)
        return 0;
    // As the 16-bit write, but one register number per 32-bit value, most
    // significant byte first, and the quantity counts values, not words.
    std::uint8_t* frame = transmitBuffer;
    BuildRequestHeader(address, 16, start, quantity);
    frame[6] = std::uint8_t(4 * quantity);
    for (unsigned k = 0; k < quantity; ++k) {
        std::uint32_t value = image_.Get(start + k);
        for (int b = 0; b < 4; ++b)
            frame[7 + 4 * k + b] = std::uint8_t(value >> (24 - 8 * b));
    }
    return AppendCrc(7 + 4 * quantity);
}

void ModbusLink::Reset()
{
    if (openFlag)
        transport_->Close();
    transport_.reset();
    handleState = HandleState::Null;
    lineSettings = {};
    std::memset(receiveBuffer, 0, sizeof receiveBuffer);
    std::memset(transmitBuffer, 0, sizeof transmitBuffer);
    openFlag = 0;
    settings_.portOpen = 0;
    receivedCount_ = 0;
    DropStaged();
    lastOpenDevice_.clear();
    lastOpenFailure_ = {};
    lastOpenFailureText_.clear();
    lastOpenGivenUp_ = false;
    connectWatch_ = {};
    lastOpenBaudAsked_ = 0;
    portDevice_.clear();
    lostDevice_.clear();
    lostError_ = 0;
    lostErrorText_.clear();
    lateReplyUntilMicros_ = 0;
    requestWireMicros_ = 0;
    lineBusyUntilMicros_ = 0;
    lastReceivedMicros_ = 0;
    lineNeverFellSilent_ = false;
    echo_ = Echo::None;
    requestLength_ = 0;
    lastRejection_ = Rejection::None;
    lastExceptionCode_ = 0;
    lastFailure_ = StepFailure {};
    stepWide_ = false;
    narrowBlockCameThrough_ = false;
}
