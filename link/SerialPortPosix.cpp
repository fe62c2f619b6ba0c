// Serial ports on Linux: termios2 for the line, flock + TIOCEXCL for the
// exclusive open, FIONREAD for the pending count, tcdrain for transmit-empty,
// poll for the reply wait.
#include "SerialPort.h"
#include "SerialLineLinux.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
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

int Fd(const Port& port)
{
    return static_cast<int>(port.handle);
}

// Waits for the last byte to leave the transmitter; a signal does not end the wait.
int Drain(int fd)
{
    int result;
    while ((result = tcdrain(fd)) != 0 && errno == EINTR) {
    }
    return result;
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
    const Port opened {fd, RtsDrive::None, line, FindLinuxState(fd)};
    if (int error = SetLinuxLine(fd, line, &failure->baudReadBack)) {
        failure->osError = error;
        failure->lineRefused = true;
        Close(opened);
        return false;
    }
    // Blocking writes from here on: the frame must be out before RTS drops.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    *port = opened;
    port->rts = SetUpRts(fd);
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
    if (port.rts == RtsDrive::Manual)
        SetRts(fd, true);
    std::size_t written = 0;
    while (written < length) {
        ssize_t n = ::write(fd, data + written, length - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *osError = errno;
            break;
        }
        if (n == 0)
            break;
        written += static_cast<std::size_t>(n);
    }
    // RTS dropped by hand must wait for the last byte to leave; otherwise
    // the driver sends on by itself and the caller counts the request's wire
    // time into its reply wait.
    if (port.rts == RtsDrive::Manual) {
        if (written > 0 && Drain(fd) != 0 && *osError == 0)
            *osError = errno;
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
    // With VMIN and VTIME 0 a read returns at once with what is there, at most
    // maxLength: no count of pending bytes is needed first.
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
