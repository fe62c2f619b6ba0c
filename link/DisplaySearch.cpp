#include "DisplaySearch.h"

#include "NetworkTransport.h"
#include "PortList.h"

#include <algorithm>

std::string DescribeLine(const SerialLine& line)
{
    return std::to_string(kPortRates[line.rateIndex]) + " " + kModeNames[line.modeIndex];
}

std::vector<SerialLine> SearchLines(const SerialLine& current)
{
    // Port rate indices, the rates met most often first.
    constexpr std::uint8_t kRateOrder[] = {2, 4, 5, 7, 6, 3, 1, 0};  // 9600 19200 38400 115200 57600 14400 4800 2400
    constexpr std::uint8_t k8n2 = 1;
    std::vector<SerialLine> lines {current};
    auto add = [&](SerialLine line) {
        if (std::find(lines.begin(), lines.end(), line) == lines.end())
            lines.push_back(line);
    };
    for (std::uint8_t rate : {2, 4, 5, 7})
        add({k8n2, rate});
    for (std::uint8_t rate : kRateOrder)
        for (std::uint8_t mode : {1, 0, 2, 3})
            add({mode, rate});
    return lines;
}

std::vector<ProbeTarget> SearchOrder(const SerialLine& current, std::uint8_t knownAddress)
{
    const std::vector<SerialLine> lines = SearchLines(current);
    std::vector<ProbeTarget> order;
    order.reserve(lines.size() * 247);
    auto likely = [&](std::uint8_t address) { return address == 1 || address == knownAddress; };
    for (const SerialLine& line : lines) {
        order.push_back({1, line});
        if (knownAddress != 1)
            order.push_back({knownAddress, line});
    }
    for (const SerialLine& line : lines)
        for (unsigned address = 1; address <= 247; ++address)
            if (!likely(std::uint8_t(address)))
                order.push_back({std::uint8_t(address), line});
    return order;
}

DisplaySearch::DisplaySearch(std::uint8_t portIndex, std::vector<ProbeTarget> order, unsigned latencyMs)
    : portIndex_(portIndex), order_(std::move(order)), latencyMs_(latencyMs), link_(settings_, image_)
{
    if (PortTarget::Of(PortPath(portIndex_)).network)
        KeepFirstLine();
}

DisplaySearch::DisplaySearch(std::string device, std::vector<ProbeTarget> order, unsigned latencyMs)
    : portIndex_(0), device_(std::move(device)), order_(std::move(order)), latencyMs_(latencyMs),
      link_(settings_, image_)
{
    if (PortTarget::Of(device_).network)
        KeepFirstLine();
}

void DisplaySearch::KeepFirstLine()
{
    // Over the network the serial line's rate and mode are set on the device
    // server or the gateway, not by its client: only the addresses (the unit
    // ids) are searched, at the line the order begins with.
    if (order_.empty())
        return;
    const SerialLine first = order_.front().line;
    order_.erase(std::remove_if(order_.begin(), order_.end(),
                                [&](const ProbeTarget& target) { return target.line != first; }),
                 order_.end());
}

bool DisplaySearch::OpenAt(const SerialLine& line)
{
    if (!device_.empty())
        return link_.OpenDevice(device_, line.modeIndex, line.rateIndex) == 1;
    return link_.OpenPort(portIndex_, line.modeIndex, line.rateIndex) == 1;
}

bool DisplaySearch::Skipped(const SerialLine& line) const
{
    return std::find(skipped_.begin(), skipped_.end(), line) != skipped_.end();
}

bool DisplaySearch::SkipDone()
{
    // Once an address has answered, its display is not looked for again;
    // a line the port refused is not tried again.
    while (next_ < order_.size() && (foundAddresses_[order_[next_].address] || Skipped(order_[next_].line)))
        ++next_;
    return next_ < order_.size();
}

std::optional<ProbeTarget> DisplaySearch::Upcoming()
{
    if (!SkipDone())
        return std::nullopt;
    return order_[next_];
}

bool DisplaySearch::Open()
{
    for (std::optional<ProbeTarget> first; (first = Upcoming());) {
        if (OpenAt(first->line))
            return true;
        if (!link_.LastOpenRefusedLine())
            return false;
        skipped_.push_back(first->line);
    }
    if (!skipped_.empty())
        return false;  // every line refused
    return OpenAt(SerialLine {settings_.modeIndex, settings_.rateIndex});
}

void DisplaySearch::Close()
{
    link_.ClosePort();
}

bool DisplaySearch::List(const ProbeAnswer& answer, const SerialLine& line)
{
    // Listed under the address it answered from: another device on the line
    // is shown as what it is.
    if (foundAddresses_[answer.address])
        return false;
    foundAddresses_[answer.address] = true;
    found_.push_back({answer.address, line, answer.exceptionCode});
    return true;
}

void DisplaySearch::Tally(const ProbeNotes& notes)
{
    foreignFrames_ += notes.foreignFrames;
    if (notes.gatewaySaidSilent) {
        ++gatewaySilentAnswers_;
        gatewaySilentMicros_ += notes.gatewayMicros;
    }
    if (notes.gatewayUnanswered)
        ++gatewayUnanswered_;
}

DisplaySearch::Step DisplaySearch::Next()
{
    if (unlisted_) {
        found_.push_back(*unlisted_);
        unlisted_.reset();
        return Step::Found;
    }
    if (!SkipDone()) {
        Close();
        return Step::Finished;
    }
    const ProbeTarget target = order_[next_];
    const SerialLine open {settings_.modeIndex, settings_.rateIndex};
    if ((!settings_.portOpen || open != target.line) && !OpenAt(target.line)) {
        if (!link_.LastOpenRefusedLine())
            return Step::OpenFailed;
        skipped_.push_back(target.line);
        return Step::LineSkipped;
    }
    ProbeAnswer answer;
    ProbeNotes notes;
    const ProbeResult result = link_.Probe(target.address, latencyMs_, &answer, &notes);
    ++next_;
    Tally(notes);
    if (result == ProbeResult::PortLost)
        return Step::PortLost;
    // A late answer to the probe before came at this line too.
    const bool lateListed = notes.lateAnswered && List(notes.late, target.line);
    if (result != ProbeResult::Answered)
        return lateListed ? Step::Found : Step::Probed;
    if (!lateListed)
        return List(answer, target.line) ? Step::Found : Step::Probed;
    if (!foundAddresses_[answer.address]) {
        foundAddresses_[answer.address] = true;
        unlisted_ = FoundDisplay {answer.address, target.line, answer.exceptionCode};
    }
    return Step::Found;
}

namespace {

std::string Count(unsigned count, const char* one, const char* several)
{
    return std::to_string(count) + " " + (count == 1 ? one : several);
}

// "2.4 s"
std::string Seconds(std::int64_t micros)
{
    const std::int64_t tenths = (micros + 50000) / 100000;
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " s";
}

}  // namespace

std::vector<std::string> DisplaySearch::EndNotes() const
{
    std::vector<std::string> notes;
    // A gateway that tries a silent display once answers after its own
    // time-out; well beyond that, it tries again and again.
    if (gatewaySilentAnswers_ > 0) {
        const std::int64_t typical = gatewaySilentMicros_ / gatewaySilentAnswers_;
        if (typical > kGatewayTimeoutMicros * 3 / 2)
            notes.push_back("the gateway took " + Seconds(typical)
                            + " over silent addresses; set its retries to 0 for a faster search");
    }
    if (gatewayUnanswered_ > 0)
        notes.push_back("the gateway left " + Count(gatewayUnanswered_, "probe", "probes") + " without an answer");
    if (foreignFrames_ > 0)
        notes.push_back("another master is talking on this line (" + Count(foreignFrames_, "frame", "frames")
                        + " of its traffic passed over)");
    return notes;
}
