// A profile and a display: reading one into the other, writing it with a
// read-back of every register, and comparing the two. Every exchange goes
// through the link's block steps, to the display address of the link's
// settings; the link's port must be open.
#pragma once

#include "Modbus.h"
#include "Profile.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace profile {

// One port of its own: settings, image and link, as the search has; the
// program's own link and image stay untouched. The port is closed with it,
// which releases its lock and the tty's exclusive mode for the next opener.
struct PanelLine {
    PanelLine() = default;
    PanelLine(const PanelLine&) = delete;
    PanelLine& operator=(const PanelLine&) = delete;
    ~PanelLine() { link.ClosePort(); }

    ConnectionSettings settings;
    RegisterImage image;
    ModbusLink link {settings, image};
};

// The registers of every group's blocks, as `blocks` gives them (ReadBlocks
// or WriteBlocks), from one image into another.
void CopyGroups(const RegisterImage& from, RegisterImage& to, std::vector<RegisterBlock> (*blocks)(Group));

enum class Outcome {
    Done,
    Failed,   // the display refused a request, holds values no profile takes, or did not keep what was written
    NoReply,  // the display did not answer
    PortLost, // the port went away under an exchange
    Cancelled, // a write to several stopped before this display
};

class Transfer {
public:
    // Long enough for a display to begin its reply; the link adds the wire time.
    static constexpr unsigned kReplyPauseMs = 500;

    // `image` is the image `link` stores into and writes from.
    Transfer(ModbusLink& link, RegisterImage& image) : link_(link), image_(image) {}

    // Every group's blocks into *profile. A group the display refuses, or
    // whose values the rules refuse, is a problem, and *profile is left as it was.
    Outcome Read(Profile* profile);
    // Every group's blocks from the profile, then each read back and compared
    // register by register; a difference is a problem naming the setting.
    // The unit's own line, its clock and its flags are never written.
    Outcome Write(const Profile& profile);
    // The settings whose value on the display differs from the profile's.
    Outcome Compare(const Profile& profile, std::vector<Difference>* differences);

    // How many block steps a read (or a compare) and a write make when all
    // goes well: for a progress bar.
    static unsigned ReadSteps();
    static unsigned WriteSteps();
    // Called after each block step, on the thread the transfer runs on.
    void SetStepObserver(std::function<void()> observer) { stepDone_ = std::move(observer); }

    // What went wrong in the last call, one line each, naming the group or
    // the setting: "rows: refused with exception 2",
    // "brightness.dayLevel: wrote 75, the display keeps 74".
    const std::vector<std::string>& Problems() const { return problems_; }

private:
    // Reads the blocks of every group into the image, judging each group
    // by the rules when asked.
    Outcome ReadGroups(bool judge);
    // A step's outcome, with a problem for one that failed: "reading rows: no reply".
    Outcome Told(Outcome outcome, const char* step, Group group);
    ReadResult Read(const RegisterBlock& block);
    WriteResult Write(const RegisterBlock& block);

    ModbusLink& link_;
    RegisterImage& image_;
    std::vector<std::string> problems_;
    std::function<void()> stepDone_;
};

// One display of a write to several.
struct DisplayResult {
    std::uint8_t address;
    Outcome outcome;
    std::vector<std::string> problems;  // none when written and verified
};

struct WriteObserver {
    std::function<bool()> stop;                          // asked before each display
    std::function<void(std::size_t index)> starting;     // display `index` is written next
    std::function<void(const DisplayResult&)> finished;  // how it went
    std::function<void()> step;                          // a block step made
};

// `profile` to each address in turn on the panel line, each read back and
// compared. A display that fails does not stop the others; a lost port, or
// the observer's stop, does, and the displays left are told as not written.
std::vector<DisplayResult> WriteToEach(PanelLine& line, const Profile& profile,
                                       const std::vector<std::uint8_t>& addresses,
                                       const WriteObserver& observer = {});

// "display 3"
std::string DisplayName(std::uint8_t address);
// A display of a write to several, as one line: "display 3: written and
// verified", or what went wrong ("display 2: reading rows: no reply").
std::string WriteReport(std::uint8_t address, const std::vector<std::string>& problems);
// "2 of 5 displays written and verified, 1 failed, 2 not written (cancelled)"
std::string WriteSummary(const std::vector<DisplayResult>& results);

}  // namespace profile
