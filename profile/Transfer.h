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
    NoReply,  // the display did not answer (nor a gateway's display: exception 10 or 11)
    PortLost, // the port went away under an exchange
    Cancelled, // a write to several stopped before this display
};

// What became of one group of a display's settings in a write.
enum class GroupState {
    NotWritten,   // never sent: an earlier group failed, or the display was not written
    Verified,     // written, read back and the same as the profile
    Refused,      // the display refused the write with an exception
    NoReply,      // no reply to the write or to its read-back
    NotKept,      // acknowledged, but read back with other values
    NotVerified,  // written, but its read-back was refused
    PortLost,     // the port went away during the group
};

struct GroupResult {
    Group group;
    GroupState state = GroupState::NotWritten;
    // The words after the group's name on the display's line: "written and
    // verified", "refused with exception 3", "not kept (brightness.dayLevel:
    // wrote 80, the display keeps 81)", "not written".
    std::string words;
};
// "verified", "refused", "no reply", "not kept", "not verified", "port lost",
// "not written": the state's name for scripts and the record.
const char* GroupStateName(GroupState state);

class Transfer {
public:
    // Long enough for a display to begin its reply; the link adds the wire time.
    static constexpr unsigned kReplyPauseMs = 500;

    // `image` is the image `link` stores into and writes from.
    Transfer(ModbusLink& link, RegisterImage& image) : link_(link), image_(image) {}

    // Every group's blocks into *profile. A group the display refuses, or
    // whose values the rules refuse, is a problem, and *profile is left as it was.
    Outcome Read(Profile* profile);
    // True when the last Read stored every group's registers in the image,
    // though the rules may have refused some values.
    bool ReadWhole() const { return readWhole_; }
    // The profile group by group: each group's blocks written, then read
    // back and compared register by register before the next group, so each
    // group's state is exact (a difference is a problem naming the setting).
    // A group the display refuses, or that gets no reply, ends the write and
    // the groups after it are not written; one not kept does not. The unit's
    // own line, its clock and its flags are never written. The image ends
    // holding what was read back, and for groups not written what it held
    // before. A state per group into *groups, when given.
    Outcome Write(const Profile& profile, std::vector<GroupResult>* groups = nullptr);
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
    // A refusal as an outcome: a gateway's exception 10 or 11 is no reply
    // from the display behind it.
    Outcome OutcomeOfRead(ReadResult result) const;
    Outcome OutcomeOfWrite(WriteResult result) const;
    // Writes one group and reads it back; its state into *result.
    Outcome WriteGroup(const Profile& profile, Group group, GroupResult* result);
    ReadResult Read(const RegisterBlock& block);
    WriteResult Write(const RegisterBlock& block);

    ModbusLink& link_;
    RegisterImage& image_;
    std::vector<std::string> problems_;
    std::function<void()> stepDone_;
    bool readWhole_ = false;
};

// A setting whose value on the display differed from the profile before a
// write: what the display held, what the profile asked for, and what it held
// after (read back; none when its group was not read back).
struct Change {
    const Setting* setting;
    std::uint32_t before;
    std::uint32_t wanted;
    bool readBack;
    std::uint32_t after;
};

// One display of a write to several.
struct DisplayResult {
    std::uint8_t address;
    Outcome outcome;
    std::vector<std::string> problems;  // none when written and verified
    // A state per group, in the order of kGroups.
    std::vector<GroupResult> groups;
    // Where its settings before the write were kept; empty when not kept.
    std::string backup;
    // True when its settings were read before the write, so `changes` holds
    // every setting that differed from the profile.
    bool readBefore = false;
    std::vector<Change> changes;
    // False for a display never tried: cancelled, or the port lost before it.
    bool attempted = true;
};

// "verified", "failed", "no reply", "port lost", "cancelled": a display's
// result for scripts and the record.
const char* ResultName(Outcome outcome);

struct WriteObserver {
    std::function<bool()> stop;                          // asked before each display
    std::function<void(std::size_t index)> starting;     // display `index` is written next
    std::function<void(const DisplayResult&)> finished;  // how it went
    std::function<void()> step;                          // a block step made
};

// How a write to several goes about each display.
struct WriteOptions {
    // Each display's settings before the write are kept there as a profile
    // (display-<address>-<yyyymmdd-hhmmss>.json, see Backup.h); empty: none
    // kept. A display whose settings cannot be read or kept is not written.
    std::string backupFolder;
};

// `profile` to each address in turn on the panel line: each display's
// settings read first (kept as a backup when asked; its changes are told
// against them), then the profile written group by group, each group read
// back and compared before the next, so every group's state is exact. A
// display that fails does not stop the others; a lost port, or the
// observer's stop, does, and the displays left are told as not written.
// Afterwards the line's image holds what each group's read-back found, and
// for a group not written what the display held before.
std::vector<DisplayResult> WriteToEach(PanelLine& line, const Profile& profile,
                                       const std::vector<std::uint8_t>& addresses,
                                       const WriteObserver& observer = {}, const WriteOptions& options = {});

// How many block steps WriteToEach makes per display when all goes well:
// its settings read first, then the write with its read-back.
unsigned StepsPerDisplay();

// "display 3"
std::string DisplayName(std::uint8_t address);
// A display of a write to several, as one line: "display 3: written and
// verified", or what went wrong ("display 2: reading rows: no reply").
std::string WriteReport(std::uint8_t address, const std::vector<std::string>& problems);
// The same with a state per group and the backup: "display 1: rows,
// brightness, deviceLine written and verified; devices refused with
// exception 3; recalibration not written (the display now holds part of the
// profile; its settings before: /backups/display-1-20261210-141502.json)".
std::string WriteReport(const DisplayResult& result);
// "2 of 5 displays written and verified, 1 failed, 2 not written (cancelled)":
// every display counted once, as verified, failed, or not written (cancelled
// or the port lost before it).
std::string WriteSummary(const std::vector<DisplayResult>& results);

}  // namespace profile
