#include "Commands.h"

#include "DisplaySearch.h"
#include "FrameLog.h"
#include "PortMessages.h"
#include "Profile.h"
#include "ProfileFile.h"
#include "Transfer.h"

#include <algorithm>
#include <optional>

namespace vtctl {

namespace {

using profile::DisplayName;
using profile::Json;
using profile::Outcome;

// The file as a profile, or nothing once the reason has been told.
std::optional<profile::Profile> LoadProfile(const std::string& file, const Output& output)
{
    std::string refusal;
    std::optional<profile::Profile> loaded = LoadProfileFile(file, &refusal);
    if (!loaded)
        output.err << "vtctl: " << refusal << "\nvtctl: nothing was sent\n";
    return loaded;
}

// The port of `line` opened on `panel`, traced when asked; else the reason is told.
bool OpenLine(const Line& line, profile::PanelLine& panel, const Output& output)
{
    if (line.trace) {
        const std::string label = line.port.index ? line.port.Label() : std::string();
        TraceFrames(panel.link, *line.trace, [label] { return label; });
    }
    if (line.port.Open(panel.link, line.modeIndex, line.rateIndex) == 1)
        return true;
    output.err << "vtctl: " << PortOpenFailureText(panel.link, line.port.Label()) << "\n";
    return false;
}

// The profile loaded, then the line opened, so a refused file sends nothing:
// kDone, or the exit code once the reason has been told.
int LoadAndOpen(const std::string& file, const Line& line, const Output& output,
                std::optional<profile::Profile>* wanted, profile::PanelLine& panel)
{
    *wanted = LoadProfile(file, output);
    if (!*wanted)
        return kRefused;
    return OpenLine(line, panel, output) ? kDone : kPortFailed;
}

int ExitCodeOf(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Done: return kDone;
    case Outcome::PortLost: return kPortFailed;
    case Outcome::Failed:
    case Outcome::NoReply:
    case Outcome::Cancelled: break;
    }
    return kDisplayFailed;
}

void TellProblems(std::uint8_t address, const profile::Transfer& transfer, std::ostream& err)
{
    for (const std::string& problem : transfer.Problems())
        err << DisplayName(address) << ": " << problem << "\n";
}

}  // namespace

int Read(const Line& line, std::uint8_t address, const std::string& file, const Output& output)
{
    profile::PanelLine panel;
    if (!OpenLine(line, panel, output))
        return kPortFailed;
    panel.settings.displayAddress = address;
    profile::Transfer transfer(panel.link, panel.image);
    profile::Profile read;
    const Outcome outcome = transfer.Read(&read);
    if (outcome != Outcome::Done) {
        TellProblems(address, transfer, output.err);
        output.err << "vtctl: no profile written\n";
        return ExitCodeOf(outcome);
    }
    const std::string text = profile::WriteProfileText(read, VTCONFIG_VERSION);
    if (file.empty()) {
        output.out << text << std::flush;
        return kDone;
    }
    if (std::string error; !SaveProfileFile(file, text, &error)) {
        output.err << "vtctl: " << error << "\n";
        return kRefused;
    }
    output.err << DisplayName(address) << ": settings read into " << file << "\n";
    return kDone;
}

int Write(const Line& line, const std::vector<std::uint8_t>& addresses, const std::string& file, const Output& output)
{
    std::optional<profile::Profile> wanted;
    profile::PanelLine panel;
    if (const int failed = LoadAndOpen(file, line, output, &wanted, panel); failed != kDone)
        return failed;
    Json report = Json::array();
    profile::WriteObserver observer;
    if (addresses.size() > 1)
        observer.starting = [&](std::size_t k) {
            output.err << "writing " << DisplayName(addresses[k]) << " (" << k + 1 << " of " << addresses.size()
                       << ")\n";
        };
    observer.finished = [&](const profile::DisplayResult& result) {
        if (output.json)
            report.push_back({{"address", result.address},
                              {"verified", result.outcome == Outcome::Done},
                              {"problems", result.problems}});
        else
            output.out << profile::WriteReport(result.address, result.problems) << "\n";
    };
    std::size_t verified = 0;
    Outcome worst = Outcome::Done;
    const std::vector<profile::DisplayResult> results = profile::WriteToEach(panel, *wanted, addresses, observer);
    for (const profile::DisplayResult& result : results) {
        if (result.outcome == Outcome::Done)
            ++verified;
        else if (worst != Outcome::PortLost)
            worst = result.outcome;
    }
    const std::size_t failed = addresses.size() - verified;
    if (output.json)
        output.out << profile::DumpJson({{"file", file}, {"displays", report}, {"verified", verified}, {"failed", failed}})
                   << "\n";
    else
        output.out << profile::WriteSummary(results) << "\n";
    return worst == Outcome::Done ? kDone : ExitCodeOf(worst);
}

int Diff(const Line& line, std::uint8_t address, const std::string& file, const Output& output)
{
    std::optional<profile::Profile> wanted;
    profile::PanelLine panel;
    if (const int failed = LoadAndOpen(file, line, output, &wanted, panel); failed != kDone)
        return failed;
    panel.settings.displayAddress = address;
    profile::Transfer transfer(panel.link, panel.image);
    std::vector<profile::Difference> differences;
    const Outcome outcome = transfer.Compare(*wanted, &differences);
    if (outcome != Outcome::Done) {
        TellProblems(address, transfer, output.err);
        return ExitCodeOf(outcome);
    }
    if (output.json) {
        Json list = Json::array();
        for (const profile::Difference& difference : differences) {
            const profile::Setting& setting = *difference.setting;
            list.push_back({{"group", profile::GroupName(setting.group)},
                            {"setting", setting.Name()},
                            {"display", profile::ValueJson(setting, difference.display)},
                            {"file", profile::ValueJson(setting, difference.wanted)}});
        }
        output.out << profile::DumpJson({{"address", address}, {"file", file}, {"differences", list}}) << "\n";
    } else if (differences.empty()) {
        output.out << DisplayName(address) << " matches " << file << "\n";
    } else {
        for (const profile::Difference& difference : differences) {
            const profile::Setting& setting = *difference.setting;
            output.out << profile::GroupName(setting.group) << " " << setting.Name() << ": display "
                       << profile::ValueText(setting, difference.display) << ", file "
                       << profile::ValueText(setting, difference.wanted) << "\n";
        }
    }
    return differences.empty() ? kDone : kDisplayFailed;
}

int Find(const Line& line, std::uint8_t knownAddress, bool full, const Output& output)
{
    const SerialLine current {line.modeIndex, line.rateIndex};
    std::vector<ProbeTarget> order = SearchOrder(current, knownAddress);
    // The likely places: the two addresses at every line, every address at the given one.
    if (!full)
        order.erase(std::remove_if(order.begin(), order.end(),
                                   [&](const ProbeTarget& target) {
                                       return target.address != 1 && target.address != knownAddress
                                              && target.line != current;
                                   }),
                    order.end());
    DisplaySearch search = line.port.index ? DisplaySearch(*line.port.index, order) : DisplaySearch(line.port.device, order);
    // Closed on every way out, so the next opener finds the port free.
    struct Closing {
        DisplaySearch& search;
        ~Closing() { search.Close(); }
    } closing {search};
    if (line.trace) {
        const std::string label = line.port.index ? line.port.Label() : std::string();
        TraceFrames(search.link(), *line.trace, [label] { return label; });
    }
    if (!search.Open()) {
        output.err << "vtctl: " << PortOpenFailureText(search.link(), line.port.Label()) << "\n";
        return kPortFailed;
    }
    output.err << "searching " << line.port.Label() << ": " << search.Total() << " probes\n";
    std::size_t told = 0;
    for (;;) {
        const DisplaySearch::Step step = search.Next();
        if (step == DisplaySearch::Step::Found && !output.json) {
            const FoundDisplay& found = search.Found().back();
            output.out << "address " << unsigned(found.address) << ": " << kPortRates[found.line.rateIndex] << " "
                       << kModeNames[found.line.modeIndex]
                       << (found.exceptionCode ? " (answered with exception " + std::to_string(found.exceptionCode) + ")"
                                               : std::string())
                       << std::endl;
        }
        if (step == DisplaySearch::Step::OpenFailed) {
            output.err << "vtctl: " << PortOpenFailureText(search.link(), line.port.Label()) << "\n";
            return kPortFailed;
        }
        if (step == DisplaySearch::Step::PortLost) {
            output.err << "vtctl: " << PortLostText(search.link(), line.port.Label()) << "\n";
            return kPortFailed;
        }
        if (DisplaySearch::Ends(step))
            break;
        // A line every tenth of the way.
        const std::size_t tenth = search.Tried() * 10 / std::max<std::size_t>(search.Total(), 1);
        if (tenth > told) {
            told = tenth;
            output.err << "searched " << search.Tried() << " of " << search.Total() << "\n";
        }
    }
    if (!search.SkippedLines().empty()) {
        output.err << "the port does not run at";
        const char* separator = " ";
        for (const SerialLine& skipped : search.SkippedLines()) {
            output.err << separator << DescribeLine(skipped);
            separator = ", ";
        }
        output.err << ": not searched\n";
    }
    for (const std::string& note : search.EndNotes())
        output.err << note << "\n";
    if (output.json) {
        Json list = Json::array();
        for (const FoundDisplay& found : search.Found())
            list.push_back({{"address", found.address},
                            {"mode", kModeNames[found.line.modeIndex]},
                            {"rate", kPortRates[found.line.rateIndex]},
                            {"exception", found.exceptionCode}});
        output.out << profile::DumpJson(list) << "\n";
    } else if (search.Found().empty()) {
        output.out << "no display answered on " << line.port.Label() << "\n";
    }
    return search.Found().empty() ? kDisplayFailed : kDone;
}

}  // namespace vtctl
