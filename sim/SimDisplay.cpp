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

void SleepUntil(Clock::time_point when)
{
    std::this_thread::sleep_until(when);
}

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

void SimDisplay::Serve()
{
    std::vector<std::uint8_t> incoming;
    LineSnapshot line;
    Clock::time_point lastByte = Clock::now();
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_)
                return;
        }
        pollfd fds {master_, POLLIN, 0};
        if (poll(&fds, 1, 2) > 0 && (fds.revents & POLLIN)) {
            std::uint8_t buffer[512];
            ssize_t n = ::read(master_, buffer, sizeof buffer);
            if (n > 0) {
                if (incoming.empty())
                    line = ReadLine();
                incoming.insert(incoming.end(), buffer, buffer + n);
                lastByte = Clock::now();
            }
        }
        for (std::size_t length;
             (length = SlaveLogic::RequestLength(incoming.data(), incoming.size())) && incoming.size() >= length;) {
            std::vector<std::uint8_t> frame(incoming.begin(), incoming.begin() + long(length));
            incoming.erase(incoming.begin(), incoming.begin() + long(length));
            HandleFrame(std::move(frame), line);
            line = ReadLine();
        }
        // Anything left after 3.5 silent characters is a frame of its own.
        std::uint8_t mode, rate;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            mode = logic_.Mode();
            rate = logic_.RateCode();
        }
        if (!incoming.empty()
            && Clock::now() - lastByte > std::chrono::microseconds(FrameGapMicros(mode, Baud(rate)))) {
            HandleFrame(std::move(incoming), line);
            incoming.clear();
        }
    }
}

void SimDisplay::HandleFrame(std::vector<std::uint8_t> frame, const LineSnapshot& line)
{
    const Clock::time_point received = Clock::now();
    Reply reply;
    int extraDelayMs = 0, tailAfterMs = -1;
    std::uint8_t mode, rate;
    bool matched, deaf = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        matched = LineMatches(line);
        frames_.push_back({frame, line, matched});
        mode = logic_.Mode();
        rate = logic_.RateCode();
        if (matched && !faults_.empty() && faults_.front().kind == FaultKind::Deaf) {
            if (!faults_.front().untilCleared)
                faults_.pop_front();
            deaf = true;
        }
        if (matched && !deaf)
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
    Log("->", frame, line, !matched ? "at another line: ignored" : deaf ? "not heard" : reply.send ? "" : "no reply");
    if (reply.send) {
        SleepUntil(received + std::chrono::milliseconds(options_.latencyMs + extraDelayMs));
        SendPaced(reply.bytes, mode, rate);
        Log("<-", reply.bytes, line, "");
        if (tailAfterMs >= 0) {
            SleepUntil(Clock::now() + std::chrono::milliseconds(tailAfterMs));
            const std::vector<std::uint8_t> tail(3, 0xAA);
            SendPaced(tail, mode, rate);
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
                         && unsigned(fault->value) < unsigned(frame[2] << 8 | frame[3]) + unsigned(frame[4] << 8 | frame[5]);
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

void SimDisplay::SendPaced(const std::vector<std::uint8_t>& bytes, std::uint8_t mode, std::uint8_t rateCode)
{
    // Each byte leaves when the wire would have carried the ones before it.
    const auto character = CharacterTime(mode, rateCode);
    const Clock::time_point start = Clock::now();
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        std::size_t due = std::min(bytes.size(),
                                   std::size_t((Clock::now() - start) / character) + 1);
        if (due > sent) {
            ssize_t n = ::write(master_, bytes.data() + sent, due - sent);
            if (n < 0 && errno != EINTR && errno != EAGAIN)
                return;
            if (n > 0)
                sent += std::size_t(n);
        }
        if (sent < bytes.size())
            SleepUntil(start + character * long(sent));
    }
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
