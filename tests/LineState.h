// A tty's line settings as any program on it sees them, for the tests that
// the link leaves a port as it found it.
#pragma once

#include <fcntl.h>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace line_state {

inline termios Read(const std::string& device)
{
    termios line {};
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) {
        tcgetattr(fd, &line);
        ::close(fd);
    }
    return line;
}

// The line as a terminal program may leave it: 4800 baud, XON/XOFF, CR
// translated, canonical input with echo, hardware flow control. Returns it
// as read back.
inline termios SetAnotherProgramsLine(const std::string& device)
{
    termios line = Read(device);
    line.c_iflag |= IXON | IXOFF | ICRNL;
    line.c_lflag |= ICANON | ECHO;
    line.c_cflag |= CRTSCTS | HUPCL;
    cfsetspeed(&line, B4800);
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) {
        tcsetattr(fd, TCSANOW, &line);
        ::close(fd);
    }
    return Read(device);
}

inline bool Same(const termios& a, const termios& b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag
           && cfgetospeed(&a) == cfgetospeed(&b) && a.c_cc[VMIN] == b.c_cc[VMIN] && a.c_cc[VTIME] == b.c_cc[VTIME];
}

}  // namespace line_state
