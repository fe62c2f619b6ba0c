// The two steps every exchange with the display is made of: read a block into
// the image, write a block and judge its acknowledgement. Each follows the
// request / wait / check order of the transaction pattern, so no window
// writes it out by hand.
#include "Master.h"

#include "Frames.h"

#include <chrono>
#include <cstring>
#include <optional>

bool ModbusMaster::Verdict(Rejection rejection, const char* taken)
{
    lastRejection_ = rejection;
    if (rejection == Rejection::Exception)
        lastExceptionCode_ = receiveBuffer_[2];
    if (rejection != Rejection::None)
        FailStep(StepFailure::Kind::Refused, 0);
    else if (!stepWide_)
        narrowBlockCameThrough_ = true;
    // A reply that was not what it should be may not be all there is: the
    // rest must not reach the next request's reply.
    if (rejection != Rejection::None)
        SettleAfterFault();
    // Over Modbus TCP the CRC is the transport's own rebuilding: a reply that
    // fails it did not come whole, which is what the trace says.
    const bool pduOnly = transport_ && transport_->CarriesPduOnly();
    Observe(FrameEvent::Kind::Reply, receiveBuffer_, receivedCount_,
            rejection == Rejection::None                ? std::string(taken)
            : rejection == Rejection::Crc && pduOnly ? std::string("malformed reply")
                                                       : DescribeRejection(rejection, lastExceptionCode_));
    return rejection == Rejection::None;
}

bool ModbusMaster::GatewayAnsweredForSilence() const
{
    // Only a gateway says 10 (no path to the device) or 11 (the device did
    // not answer); the display itself never does.
    return receivedCount_ >= 5 && (receiveBuffer_[1] & 0x80) && (receiveBuffer_[2] == 10 || receiveBuffer_[2] == 11)
           && CrcHolds(receiveBuffer_, receivedCount_);
}

void ModbusMaster::FailAsGatewayNoReply()
{
    lastRejection_ = Rejection::Exception;
    lastExceptionCode_ = receiveBuffer_[2];
    step_.gatewayNoReply = true;
    FailStep(StepFailure::Kind::NoReply, 0);
    Observe(FrameEvent::Kind::NoReply, receiveBuffer_, receivedCount_,
            "no reply through the gateway (exception " + std::to_string(lastExceptionCode_) + ")");
}

void ModbusMaster::Observe(FrameEvent::Kind kind, const std::uint8_t* bytes, std::size_t count,
                           const std::string& outcome)
{
    if (!observer_)
        return;
    // The trace shows what travelled: over Modbus TCP the MBAP frame, not
    // the RTU frame the master works with.
    if (transport_ && bytes && count > 0) {
        const std::vector<std::uint8_t> carried = transport_->AsCarried(bytes, count);
        observer_({kind, carried.data(), carried.size(), outcome, link_});
        return;
    }
    observer_({kind, bytes, count, outcome, link_});
}

void ModbusMaster::ObserveRequest(std::uint32_t length)
{
    Observe(FrameEvent::Kind::Request, transmitBuffer_, length,
            lineNeverFellSilent_ ? "sent though the line never fell silent" : "");
}

void ModbusMaster::ObserveLoss()
{
    Observe(FrameEvent::Kind::PortLost, nullptr, 0, "port lost: " + lostErrorText_);
}

ModbusMaster::Exchanged ModbusMaster::Exchange(std::uint32_t length, unsigned pauseMs, std::uint32_t wanted)
{
    lastRejection_ = Rejection::None;
    lastExceptionCode_ = 0;
    receivedCount_ = 0;
    BeginStep(wanted);
    // Nothing goes out on a closed port, whatever an earlier exchange reported.
    if (!transport_ || length == 0) {
        FailStep(StepFailure::Kind::NotSent, 0);
        return Exchanged::Missing;
    }
    SettleBeforeRequest(std::int64_t(pauseMs) * 1000);
    const bool sent = Transmit(length) == length;
    const auto sentAt = std::chrono::steady_clock::now();
    if (sent)
        ObserveRequest(length);
    const bool whole = sent && AwaitReply(pauseMs, wanted);
    const std::uint32_t received = whole ? TakeStaged() : ReceiveFrame();
    if (lost_) {
        ObserveLoss();
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
        Observe(FrameEvent::Kind::NoReply, receiveBuffer_, received,
                "no reply after " + std::to_string(waited.count()) + " ms");
        return Exchanged::Missing;
    }
    return Exchanged::Whole;
}

ReadResult ModbusMaster::ReadBlock(const RegisterBlock& block, unsigned pauseMs)
{
    const std::uint8_t address = settings_.displayAddress;
    const int expected = ExpectedResponseLength(block.quantity, block.TypeCode());
    NoteBlock(block);
    // A read reply that says its own length is judged when whole (the
    // write's and the raw calls' waits count the bytes asked for).
    stepReads_ = true;
    const Exchanged exchanged = Exchange(
        std::uint32_t(PutReadRequest(transmitBuffer_, address, block.first, block.quantity)), pauseMs,
        std::uint32_t(expected));
    stepReads_ = false;
    switch (exchanged) {
    case Exchanged::Lost: return ReadResult::PortLost;
    case Exchanged::Missing: return ReadResult::NoReply;
    case Exchanged::Whole: break;
    }
    if (GatewayAnsweredForSilence()) {
        FailAsGatewayNoReply();
        return ReadResult::NoReply;
    }
    return Verdict(StoreReadReply(receiveBuffer_, receivedCount_, address, block, image_), "stored")
               ? ReadResult::Stored
               : ReadResult::Rejected;
}

ReadResult ModbusMaster::ReadBlocks(std::initializer_list<RegisterBlock> blocks, unsigned pauseMs)
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

WriteResult ModbusMaster::WriteBlock(const RegisterBlock& block, unsigned pauseMs)
{
    const std::uint8_t address = settings_.displayAddress;
    NoteBlock(block);
    const int length = block.wide ? PutWriteRequest32(transmitBuffer_, image_, address, block.first, block.quantity)
                                  : PutWriteRequest16(transmitBuffer_, image_, address, block.first, block.quantity);
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
    if (GatewayAnsweredForSilence()) {
        FailAsGatewayNoReply();
        return WriteResult::NoReply;
    }
    return Verdict(JudgeWriteReply(receiveBuffer_, receivedCount_, transmitBuffer_), "acknowledged")
               ? WriteResult::Acknowledged
               : WriteResult::Refused;
}

bool ModbusMaster::TakeProbeAnswer(ProbeAnswer* answer, bool late)
{
    const std::optional<ProbeAnswer> found = FindProbeAnswer(staged_, stagedCount_);
    if (!found)
        return false;
    std::memcpy(receiveBuffer_, staged_, found->end);
    receivedCount_ = std::uint32_t(found->end);
    KeepStagedTail(stagedCount_ - std::uint32_t(found->end));
    *answer = *found;
    answer->late = late;
    Observe(FrameEvent::Kind::Reply, receiveBuffer_, receivedCount_,
            "answered from address " + std::to_string(found->address) + (late ? " (late)" : ""));
    return true;
}

ProbeResult ModbusMaster::Probe(std::uint8_t address, unsigned latencyMs, ProbeAnswer* answer)
{
    receivedCount_ = 0;
    const auto lost = [&] {
        ObserveLoss();
        return ProbeResult::PortLost;
    };
    if (!transport_)
        return ProbeResult::Silent;
    // A frame gap after the last frame. What comes meanwhile is looked at:
    // a reply later than an earlier probe's wait still names its sender.
    AwaitQuietLine(std::int64_t(latencyMs) * 1000);
    if (TakeProbeAnswer(answer, true))
        return ProbeResult::Answered;
    DropStaged();
    const std::uint32_t length = std::uint32_t(PutReadRequest(transmitBuffer_, address, kProbeRegister, 1));
    const bool sent = Transmit(length) == length;
    if (lost_)
        return lost();
    ObserveRequest(length);
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
    if (sent && !got && transport_) {
        echo_ = Echo::None;
        // A reply that has begun is waited for until whole: nothing goes out
        // while it may still come.
        got = answered() || (stagedCount_ > 0 && StageFor(WireTime(7) + std::int64_t(FrameGap()), answered));
    }
    if (got) {
        *answer = found;
        return ProbeResult::Answered;
    }
    if (lost_)
        return lost();
    Observe(FrameEvent::Kind::NoReply, staged_, stagedCount_, "no answer");
    return ProbeResult::Silent;
}

void ModbusMaster::BeginStep(std::uint32_t wanted)
{
    step_ = StepFailure {};
    step_.address = transmitBuffer_[0];
    step_.modeIndex = settings_.modeIndex;
    step_.baud = line_.baud;
    step_.wholeReply = wanted + 1;  // the pattern counts to the reply's last byte
}

void ModbusMaster::FailStep(StepFailure::Kind kind, unsigned waitedMs)
{
    step_.kind = kind;
    step_.waitedMs = waitedMs;
    step_.received = receivedCount_;
    step_.rejection = lastRejection_;
    step_.exceptionCode = lastExceptionCode_;
    step_.replyAddress = receivedCount_ > 0 ? receiveBuffer_[0] : 0;
    step_.replyFramed = receivedCount_ >= 4 && CrcHolds(receiveBuffer_, receivedCount_);
    step_.lineNeverFellSilent = LineNeverFellSilent();
    step_.wide = stepWide_;
    step_.wideRefusedByGateway = kind != StepFailure::Kind::NotSent && !step_.gatewayNoReply && stepWide_
                                 && narrowBlockCameThrough_ && transport_ && transport_->CarriesPduOnly();
    lastFailure_ = step_;
}
