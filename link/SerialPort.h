// The serial platform layer: the few things the Modbus link needs from an OS
// serial port. One implementation file per OS, chosen by CMake.
//
// Results and OS errors are kept apart: each call that can fail on a port
// that went away (an unplugged adapter) leaves the OS error in *osError, 0
// when all went well.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace serial {

// fd on POSIX, HANDLE on Win32.
using Handle = std::intptr_t;

enum class Parity { None, Even, Odd };

struct LineSettings {
    std::uint32_t baud;
    Parity parity;
    std::uint8_t stopBits;  // 1 or 2; always 8 data bits
};

// How RTS follows a transmission on one port.
enum class RtsDrive {
    None,    // no modem lines (a pseudo-terminal)
    Driver,  // the driver raises it while bytes go out
    Manual,  // this layer raises it around each write
};

// The port's own settings as this layer found them at open, which Close puts
// back so the next program on the port finds it as it was; each OS file
// defines what it keeps.
struct FoundState;

// An open port: the OS handle and what this layer must know to drive it.
// The one who opened it holds it and hands it to every call; no port state
// lives anywhere else, so links on different threads share nothing.
struct Port {
    Handle handle = 0;
    RtsDrive rts = RtsDrive::None;
    LineSettings line {};  // as set at open: the wire time of a write
    std::shared_ptr<const FoundState> found;
    // How the adapter hands input on, for the trace's open line ("low
    // latency on, latency timer 1 ms"); empty where there is nothing to say
    // (a pseudo-terminal).
    std::string inputLatency;
};

// Why an open failed.
struct OpenFailure {
    int osError = 0;
    // The device opened but did not take the line: another port or line may.
    bool lineRefused = false;
    // When the rate read back was not the one asked for: the rate the port
    // runs at instead (else 0).
    std::uint32_t baudReadBack = 0;
};

// USB adapters report the rate their chip really runs at (115384 for 115200
// on some): a rate read back within 2 % of the one asked for is that rate.
// Modbus timing and the receivers on the line take such a difference.
constexpr bool RateTaken(std::uint32_t asked, std::uint32_t readBack)
{
    const std::uint64_t difference = asked > readBack ? asked - readBack : readBack - asked;
    return difference * 50 <= asked;
}

// Opens the device for this process alone, sets 8 data bits with the given
// parity, stop bits and rate, RTS high only while sending, and empties both
// queues. On failure returns false and says why in *failure.
bool Open(const std::string& device, const LineSettings& line, Port* port, OpenFailure* failure);

// Puts back the settings found at open, as far as the device is still there,
// and releases the port for every later opener, this program's next open
// included.
void Close(const Port& port);

// Puts back and releases every port this process still holds, for a program
// that ends on a signal (Ctrl+C during a long search): only what a signal
// handler may do. A port left in exclusive mode would refuse every ordinary
// user after it. On Windows the system closes a dead process's handles and
// this does nothing.
void ReleaseForExit();

// Writes the bytes with RTS high only while they go out. Where RTS is dropped
// by this layer it returns once the last byte has left the transmitter (or,
// where the OS cannot tell, once its wire time and a margin have passed);
// where the driver drops it, once the bytes are handed over. Either way it
// waits no longer than the bytes' wire time and a margin: an adapter that
// does not send them by then fails the write with the OS's time-out error.
// Returns the count written.
std::size_t Write(const Port& port, const std::uint8_t* data, std::size_t length, int* osError);

// Bytes waiting in the input queue; nothing is read.
std::uint32_t Pending(const Port& port, int* osError);

// Reads up to maxLength of the bytes already pending; never waits.
std::size_t Read(const Port& port, std::uint8_t* buffer, std::size_t maxLength, int* osError);

// Drops whatever waits in the input queue.
void DiscardInput(const Port& port);

enum class WaitResult { Readable, TimedOut, Failed };

// Blocks until input is pending or `timeoutMicros` have passed (a negative
// time-out is none: it only looks). Failed, with *osError set, when the port
// can no longer be read.
WaitResult WaitReadable(const Port& port, std::int64_t timeoutMicros, int* osError);

// A sentence a user can act on for an OS error.
std::string ErrorText(int osError);

// The same for an open of `device` that failed: where permission was
// refused, it names the group the device belongs to and what to do about it.
std::string OpenErrorText(const std::string& device, int osError);

}  // namespace serial
