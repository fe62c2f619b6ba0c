// The line settings of a Linux tty through termios2, which takes any rate in
// bits per second (14400 has no B-constant in <termios.h>).
#pragma once

#include "SerialPort.h"

#include <cstdint>
#include <memory>

namespace serial {

// Puts the tty into raw mode with 8 data bits and the line's parity, stop
// bits and rate, reads the settings back and checks what a device must keep:
// data bits, stop bits, and the rate within RateTaken's tolerance (the rate
// it runs at goes to *baudReadBack when it is not that). A pseudo-terminal
// cannot hold the parity enable bit and drops it; that is not an error.
// Returns 0 or an errno value.
int SetLinuxLine(int fd, const LineSettings& line, std::uint32_t* baudReadBack);

// The output rate a tty is set to, in bits per second; 0 when unknown.
std::uint32_t GetLinuxBaud(int fd);

// The tty's line settings and, where the driver has it, its RS-485 mode, as
// found; nullptr when the line cannot be read.
std::shared_ptr<const FoundState> FindLinuxState(int fd);
// Puts them back, the low-latency flag included; a device that has gone
// refuses quietly.
void RestoreLinuxState(int fd, const FoundState& found);

// A USB adapter's driver holds input back for a while (16 ms by default on
// FTDI chips) to send it in batches; ASYNC_LOW_LATENCY asks it to pass each
// byte on at once, which shortens every exchange and the search.
enum class LowLatency { NoDriver, On, Refused };
// Asks for low latency (TIOCGSERIAL/TIOCSSERIAL) and says what the driver did.
LowLatency AskLowLatency(int fd);

}  // namespace serial
