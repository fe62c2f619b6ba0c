// Serial ports on Linux: termios2 for the line, flock + TIOCEXCL for the
// exclusive open, FIONREAD for the pending count, TIOCOUTQ and the line
// status for transmit-empty, poll for every wait.
//
// The descriptor never blocks: another program may set VMIN and VTIME under
// us (a daemon that reopens the tty, `stty min 1`), and a stuck adapter may
// never take a write. Every wait is a poll against a deadline instead.
#include "SerialPort.h"
#include "SerialLineLinux.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace serial {
namespace {

void SetRts(int fd, bool high)
{
    int bits = TIOCM_RTS;
    ioctl(fd, high ? TIOCMBIS : TIOCMBIC, &bits);
}

// RTS high only while bytes go out. The kernel's RS-485 mode does exactly
// that in the driver; without it we toggle RTS around the write ourselves.
// A device without modem lines (a pseudo-terminal) answers ENOTTY to both.
RtsDrive SetUpRts(int fd)
{
    struct serial_rs485 rs485 {};
    if (ioctl(fd, TIOCGRS485, &rs485) == 0) {
        rs485.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
        rs485.flags &= ~SER_RS485_RTS_AFTER_SEND;
        if (ioctl(fd, TIOCSRS485, &rs485) == 0)
            return RtsDrive::Driver;
    }
    int lines = 0;
    if (ioctl(fd, TIOCMGET, &lines) != 0)
        return RtsDrive::None;
    int dtrAndRts = TIOCM_DTR | TIOCM_RTS;  // DTR stays low throughout
    ioctl(fd, TIOCMBIC, &dtrAndRts);
    return RtsDrive::Manual;
}

// The ports open now, for ReleaseForExit: fixed slots a signal handler can
// walk. A slot holds the descriptor while its Port (and so its found state)
// is alive.
struct OpenSlot {
    std::atomic<int> fd {-1};
    std::atomic<const FoundState*> found {nullptr};
};
OpenSlot openSlots[16];

// A slot is claimed (-2) before its state is set and its descriptor shown
// last, and a descriptor is hidden before its state goes: a signal between
// two steps finds a port whole or no port, never a descriptor without the
// line to put back.
constexpr int kClaimed = -2;

void Remember(int fd, const FoundState* found)
{
    for (OpenSlot& slot : openSlots) {
        int free = -1;
        if (slot.fd.compare_exchange_strong(free, kClaimed)) {
            slot.found = found;
            slot.fd = fd;
            return;
        }
    }
}

void Forget(int fd)
{
    for (OpenSlot& slot : openSlots) {
        int held = fd;
        if (slot.fd.compare_exchange_strong(held, kClaimed)) {
            slot.found = nullptr;
            slot.fd = -1;
        }
    }
}

// Back as found, out of exclusive mode, unlocked, closed.
void Release(int fd, const FoundState* found)
{
    if (found)
        RestoreLinuxState(fd, *found);
    // The exclusive mode belongs to the tty, not to this descriptor: a tty
    // that outlives it (the other end of a pseudo-terminal still holds it)
    // would refuse every later unprivileged open, ours included.
    ioctl(fd, TIOCNXCL);
    flock(fd, LOCK_UN);
    ::close(fd);
}

// What a USB adapter's driver shows of its batching: FTDI's latency timer in
// sysfs, for the tty the device path leads to.
std::string LatencyTimer(const std::string& device)
{
    char resolved[PATH_MAX];
    if (!realpath(device.c_str(), resolved))
        return {};
    const char* name = std::strrchr(resolved, '/');
    const std::string path = std::string("/sys/class/tty/") + (name ? name + 1 : resolved) + "/device/latency_timer";
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    char text[16] = {};
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    const int ms = n > 0 ? std::atoi(text) : -1;
    return ms >= 0 ? "latency timer " + std::to_string(ms) + " ms" : std::string();
}

std::string DescribeLatency(LowLatency lowLatency, const std::string& timer)
{
    std::string text;
    switch (lowLatency) {
    case LowLatency::NoDriver: break;
    case LowLatency::On: text = "low latency on"; break;
    case LowLatency::Refused: text = "low latency refused by the driver"; break;
    }
    if (!timer.empty())
        text += (text.empty() ? "" : ", ") + timer;
    return text;
}

int Fd(const Port& port)
{
    return static_cast<int>(port.handle);
}

using Clock = std::chrono::steady_clock;

// The time `bytes` characters take on the line.
std::chrono::microseconds WireTime(const LineSettings& line, std::size_t bytes)
{
    const unsigned bits = 1 + 8 + (line.parity == Parity::None ? 0 : 1) + line.stopBits;
    const std::uint32_t baud = line.baud ? line.baud : 9600;
    return std::chrono::microseconds(std::uint64_t(bytes) * bits * 1000000u / baud + 1);
}

// What an adapter may take beyond the wire time to send a frame: a USB
// adapter's scheduling and its own buffers.
constexpr std::chrono::milliseconds kWriteMargin {500};

// The milliseconds to a deadline, rounded up, for poll.
int MillisecondsUntil(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : int(std::min<long long>((left + 999) / 1000, 60000));
}

// Waits for the last byte to leave the transmitter, or the deadline. tcdrain
// would wait without end on a stuck adapter; the output queue and the
// transmitter's status are looked at instead, a little at a time. Returns 0,
// or ETIMEDOUT or the OS error. `bytes` went out from `startedAt` on.
int Drain(int fd, const LineSettings& line, std::size_t bytes, Clock::time_point startedAt,
          Clock::time_point deadline)
{
    const auto step = std::max<std::chrono::microseconds>(WireTime(line, 1), std::chrono::microseconds(200));
    for (;;) {
        int queued = 0;
        if (ioctl(fd, TIOCOUTQ, &queued) != 0) {
            if (errno != EINTR)
                return errno;
            queued = 1;  // a signal: look again
        }
        if (queued == 0) {
            // The queue is empty; the last characters may still be in the
            // adapter or shifting out. A UART's driver says when its
            // transmitter is empty. Where the driver cannot tell (a USB
            // adapter's chip has a buffer of its own), the bytes cannot have
            // left before their wire time from the write on: that, a
            // character and a USB frame more.
            unsigned int status = 0;
            if (ioctl(fd, TIOCSERGETLSR, &status) != 0) {
                std::this_thread::sleep_until(
                    std::min(deadline, startedAt + WireTime(line, bytes + 1) + std::chrono::milliseconds(1)));
                return 0;
            }
            if (status & TIOCSER_TEMT)
                return 0;
        }
        if (Clock::now() >= deadline)
            return ETIMEDOUT;
        std::this_thread::sleep_for(step);
    }
}

// Waits until the descriptor takes more bytes, or the deadline: 0, ETIMEDOUT
// or the OS error.
int AwaitWritable(int fd, Clock::time_point deadline)
{
    for (;;) {
        pollfd output {fd, POLLOUT, 0};
        const int ready = ::poll(&output, 1, MillisecondsUntil(deadline));
        if (ready > 0) {
            if (output.revents & (POLLERR | POLLHUP | POLLNVAL))
                return output.revents & POLLNVAL ? EBADF : EIO;
            return 0;
        }
        if (ready < 0 && errno != EINTR)
            return errno;
        if (Clock::now() >= deadline)
            return ETIMEDOUT;
    }
}

}  // namespace

bool Open(const std::string& device, const LineSettings& line, Port* port, OpenFailure* failure)
{
    *failure = OpenFailure {};
    if (device.empty()) {
        failure->osError = ENOENT;
        return false;
    }
    int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        failure->osError = errno;
        return false;
    }
    // The advisory lock keeps out a second copy of this program and every
    // program that honours it, root's included; TIOCEXCL keeps out any other
    // unprivileged opener. Close() undoes both.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        failure->osError = errno == EWOULDBLOCK ? EBUSY : errno;
        ::close(fd);
        return false;
    }
    ioctl(fd, TIOCEXCL);
    // Read before anything is changed, so Close leaves the port as found.
    const Port opened {fd, RtsDrive::None, line, FindLinuxState(fd), {}};
    if (int error = SetLinuxLine(fd, line, &failure->baudReadBack)) {
        failure->osError = error;
        failure->lineRefused = true;
        Close(opened);
        return false;
    }
    // The descriptor stays non-blocking: reads take only what is there and
    // writes are waited for with a bound, whatever VMIN and VTIME say.
    *port = opened;
    port->rts = SetUpRts(fd);
    // Input in batches stretches every reply wait; Close puts the flag back.
    const LowLatency lowLatency = AskLowLatency(fd);
    port->inputLatency = DescribeLatency(lowLatency, LatencyTimer(device));
    Remember(fd, port->found.get());
    tcflush(fd, TCIOFLUSH);
    return true;
}

void Close(const Port& port)
{
    // Whatever comes next on this port (a terminal, another tool) expects
    // the line and the RS-485 mode it had, not ours.
    Forget(Fd(port));
    Release(Fd(port), port.found.get());
}

void ReleaseForExit()
{
    for (OpenSlot& slot : openSlots) {
        const int fd = slot.fd.exchange(-1);
        if (fd >= 0)
            Release(fd, slot.found.exchange(nullptr));
    }
}

std::size_t Write(const Port& port, const std::uint8_t* data, std::size_t length, int* osError)
{
    const int fd = Fd(port);
    *osError = 0;
    // The frame's wire time and a margin: a write that takes longer is an
    // adapter that does not send, and the exchange ends with it.
    const Clock::time_point startedAt = Clock::now();
    const Clock::time_point deadline = startedAt + WireTime(port.line, length) + kWriteMargin;
    if (port.rts == RtsDrive::Manual)
        SetRts(fd, true);
    std::size_t written = 0;
    while (written < length) {
        ssize_t n = ::write(fd, data + written, length - written);
        if (n > 0) {
            written += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN) {
            *osError = errno;
            break;
        }
        if (int error = AwaitWritable(fd, deadline)) {
            *osError = error;
            break;
        }
    }
    // RTS dropped by hand must wait for the last byte to leave; otherwise
    // the driver sends on by itself and the caller counts the request's wire
    // time into its reply wait.
    if (port.rts == RtsDrive::Manual) {
        if (written > 0 && *osError == 0)
            *osError = Drain(fd, port.line, written, startedAt, deadline);
        SetRts(fd, false);
    }
    return written;
}

std::uint32_t Pending(const Port& port, int* osError)
{
    int count = 0;
    if (ioctl(Fd(port), FIONREAD, &count) != 0) {
        *osError = errno;
        return 0;
    }
    *osError = 0;
    return count > 0 ? static_cast<std::uint32_t>(count) : 0;
}

std::size_t Read(const Port& port, std::uint8_t* buffer, std::size_t maxLength, int* osError)
{
    // The descriptor does not block: a read returns at once with what is
    // there, at most maxLength, whatever VMIN and VTIME another program set.
    *osError = 0;
    for (;;) {
        ssize_t n = ::read(Fd(port), buffer, maxLength);
        if (n >= 0)
            return static_cast<std::size_t>(n);
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN)
            *osError = errno;
        return 0;
    }
}

void DiscardInput(const Port& port)
{
    tcflush(Fd(port), TCIFLUSH);
}

WaitResult WaitReadable(const Port& port, std::int64_t timeoutMicros, int* osError)
{
    *osError = 0;
    if (timeoutMicros < 0)
        timeoutMicros = 0;
    const timespec timeout {static_cast<time_t>(timeoutMicros / 1000000),
                            static_cast<long>(timeoutMicros % 1000000) * 1000};
    pollfd input {Fd(port), POLLIN, 0};
    int ready = ::ppoll(&input, 1, &timeout, nullptr);
    if (ready < 0) {
        if (errno == EINTR)
            return WaitResult::TimedOut;  // the caller looks at its clock and waits on
        *osError = errno;
        return WaitResult::Failed;
    }
    if (ready == 0)
        return WaitResult::TimedOut;
    // A hung-up or failed device still reports POLLIN; the error wins.
    if (input.revents & (POLLERR | POLLHUP | POLLNVAL)) {
        *osError = input.revents & POLLNVAL ? EBADF : EIO;
        return WaitResult::Failed;
    }
    return WaitResult::Readable;
}

std::string ErrorText(int osError)
{
    switch (osError) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return "No such device";
    case EACCES:
    case EPERM:
        return "Permission denied";
    case EBUSY:
        return "The port is in use by another program";
    case ENOTTY:
        return "Not a serial port";
    case EINVAL:
        return "The port does not take this line setting";
    case EIO:
        return "Input/output error (the adapter was unplugged or failed)";
    case ETIMEDOUT:
        return "The adapter did not send the request within its time on the line and a margin (it is stuck, or "
               "its flow control holds it)";
    default:
        return std::strerror(osError);
    }
}

namespace {

bool ProcessIsInGroup(gid_t group)
{
    if (getegid() == group)
        return true;
    std::vector<gid_t> groups(std::size_t(std::max(getgroups(0, nullptr), 0)));
    groups.resize(std::size_t(std::max(getgroups(int(groups.size()), groups.data()), 0)));
    return std::find(groups.begin(), groups.end(), group) != groups.end();
}

bool UserIsListedIn(const group& entry)
{
    const passwd* user = getpwuid(getuid());
    if (!user)
        return false;
    for (char** member = entry.gr_mem; member && *member; ++member)
        if (std::strcmp(*member, user->pw_name) == 0)
            return true;
    return false;
}

}  // namespace

std::string OpenErrorText(const std::string& device, int osError)
{
    struct stat status {};
    if ((osError != EACCES && osError != EPERM) || stat(device.c_str(), &status) != 0)
        return ErrorText(osError);
    const group* owner = getgrgid(status.st_gid);
    if (!owner)
        return ErrorText(osError);
    const std::string name = owner->gr_name;
    // A group without read and write, or root's own, gives nothing to join.
    if (status.st_gid == 0 || (status.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP)) {
        const passwd* user = getpwuid(status.st_uid);
        return "Permission denied: the device is open to its owner "
               + (user ? std::string(user->pw_name) : std::to_string(status.st_uid))
               + " alone; an administrator can give it to a group of serial-port users (such as dialout) with a "
                 "udev rule";
    }
    // Membership is read at login: a user added since is not in it yet.
    if (ProcessIsInGroup(status.st_gid))
        return "Permission denied, though this user is in the group " + name + " that owns the device";
    if (UserIsListedIn(*owner))
        return "Permission denied: this user was added to the group " + name
               + " that owns the device, but has not logged in again since";
    return "Permission denied: the device belongs to the group " + name
           + ", which this user is not in (sudo usermod -aG " + name + " $USER, then log in again)";
}

}  // namespace serial
