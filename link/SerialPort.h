// The serial platform layer: the few things the Modbus link needs from an OS
// serial port. One implementation file per OS, chosen by CMake.
//
// Results and OS errors are kept apart: each call that can fail on a port
// that went away (an unplugged adapter) leaves the OS error in *osError, 0
// when all went well.
#pragma once

#include <cstddef>
#include <cstdint>
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

// Opens the device for this process alone, sets 8 data bits with the given
// parity, stop bits and rate, RTS high only while sending, and empties both
// queues. On failure returns false and leaves the OS error in *osError.
bool Open(const std::string& device, const LineSettings& line, Handle* handle, int* osError);

// Releases the port for every later opener, this program's next open included.
void Close(Handle handle);

// Writes the bytes with RTS high only while they go out. Where RTS is dropped
// by this layer it returns once the last byte has left the transmitter; where
// the driver drops it, once the bytes are handed over. Returns the count written.
std::size_t Write(Handle handle, const std::uint8_t* data, std::size_t length, int* osError);

// Bytes waiting in the input queue; nothing is read.
std::uint32_t Pending(Handle handle, int* osError);

// Reads up to maxLength of the bytes already pending; never waits.
std::size_t Read(Handle handle, std::uint8_t* buffer, std::size_t maxLength, int* osError);

// Drops whatever waits in the input queue.
void DiscardInput(Handle handle);

enum class WaitResult { Readable, TimedOut, Failed };

// Blocks until input is pending or `timeoutMicros` have passed. Failed, with
// *osError set, when the port can no longer be read.
WaitResult WaitReadable(Handle handle, std::int64_t timeoutMicros, int* osError);

// The device that port index 0..7 (COM 1..COM 8) opens on this machine,
// or an empty text when no device stands behind it.
std::string DeviceName(unsigned portIndex);

// A sentence a user can act on for an OS error.
std::string ErrorText(int osError);

// The same for an open of `device` that failed: where permission was
// refused, it names the group the device belongs to and what to do about it.
std::string OpenErrorText(const std::string& device, int osError);

}  // namespace serial
