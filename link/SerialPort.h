// The serial platform layer: the few things the Modbus link needs from an OS
// serial port. One implementation file per OS, chosen by CMake.
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

void Close(Handle handle);

// Writes the bytes with RTS raised and returns once the last one has left the
// transmitter; RTS is dropped again whatever happened. Returns the count written.
std::size_t Write(Handle handle, const std::uint8_t* data, std::size_t length);

// Bytes waiting in the input queue; nothing is read.
std::uint32_t Pending(Handle handle);

// Reads up to maxLength of the bytes already pending; never waits.
std::size_t Read(Handle handle, std::uint8_t* buffer, std::size_t maxLength);

// The device that port index 0..7 (COM 1..COM 8) opens on this machine,
// or an empty text when no device stands behind it.
std::string DeviceName(unsigned portIndex);

// A sentence a user can act on for an OS error of Open.
std::string ErrorText(int osError);

}  // namespace serial
