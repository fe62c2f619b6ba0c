// The two steps every exchange with the display is made of: read a block into
// the image, write a block and judge its acknowledgement. Each follows the
// request / wait / check order of the transaction pattern, so no window
// writes it out by hand.
#include "Master.h"

#include "Frames.h"

#include <chrono>
#include <functional>
#include <cstring>
#include <optional>
#include <string>

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

namespace {

// A frame on the line as the probe sorts it: an answer a probe may take (a
// one-register read reply or an exception reply to function 3, as
// FindProbeAnswer takes them), a request, or another reply.
struct LineFrame {
    enum class Kind { ProbeAnswer, Request, OtherReply };
    Kind kind;
    std::size_t begin, end;
    std::uint8_t address;
    int exceptionCode;
};

// The first whole frame with a sound CRC among n bytes; the noise before
// it is passed over.
std::optional<LineFrame> NextLineFrame(const std::uint8_t* bytes, std::size_t n)
{
    for (std::size_t at = 0; at + 4 <= n; ++at) {
        const std::uint8_t* frame = bytes + at;
        const std::size_t left = n - at;
        const std::uint8_t address = frame[0], function = frame[1];
        auto whole = [&](std::size_t length) { return length <= left && CrcHolds(frame, length); };
        auto found = [&](LineFrame::Kind kind, std::size_t length, int code) {
            return LineFrame {kind, at, at + length, address, code};
        };
        if (address > 247)
            continue;
        if (address != 0) {
            // Replies first: a request's length is tried only when none fits.
            // Codes 10 and 11 come from a gateway whose display did not
            // answer: nobody stands at that unit id.
            if ((function & 0x80) && whole(5)) {
                const int code = frame[2];
                const bool answer = function == 0x83 && code != 0 && code != 10 && code != 11;
                return found(answer ? LineFrame::Kind::ProbeAnswer : LineFrame::Kind::OtherReply, 5, code);
            }
            if (function == 3 && frame[2] == 2 && whole(7))
                return found(LineFrame::Kind::ProbeAnswer, 7, 0);
            if ((function == 3 || function == 4) && whole(5 + std::size_t(frame[2])))
                return found(LineFrame::Kind::OtherReply, 5 + std::size_t(frame[2]), 0);
            if (function == 16 && whole(8))
                return found(LineFrame::Kind::OtherReply, 8, 0);
        }
        // Reads, single writes (whose acknowledgement looks the same) and
        // multiple writes, broadcast ones included.
        if (function >= 1 && function <= 6 && whole(8))
            return found(LineFrame::Kind::Request, 8, 0);
        if (function == 16 && left >= 7 && whole(9 + std::size_t(frame[6])))
            return found(LineFrame::Kind::Request, 9 + std::size_t(frame[6]), 0);
    }
    return std::nullopt;
}

std::int64_t NowMicros()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string Milliseconds(std::int64_t micros)
{
    return std::to_string((micros + 500) / 1000) + " ms";
}

}  // namespace

void ModbusMaster::ObserveDropped()
{
    if (!transport_)
        return;
    // Dropped bytes are kept as they travelled: no rebuilding for the trace.
    for (const Transport::Dropped& dropped : transport_->TakeDropped())
        if (observer_)
            observer_({FrameEvent::Kind::Dropped, dropped.bytes.data(), dropped.bytes.size(), dropped.why, link_});
}

bool ModbusMaster::TakeProbeAnswer(ProbeAnswer* answer, bool late, ProbeNotes* notes)
{
    while (const std::optional<LineFrame> frame = NextLineFrame(staged_, stagedCount_)) {
        const std::uint8_t* bytes = staged_ + frame->begin;
        const std::uint32_t length = std::uint32_t(frame->end - frame->begin);
        // A reply to another master's request is that master's, unless it
        // comes from the address this probe asked as well.
        const bool toForeign = foreignAsked_ != 0 && frame->address == foreignAsked_;
        bool ours = false;
        const bool asked = frame->address == transmitBuffer_[0];
        // Inside this probe's wait, the probe before's late answer is that
        // probe's; this one's own may still follow it.
        if (!late && frame->kind == LineFrame::Kind::ProbeAnswer && silentProbe_ != 0
            && frame->address == silentProbe_ && !asked && !toForeign && !notes->lateAnswered) {
            notes->lateAnswered = true;
            notes->late = ProbeAnswer {frame->address, frame->exceptionCode, length, true};
            silentProbe_ = 0;
            Observe(FrameEvent::Kind::Reply, bytes, length,
                    "answered from address " + std::to_string(frame->address) + " (late)");
            KeepStagedTail(stagedCount_ - std::uint32_t(frame->end));
            continue;
        }
        if (frame->kind == LineFrame::Kind::ProbeAnswer)
            ours = late ? frame->address == silentProbe_ && !toForeign
                        : asked || (!toForeign && !anotherMasterHeard_);
        if (ours) {
            std::memcpy(receiveBuffer_, bytes, length);
            receivedCount_ = length;
            KeepStagedTail(stagedCount_ - std::uint32_t(frame->end));
            *answer = ProbeAnswer {frame->address, frame->exceptionCode, length, late};
            if (late)
                silentProbe_ = 0;
            Observe(FrameEvent::Kind::Reply, receiveBuffer_, receivedCount_,
                    "answered from address " + std::to_string(frame->address) + (late ? " (late)" : ""));
            return true;
        }
        ++notes->foreignFrames;
        anotherMasterHeard_ = true;
        if (frame->kind == LineFrame::Kind::Request) {
            foreignAsked_ = frame->address;
            Observe(FrameEvent::Kind::Dropped, bytes, length, "another master's request: passed over");
        } else {
            if (toForeign)
                foreignAsked_ = 0;
            Observe(FrameEvent::Kind::Dropped, bytes, length, "a reply to another master: passed over");
        }
        KeepStagedTail(stagedCount_ - std::uint32_t(frame->end));
    }
    // What is left may be the start of a frame still coming; a buffer full
    // of noise keeps its end only.
    if (stagedCount_ == kBufferSize)
        KeepStagedTail(16);
    return false;
}

ProbeResult ModbusMaster::Probe(std::uint8_t address, unsigned latencyMs, ProbeAnswer* answer, ProbeNotes* notes)
{
    ProbeNotes ignored;
    if (!notes)
        notes = &ignored;
    *notes = ProbeNotes {};
    receivedCount_ = 0;
    if (!transport_)
        return ProbeResult::Silent;
    const std::uint32_t length = std::uint32_t(PutReadRequest(transmitBuffer_, address, kProbeRegister, 1));
    // On a half-duplex bus a display answers no sooner than 3.5 characters
    // after the request, and then within its turnaround; its first byte needs
    // its own time on the wire to arrive.
    auto answerWait = [&] {
        return requestWireMicros_ + std::int64_t(FrameGap()) + std::int64_t(latencyMs) * 1000 + WireTime(1)
               + NetworkAllowance();
    };
    if (transport_->CarriesPduOnly())
        return ProbeThroughGateway(length, answerWait, answer, notes);
    // A frame gap after the last frame. What comes meanwhile is looked at:
    // a reply later than the last probe's wait still names its sender.
    AwaitQuietLine(std::int64_t(latencyMs) * 1000);
    ProbeAnswer late;
    if (TakeProbeAnswer(&late, true, notes)) {
        notes->lateAnswered = true;
        notes->late = late;
        TakeProbeAnswer(&late, true, notes);  // another master's frames behind it, counted
    }
    DropStaged();
    const bool sent = Transmit(length) == length;
    if (lost_) {
        ObserveLoss();
        return ProbeResult::PortLost;
    }
    ObserveRequest(length);
    ProbeAnswer found;
    auto answered = [&] { return echo_ != Echo::Undecided && TakeProbeAnswer(&found, false, notes); };
    bool got = sent && StageFor(answerWait(), answered);
    if (sent && !got && transport_) {
        echo_ = Echo::None;
        // A reply that has begun is waited for until whole: nothing goes out
        // while it may still come.
        got = answered() || (stagedCount_ > 0 && StageFor(WireTime(7) + std::int64_t(FrameGap()), answered));
    }
    // A late answer to the probe before is looked for until this one's wait ends.
    silentProbe_ = 0;
    if (got) {
        *answer = found;
        return ProbeResult::Answered;
    }
    if (lost_) {
        ObserveLoss();
        return ProbeResult::PortLost;
    }
    silentProbe_ = address;
    Observe(FrameEvent::Kind::NoReply, staged_, stagedCount_, "no answer");
    return ProbeResult::Silent;
}

ProbeResult ModbusMaster::ProbeThroughGateway(std::uint32_t length, const std::function<std::int64_t()>& answerWait,
                                              ProbeAnswer* answer, ProbeNotes* notes)
{
    // The gateway keeps the line's timing and takes one request at a time:
    // the next probe goes out once it has answered this one (the transport
    // hands on its answer to this request alone), or the bound has passed.
    // A gateway known to leave a silent unit id unanswered is waited for as
    // long as it waits on the line.
    SettleBeforeRequest(0);
    const std::uint8_t address = transmitBuffer_[0];
    const bool sent = Transmit(length) == length;
    if (lost_) {
        ObserveLoss();
        return ProbeResult::PortLost;
    }
    ObserveRequest(length);
    const std::int64_t sentAt = NowMicros();
    const std::int64_t bound =
        gatewayLeavesSilenceUnanswered_ ? answerWait() : std::int64_t(kGatewayAnswerBoundMs) * 1000;
    const bool got = sent && StageFor(bound, [&] { return stagedCount_ > 0; });
    const std::int64_t took = NowMicros() - sentAt;
    if (lost_) {
        ObserveLoss();
        return ProbeResult::PortLost;
    }
    if (!got) {
        if (sent) {
            notes->gatewayUnanswered = true;
            gatewayLeavesSilenceUnanswered_ = true;
        }
        Observe(FrameEvent::Kind::NoReply, nullptr, 0, "no answer from the gateway within " + Milliseconds(took));
        return ProbeResult::Silent;
    }
    TakeStaged();
    const std::optional<LineFrame> frame = NextLineFrame(receiveBuffer_, receivedCount_);
    const bool whole = frame && frame->begin == 0 && frame->end == receivedCount_;
    if (whole && frame->kind == LineFrame::Kind::ProbeAnswer) {
        *answer = ProbeAnswer {frame->address, frame->exceptionCode, frame->end, false};
        Observe(FrameEvent::Kind::Reply, receiveBuffer_, receivedCount_,
                "answered from address " + std::to_string(frame->address) + " after " + Milliseconds(took));
        return ProbeResult::Answered;
    }
    const bool noDisplay = whole && receiveBuffer_[1] == 0x83 && (frame->exceptionCode == 10 || frame->exceptionCode == 11);
    if (noDisplay) {
        notes->gatewaySaidSilent = true;
        notes->gatewayMicros = took;
    }
    Observe(FrameEvent::Kind::Reply, receiveBuffer_, receivedCount_,
            noDisplay ? "no display at unit " + std::to_string(address) + ": the gateway's exception "
                            + std::to_string(frame->exceptionCode) + " after " + Milliseconds(took)
                      : std::string("no answer to the probe"));
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
