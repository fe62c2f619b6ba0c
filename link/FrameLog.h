// One line per frame, the same for the tool's trace and the simulator's
// verbose log, so the two read side by side:
//   14:05:59.123 -> COM 1 (/dev/ttyUSB0) 9600 8n2  01 03 0F A6 00 10 A7 31
//   14:05:59.168 <- COM 1 (/dev/ttyUSB0) 9600 8n2  01 03 20 00 05 ... 6B 0C  stored
// and what was dropped as no part of the exchange, with why:
//   14:05:59.170 <- 127.0.0.1:502 (Modbus TCP) 9600 8n2  AA BB CC  stray bytes: dropped
#pragma once

#include "Modbus.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>

// "->" for a frame towards the display, "<-" for one from it; `place` says
// where it travelled ("COM 1 (/dev/ttyUSB0) 9600 8n2", "127.0.0.1:502 Modbus TCP").
std::string FrameLogLine(std::chrono::system_clock::time_point when, const char* direction, const std::string& place,
                         const std::uint8_t* bytes, std::size_t count, const std::string& outcome);
// The same on a serial line: its device, rate and mode make the place.
std::string FrameLogLine(std::chrono::system_clock::time_point when, const char* direction,
                         const std::string& where, std::uint32_t baud, const std::string& mode,
                         const std::uint8_t* bytes, std::size_t count, const std::string& outcome);

// The line that says a port opened, and how its adapter hands input on:
//   14:05:58.990 == COM 1 (/dev/ttyUSB0) 9600 8n2  opened, low latency on, latency timer 1 ms
std::string OpenLogLine(std::chrono::system_clock::time_point when, const std::string& place, const std::string& note);

// From now on every frame of `link`'s block steps goes to `out`, which must
// outlive the link's use; `portLabel` names the port at the time ("COM 1",
// or nothing where the device's path names it).
void TraceFrames(ModbusLink& link, std::ostream& out, std::function<std::string()> portLabel);
