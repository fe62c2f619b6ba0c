// termios2 and BOTHER come from <asm/termbits.h>, which redefines struct
// termios and cannot be included beside <termios.h>: it lives alone here.
#include "SerialBaudLinux.h"

#include <asm/termbits.h>
#include <cerrno>
#include <sys/ioctl.h>

namespace serial {

int SetLinuxBaud(int fd, std::uint32_t baud)
{
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0)
        return errno;
    tio.c_cflag &= ~CBAUD;
    tio.c_cflag |= BOTHER;
    tio.c_cflag &= ~(CBAUD << IBSHIFT);
    tio.c_cflag |= BOTHER << IBSHIFT;
    tio.c_ispeed = baud;
    tio.c_ospeed = baud;
    if (ioctl(fd, TCSETS2, &tio) != 0)
        return errno;
    return 0;
}

std::uint32_t GetLinuxBaud(int fd)
{
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0)
        return 0;
    return tio.c_ospeed;
}

}  // namespace serial
