// The two steps every exchange with the display is made of: read a block into
// the image, write a block and judge its acknowledgement. Each follows the
// request / wait / check order of the transaction pattern, so no window
// writes it out by hand.
#include "Modbus.h"

#include <chrono>
#include <cstring>
#include <optional>

namespace {

// Why n bytes are not a sound reply of `function` from `address`, looking at
// the fields in the order they travel.
Rejection FaultOf(const std::uint8_t* reply, std::size_t n, std::uint8_t address, std::uint8_t function)
{
    if (n >= 1 && reply[0] != address)
        return Rejection::Address;
    if (n < 3 || Crc16(reply, int(n) - 3) != (reply[n - 2] << 8 | reply[n - 1]))
        return Rejection::Crc;
    if (reply[1] & 0x80)
        return Rejection::Exception;
    if (reply[1] != function)
        return Rejection::Function;
    return Rejection::None;
}

}  // namespace

Rejection JudgeReadReply(const std::uint8_t* reply, std::size_t n, std::uint8_t address,
                         const RegisterBlock& block)
{
    if (Rejection fault = FaultOf(reply, n, address, 3); fault != Rejection::None)
        return fault;
    // address, 3, byte count, the values, CRC: nothing more, nothing less
    const std::size_t dataBytes = std::size_t(block.quantity) * block.ValueBytes();
    if (n != 5 + dataBytes || reply[2] != dataBytes)
        return Rejection::ByteCount;
    return Rejection::None;
}

Rejection JudgeWriteReply(const std::uint8_t* reply, std::size_t n, const std::uint8_t* request)
{
    if (Rejection fault = FaultOf(reply, n, request[0], 16); fault != Rejection::None)
        return fault;
    // address, 16, first register, quantity, CRC: the request's own header
    if (n != 8 || std::memcmp(reply + 2, request + 2, 4) != 0)
        return Rejection::Echo;
    return Rejection::None;
}

Rejection StoreReadReply(const std::uint8_t* reply, std::size_t n, std::uint8_t address,
                         const RegisterBlock& block, RegisterImage& image)
{
    const Rejection rejection = JudgeReadReply(reply, n, address, block);
    if (rejection == Rejection::None)
        StoreReply(reply, n, block.first, ExpectedResponseLength(block.quantity, block.TypeCode()), image);
    return rejection;
}

std::string DescribeRejection(Rejection rejection, int exceptionCode)
{
    switch (rejection) {
    case Rejection::None: return "taken";
    case Rejection::Address: return "from another address";
    case Rejection::Crc: return "CRC error";
    case Rejection::Function: return "another function's reply";
    case Rejection::Exception: return "refused with exception " + std::to_string(exceptionCode);
    case Rejection::ByteCount: return "wrong byte count";
    case Rejection::Echo: return "not this write's echo";
    case Rejection::TooManyRegisters: return "more registers than one request carries";
    }
    return {};
}

bool ModbusLink::Verdict(Rejection rejection, const char* taken)
{
    lastRejection_ = rejection;
    if (rejection == Rejection::Exception)
        lastExceptionCode_ = receiveBuffer[2];
    if (rejection != Rejection::None)
        FailStep(StepFailure::Kind::Refused, 0);
    else if (!stepWide_)
        narrowBlockCameThrough_ = true;
    // A reply that was not what it should be may not be all there is: the
    // rest must not reach the next request's reply.
    if (rejection != Rejection::None)
        SettleAfterFault();
    Observe(FrameEvent::Kind::Reply, receiveBuffer, receivedCount_,
            rejection == Rejection::None ? taken : DescribeRejection(rejection, lastExceptionCode_));
    return rejection == Rejection::None;
}

void ModbusLink::Observe(FrameEvent::Kind kind, const std::uint8_t* bytes, std::size_t count,
                         const std::string& outcome)
{
    if (observer_)
        observer_({kind, bytes, count, outcome, this});
}

ModbusLink::Exchanged ModbusLink::Exchange(std::uint32_t length, unsigned pauseMs, std::uint32_t wanted)
{
    lastRejection_ = Rejection::None;
    lastExceptionCode_ = 0;
    receivedCount_ = 0;
    BeginStep(wanted);
    // Nothing goes out on a closed port, whatever an earlier exchange reported.
    if (!openFlag || length == 0) {
        FailStep(StepFailure::Kind::NotSent, 0);
        return Exchanged::Missing;
    }
    SettleBeforeRequest(std::int64_t(pauseMs) * 1000);
    const bool sent = Transmit(length) == length;
    const auto sentAt = std::chrono::steady_clock::now();
    if (sent)
        Observe(FrameEvent::Kind::Request, transmitBuffer, length,
                lineNeverFellSilent_ ? "sent though the line never fell silent" : "");
    const bool whole = sent && AwaitReply(pauseMs, wanted);
    const std::uint32_t received = whole ? TakeStaged() : ReceiveFrame();
    if (PortLost()) {
        Observe(FrameEvent::Kind::PortLost, nullptr, 0, "port lost: " + lostErrorText_);
        return Exchanged::Lost;
    }
    if (!sent) {
        FailStep(StepFailure::Kind::NotSent, 0);
        return Exchanged::Missing;
    }
    if (!whole) {
        const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - sentAt);
        FailStep(StepFailure::Kind::NoReply, unsigned(waited.count()));
        Observe(FrameEvent::Kind::NoReply, receiveBuffer, received,
                "no reply after " + std::to_string(waited.count()) + " ms");
        return Exchanged::Missing;
    }
    return Exchanged::Whole;
}

ReadResult ModbusLink::ReadBlock(const RegisterBlock& block, unsigned pauseMs)
{
    const std::uint8_t address = settings_.displayAddress;
    const int expected = ExpectedResponseLength(block.quantity, block.TypeCode());
    NoteBlock(block);
    switch (Exchange(std::uint32_t(BuildReadRequest(address, block.first, block.quantity)), pauseMs,
                     std::uint32_t(expected))) {
    case Exchanged::Lost: return ReadResult::PortLost;
    case Exchanged::Missing: return ReadResult::NoReply;
    case Exchanged::Whole: break;
    }
    return Verdict(StoreReadReply(receiveBuffer, receivedCount_, address, block, image_), "stored")
               ? ReadResult::Stored
               : ReadResult::Rejected;
}

ReadResult ModbusLink::ReadBlocks(std::initializer_list<RegisterBlock> blocks, unsigned pauseMs)
{
    ReadResult outcome = ReadResult::Stored;
    for (const RegisterBlock& block : blocks) {
        const ReadResult result = ReadBlock(block, pauseMs);
        if (result == ReadResult::NoReply || result == ReadResult::PortLost)
            return result;
        if (result == ReadResult::Rejected)
            outcome = result;
    }
    return outcome;
}

WriteResult ModbusLink::WriteBlock(const RegisterBlock& block, unsigned pauseMs)
{
    const std::uint8_t address = settings_.displayAddress;
    NoteBlock(block);
    const int length = block.wide ? BuildWriteRequest32(address, block.first, block.quantity)
                                  : BuildWriteRequest16(address, block.first, block.quantity, block.TypeCode());
    if (length == 0) {
        // Refused before anything is sent: no frame can carry it.
        lastRejection_ = Rejection::TooManyRegisters;
        lastExceptionCode_ = 0;
        receivedCount_ = 0;
        BeginStep(7);
        FailStep(StepFailure::Kind::Refused, 0);
        return WriteResult::Refused;
    }
    // Fewer than 7 bytes is no acknowledgement, as the pattern counts.
    switch (Exchange(std::uint32_t(length), pauseMs, 7)) {
    case Exchanged::Lost: return WriteResult::PortLost;
    case Exchanged::Missing: return WriteResult::NoReply;
    case Exchanged::Whole: break;
    }
    return Verdict(JudgeWriteReply(receiveBuffer, receivedCount_, transmitBuffer), "acknowledged")
               ? WriteResult::Acknowledged
               : WriteResult::Refused;
}

std::optional<ProbeAnswer> FindProbeAnswer(const std::uint8_t* bytes, std::size_t n)
{
    auto crcHolds = [&](std::size_t at, std::size_t length) {
        const std::uint8_t* frame = bytes + at;
        return Crc16(frame, int(length) - 3) == (frame[length - 2] << 8 | frame[length - 1]);
    };
    // A reply may follow noise or the tail of another: every start is tried.
    for (std::size_t at = 0; at + 5 <= n; ++at) {
        const std::uint8_t* frame = bytes + at;
        if (frame[0] < 1 || frame[0] > 247)
            continue;
        // Exception code 0 is none: 0x83 00 is no exception reply. Codes 10
        // and 11 come from a gateway whose display did not answer: nobody
        // stands at that unit id.
        if (frame[1] == 0x83 && frame[2] != 0 && frame[2] != 10 && frame[2] != 11 && crcHolds(at, 5))
            return ProbeAnswer {frame[0], frame[2], at + 5};
        if (frame[1] == 3 && frame[2] == 2 && at + 7 <= n && crcHolds(at, 7))
            return ProbeAnswer {frame[0], 0, at + 7};
    }
    return std::nullopt;
}

bool ModbusLink::TakeProbeAnswer(ProbeAnswer* answer, bool late)
{
    const std::optional<ProbeAnswer> found = FindProbeAnswer(staged_, stagedCount_);
    if (!found)
        return false;
    std::memcpy(receiveBuffer, staged_, found->end);
    receivedCount_ = std::uint32_t(found->end);
    KeepStagedTail(stagedCount_ - std::uint32_t(found->end));
    *answer = *found;
    answer->late = late;
    Observe(FrameEvent::Kind::Reply, receiveBuffer, receivedCount_,
            "answered from address " + std::to_string(found->address) + (late ? " (late)" : ""));
    return true;
}

ProbeResult ModbusLink::Probe(std::uint8_t address, unsigned latencyMs, ProbeAnswer* answer)
{
    receivedCount_ = 0;
    const auto lost = [&] {
        Observe(FrameEvent::Kind::PortLost, nullptr, 0, "port lost: " + lostErrorText_);
        return ProbeResult::PortLost;
    };
    if (!openFlag)
        return PortLost() ? ProbeResult::PortLost : ProbeResult::Silent;
    // A frame gap after the last frame. What comes meanwhile is looked at:
    // a reply later than an earlier probe's wait still names its sender.
    AwaitQuietLine(std::int64_t(latencyMs) * 1000);
    if (TakeProbeAnswer(answer, true))
        return ProbeResult::Answered;
    DropStaged();
    const std::uint32_t length = std::uint32_t(BuildReadRequest(address, kProbeRegister, 1));
    const bool sent = Transmit(length) == length;
    if (PortLost())
        return lost();
    Observe(FrameEvent::Kind::Request, transmitBuffer, length,
            lineNeverFellSilent_ ? "sent though the line never fell silent" : "");
    // On a half-duplex bus a display answers no sooner than 3.5 characters
    // after the request, and then within its turnaround; its first byte needs
    // its own time on the wire to arrive.
    const std::int64_t waitMicros = requestWireMicros_ + std::int64_t(FrameGap()) + std::int64_t(latencyMs) * 1000
                                    + WireTime(1) + NetworkAllowance();
    ProbeAnswer found;
    auto answered = [&] {
        if (echo_ == Echo::Undecided)
            return false;
        if (TakeProbeAnswer(&found, false))
            return true;
        // What cannot be the start of a reply leaves room for one.
        KeepStagedTail(6);
        return false;
    };
    bool got = sent && StageFor(waitMicros, answered);
    if (sent && !got && openFlag) {
        echo_ = Echo::None;
        // A reply that has begun is waited for until whole: nothing goes out
        // while it may still come.
        got = answered() || (stagedCount_ > 0 && StageFor(WireTime(7) + std::int64_t(FrameGap()), answered));
    }
    if (got) {
        *answer = found;
        return ProbeResult::Answered;
    }
    if (PortLost())
        return lost();
    Observe(FrameEvent::Kind::NoReply, staged_, stagedCount_, "no answer");
    return ProbeResult::Silent;
}

void ModbusLink::BeginStep(std::uint32_t wanted)
{
    step_ = StepFailure {};
    step_.address = transmitBuffer[0];
    step_.modeIndex = settings_.modeIndex;
    step_.baud = lineSettings.baud;
    step_.wholeReply = wanted + 1;  // the pattern counts to the reply's last byte
}

void ModbusLink::FailStep(StepFailure::Kind kind, unsigned waitedMs)
{
    step_.kind = kind;
    step_.waitedMs = waitedMs;
    step_.received = receivedCount_;
    step_.rejection = lastRejection_;
    step_.exceptionCode = lastExceptionCode_;
    step_.replyAddress = receivedCount_ > 0 ? receiveBuffer[0] : 0;
    step_.replyFramed = receivedCount_ >= 4
                        && Crc16(receiveBuffer, int(receivedCount_) - 3)
                               == (receiveBuffer[receivedCount_ - 2] << 8 | receiveBuffer[receivedCount_ - 1]);
    step_.lineNeverFellSilent = LineNeverFellSilent();
    step_.wideRefusedByGateway = kind != StepFailure::Kind::NotSent && stepWide_ && narrowBlockCameThrough_
                                 && transport_ && transport_->CarriesPduOnly();
    lastFailure_ = step_;
}
