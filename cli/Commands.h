// What each of vtctl's commands does, once CLI11 has read its options: the
// display line opened, the work done, people or scripts told, and the exit
// code returned.
#pragma once

#include "Arguments.h"

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace vtctl {

// The same on every system. With several displays the worst wins, in the
// order kPortFailed, kNoReply, kDisplayFailed.
enum ExitCode {
    kDone = 0,
    kDisplayFailed = 1,  // a display answered but differs, refused a write or did not keep a value
    kRefused = 2,        // a usage error or a file refused: nothing was sent
    kPortFailed = 3,     // the port cannot be opened, or was lost
    kNoReply = 4,        // a display did not answer (nor a gateway's display)
    kInterrupted = 130,  // Ctrl+C
};

// The exit codes as every command's help lists them.
extern const char* const kExitCodesHelp;

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

// A usage error or a refusal before anything was sent, told on standard
// error, and with --json as {"error": ...} on standard output: kRefused.
int Refuse(const std::string& reason, const Output& output);

// What a write does besides writing.
struct WriteExtras {
    std::string backupFolder;  // each display's settings kept there first; empty: none
    std::string record;        // the record's JSON file; empty: none
    std::string report;        // the report's HTML page; empty: none
    // Display `address` is written next; told 0 once the write is over.
    std::function<void(std::uint8_t address)> writing;
};

// The display's settings as a profile into `file`, or to `out` when empty or "-".
int Read(const Line& line, std::uint8_t address, const std::string& file, const Output& output);
// A profile to each address in turn, each read back and compared.
int Write(const Line& line, const std::vector<std::uint8_t>& addresses, const std::string& file, const Output& output,
          const WriteExtras& extras = {});
// The settings whose value on the display differs from the profile's.
int Diff(const Line& line, std::uint8_t address, const std::string& file, const Output& output);
// The displays that answer on the port: address 1 and `knownAddress` at
// every line, then every address at the line given; with `full`, every
// address at every line.
int Find(const Line& line, std::uint8_t knownAddress, bool full, const Output& output);

}  // namespace vtctl
