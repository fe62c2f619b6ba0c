#include "Transfer.h"

#include "PortMessages.h"

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

}  // namespace

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
    Outcome outcome = Outcome::Done;
    for (Group group : kGroups) {
        // A refused block leaves the group out; the other groups are still
        // read, so every refusal is told at once.
        bool stored = true;
        for (const RegisterBlock& block : ReadBlocks(group)) {
            const Outcome read = OutcomeOf(Read(block));
            if (read == Outcome::NoReply || read == Outcome::PortLost)
                return Told(read, "reading", group);
            if (read == Outcome::Failed) {
                outcome = Told(read, "reading", group);
                stored = false;
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

Outcome Transfer::Write(const Profile& profile)
{
    problems_.clear();
    CopyGroups(profile.registers, image_, WriteBlocks);
    for (Group group : kGroups)
        for (const RegisterBlock& block : WriteBlocks(group))
            if (const Outcome written = OutcomeOf(Write(block)); written != Outcome::Done)
                return Told(written, "writing", group);
    // What the display keeps, not what it acknowledged, is what was written.
    for (Group group : kGroups)
        for (const RegisterBlock& block : WriteBlocks(group))
            if (const Outcome read = OutcomeOf(Read(block)); read != Outcome::Done)
                return Told(read, "reading", group);
    for (const Difference& difference : profile::Compare(image_, profile.registers))
        problems_.push_back(difference.setting->Path() + ": wrote " + ValueText(*difference.setting, difference.wanted)
                            + ", the display keeps " + ValueText(*difference.setting, difference.display));
    return problems_.empty() ? Outcome::Done : Outcome::Failed;
}

Outcome Transfer::Compare(const Profile& profile, std::vector<Difference>* differences)
{
    problems_.clear();
    const Outcome outcome = ReadGroups(false);
    if (outcome == Outcome::Done)
        *differences = profile::Compare(image_, profile.registers);
    return outcome;
}

std::vector<DisplayResult> WriteToEach(PanelLine& line, const Profile& profile,
                                       const std::vector<std::uint8_t>& addresses, const WriteObserver& observer)
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
        DisplayResult result {addresses[k], left, {}};
        if (notWritten) {
            result.problems = {notWritten};
        } else {
            if (observer.starting)
                observer.starting(k);
            line.settings.displayAddress = addresses[k];
            result.outcome = transfer.Write(profile);
            result.problems = transfer.Problems();
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

std::string WriteSummary(const std::vector<DisplayResult>& results)
{
    std::size_t verified = 0, cancelled = 0;
    for (const DisplayResult& result : results) {
        verified += result.outcome == Outcome::Done;
        cancelled += result.outcome == Outcome::Cancelled;
    }
    // Displays never tried are not counted as failed: they may be written next time as they are.
    const std::size_t total = results.size(), failed = total - verified - cancelled;
    return std::to_string(verified) + " of " + std::to_string(total) + (total == 1 ? " display" : " displays")
           + " written and verified" + (failed ? ", " + std::to_string(failed) + " failed" : "")
           + (cancelled ? ", " + std::to_string(cancelled) + " not written (cancelled)" : "");
}

}  // namespace profile
