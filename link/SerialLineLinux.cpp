// termios2 and BOTHER come from <asm/termbits.h>, which redefines struct
// termios and cannot be included beside <termios.h>: it lives alone here.
// The line is set with the ioctl itself rather than tcsetattr, whose C
// library wrapper refuses a second setting of a line whose parity bit a
// pseudo-terminal dropped.
#include "SerialLineLinux.h"

#include <asm/termbits.h>
#include <cerrno>
#include <linux/serial.h>
#include <sys/ioctl.h>

namespace serial {

struct FoundState {
    struct termios2 line;
    struct serial_rs485 rs485;
    bool hasRs485;  // a pseudo-terminal or a plain UART has no RS-485 mode
    struct serial_struct serial;
    bool hasSerial;  // a pseudo-terminal has no serial driver settings
};

int SetLinuxLine(int fd, const LineSettings& line, std::uint32_t* baudReadBack)
{
    *baudReadBack = 0;
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0)
        return errno;
    // Raw: no line editing, echo, signals, translation or flow control.
    tio.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK);
    tio.c_oflag &= ~OPOST;
    tio.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | HUPCL | CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= CS8 | CREAD | CLOCAL | BOTHER | (BOTHER << IBSHIFT);
    if (line.parity != Parity::None) {
        tio.c_cflag |= PARENB | (line.parity == Parity::Odd ? PARODD : 0);
        tio.c_iflag |= INPCK;
    }
    if (line.stopBits == 2)
        tio.c_cflag |= CSTOPB;
    tio.c_ispeed = line.baud;
    tio.c_ospeed = line.baud;
    tio.c_cc[VMIN] = 0;  // reads never wait
    tio.c_cc[VTIME] = 0;
    if (ioctl(fd, TCSETS2, &tio) != 0)
        return errno;

    struct termios2 set {};
    if (ioctl(fd, TCGETS2, &set) != 0)
        return errno;
    if (!RateTaken(line.baud, set.c_ospeed)) {
        *baudReadBack = set.c_ospeed;
        return EINVAL;
    }
    const bool kept = (set.c_cflag & CSIZE) == CS8 && ((set.c_cflag & CSTOPB) != 0) == (line.stopBits == 2);
    return kept ? 0 : EINVAL;
}

std::uint32_t GetLinuxBaud(int fd)
{
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0)
        return 0;
    return tio.c_ospeed;
}

std::shared_ptr<const FoundState> FindLinuxState(int fd)
{
    auto found = std::make_shared<FoundState>();
    if (ioctl(fd, TCGETS2, &found->line) != 0)
        return nullptr;
    found->hasRs485 = ioctl(fd, TIOCGRS485, &found->rs485) == 0;
    found->hasSerial = ioctl(fd, TIOCGSERIAL, &found->serial) == 0;
    return found;
}

void RestoreLinuxState(int fd, const FoundState& found)
{
    struct termios2 line = found.line;
    ioctl(fd, TCSETS2, &line);
    if (found.hasRs485) {
        struct serial_rs485 rs485 = found.rs485;
        ioctl(fd, TIOCSRS485, &rs485);
    }
    // Only the low-latency flag was ours; the rest of what a driver keeps
    // there is put back as it was read.
    if (found.hasSerial) {
        struct serial_struct now {};
        if (ioctl(fd, TIOCGSERIAL, &now) == 0 && (now.flags & ASYNC_LOW_LATENCY) != (found.serial.flags & ASYNC_LOW_LATENCY)) {
            now.flags = (now.flags & ~ASYNC_LOW_LATENCY) | (found.serial.flags & ASYNC_LOW_LATENCY);
            ioctl(fd, TIOCSSERIAL, &now);
        }
    }
}

LowLatency AskLowLatency(int fd)
{
    struct serial_struct settings {};
    if (ioctl(fd, TIOCGSERIAL, &settings) != 0)
        return LowLatency::NoDriver;
    if (settings.flags & ASYNC_LOW_LATENCY)
        return LowLatency::On;
    settings.flags |= ASYNC_LOW_LATENCY;
    if (ioctl(fd, TIOCSSERIAL, &settings) != 0)
        return LowLatency::Refused;
    // Some drivers take the call and keep their flags: believe what reads back.
    struct serial_struct set {};
    if (ioctl(fd, TIOCGSERIAL, &set) != 0 || !(set.flags & ASYNC_LOW_LATENCY))
        return LowLatency::Refused;
    return LowLatency::On;
}

}  // namespace serial
