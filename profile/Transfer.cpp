#include "Transfer.h"

#include "PortMessages.h"

namespace profile {

namespace {

void CopyBlock(const RegisterImage& from, RegisterImage& to, const RegisterBlock& block)
{
    for (unsigned k = 0; k < block.quantity; ++k)
        to.Set(block.first + k, from.Get(block.first + k));
}

}  // namespace

Outcome Transfer::Failure(ReadResult result, Group group)
{
    const std::string step = std::string("reading ") + GroupName(group) + ": ";
    switch (result) {
    case ReadResult::Stored: return Outcome::Done;
    case ReadResult::Rejected:
        problems_.push_back(step + DescribeRejection(link_.LastRejection(), link_.LastExceptionCode()));
        return Outcome::Failed;
    case ReadResult::NoReply: problems_.push_back(step + "no reply"); return Outcome::NoReply;
    case ReadResult::PortLost: problems_.push_back(PortLostText(link_, "")); return Outcome::PortLost;
    }
    return Outcome::Failed;
}

Outcome Transfer::Failure(WriteResult result, Group group)
{
    const std::string step = std::string("writing ") + GroupName(group) + ": ";
    switch (result) {
    case WriteResult::Acknowledged: return Outcome::Done;
    case WriteResult::Refused:
        problems_.push_back(step + DescribeRejection(link_.LastRejection(), link_.LastExceptionCode()));
        return Outcome::Failed;
    case WriteResult::NoReply: problems_.push_back(step + "no reply"); return Outcome::NoReply;
    case WriteResult::PortLost: problems_.push_back(PortLostText(link_, "")); return Outcome::PortLost;
    }
    return Outcome::Failed;
}

Outcome Transfer::ReadGroups(bool judge)
{
    Outcome outcome = Outcome::Done;
    for (Group group : kGroups) {
        // A refused block leaves the group out; the other groups are still
        // read, so every refusal is told at once.
        bool stored = true;
        for (const RegisterBlock& block : ReadBlocks(group)) {
            const ReadResult result = link_.ReadBlock(block, kReplyPauseMs);
            if (result == ReadResult::NoReply || result == ReadResult::PortLost)
                return Failure(result, group);
            if (result == ReadResult::Rejected) {
                outcome = Failure(result, group);
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
            if (const WriteResult result = link_.WriteBlock(block, kReplyPauseMs); result != WriteResult::Acknowledged)
                return Failure(result, group);
    // What the display keeps, not what it acknowledged, is what was written.
    for (Group group : kGroups)
        for (const RegisterBlock& block : WriteBlocks(group))
            if (const ReadResult result = link_.ReadBlock(block, kReplyPauseMs); result != ReadResult::Stored)
                return Failure(result, group);
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
