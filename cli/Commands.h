// What each of vtctl's commands does, once CLI11 has read its options: the
// display line opened, the work done, people or scripts told, and the exit
// code returned.
#pragma once

#include "Arguments.h"

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace vtctl {

enum ExitCode {
    kDone = 0,
    kDisplayFailed = 1,  // a display failed or did not answer; for diff, it differs
    kRefused = 2,        // a usage error or a file refused: nothing was sent
    kPortFailed = 3,     // the port cannot be opened, or went away
};

struct Line {
    PortArgument port;
    std::uint8_t modeIndex = 1;  // 8n2, the tool's start values
    std::uint8_t rateIndex = 2;  // 9600
    std::ostream* trace = nullptr;  // every frame, when set
};

struct Output {
    std::ostream& out;  // the result: for people, or JSON
    std::ostream& err;  // problems and progress
    bool json = false;
};

// The display's settings as a profile into `file`, or to `out` when empty.
int Read(const Line& line, std::uint8_t address, const std::string& file, const Output& output);
// A profile to each address in turn, each read back and compared.
int Write(const Line& line, const std::vector<std::uint8_t>& addresses, const std::string& file, const Output& output);
// The settings whose value on the display differs from the profile's.
int Diff(const Line& line, std::uint8_t address, const std::string& file, const Output& output);
// The displays that answer on the port: address 1 and `knownAddress` at
// every line, then every address at the line given; with `full`, every
// address at every line.
int Find(const Line& line, std::uint8_t knownAddress, bool full, const Output& output);

}  // namespace vtctl
