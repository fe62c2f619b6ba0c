#pragma once

#include <cstdint>

namespace serial {

// Sets input and output rate to any value in bits per second (14400 has no
// B-constant in termios.h). Returns 0 or an errno value.
int SetLinuxBaud(int fd, std::uint32_t baud);

// The output rate a tty is set to, in bits per second; 0 when unknown.
std::uint32_t GetLinuxBaud(int fd);

}  // namespace serial
