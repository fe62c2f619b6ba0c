// The master's waits and the bytes it stages: the silence before each
// request, the reply wait, and a request's echo dropped from what comes back.
#include "Master.h"

#include "Frames.h"
#include "LineTiming.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace {

using SteadyClock = std::chrono::steady_clock;

std::int64_t NowMicros()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(SteadyClock::now().time_since_epoch()).count();
}

}  // namespace

ModbusMaster::ModbusMaster(const ModbusLink* link, ConnectionSettings& settings, RegisterImage& image,
                           LostHandler onLost)
    : link_(link), settings_(settings), image_(image), onLost_(std::move(onLost))
{
}

void ModbusMaster::Attach(Transport& transport)
{
    transport_ = &transport;
    line_ = transport.Line();
    lost_ = false;
    lostErrorText_.clear();
    DropStaged();
    // The last frame's end stays: the line's silence after it holds for a
    // port closed and opened again. What went on before the open is not
    // known: the first request waits for a frame gap of silence seen.
    lineBusyUntilMicros_ = std::max(lineBusyUntilMicros_, NowMicros());
    lateReplyUntilMicros_ = 0;
    lineNeverFellSilent_ = false;
    echo_ = Echo::None;
    narrowBlockCameThrough_ = false;
    // A probe before the open was at another line or through another peer.
    // Another master's request stays awaited: the open between it and its
    // reply is only a moment.
    silentProbe_ = 0;
    gatewayLeavesSilenceUnanswered_ = false;
}

void ModbusMaster::Detach()
{
    transport_ = nullptr;
    DropStaged();
}

void ModbusMaster::Lose(int osError)
{
    lost_ = true;
    lostErrorText_ = transport_->ErrorText(osError);
    if (onLost_)
        onLost_(osError, lostErrorText_);
    Detach();
}

void ModbusMaster::Reset()
{
    transport_ = nullptr;
    line_ = {};
    std::memset(transmitBuffer_, 0, sizeof transmitBuffer_);
    std::memset(receiveBuffer_, 0, sizeof receiveBuffer_);
    lost_ = false;
    lostErrorText_.clear();
    receivedCount_ = 0;
    DropStaged();
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
    silentProbe_ = 0;
    foreignAsked_ = 0;
    anotherMasterHeard_ = false;
    gatewayLeavesSilenceUnanswered_ = false;
}

std::uint64_t ModbusMaster::FrameGap() const
{
    return transport_ ? transport_->FrameGapMicros() : FrameGapMicros(settings_.modeIndex, line_.baud);
}

std::int64_t ModbusMaster::WireTime(std::uint32_t bytes) const
{
    return std::int64_t(transport_ ? transport_->WireTimeMicros(bytes)
                                   : WireTimeMicrosAt(bytes, settings_.modeIndex, line_.baud));
}

std::int64_t ModbusMaster::NetworkAllowance() const
{
    return transport_ ? transport_->NetworkAllowanceMicros() : 0;
}

std::uint32_t ModbusMaster::Transmit(std::uint32_t length)
{
    if (!transport_)
        return 0;
    length = std::min<std::uint32_t>(length, kBufferSize);
    int osError = 0;
    const std::int64_t began = NowMicros();
    auto written = static_cast<std::uint32_t>(transport_->Write(transmitBuffer_, length, &osError));
    if (osError)
        Lose(osError);
    ObserveDropped();
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

std::uint64_t ModbusMaster::SettleGap() const
{
    // A frame gap, but never so short that a sender's scheduling hiccup
    // (or a USB adapter's latency timer) would look like the end of what it
    // sends; waited only after stray bytes or a faulty exchange.
    return std::max<std::uint64_t>(FrameGap(), 50000);
}

void ModbusMaster::SettleAfterFault()
{
    lateReplyUntilMicros_ = std::max(lateReplyUntilMicros_, NowMicros() + std::int64_t(SettleGap()));
}

void ModbusMaster::AwaitQuietLine(std::int64_t boundMicros)
{
    // No request is out: nothing that comes is an echo.
    echo_ = Echo::None;
    lineNeverFellSilent_ = false;
    const std::int64_t limit = NowMicros() + boundMicros;
    // Bytes left behind a whole reply came after it: stray.
    std::int64_t strayAt = stagedCount_ > 0 ? lastReceivedMicros_ : 0;
    while (transport_) {
        const std::uint32_t before = stagedCount_;
        Stage();
        // A read that failed lost the port: there is nothing left to wait on.
        if (!transport_)
            break;
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

void ModbusMaster::SettleBeforeRequest(std::int64_t boundMicros)
{
    AwaitQuietLine(boundMicros);
    DropStaged();
}

std::uint32_t ModbusMaster::PendingBytes()
{
    if (!transport_)
        return stagedCount_;
    int osError = 0;
    std::uint32_t pending = transport_->Pending(&osError);
    if (osError)
        Lose(osError);
    return stagedCount_ + pending;
}

std::uint32_t ModbusMaster::ReceiveFrame()
{
    if (PendingBytes() == 0)
        return 0;
    return TakePending();
}

std::uint32_t ModbusMaster::TakeStaged()
{
    const std::uint32_t count = stagedCount_;
    std::memcpy(receiveBuffer_, staged_, count);
    DropStaged();
    receivedCount_ = count;
    return count;
}

std::uint32_t ModbusMaster::TakePending()
{
    // At most one buffer's worth; anything beyond stays queued for the next read.
    std::uint32_t count = TakeStaged();
    if (transport_ && count < kBufferSize) {
        int osError = 0;
        count += static_cast<std::uint32_t>(
            transport_->Read(receiveBuffer_ + count, kBufferSize - count, &osError));
        ObserveDropped();
        if (osError)
            Lose(osError);
    }
    receivedCount_ = count;
    return count;
}

void ModbusMaster::Stage()
{
    if (!transport_ || stagedCount_ >= kBufferSize)
        return;
    int osError = 0;
    const auto read = static_cast<std::uint32_t>(
        transport_->Read(staged_ + stagedCount_, kBufferSize - stagedCount_, &osError));
    ObserveDropped();
    if (osError)
        Lose(osError);
    if (read == 0)
        return;
    stagedCount_ += read;
    lastReceivedMicros_ = NowMicros();
    lineBusyUntilMicros_ = std::max(lineBusyUntilMicros_, lastReceivedMicros_);
    DropEcho();
}

void ModbusMaster::DropEcho()
{
    if (echo_ != Echo::Undecided)
        return;
    // A reply may begin as its request does (a write's acknowledgement
    // repeats its first six bytes): only the whole request is its echo.
    const std::uint32_t compared = std::min(stagedCount_, requestLength_);
    if (std::memcmp(staged_, transmitBuffer_, compared) != 0) {
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

void ModbusMaster::KeepStagedTail(std::uint32_t count)
{
    if (stagedCount_ <= count)
        return;
    std::memmove(staged_, staged_ + stagedCount_ - count, count);
    stagedCount_ = count;
}

bool ModbusMaster::ExceptionReplyStaged() const
{
    // address, function with its top bit set, exception code, CRC
    return stagedCount_ >= 5 && (staged_[1] & 0x80);
}

bool ModbusMaster::ReadReplyOfItsOwnLengthStaged() const
{
    // address, 3, byte count, that many bytes, CRC: a reply that says its
    // own length and holds together, whatever length was asked for.
    if (!stepReads_ || stagedCount_ < 5 || staged_[1] != 3)
        return false;
    const std::uint32_t whole = 5u + staged_[2];
    return stagedCount_ >= whole && CrcHolds(staged_, whole);
}

bool ModbusMaster::AwaitReply(unsigned pauseMs, std::uint32_t wanted)
{
    const std::int64_t pauseMicros = std::int64_t(pauseMs) * 1000;
    const std::int64_t deadline =
        NowMicros() + requestWireMicros_ + pauseMicros + WireTime(wanted + 1) + NetworkAllowance();
    // The pattern's counts are one short of the full reply (the index of its
    // last byte, 7 for an 8-byte acknowledgement): the wait ends on that last
    // byte, or on a whole exception reply, once any echo is out of the way.
    auto complete = [&] {
        return echo_ != Echo::Undecided
               && (stagedCount_ > wanted || ExceptionReplyStaged() || ReadReplyOfItsOwnLengthStaged());
    };
    if (StageFor(deadline - NowMicros(), complete))
        return true;
    if (!transport_)
        return false;
    // Time is up. What still looks like the start of an echo is what came;
    // a reply one byte short is judged (and refused), not taken for none.
    echo_ = Echo::None;
    if (stagedCount_ >= wanted || ExceptionReplyStaged() || ReadReplyOfItsOwnLengthStaged())
        return true;
    // The reply may still come: the next request waits for it first, for as
    // long as this wait was once more.
    lateReplyUntilMicros_ = deadline + pauseMicros;
    return false;
}

bool ModbusMaster::StageFor(std::int64_t waitMicros, const std::function<bool()>& complete)
{
    // Blocked on the port, then read whatever came, and so on: the end of a
    // reply is seen the moment it arrives. At the deadline what has come is
    // read once more before it is judged.
    const std::int64_t deadline = NowMicros() + waitMicros;
    while (transport_) {
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
