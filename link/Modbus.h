// The display link: one serial master (ModbusLink), the connection settings
// every window uses, and the local copy of the display's registers.
// Plain C++: no Qt here, the simulator's tests and the benchmarks use it too.
#pragma once

#include "ConnectionSettings.h"
#include "Frames.h"
#include "LineTiming.h"
#include "Messages.h"
#include "RegisterBlocks.h"
#include "RegisterImage.h"
#include "SerialPort.h"
#include "Transport.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
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
};

// A frame as a block step saw it, with what it made of it: for a trace.
class ModbusLink;

struct FrameEvent {
    // Echo: the request's own bytes handed back by an echoing adapter.
    enum class Kind { Request, Reply, NoReply, PortLost, Echo };
    Kind kind;
    const std::uint8_t* bytes;  // what went out or came back (part of a reply that did not come whole)
    std::size_t count;
    std::string outcome;  // "stored", "acknowledged", "CRC error", "no reply after 512 ms"...
    // The link the frame went through: one observer can serve several.
    const ModbusLink* link = nullptr;
};
using FrameObserver = std::function<void(const FrameEvent&)>;

class ModbusLink {
public:
    static constexpr std::size_t kBufferSize = 300;
    // The most registers one write carries: its byte count is one byte.
    static constexpr std::uint16_t kMostWritten16 = 123, kMostWritten32 = 61;
    // The longest wait before a raw SendFrame, as the block steps wait at
    // most their pause: the pause most exchanges use.
    static constexpr unsigned kSettleBoundMs = 500;

    enum class HandleState { Null, Invalid, Valid };

    ModbusLink(ConnectionSettings& settings, RegisterImage& image);

    // --- serial port ---
    // Port index as in ConnectionSettings: a port this run's list has given.
    int OpenPort(std::uint8_t portIndex, std::uint8_t modeIndex, std::uint8_t rateIndex);
    // The same for a device named by its path ("/dev/ttyUSB0", "\\.\COM12"),
    // whatever port index it may stand behind; the settings' port index stays.
    int OpenDevice(const std::string& device, std::uint8_t modeIndex, std::uint8_t rateIndex);
    int ClosePort();
    // Sends the first `length` bytes of the transmit buffer. Whatever an
    // earlier exchange left in the input queue is discarded first, so it can
    // never be taken as part of this request's reply.
    // It waits first for a frame gap after the last frame (3.5 characters of
    // silence) and for bytes still coming to stop, at most kSettleBoundMs.
    std::uint32_t SendFrame(std::uint32_t length);
    std::uint32_t ReceiveFrame();
    std::uint32_t PendingBytes();

    // The pause after a request, where `wanted` is the count the caller then
    // compares PendingBytes() with (the expected length, or 7 for a write).
    // Blocks on the port and returns as soon as the whole reply (wanted + 1
    // bytes, or a 5-byte exception reply) is pending, else when pauseMs plus
    // the wire time of request and reply have passed. Returns PendingBytes()
    // at that moment.
    std::uint32_t WaitForReply(unsigned pauseMs, std::uint32_t wanted);

    // Why the last OpenPort failed: the device tried and the OS error.
    const std::string& LastOpenDevice() const { return lastOpenDevice_; }
    int LastOpenError() const { return lastOpenFailure_.osError; }
    // The device opened but refused the line (mode or rate): another line may open.
    bool LastOpenRefusedLine() const { return lastOpenFailure_.lineRefused; }
    // The rate the port runs at when it was refused for not being the rate
    // asked for (0 otherwise), and the rate that was asked for.
    std::uint32_t LastOpenBaudReadBack() const { return lastOpenFailure_.baudReadBack; }
    std::uint32_t LastOpenBaudAsked() const { return lastOpenBaudAsked_; }
    // A sentence a user can act on: "The port runs at 120000 baud when asked
    // for 115200", "Permission denied: ...".
    std::string LastOpenErrorText() const;
    // The last open was a network port's connection attempt that the
    // connect watch gave up: the user chose to, nothing to tell them.
    bool LastOpenGivenUp() const { return lastOpenGivenUp_; }
    // Asked while a network port's connection attempt waits (see
    // net::KeepTrying): false gives it up. Empty: it runs to its time-out.
    void SetConnectWatch(std::function<bool()> keepTrying) { connectWatch_ = std::move(keepTrying); }

    // An open port that failed under an exchange (an unplugged adapter) is
    // closed at once; these say which device it was and the OS error, until
    // the next OpenPort.
    bool PortLost() const { return lostError_ != 0; }
    const std::string& LostDevice() const { return lostDevice_; }
    int LostError() const { return lostError_; }
    // That error in a user's words, as the port that reported it puts them.
    const std::string& LostErrorText() const { return lostErrorText_; }

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
    // out while it may still come. A late reply to an earlier probe that
    // comes before this one goes out is taken instead (answer->late).
    ProbeResult Probe(std::uint8_t address, unsigned latencyMs, ProbeAnswer* answer);
    // Every frame of the block steps goes to the observer, when one is set.
    void SetFrameObserver(FrameObserver observer) { observer_ = std::move(observer); }
    const FrameObserver& Observer() const { return observer_; }
    // The settings this link opens its port with and keeps up to date.
    const ConnectionSettings& Connection() const { return settings_; }
    // The last block step's request went out on a line that never fell
    // silent within its bounded wait: another master or noise on the line.
    bool LineNeverFellSilent() const { return lineNeverFellSilent_; }
    // The device of the port as last opened.
    const std::string& PortDevice() const { return portDevice_; }

    // Why the last step's reply was not taken, and the exception code of an
    // exception reply.
    Rejection LastRejection() const { return lastRejection_; }
    int LastExceptionCode() const { return lastExceptionCode_; }
    // The last step that did not do what it was for (the port lost aside);
    // a later step that succeeds leaves it, so an action of several steps
    // can still say why one of them failed.
    const StepFailure& LastFailedStep() const { return lastFailure_; }

    // --- Modbus RTU framing ---
    int BuildReadRequest(std::uint8_t address, std::uint16_t start, std::uint16_t quantity);
    int CheckResponse(std::uint8_t address);
    int StoreResponse(std::uint16_t start, int last);
    int BuildWriteRequest16(std::uint8_t address, std::uint16_t start, std::uint16_t quantity,
                            std::uint8_t typeCode = 3);
    int BuildWriteRequest32(std::uint8_t address, std::uint16_t start, std::uint16_t quantity);

    // Back to the state at program start (tests); closes an open port.
    void Reset();

    // The serial port under the link, when it is one: how RTS follows a request.
    const serial::Port* SerialPortOf() const;

    // In the order of the port's state: handle, line, buffers, open flag.
    HandleState handleState = HandleState::Null;
    serial::LineSettings lineSettings {};
    std::uint8_t receiveBuffer[kBufferSize] = {};
    std::uint8_t transmitBuffer[kBufferSize] = {};
    std::uint8_t openFlag = 0;

private:
    // ReceiveFrame without the count first, where the caller has just seen it.
    std::uint32_t TakePending();
    // What the reply wait took in, into the receive buffer: a whole reply
    // (what follows it is discarded before the next request).
    std::uint32_t TakeStaged();
    bool ExceptionReplyStaged() const;
    void Stage();
    // Stages what comes until `complete` holds (true) or waitMicros have
    // passed or the port is lost (false).
    bool StageFor(std::int64_t waitMicros, const std::function<bool()>& complete);
    void DropStaged() { stagedCount_ = 0; }
    // Drops all but the last `count` staged bytes (the start of a reply still coming).
    void KeepStagedTail(std::uint32_t count);
    // Writes the first `length` bytes of the transmit buffer as they are.
    std::uint32_t Transmit(std::uint32_t length);
    int AppendCrc(int length);
    int BuildRequestHeader(std::uint8_t address, std::uint8_t function, std::uint16_t start,
                           std::uint16_t quantity);
    // The one wait before a request, at most boundMicros: a frame gap after
    // the last frame, a late reply's time after a faulty exchange, and a
    // while after stray bytes. What comes meanwhile is staged.
    void AwaitQuietLine(std::int64_t boundMicros);
    // The same, then what came meanwhile dropped: nothing before a request
    // can be part of its reply.
    void SettleBeforeRequest(std::int64_t boundMicros);
    void SettleAfterFault();
    std::uint64_t SettleGap() const;
    // The reply wait: true when a whole reply (wanted + 1 bytes, or an
    // exception reply) is staged, or one short of it when the time is up.
    bool AwaitReply(unsigned pauseMs, std::uint32_t wanted);
    // Drops the request's echo from the head of what was staged, once it is
    // there whole; until it can be told from a reply, echo_ stays Undecided.
    void DropEcho();
    // A probe reply among the staged bytes, taken into the receive buffer.
    bool TakeProbeAnswer(ProbeAnswer* answer, bool late);
    void Lose(int osError);
    // A connection to the network port a path names; nothing, with the
    // reason kept for LastOpenErrorText, when it cannot be made.
    std::unique_ptr<Transport> OpenNetwork(const std::string& path, const serial::LineSettings& line);
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
    std::uint64_t FrameGap() const;
    std::int64_t WireTime(std::uint32_t bytes) const;

    // What a reply may take beyond its wire time: the network's share.
    std::int64_t NetworkAllowance() const;
    // Notes which kind of block the step under way exchanges, and whether
    // its kind came through: for StepFailure::wideRefusedByGateway.
    void NoteBlock(const RegisterBlock& block) { stepWide_ = block.wide; }

    ConnectionSettings& settings_;
    RegisterImage& image_;
    std::unique_ptr<Transport> transport_;  // while the port is open
    std::uint32_t receivedCount_ = 0;  // bytes the last ReceiveFrame put into receiveBuffer
    // Bytes the reply wait took from the port as they came, ahead of
    // ReceiveFrame; they still count as pending.
    std::uint8_t staged_[kBufferSize] = {};
    std::uint32_t stagedCount_ = 0;
    std::string lastOpenDevice_;
    serial::OpenFailure lastOpenFailure_;
    std::string lastOpenFailureText_;  // why a network port did not open
    bool lastOpenGivenUp_ = false;
    std::function<bool()> connectWatch_;
    std::uint32_t lastOpenBaudAsked_ = 0;
    std::string portDevice_;  // the device of the open port
    std::string lostDevice_;
    int lostError_ = 0;
    std::string lostErrorText_;
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
    Rejection lastRejection_ = Rejection::None;
    int lastExceptionCode_ = 0;
    bool stepWide_ = false;          // the step under way is of a 32-bit block
    bool narrowBlockCameThrough_ = false;  // since the port opened
    StepFailure step_;         // the step under way
    StepFailure lastFailure_;
    FrameObserver observer_;
};

// The program's one link, settings block and image.
extern ConnectionSettings Settings;
extern RegisterImage Image;
extern ModbusLink Link;

// Puts all three back as the program starts (tests).
void ResetLink();
