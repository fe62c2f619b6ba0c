#include "Transfer.h"

#include "Backup.h"
#include "PortMessages.h"
#include "ProfileFile.h"

#include <algorithm>
#include <ctime>

namespace profile {

namespace {

Outcome OutcomeOf(ReadResult result)
{
    switch (result) {
    case ReadResult::Stored: return Outcome::Done;
    case ReadResult::Rejected: return Outcome::Failed;
    case ReadResult::NoReply: return Outcome::NoReply;
    case ReadResult::PortLost: break;
    }
    return Outcome::PortLost;
}

Outcome OutcomeOf(WriteResult result)
{
    switch (result) {
    case WriteResult::Acknowledged: return Outcome::Done;
    case WriteResult::Refused: return Outcome::Failed;
    case WriteResult::NoReply: return Outcome::NoReply;
    case WriteResult::PortLost: break;
    }
    return Outcome::PortLost;
}

// A gateway's "path unavailable" and "target failed to respond": the
// display behind it did not answer.
bool FromGatewayWithoutReply(const ModbusLink& link)
{
    return link.LastRejection() == Rejection::Exception
           && (link.LastExceptionCode() == 10 || link.LastExceptionCode() == 11);
}

void CopyGroup(const RegisterImage& from, RegisterImage& to, Group group)
{
    for (const RegisterBlock& block : ReadBlocks(group))
        for (unsigned k = 0; k < block.quantity; ++k)
            to.Set(block.first + k, from.Get(block.first + k));
}

}  // namespace

Outcome Transfer::OutcomeOfRead(ReadResult result) const
{
    const Outcome outcome = OutcomeOf(result);
    return outcome == Outcome::Failed && FromGatewayWithoutReply(link_) ? Outcome::NoReply : outcome;
}

Outcome Transfer::OutcomeOfWrite(WriteResult result) const
{
    const Outcome outcome = OutcomeOf(result);
    return outcome == Outcome::Failed && FromGatewayWithoutReply(link_) ? Outcome::NoReply : outcome;
}

void CopyGroups(const RegisterImage& from, RegisterImage& to, std::vector<RegisterBlock> (*blocks)(Group))
{
    for (Group group : kGroups)
        for (const RegisterBlock& block : blocks(group))
            for (unsigned k = 0; k < block.quantity; ++k)
                to.Set(block.first + k, from.Get(block.first + k));
}

Outcome Transfer::Told(Outcome outcome, const char* step, Group group)
{
    const std::string where = std::string(step) + " " + GroupName(group) + ": ";
    switch (outcome) {
    case Outcome::Done: break;
    case Outcome::Failed:
    case Outcome::NoReply: problems_.push_back(where + StepProblemText(link_)); break;
    case Outcome::PortLost: problems_.push_back(PortLostText(link_, "")); break;
    case Outcome::Cancelled: break;  // never the outcome of a block step
    }
    return outcome;
}

unsigned Transfer::ReadSteps()
{
    unsigned steps = 0;
    for (Group group : kGroups)
        steps += unsigned(ReadBlocks(group).size());
    return steps;
}

unsigned Transfer::WriteSteps()
{
    unsigned steps = 0;
    for (Group group : kGroups)
        steps += unsigned(WriteBlocks(group).size());
    return 2 * steps;  // each block written, then read back
}

ReadResult Transfer::Read(const RegisterBlock& block)
{
    const ReadResult result = link_.ReadBlock(block, kReplyPauseMs);
    if (stepDone_)
        stepDone_();
    return result;
}

WriteResult Transfer::Write(const RegisterBlock& block)
{
    const WriteResult result = link_.WriteBlock(block, kReplyPauseMs);
    if (stepDone_)
        stepDone_();
    return result;
}

Outcome Transfer::ReadGroups(bool judge)
{
    readWhole_ = false;
    Outcome outcome = Outcome::Done;
    bool whole = true;
    for (Group group : kGroups) {
        // A refused block leaves the group out; the other groups are still
        // read, so every refusal is told at once.
        bool stored = true;
        for (const RegisterBlock& block : ReadBlocks(group)) {
            const Outcome read = OutcomeOfRead(Read(block));
            if (read == Outcome::NoReply || read == Outcome::PortLost)
                return Told(read, "reading", group);
            if (read == Outcome::Failed) {
                outcome = Told(read, "reading", group);
                stored = false;
                whole = false;
                break;
            }
        }
        if (!stored || !judge)
            continue;
        for (const std::string& refusal : CheckGroup(image_, group)) {
            problems_.push_back(refusal);
            outcome = Outcome::Failed;
        }
    }
    readWhole_ = whole;
    return outcome;
}

Outcome Transfer::Read(Profile* profile)
{
    problems_.clear();
    const Outcome outcome = ReadGroups(true);
    if (outcome != Outcome::Done)
        return outcome;
    CopyGroups(image_, profile->registers, ReadBlocks);
    return outcome;
}

Outcome Transfer::WriteGroup(const Profile& profile, Group group, GroupResult* result)
{
    const std::size_t problemsBefore = problems_.size();
    // A step that failed: told as a problem, and its words after the group's name.
    const auto ended = [&](Outcome outcome, bool readingBack) {
        Told(outcome, readingBack ? "reading" : "writing", group);
        const std::string problem = problems_.back();
        const std::size_t colon = problem.find(": ");
        const std::string why = colon == std::string::npos ? problem : problem.substr(colon + 2);
        switch (outcome) {
        case Outcome::PortLost:
            result->state = GroupState::PortLost;
            result->words = "not written whole (" + problem + ")";
            break;
        case Outcome::NoReply:
            result->state = GroupState::NoReply;
            result->words = readingBack ? "written, but no reply to its read-back" : why;
            break;
        default:
            result->state = readingBack ? GroupState::NotVerified : GroupState::Refused;
            result->words = readingBack ? "written but not verified (its read-back " + why + ")" : why;
            break;
        }
        return outcome;
    };
    for (const RegisterBlock& block : WriteBlocks(group))
        if (const Outcome written = OutcomeOfWrite(Write(block)); written != Outcome::Done)
            return ended(written, false);
    // What the display keeps, not what it acknowledged, is what was written.
    for (const RegisterBlock& block : WriteBlocks(group))
        if (const Outcome read = OutcomeOfRead(Read(block)); read != Outcome::Done)
            return ended(read, true);
    for (const Difference& difference : profile::Compare(image_, profile.registers, {group}))
        problems_.push_back(difference.setting->Path() + ": wrote " + ValueText(*difference.setting, difference.wanted)
                            + ", the display keeps " + ValueText(*difference.setting, difference.display));
    if (problems_.size() == problemsBefore) {
        result->state = GroupState::Verified;
        result->words = "written and verified";
        return Outcome::Done;
    }
    result->state = GroupState::NotKept;
    result->words = "not kept (";
    for (std::size_t k = problemsBefore; k < problems_.size(); ++k)
        result->words += (k > problemsBefore ? "; " : "") + problems_[k];
    result->words += ")";
    return Outcome::Failed;
}

Outcome Transfer::Write(const Profile& profile, std::vector<GroupResult>* groups)
{
    problems_.clear();
    std::vector<GroupResult> results;
    for (Group group : kGroups)
        results.push_back({group, GroupState::NotWritten, "not written"});
    Outcome outcome = Outcome::Done;
    for (GroupResult& result : results) {
        // What the image held, for a group the display does not take.
        RegisterImage before;
        CopyGroup(image_, before, result.group);
        CopyGroup(profile.registers, image_, result.group);
        const Outcome written = WriteGroup(profile, result.group, &result);
        if (result.state == GroupState::Refused || result.state == GroupState::PortLost)
            CopyGroup(before, image_, result.group);
        if (written == Outcome::Done)
            continue;
        outcome = written;
        // A group not kept was still taken; anything else ends the write.
        if (result.state != GroupState::NotKept)
            break;
    }
    if (groups)
        *groups = std::move(results);
    return outcome;
}

Outcome Transfer::Compare(const Profile& profile, std::vector<Difference>* differences)
{
    problems_.clear();
    const Outcome outcome = ReadGroups(false);
    if (outcome == Outcome::Done)
        *differences = profile::Compare(image_, profile.registers);
    return outcome;
}

const char* GroupStateName(GroupState state)
{
    switch (state) {
    case GroupState::NotWritten: return "not written";
    case GroupState::Verified: return "verified";
    case GroupState::Refused: return "refused";
    case GroupState::NoReply: return "no reply";
    case GroupState::NotKept: return "not kept";
    case GroupState::NotVerified: return "not verified";
    case GroupState::PortLost: return "port lost";
    }
    return "";
}

const char* ResultName(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Done: return "verified";
    case Outcome::Failed: return "failed";
    case Outcome::NoReply: return "no reply";
    case Outcome::PortLost: return "port lost";
    case Outcome::Cancelled: return "cancelled";
    }
    return "";
}

namespace {

std::vector<GroupResult> NoneWritten()
{
    std::vector<GroupResult> groups;
    for (Group group : kGroups)
        groups.push_back({group, GroupState::NotWritten, "not written"});
    return groups;
}

// The settings that differed from the profile before the write, with what
// the read-back found where it found anything.
std::vector<Change> ChangesOf(const RegisterImage& before, const RegisterImage& after, const Profile& profile,
                              const std::vector<GroupResult>& groups)
{
    std::vector<Change> changes;
    for (const Difference& difference : Compare(before, profile.registers)) {
        const Setting& setting = *difference.setting;
        const auto group = std::find_if(groups.begin(), groups.end(),
                                        [&](const GroupResult& result) { return result.group == setting.group; });
        const bool readBack = group != groups.end()
                              && (group->state == GroupState::Verified || group->state == GroupState::NotKept);
        changes.push_back({&setting, difference.display, difference.wanted, readBack,
                           readBack ? after.Get(setting.reg) : difference.display});
    }
    return changes;
}

// One display of a write to several: read, kept, written.
DisplayResult WriteOne(PanelLine& line, Transfer& transfer, const Profile& profile, std::uint8_t address,
                       const WriteOptions& options)
{
    DisplayResult result {address, Outcome::Done, {}, NoneWritten(), {}, false, {}};
    line.settings.displayAddress = address;
    const auto notWritten = [&](Outcome outcome, const std::string& why) {
        result.outcome = outcome;
        result.problems = {"not written: " + why};
        return result;
    };
    // Its settings before, for the backup and the changes.
    Profile before;
    const Outcome read = transfer.Read(&before);
    if (read == Outcome::NoReply || read == Outcome::PortLost)
        return notWritten(read, transfer.Problems().front());
    if (read != Outcome::Done && !options.backupFolder.empty()) {
        std::string why = "its settings could not be kept before the write (";
        for (std::size_t k = 0; k < transfer.Problems().size(); ++k)
            why += (k ? "; " : "") + transfer.Problems()[k];
        return notWritten(Outcome::Failed, why + ")");
    }
    RegisterImage beforeImage;
    CopyGroups(line.image, beforeImage, ReadBlocks);
    result.readBefore = transfer.ReadWhole();
    if (!options.backupFolder.empty()) {
        std::string error;
        result.backup = SaveBackup(options.backupFolder, address, before, std::time(nullptr), &error);
        if (result.backup.empty())
            return notWritten(Outcome::Failed, "its settings could not be kept before the write: " + error);
    }
    result.outcome = transfer.Write(profile, &result.groups);
    result.problems = transfer.Problems();
    if (result.readBefore)
        result.changes = ChangesOf(beforeImage, line.image, profile, result.groups);
    return result;
}

}  // namespace

std::vector<DisplayResult> WriteToEach(PanelLine& line, const Profile& profile,
                                       const std::vector<std::uint8_t>& addresses, const WriteObserver& observer,
                                       const WriteOptions& options)
{
    Transfer transfer(line.link, line.image);
    transfer.SetStepObserver(observer.step);
    std::vector<DisplayResult> results;
    // Once set, the displays left are not written, for this reason and with this outcome.
    const char* notWritten = nullptr;
    Outcome left = Outcome::Failed;
    for (std::size_t k = 0; k < addresses.size(); ++k) {
        if (!notWritten && observer.stop && observer.stop()) {
            notWritten = "not written: cancelled";
            left = Outcome::Cancelled;
        }
        DisplayResult result {addresses[k], left, {}, NoneWritten(), {}, false, {}};
        if (notWritten) {
            result.problems = {notWritten};
            result.attempted = false;
        } else {
            if (observer.starting)
                observer.starting(k);
            result = WriteOne(line, transfer, profile, addresses[k], options);
            if (result.outcome == Outcome::PortLost) {
                notWritten = "not written: the port was lost";
                left = Outcome::PortLost;
            }
        }
        results.push_back(std::move(result));
        if (observer.finished)
            observer.finished(results.back());
    }
    return results;
}

unsigned StepsPerDisplay()
{
    return Transfer::ReadSteps() + Transfer::WriteSteps();
}

std::string DisplayName(std::uint8_t address)
{
    return "display " + std::to_string(address);
}

std::string WriteReport(std::uint8_t address, const std::vector<std::string>& problems)
{
    std::string report = DisplayName(address) + ": ";
    if (problems.empty())
        return report + "written and verified";
    for (std::size_t k = 0; k < problems.size(); ++k)
        report += (k ? "; " : "") + problems[k];
    return report;
}

std::string WriteReport(const DisplayResult& result)
{
    const bool tried = std::any_of(result.groups.begin(), result.groups.end(),
                                   [](const GroupResult& group) { return group.state != GroupState::NotWritten; });
    std::string report;
    std::vector<std::string> notes;
    if (!tried) {
        report = WriteReport(result.address, result.problems);
    } else if (result.outcome == Outcome::Done) {
        report = DisplayName(result.address) + ": written and verified";
    } else {
        // The groups in the same state together, in the order of the file.
        std::vector<std::pair<std::string, std::string>> states;  // words, groups
        for (const GroupResult& group : result.groups) {
            const auto same = std::find_if(states.begin(), states.end(),
                                           [&](const auto& state) { return state.first == group.words; });
            if (same == states.end())
                states.push_back({group.words, GroupName(group.group)});
            else
                same->second += std::string(", ") + GroupName(group.group);
        }
        report = DisplayName(result.address) + ": ";
        for (std::size_t k = 0; k < states.size(); ++k)
            report += (k ? "; " : "") + states[k].second + " " + states[k].first;
        // Whether the display holds the profile, part of it or none of it.
        const bool anyTaken = std::any_of(result.groups.begin(), result.groups.end(), [](const GroupResult& group) {
            return group.state == GroupState::Verified || group.state == GroupState::NotKept
                   || group.state == GroupState::NotVerified || group.state == GroupState::PortLost
                   || group.state == GroupState::NoReply;
        });
        const bool anyLeft = std::any_of(result.groups.begin(), result.groups.end(), [](const GroupResult& group) {
            return group.state != GroupState::Verified;
        });
        if (anyTaken && anyLeft)
            notes.push_back("the display now holds part of the profile");
    }
    if (!result.backup.empty())
        notes.push_back("its settings before: " + result.backup);
    for (std::size_t k = 0; k < notes.size(); ++k)
        report += (k ? "; " : " (") + notes[k] + (k + 1 == notes.size() ? ")" : "");
    return report;
}

std::string WriteSummary(const std::vector<DisplayResult>& results)
{
    std::size_t verified = 0, cancelled = 0, portLost = 0;
    for (const DisplayResult& result : results) {
        verified += result.outcome == Outcome::Done;
        // The display the port was lost on was tried, and failed; those after it were not.
        cancelled += !result.attempted && result.outcome == Outcome::Cancelled;
        portLost += !result.attempted && result.outcome == Outcome::PortLost;
    }
    // Displays never tried are not counted as failed: they may be written next time as they are.
    const std::size_t total = results.size(), notWritten = cancelled + portLost, failed = total - verified - notWritten;
    std::string why;
    if (cancelled && portLost)
        why = "cancelled or the port lost";
    else
        why = cancelled ? "cancelled" : "the port lost";
    return std::to_string(verified) + " of " + std::to_string(total) + (total == 1 ? " display" : " displays")
           + " written and verified" + (failed ? ", " + std::to_string(failed) + " failed" : "")
           + (notWritten ? ", " + std::to_string(notWritten) + " not written (" + why + ")" : "");
}

}  // namespace profile
