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

void CopyBlock(const RegisterImage& from, RegisterImage& to, const RegisterBlock& block)
{
    for (unsigned k = 0; k < block.quantity; ++k)
        to.Set(block.first + k, from.Get(block.first + k));
}

}  // namespace

Outcome Transfer::Told(Outcome outcome, const char* step, Group group)
{
    const std::string where = std::string(step) + " " + GroupName(group) + ": ";
    switch (outcome) {
    case Outcome::Done: break;
    case Outcome::Failed:
        problems_.push_back(where + DescribeRejection(link_.LastRejection(), link_.LastExceptionCode()));
        break;
    case Outcome::NoReply: problems_.push_back(where + "no reply"); break;
    case Outcome::PortLost: problems_.push_back(PortLostText(link_, "")); break;
    }
    return outcome;
}

Outcome Transfer::ReadGroups(bool judge)
{
    Outcome outcome = Outcome::Done;
    for (Group group : kGroups) {
        // A refused block leaves the group out; the other groups are still
        // read, so every refusal is told at once.
        bool stored = true;
        for (const RegisterBlock& block : ReadBlocks(group)) {
            const Outcome read = OutcomeOf(link_.ReadBlock(block, kReplyPauseMs));
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
    for (Group group : kGroups)
        for (const RegisterBlock& block : ReadBlocks(group))
            CopyBlock(image_, profile->registers, block);
    return outcome;
}

Outcome Transfer::Write(const Profile& profile)
{
    problems_.clear();
    for (Group group : kGroups)
        for (const RegisterBlock& block : WriteBlocks(group))
            CopyBlock(profile.registers, image_, block);
    for (Group group : kGroups)
        for (const RegisterBlock& block : WriteBlocks(group))
            if (const Outcome written = OutcomeOf(link_.WriteBlock(block, kReplyPauseMs)); written != Outcome::Done)
                return Told(written, "writing", group);
    // What the display keeps, not what it acknowledged, is what was written.
    for (Group group : kGroups)
        for (const RegisterBlock& block : WriteBlocks(group))
            if (const Outcome read = OutcomeOf(link_.ReadBlock(block, kReplyPauseMs)); read != Outcome::Done)
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

}  // namespace profile
