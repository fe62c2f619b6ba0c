// The master's side of every exchange: the block steps and the probe, the
// waits that time them on the line, and what became of the last step. It
// works on a transport its owner attaches while the port is open; the port's
// life (opening, closing, why it failed) stays with the owner (ModbusLink).
// Plain C++.
#pragma once

#include "ConnectionSettings.h"
#include "Messages.h"
#include "RegisterBlocks.h"
#include "RegisterImage.h"
#include "SerialPort.h"
#include "Transport.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>

enum class ReadResult { Stored, Rejected, NoReply, PortLost };
enum class WriteResult { Acknowledged, Refused, NoReply, PortLost };

enum class ProbeResult { Answered, Silent, PortLost };

// What became of the last block step that failed, for a message that says
// why: the request, the line it went out on, and what came back.
struct StepFailure {
    enum class Kind { None, NotSent, NoReply, Refused };
    Kind kind = Kind::None;
    std::uint8_t address = 0;  // the request's
    std::uint8_t modeIndex = 0;
    std::uint32_t baud = 0;
    unsigned waitedMs = 0;          // before the reply was counted missing
    std::uint32_t received = 0;     // bytes that came
    std::uint32_t wholeReply = 0;   // bytes of the whole reply asked for
    Rejection rejection = Rejection::None;
    int exceptionCode = 0;
    std::uint8_t replyAddress = 0;  // the first byte that came
    bool replyFramed = false;       // what came is one frame with a sound CRC
    bool lineNeverFellSilent = false;
    // A block of the 32-bit area, over a transport that carries the PDU alone
    // (Modbus TCP) on which a 16-bit block has come through since it opened:
    // a gateway that checks byte counts refuses the display's 32-bit dialect.
    bool wideRefusedByGateway = false;
    // The block was of the 32-bit area (four bytes a value).
    bool wide = false;
    // A gateway answered for the display with exception 10 or 11 (no path to
    // it, or no reply from it): no reply, not a refusal (kind NoReply, the
    // code in exceptionCode).
    bool gatewayNoReply = false;
};

// A frame as a block step saw it, with what it made of it: for a trace.
class ModbusLink;

struct FrameEvent {
    // Echo: the request's own bytes handed back by an echoing adapter.
    // Dropped: bytes the transport or the probe put aside as no part of the
    // exchange in progress (another transaction, another master's frame).
    // Opened: the port opened (no bytes), with what the trace says of it.
    enum class Kind { Request, Reply, NoReply, PortLost, Echo, Dropped, Opened };
    Kind kind;
    const std::uint8_t* bytes;  // what went out or came back (part of a reply that did not come whole)
    std::size_t count;
    std::string outcome;  // "stored", "acknowledged", "CRC error", "no reply after 512 ms"...
    // The link the frame went through: one observer can serve several.
    const ModbusLink* link = nullptr;
};
using FrameObserver = std::function<void(const FrameEvent&)>;

// How long a probe through a Modbus TCP gateway waits for the gateway's
// answer (a reply, or its exception 10 or 11 for a unit that is silent),
// however long the gateway's own retries take on the line.
constexpr unsigned kGatewayAnswerBoundMs = 5000;

// What one probe met besides its own answer, for what the search says at its end.
struct ProbeNotes {
    // A late answer to the probe before, which came before this one went out.
    bool lateAnswered = false;
    ProbeAnswer late;
    // Frames of another master on the line: its requests, and replies to
    // requests this link did not send.
    unsigned foreignFrames = 0;
    // Through a gateway: it answered that no display stands at the unit id
    // (exception 10 or 11), after gatewayMicros; or it gave no answer at all
    // within kGatewayAnswerBoundMs.
    bool gatewaySaidSilent = false;
    std::int64_t gatewayMicros = 0;
    bool gatewayUnanswered = false;
};

class ModbusMaster {
public:
    static constexpr std::size_t kBufferSize = 300;

    // Told of an OS failure of the transport under an exchange (an unplugged
    // adapter), with that error in a user's words: the owner closes the
    // port, which detaches the transport.
    using LostHandler = std::function<void(int osError, const std::string& errorText)>;

    // The settings (the display's address) and the image are the owner's;
    // the buffers and the line are the master's own. `link` is the one the
    // frame events name.
    ModbusMaster(const ModbusLink* link, ConnectionSettings& settings, RegisterImage& image, LostHandler onLost);
    ModbusMaster(const ModbusMaster&) = delete;
    ModbusMaster& operator=(const ModbusMaster&) = delete;

    // The transport of a port just opened, at its line; it stays the owner's.
    void Attach(Transport& transport);
    // The port closed: nothing more goes out, and what was staged is dropped.
    void Detach();
    // Back to the state at program start, the frame observer aside.
    void Reset();

    // --- block steps: every exchange the windows make ---
    // Reads a block into the image: request, reply wait of at most pauseMs
    // (plus the reply's wire time), check, store.
    ReadResult ReadBlock(const RegisterBlock& block, unsigned pauseMs);
    // Reads the blocks in order. A refused reply leaves its block as it was
    // and the next is still read (Rejected at the end); a missing reply or a
    // lost port ends the read there.
    ReadResult ReadBlocks(std::initializer_list<RegisterBlock> blocks, unsigned pauseMs);
    // Writes a block from the image and takes its reply, whatever it is.
    WriteResult WriteBlock(const RegisterBlock& block, unsigned pauseMs);
    // Probes `address` at the port's line: Answered, with the reply's own
    // address in *answer, when any display began to reply within the
    // request's wire time, 3.5 characters and a turnaround of latencyMs; a
    // reply that has begun is waited for until whole, so nothing else goes
    // out while it may still come. A late reply to the probe before that
    // comes before this one goes out is noted in *notes, and this one goes
    // out all the same; so are another master's frames, which are never
    // taken for an answer. Through a gateway (a transport that carries the
    // PDU alone) the probe waits for the gateway's answer to it, up to
    // kGatewayAnswerBoundMs. With no transport attached nothing goes out: Silent.
    ProbeResult Probe(std::uint8_t address, unsigned latencyMs, ProbeAnswer* answer, ProbeNotes* notes = nullptr);
    // Every frame of the block steps goes to the observer, when one is set.
    void SetFrameObserver(FrameObserver observer) { observer_ = std::move(observer); }
    const FrameObserver& Observer() const { return observer_; }
    // The last block step's request went out on a line that never fell
    // silent within its bounded wait: another master or noise on the line.
    bool LineNeverFellSilent() const { return lineNeverFellSilent_; }
    // Why the last step's reply was not taken, and the exception code of an
    // exception reply.
    Rejection LastRejection() const { return lastRejection_; }
    int LastExceptionCode() const { return lastExceptionCode_; }
    // The last step that did not do what it was for (the port lost aside);
    // a later step that succeeds leaves it, so an action of several steps
    // can still say why one of them failed.
    const StepFailure& LastFailedStep() const { return lastFailure_; }

    // --- the raw parts the steps are made of ---
    // The wait before a raw request (see AwaitQuietLine), then what came
    // meanwhile dropped: nothing before a request can be part of its reply.
    void SettleBeforeRequest(std::int64_t boundMicros);
    // Writes the first `length` bytes of the transmit buffer as they are.
    std::uint32_t Transmit(std::uint32_t length);
    // The reply wait: true when a whole reply (wanted + 1 bytes, or an
    // exception reply) is staged, or one short of it when the time is up.
    bool AwaitReply(unsigned pauseMs, std::uint32_t wanted);
    // Bytes staged and still queued on the port.
    std::uint32_t PendingBytes();
    // Takes what is pending into the receive buffer.
    std::uint32_t ReceiveFrame();
    // Bytes the last take put into the receive buffer.
    std::uint32_t ReceivedCount() const { return receivedCount_; }
    // The buffers the raw calls build a request in and take a reply into,
    // kBufferSize bytes each: the same bytes the steps use.
    std::uint8_t* TransmitBuffer() { return transmitBuffer_; }
    std::uint8_t* ReceiveBuffer() { return receiveBuffer_; }
    const std::uint8_t* ReceiveBuffer() const { return receiveBuffer_; }
    // The line of the transport last attached, kept once it is detached.
    const serial::LineSettings& Line() const { return line_; }

private:
    // ReceiveFrame without the count first, where the caller has just seen it.
    std::uint32_t TakePending();
    // What the reply wait took in, into the receive buffer: a whole reply
    // (what follows it is discarded before the next request).
    std::uint32_t TakeStaged();
    bool ExceptionReplyStaged() const;
    // A whole read reply of another byte count than asked for is staged: it
    // is judged at once, not waited out as a reply still coming.
    bool ReadReplyOfItsOwnLengthStaged() const;
    // The reply taken is a gateway's exception 10 or 11 for the display.
    bool GatewayAnsweredForSilence() const;
    // Such an answer as the step's outcome: no reply through the gateway.
    void FailAsGatewayNoReply();
    void Stage();
    // Stages what comes until `complete` holds (true) or waitMicros have
    // passed or the port is lost (false).
    bool StageFor(std::int64_t waitMicros, const std::function<bool()>& complete);
    void DropStaged() { stagedCount_ = 0; }
    // Drops all but the last `count` staged bytes (the start of a reply still coming).
    void KeepStagedTail(std::uint32_t count);
    // The one wait before a request, at most boundMicros: a frame gap after
    // the last frame, a late reply's time after a faulty exchange, and a
    // while after stray bytes. What comes meanwhile is staged.
    void AwaitQuietLine(std::int64_t boundMicros);
    void SettleAfterFault();
    std::uint64_t SettleGap() const;
    // Drops the request's echo from the head of what was staged, once it is
    // there whole; until it can be told from a reply, echo_ stays Undecided.
    void DropEcho();
    // Goes through the staged frames in order: another master's are counted
    // in *notes and dropped, and the first probe answer that is not a reply
    // to another master's request is taken into the receive buffer (true).
    // Noise is passed over; the start of a frame still coming stays staged.
    bool TakeProbeAnswer(ProbeAnswer* answer, bool late, ProbeNotes* notes);
    // The probe through a gateway: its answer to this request, or none within the bound.
    // `length`: the probe's request, in the transmit buffer; `answerWait`:
    // how long a display takes to answer it on the line, and the network's share.
    ProbeResult ProbeThroughGateway(std::uint32_t length, const std::function<std::int64_t()>& answerWait,
                                    ProbeAnswer* answer, ProbeNotes* notes);
    // What the transport dropped since last asked, to the trace.
    void ObserveDropped();
    // Tells the owner; the transport is detached when it returns.
    void Lose(int osError);
    // How a request's reply came: whole (judged next), missing, or the port lost.
    enum class Exchanged { Whole, Missing, Lost };
    // Sends `length` bytes of the transmit buffer and takes what comes back
    // into the receive buffer.
    Exchanged Exchange(std::uint32_t length, unsigned pauseMs, std::uint32_t wanted);
    // Records the judgement of a whole reply for the caller, the trace and
    // the next request; true when the reply was taken.
    bool Verdict(Rejection rejection, const char* taken);
    // The facts of a step's request, then of its failure.
    void BeginStep(std::uint32_t wanted);
    void FailStep(StepFailure::Kind kind, unsigned waitedMs);
    void Observe(FrameEvent::Kind kind, const std::uint8_t* bytes, std::size_t count, const std::string& outcome);
    // The request in the transmit buffer, as it went out.
    void ObserveRequest(std::uint32_t length);
    // The port lost under the step, with the OS's words for why.
    void ObserveLoss();
    std::uint64_t FrameGap() const;
    std::int64_t WireTime(std::uint32_t bytes) const;

    // What a reply may take beyond its wire time: the network's share.
    std::int64_t NetworkAllowance() const;
    // Notes which kind of block the step under way exchanges, and whether
    // its kind came through: for StepFailure::wideRefusedByGateway.
    void NoteBlock(const RegisterBlock& block) { stepWide_ = block.wide; }

    const ModbusLink* link_;
    ConnectionSettings& settings_;
    RegisterImage& image_;
    LostHandler onLost_;
    serial::LineSettings line_ {};
    std::uint8_t transmitBuffer_[kBufferSize] = {};
    std::uint8_t receiveBuffer_[kBufferSize] = {};
    Transport* transport_ = nullptr;  // while the port is open
    // The transport failed since it was attached, and why in a user's words.
    bool lost_ = false;
    std::string lostErrorText_;
    std::uint32_t receivedCount_ = 0;  // bytes the last ReceiveFrame put into the receive buffer
    // Bytes the reply wait took from the port as they came, ahead of
    // ReceiveFrame; they still count as pending.
    std::uint8_t staged_[kBufferSize] = {};
    std::uint32_t stagedCount_ = 0;
    // Times on the steady clock, in microseconds.
    // After a reply wait that ended without a whole reply, that reply may
    // still come; the next request waits for it until then, at most.
    std::int64_t lateReplyUntilMicros_ = 0;  // 0: nothing to wait for
    std::int64_t requestWireMicros_ = 0;     // the last request's time on the line
    std::int64_t lineBusyUntilMicros_ = 0;   // the end of the last frame either way
    std::int64_t lastReceivedMicros_ = 0;    // when bytes last came in
    bool lineNeverFellSilent_ = false;
    // Whether the bytes after a request begin with its echo.
    enum class Echo { None, Undecided, Dropped } echo_ = Echo::None;
    std::uint32_t requestLength_ = 0;  // the last request, still in the transmit buffer
    // The probe before, when it went unanswered: a late answer from that
    // address is its answer. 0: none (a probe answered, or the port opened since).
    std::uint8_t silentProbe_ = 0;
    // The address another master's last request went to, while its reply
    // may still come (0: none): that reply is not a probe's answer.
    std::uint8_t foreignAsked_ = 0;
    // Another master's frames have come since the program started (or the
    // link was reset): a probe's answer from an address it did not ask is
    // taken for that master's then, as its request may have gone by unseen.
    bool anotherMasterHeard_ = false;
    // The gateway left a probe unanswered for the whole bound: it does not
    // answer silent unit ids, and later probes wait as long as it waits on the line.
    bool gatewayLeavesSilenceUnanswered_ = false;
    Rejection lastRejection_ = Rejection::None;
    int lastExceptionCode_ = 0;
    bool stepWide_ = false;          // the step under way is of a 32-bit block
    bool stepReads_ = false;         // the step under way is a block read
    bool narrowBlockCameThrough_ = false;  // since the port opened
    StepFailure step_;         // the step under way
    StepFailure lastFailure_;
    FrameObserver observer_;
};
