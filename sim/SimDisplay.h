// A simulated display on a pseudo-terminal: the tool opens the pty's device as
// it would open a serial port, and the display answers from a thread of its own.
#pragma once

#include "SlaveLogic.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace sim {

// The line as the tool had set it when a frame came in.
struct LineSnapshot {
    std::uint32_t baud = 0;
    bool twoStopBits = false;
    bool oddParity = false;  // the pty driver keeps PARODD but clears PARENB
};

struct ReceivedFrame {
    std::vector<std::uint8_t> bytes;
    LineSnapshot line;
    bool lineMatched = false;  // false: sent at another rate or framing, ignored
    // Why the display did not take the frame though it came at its line
    // (the serial line's timing, a collision); empty when it did.
    std::string spoiled;
};

enum class FaultKind {
    Silent,        // no reply
    Late,          // reply late by value ms
    BadCrc,        // last CRC byte flipped
    OtherAddress,  // reply from address value (default: own + 1)
    Exception,     // exception reply with code value
    Truncate,      // only the first value bytes
    Prefix,        // value bytes of noise ahead of the reply
    TwoReplies,    // the reply twice, back to back
    Deaf,          // the request lost on the line: neither carried out nor answered
    // Faults of one register (value), met by the first write that covers it;
    // other requests are answered as usual and leave the fault waiting.
    RefuseWrite,  // the write is refused with exception 3 and nothing of it is stored
    AlterWrite,   // the write is acknowledged, but the register keeps the value with its lowest bit flipped
};

struct Fault {
    FaultKind kind;
    int value = 0;
    bool untilCleared = false;  // else for the next reply only
    int tailAfterMs = -1;       // when set, three bytes of noise follow the reply that much later
    std::uint8_t address = 0;   // a register's fault: the display at this address alone (0: every display)
};

class SimDisplay {
public:
    struct Options {
        std::uint8_t address = 1;
        std::uint8_t mode = 1;      // 8n2
        std::uint8_t rateCode = 2;  // 9600
        // A reply starts 3.5 characters after the request's end, and this
        // much later still: a display's own turnaround.
        int replyDelayMs = 0;
        // The serial line's timing as a display's receiver keeps it: a frame
        // begins only on a line idle for 3.5 characters (the display's own
        // reply included), a silence of more than 1.5 characters inside it
        // or bytes trailing the request spoil it. Off, requests are taken as
        // soon as they are whole, joined or not.
        bool strict = true;
        // One pair of wires for both directions: bytes that come while the
        // display transmits garble its reply and are no request.
        bool halfDuplex = false;
        // Every byte received is handed straight back, as a two-wire adapter
        // with local echo does to the master's requests.
        bool echo = false;
        std::ostream* log = nullptr;  // each frame in hex with its line, when set
        // Other displays on the same line, at these addresses, each with
        // registers of its own; they keep the line whatever they are sent.
        std::vector<std::uint8_t> moreAddresses {};
    };

    SimDisplay();
    explicit SimDisplay(const Options& options);
    ~SimDisplay();
    SimDisplay(const SimDisplay&) = delete;
    SimDisplay& operator=(const SimDisplay&) = delete;

    // Opens the pty and starts serving. False with *error set when it cannot.
    bool Start(std::string* error = nullptr);
    void Stop();
    // The device the tool opens (/dev/pts/N).
    const std::string& DevicePath() const { return devicePath_; }

    std::uint32_t Register(unsigned reg) const;
    void SetRegister(unsigned reg, std::uint32_t value);
    float RegisterFloat(unsigned reg) const;
    void SetRegisterFloat(unsigned reg, float value);
    // The same for the display at `address` on this line.
    std::uint32_t Register(std::uint8_t address, unsigned reg) const;
    void SetRegister(std::uint8_t address, unsigned reg, std::uint32_t value);

    void AdvanceClock(std::chrono::seconds seconds);

    std::uint8_t Address() const;
    std::uint8_t Mode() const;
    std::uint8_t RateCode() const;

    std::vector<ReceivedFrame> Frames() const;
    void ClearFrames();
    // Waits until at least `count` frames have come in since the last ClearFrames.
    bool WaitForFrames(std::size_t count, int timeoutMs) const;

    void InjectFault(const Fault& fault);
    void ClearFaults();

    // A byte of noise every `intervalMs` towards the tool, for ever (0: none):
    // another master on the bus, or an unterminated pair picking up noise.
    void SetChatter(int intervalMs);
    // Replies whose bytes went out with a silence of more than 1.5
    // characters between them, because this machine was late to send.
    int LateReplies() const;

private:
    using Clock = std::chrono::steady_clock;

    // A frame coming in, with the times its bytes would take on the wire:
    // a pseudo-terminal hands a request over at once.
    struct Incoming {
        bool active = false;
        std::vector<std::uint8_t> bytes;
        LineSnapshot line;
        Clock::time_point wireEnd;  // when its last byte would have arrived
        std::string spoiled;
    };

    void Serve();
    // Bytes read at `at`: into the frame coming in, by the line's rules.
    void Receive(const std::uint8_t* bytes, std::size_t n, Clock::time_point at);
    // Reads what is pending, if anything, into the frame coming in.
    void ReceivePending();
    // Leniently, each request as soon as it is whole.
    void TakeWholeRequests();
    // A frame that is over, whose last byte would have arrived at `end`:
    // answered unless `spoiled` says why not.
    void HandleFrame(std::vector<std::uint8_t> frame, const LineSnapshot& line, Clock::time_point end,
                     std::string spoiled);
    // What the displays on the line make of a frame they all hear, with the
    // register fault at the head of the queue; under the lock.
    Reply Answer(const std::vector<std::uint8_t>& frame);
    SlaveLogic& Display(std::uint8_t address);
    const SlaveLogic& Display(std::uint8_t address) const;
    LineSnapshot ReadLine() const;
    bool LineMatches(const LineSnapshot& line) const;
    std::chrono::nanoseconds Character() const;
    // Sends a reply whose first byte starts on the wire at `start`, each byte
    // handed over when it would have arrived whole; in half-duplex mode a
    // byte received meanwhile garbles what is still to go.
    // True when it collided.
    bool SendPaced(std::vector<std::uint8_t> bytes, Clock::time_point start, std::chrono::nanoseconds character);
    // Waits until `when`, taking in what arrives meanwhile.
    void WaitReceiving(Clock::time_point when);
    void SendChatter();
    void Log(const char* direction, const std::vector<std::uint8_t>& bytes, const LineSnapshot& line,
             const char* note) const;

    Options options_;
    int master_ = -1;
    int slaveKeeper_ = -1;  // keeps the pty alive while the tool has it closed
    std::string devicePath_;
    std::thread thread_;
    bool stopping_ = false;

    // The serving thread's own: the line as the display sees it.
    Incoming incoming_;
    Clock::time_point lineQuietSince_ {};  // the end of the last frame, either way
    Clock::time_point sendingFrom_ {}, sendingUntil_ {};  // the reply on the wire
    bool collided_ = false;
    Clock::time_point nextChatter_ {};

    mutable std::mutex mutex_;
    mutable std::condition_variable framesChanged_;
    SlaveLogic logic_;
    std::vector<SlaveLogic> others_;
    std::vector<ReceivedFrame> frames_;
    std::deque<Fault> faults_;
    int chatterMs_ = 0;
    int lateReplies_ = 0;
};

}  // namespace sim
