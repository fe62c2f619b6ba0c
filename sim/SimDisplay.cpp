#include "SimDisplay.h"

#include "FrameLog.h"
#include "Modbus.h"
#include "SerialLineLinux.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace sim {
namespace {

using Clock = std::chrono::steady_clock;

std::uint32_t Baud(std::uint8_t rateCode)
{
    return kDisplayRates[rateCode < kDisplayRateCount ? rateCode : 2];
}

std::chrono::nanoseconds CharacterTime(std::uint8_t mode, std::uint8_t rateCode)
{
    return std::chrono::nanoseconds(std::uint64_t(CharacterBits(mode)) * 1000000000u / Baud(rateCode));
}

// 3.5 characters: the silence that ends a frame and the least a reply
// waits. The standard fixes 1.75 ms above 19200 baud.
std::chrono::nanoseconds FrameGap(std::chrono::nanoseconds character)
{
    return std::max<std::chrono::nanoseconds>(character * 7 / 2, std::chrono::microseconds(1750));
}

// 1.5 characters, 750 us above 19200 baud: more silence inside a frame ends it spoiled.
std::chrono::nanoseconds CharacterGap(std::chrono::nanoseconds character)
{
    return std::max<std::chrono::nanoseconds>(character * 3 / 2, std::chrono::microseconds(750));
}

constexpr std::chrono::microseconds kSpin {300};

}  // namespace

SimDisplay::SimDisplay() : SimDisplay(Options {}) {}

SimDisplay::SimDisplay(const Options& options)
    : options_(options), logic_(options.address, options.mode, options.rateCode)
{
    for (std::uint8_t address : options.moreAddresses)
        others_.emplace_back(address, options.mode, options.rateCode);
}

SimDisplay::~SimDisplay()
{
    Stop();
}

bool SimDisplay::Start(std::string* error)
{
    auto fail = [&](const char* what) {
        if (error)
            *error = std::string(what) + ": " + std::strerror(errno);
        Stop();
        return false;
    };
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0)
        return fail("posix_openpt");
    if (grantpt(master_) != 0 || unlockpt(master_) != 0)
        return fail("unlockpt");
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0)
        return fail("ptsname");
    devicePath_ = name;
    slaveKeeper_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slaveKeeper_ < 0)
        return fail("open pty");
    // Raw from the start, so nothing is echoed before the tool sets the line.
    struct termios tio {};
    tcgetattr(slaveKeeper_, &tio);
    cfmakeraw(&tio);
    tcsetattr(slaveKeeper_, TCSANOW, &tio);
    stopping_ = false;
    thread_ = std::thread(&SimDisplay::Serve, this);
    return true;
}

void SimDisplay::Stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    if (thread_.joinable())
        thread_.join();
    if (slaveKeeper_ >= 0)
        ::close(slaveKeeper_);
    if (master_ >= 0)
        ::close(master_);
    slaveKeeper_ = master_ = -1;
}

std::uint32_t SimDisplay::Register(unsigned reg) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return logic_.Register(reg);
}

void SimDisplay::SetRegister(unsigned reg, std::uint32_t value)
{
    std::lock_guard<std::mutex> lock(mutex_);
    logic_.SetRegister(reg, value);
}

SlaveLogic& SimDisplay::Display(std::uint8_t address)
{
    for (SlaveLogic& other : others_)
        if (other.Address() == address)
            return other;
    return logic_;
}

const SlaveLogic& SimDisplay::Display(std::uint8_t address) const
{
    return const_cast<SimDisplay*>(this)->Display(address);
}

std::uint32_t SimDisplay::Register(std::uint8_t address, unsigned reg) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return Display(address).Register(reg);
}

void SimDisplay::SetRegister(std::uint8_t address, unsigned reg, std::uint32_t value)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Display(address).SetRegister(reg, value);
}

float SimDisplay::RegisterFloat(unsigned reg) const
{
    return BitsToFloat(Register(reg));
}

void SimDisplay::SetRegisterFloat(unsigned reg, float value)
{
    SetRegister(reg, FloatToBits(value));
}

void SimDisplay::AdvanceClock(std::chrono::seconds seconds)
{
    std::lock_guard<std::mutex> lock(mutex_);
    logic_.AdvanceClock(seconds);
}

std::uint8_t SimDisplay::Address() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return logic_.Address();
}

std::uint8_t SimDisplay::Mode() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return logic_.Mode();
}

std::uint8_t SimDisplay::RateCode() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return logic_.RateCode();
}

std::vector<ReceivedFrame> SimDisplay::Frames() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
}

void SimDisplay::ClearFrames()
{
    std::lock_guard<std::mutex> lock(mutex_);
    frames_.clear();
}

bool SimDisplay::WaitForFrames(std::size_t count, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return framesChanged_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                   [&] { return frames_.size() >= count; });
}

void SimDisplay::InjectFault(const Fault& fault)
{
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.push_back(fault);
}

void SimDisplay::ClearFaults()
{
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.clear();
}

LineSnapshot SimDisplay::ReadLine() const
{
    // On a pty, termios requests on the master act on the slave: this is the
    // line exactly as the tool set it.
    LineSnapshot line;
    struct termios tio {};
    if (tcgetattr(master_, &tio) == 0) {
        line.twoStopBits = (tio.c_cflag & CSTOPB) != 0;
        line.oddParity = (tio.c_cflag & PARODD) != 0;
    }
    line.baud = serial::GetLinuxBaud(master_);
    return line;
}

bool SimDisplay::LineMatches(const LineSnapshot& line) const
{
    const std::uint8_t mode = logic_.Mode();
    return line.baud == Baud(logic_.RateCode()) && line.twoStopBits == (mode == 1)
           && line.oddParity == (mode == 3);
}

std::chrono::nanoseconds SimDisplay::Character() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return CharacterTime(logic_.Mode(), logic_.RateCode());
}

void SimDisplay::SetChatter(int intervalMs)
{
    std::lock_guard<std::mutex> lock(mutex_);
    chatterMs_ = intervalMs;
}

int SimDisplay::LateReplies() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return lateReplies_;
}

void SimDisplay::Serve()
{
    // Replies are paced to the wire's clock: wake-ups as exact as they go.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    for (;;) {
        int chatterMs;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_)
                return;
            chatterMs = chatterMs_;
        }
        const Clock::time_point now = Clock::now();
        if (chatterMs > 0 && now >= nextChatter_) {
            SendChatter();
            nextChatter_ = now + std::chrono::milliseconds(chatterMs);
        }
        // Wake for bytes, for the end of the frame coming in, for the next
        // chatter, and now and then to see whether to stop.
        Clock::time_point until = now + std::chrono::milliseconds(2);
        if (chatterMs > 0)
            until = std::min(until, nextChatter_);
        if (incoming_.active)
            until = std::min(until, incoming_.wireEnd + FrameGap(Character()));
        const auto wait = std::max(until - now, Clock::duration::zero());
        const timespec timeout {time_t(wait / std::chrono::seconds(1)),
                                long((wait % std::chrono::seconds(1)) / std::chrono::nanoseconds(1))};
        pollfd fds {master_, POLLIN, 0};
        if (ppoll(&fds, 1, &timeout, nullptr) > 0 && (fds.revents & POLLIN))
            ReceivePending();
        if (!options_.strict)
            TakeWholeRequests();
        // 3.5 silent characters end a frame.
        if (incoming_.active && Clock::now() >= incoming_.wireEnd + FrameGap(Character())) {
            Incoming frame = std::move(incoming_);
            incoming_ = Incoming {};
            HandleFrame(std::move(frame.bytes), frame.line, frame.wireEnd, std::move(frame.spoiled));
        }
    }
}

void SimDisplay::TakeWholeRequests()
{
    // Leniently, a request is taken the moment it is whole, and what follows
    // it is the start of the next.
    for (std::size_t length; incoming_.active
                             && (length = SlaveLogic::RequestLength(incoming_.bytes.data(), incoming_.bytes.size()))
                             && incoming_.bytes.size() >= length;) {
        std::vector<std::uint8_t> frame(incoming_.bytes.begin(), incoming_.bytes.begin() + long(length));
        incoming_.bytes.erase(incoming_.bytes.begin(), incoming_.bytes.begin() + long(length));
        const LineSnapshot line = incoming_.line;
        incoming_.active = !incoming_.bytes.empty();
        HandleFrame(std::move(frame), line, incoming_.wireEnd, {});
    }
}

void SimDisplay::ReceivePending()
{
    std::uint8_t buffer[512];
    const Clock::time_point at = Clock::now();
    const ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n > 0)
        Receive(buffer, std::size_t(n), at);
}

void SimDisplay::Receive(const std::uint8_t* bytes, std::size_t n, Clock::time_point at)
{
    if (options_.echo)
        (void)!::write(master_, bytes, n);
    const auto character = Character();
    const bool sending = at >= sendingFrom_ && at < sendingUntil_;
    if (!incoming_.active) {
        incoming_ = Incoming {};
        incoming_.active = true;
        incoming_.line = ReadLine();
        incoming_.wireEnd = at;
        // The display's own reply counts: the line is not idle while it sends.
        if (options_.strict && (sending || at - lineQuietSince_ < FrameGap(character)))
            incoming_.spoiled = "began on a line not idle for 3.5 characters";
    } else if (options_.strict && incoming_.spoiled.empty() && at - incoming_.wireEnd > CharacterGap(character)) {
        incoming_.spoiled = "a silence of more than 1.5 characters inside the frame";
    }
    if (sending && options_.halfDuplex) {
        collided_ = true;
        incoming_.spoiled = "collided with the display's reply";
    }
    // A pseudo-terminal hands the bytes over at once; on the wire they
    // follow one another from the moment they began.
    incoming_.wireEnd = std::max(incoming_.wireEnd, at) + character * long(n);
    lineQuietSince_ = std::max(lineQuietSince_, incoming_.wireEnd);
    incoming_.bytes.insert(incoming_.bytes.end(), bytes, bytes + n);
}

void SimDisplay::HandleFrame(std::vector<std::uint8_t> frame, const LineSnapshot& line, Clock::time_point end,
                             std::string spoiled)
{
    Reply reply;
    int extraDelayMs = 0, tailAfterMs = -1;
    std::uint8_t mode, rate;
    bool matched, deaf = false;
    if (options_.strict && spoiled.empty()) {
        const std::size_t length = SlaveLogic::RequestLength(frame.data(), frame.size());
        if (length && frame.size() > length)
            spoiled = "bytes trailing the request";
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        matched = LineMatches(line);
        if (!matched)
            spoiled.clear();
        frames_.push_back({frame, line, matched, spoiled});
        mode = logic_.Mode();
        rate = logic_.RateCode();
        const bool heard = matched && spoiled.empty();
        if (heard && !faults_.empty() && faults_.front().kind == FaultKind::Deaf) {
            if (!faults_.front().untilCleared)
                faults_.pop_front();
            deaf = true;
        }
        if (heard && !deaf)
            reply = Answer(frame);
        const bool replyFault = !faults_.empty() && faults_.front().kind != FaultKind::RefuseWrite
                                && faults_.front().kind != FaultKind::AlterWrite;
        if (reply.send && replyFault) {
            Fault fault = faults_.front();
            if (!fault.untilCleared)
                faults_.pop_front();
            tailAfterMs = fault.tailAfterMs;
            switch (fault.kind) {
            case FaultKind::Silent: reply.send = false; break;
            case FaultKind::Late: extraDelayMs = fault.value; break;
            case FaultKind::BadCrc: reply.bytes.back() ^= 0xFF; break;
            case FaultKind::OtherAddress:
                reply.bytes.resize(reply.bytes.size() - 2);
                reply.bytes[0] = std::uint8_t(fault.value ? fault.value : logic_.Address() + 1);
                reply.bytes = SlaveLogic::Frame(reply.bytes);
                break;
            case FaultKind::Exception:
                reply.bytes = SlaveLogic::Frame({logic_.Address(), std::uint8_t(frame[1] | 0x80),
                                                 std::uint8_t(fault.value)});
                break;
            case FaultKind::Truncate:
                reply.bytes.resize(std::min<std::size_t>(reply.bytes.size(), std::size_t(fault.value)));
                break;
            case FaultKind::Prefix:
                reply.bytes.insert(reply.bytes.begin(), std::size_t(fault.value), std::uint8_t(0x55));
                break;
            case FaultKind::Deaf: break;  // taken before the request was
            case FaultKind::RefuseWrite:
            case FaultKind::AlterWrite: break;  // taken by Answer
            case FaultKind::TwoReplies: {
                std::vector<std::uint8_t> twice = reply.bytes;
                reply.bytes.insert(reply.bytes.end(), twice.begin(), twice.end());
                break;
            }
            }
        }
    }
    framesChanged_.notify_all();
    Log("->", frame, line,
        !matched            ? "at another line: ignored"
        : !spoiled.empty()  ? spoiled.c_str()
        : deaf              ? "not heard"
        : reply.send        ? ""
                            : "no reply");
    if (reply.send) {
        // No sooner than 3.5 characters after the request, and the display's
        // own turnaround on top.
        const auto character = CharacterTime(mode, rate);
        const Clock::time_point start = end + FrameGap(character)
                                        + std::chrono::milliseconds(options_.replyDelayMs + extraDelayMs);
        const bool collided = SendPaced(reply.bytes, start, character);
        Log("<-", reply.bytes, line, collided ? "garbled: bytes came in while it went out" : "");
        if (tailAfterMs >= 0) {
            WaitReceiving(Clock::now() + std::chrono::milliseconds(tailAfterMs));
            const std::vector<std::uint8_t> tail(3, 0xAA);
            SendPaced(tail, Clock::now(), character);
            Log("<-", tail, line, "noise");
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    // A new own line takes effect once the answer has left at the old one.
    if (logic_.LineRegistersChanged())
        logic_.ApplyLineRegisters();
}

Reply SimDisplay::Answer(const std::vector<std::uint8_t>& frame)
{
    // A write that covers the register of the fault at the head of the queue.
    const Fault* fault = faults_.empty() ? nullptr : &faults_.front();
    const bool covered = fault && (fault->kind == FaultKind::RefuseWrite || fault->kind == FaultKind::AlterWrite)
                         && frame.size() >= 9 && frame[1] == 16
                         && unsigned(fault->value) >= unsigned(frame[2] << 8 | frame[3])
                         && unsigned(fault->value) < unsigned(frame[2] << 8 | frame[3]) + unsigned(frame[4] << 8 | frame[5])
                         && (fault->address == 0 || fault->address == frame[0]);
    SlaveLogic& addressed = Display(frame[0]);
    if (covered && frame[0] == addressed.Address() && fault->kind == FaultKind::RefuseWrite) {
        const Fault refused = *fault;
        if (!refused.untilCleared)
            faults_.pop_front();
        return {true, SlaveLogic::Frame({addressed.Address(), std::uint8_t(16 | 0x80), 3})};
    }
    // Every display hears every frame; only the one addressed answers, and
    // a broadcast is carried out by all.
    Reply reply = logic_.Handle(frame);
    for (SlaveLogic& other : others_)
        if (Reply answer = other.Handle(frame); answer.send)
            reply = answer;
    const bool acknowledged = reply.send && reply.bytes.size() > 1 && reply.bytes[1] == 16;
    if (covered && acknowledged && frame[0] == addressed.Address()) {
        const unsigned reg = unsigned(fault->value);
        addressed.SetRegister(reg, addressed.Register(reg) ^ 1u);
        if (!fault->untilCleared)
            faults_.pop_front();
    }
    return reply;
}

void SimDisplay::WaitReceiving(Clock::time_point when)
{
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (now >= when)
            return;
        // The last stretch spun, not slept: a sleep may overshoot by more
        // than a character at the higher rates.
        const auto remaining = when - now;
        const auto sleep = remaining > kSpin ? remaining - kSpin / 2 : Clock::duration::zero();
        const timespec timeout {time_t(sleep / std::chrono::seconds(1)),
                                long((sleep % std::chrono::seconds(1)) / std::chrono::nanoseconds(1))};
        pollfd fds {master_, POLLIN, 0};
        if (ppoll(&fds, 1, &timeout, nullptr) > 0 && (fds.revents & POLLIN))
            ReceivePending();
    }
}

bool SimDisplay::SendPaced(std::vector<std::uint8_t> bytes, Clock::time_point start,
                           std::chrono::nanoseconds character)
{
    WaitReceiving(start);
    sendingFrom_ = start;
    sendingUntil_ = start + character * long(bytes.size());
    // A request still on the wire when the reply begins collides with it.
    collided_ = options_.halfDuplex && incoming_.active && incoming_.wireEnd > start;
    if (collided_)
        incoming_.spoiled = "collided with the display's reply";
    bool late = false;
    std::size_t sent = 0;
    Clock::time_point previous = start;
    while (sent < bytes.size()) {
        const Clock::time_point now = Clock::now();
        // Each byte is handed over when its last bit would have arrived,
        // all that are due in one write: paced from one start, not by one
        // sleep per byte.
        const std::size_t due = std::min(bytes.size(), std::size_t((now - start) / character));
        if (due > sent) {
            if (collided_)
                for (std::size_t k = sent; k < due; ++k)
                    bytes[k] ^= 0xFF;
            // More than 1.5 characters of silence between two bytes.
            if (sent > 0 && now - previous > character * 5 / 2)
                late = true;
            lineQuietSince_ = now;  // the tool cannot see the bytes before this
            const ssize_t n = ::write(master_, bytes.data() + sent, due - sent);
            if (n < 0 && errno != EINTR && errno != EAGAIN)
                break;
            if (n > 0)
                sent += std::size_t(n);
            previous = now;
        }
        if (sent < bytes.size())
            WaitReceiving(start + character * long(sent + 1));
    }
    sendingFrom_ = sendingUntil_ = Clock::time_point {};
    if (late) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++lateReplies_;
    }
    return collided_;
}

void SimDisplay::SendChatter()
{
    const std::uint8_t noise = 0xFF;
    (void)!::write(master_, &noise, 1);
}

void SimDisplay::Log(const char* direction, const std::vector<std::uint8_t>& bytes, const LineSnapshot& line,
                     const char* note) const
{
    if (!options_.log)
        return;
    // A pseudo-terminal keeps the odd-parity bit but not parity itself: even
    // parity cannot be told from none here.
    const char* mode = line.twoStopBits ? "8n2" : line.oddParity ? "8o1" : "8n1";
    *options_.log << FrameLogLine(std::chrono::system_clock::now(), direction, devicePath_, line.baud, mode,
                                  bytes.data(), bytes.size(), note)
                  << std::endl;
}

}  // namespace sim
