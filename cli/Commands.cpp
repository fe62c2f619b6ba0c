#include "Commands.h"

#include "Backup.h"
#include "DisplaySearch.h"
#include "FrameLog.h"
#include "PortMessages.h"
#include "Profile.h"
#include "ProfileFile.h"
#include "Record.h"
#include "Transfer.h"

#include <algorithm>
#include <ctime>
#include <optional>

namespace vtctl {

const char* const kExitCodesHelp =
    "Exit codes: 0 done (diff: no difference); 1 a display answered but differs, refused a write\n"
    "or did not keep a value; 2 a usage error or a file refused, nothing sent; 3 the port cannot be\n"
    "opened or was lost; 4 a display did not answer (no reply, a gateway's exception 10 or 11, or\n"
    "replies that never came whole); 130 interrupted (Ctrl+C). With several displays the worst\n"
    "wins, in the order 3, 4, 1. With --json, standard output holds one JSON document whatever\n"
    "happens, with \"error\" when the work could not be done.";

int Refuse(const std::string& reason, const Output& output)
{
    output.err << "vtctl: " << reason << "\n";
    if (output.json)
        output.out << profile::DumpJson({{"error", reason}, {"exitCode", int(kRefused)}}) << "\n";
    return kRefused;
}

namespace {

// A failure after the port was opened: told, and for scripts as JSON.
int Failed(int code, const std::string& reason, const Output& output, profile::Json document = profile::Json::object())
{
    output.err << "vtctl: " << reason << "\n";
    if (output.json) {
        document["error"] = reason;
        document["exitCode"] = code;
        output.out << profile::DumpJson(document) << "\n";
    }
    return code;
}

using profile::DisplayName;
using profile::Json;
using profile::Outcome;

// The file as a profile, or nothing once the reason has been told.
std::optional<profile::Profile> LoadProfile(const std::string& file, const Output& output, std::string* bytes = nullptr)
{
    std::string refusal;
    std::optional<profile::Profile> loaded = LoadProfileFile(file, &refusal, bytes);
    if (!loaded) {
        output.err << "vtctl: " << refusal << "\nvtctl: nothing was sent\n";
        if (output.json)
            output.out << profile::DumpJson({{"file", file}, {"error", refusal}, {"exitCode", int(kRefused)}}) << "\n";
    }
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
    Failed(kPortFailed, PortOpenFailureText(panel.link, line.port.Label()), output);
    return false;
}

// The profile loaded, then the line opened, so a refused file sends nothing:
// kDone, or the exit code once the reason has been told.
int LoadAndOpen(const std::string& file, const Line& line, const Output& output,
                std::optional<profile::Profile>* wanted, profile::PanelLine& panel, std::string* bytes = nullptr)
{
    *wanted = LoadProfile(file, output, bytes);
    if (!*wanted)
        return kRefused;
    return OpenLine(line, panel, output) ? kDone : kPortFailed;
}

int ExitCodeOf(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Done: return kDone;
    case Outcome::PortLost: return kPortFailed;
    case Outcome::NoReply: return kNoReply;
    case Outcome::Cancelled: return kInterrupted;
    case Outcome::Failed: break;
    }
    return kDisplayFailed;
}

// The worse of two exit codes, in the order 3, 4, 1.
int Worse(int a, int b)
{
    for (int code : {int(kInterrupted), int(kPortFailed), int(kNoReply), int(kDisplayFailed)})
        if (a == code || b == code)
            return code;
    return std::max(a, b);
}

// A read or compare that failed: each problem on its line, and for scripts as JSON.
int TellFailure(Outcome outcome, std::uint8_t address, const profile::Transfer& transfer, const Output& output,
                profile::Json document)
{
    for (const std::string& problem : transfer.Problems())
        output.err << DisplayName(address) << ": " << problem << "\n";
    if (output.json) {
        document["error"] = transfer.Problems().empty() ? std::string() : transfer.Problems().front();
        document["problems"] = transfer.Problems();
        document["exitCode"] = ExitCodeOf(outcome);
        output.out << profile::DumpJson(document) << "\n";
    }
    return ExitCodeOf(outcome);
}

profile::Json GroupStates(const profile::DisplayResult& result)
{
    profile::Json groups = profile::Json::object();
    for (const profile::GroupResult& group : result.groups)
        groups[profile::GroupName(group.group)] = profile::GroupStateName(group.state);
    return groups;
}

bool Saved(const std::string& path, const std::string& text, const char* what, const Output& output)
{
    std::string error;
    if (SaveProfileFile(path, text, &error))
        return true;
    output.err << "vtctl: the " << what << " was not kept: " << error << "\n";
    return false;
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
        TellFailure(outcome, address, transfer, output, {});
        output.err << "vtctl: no profile written\n";
        return ExitCodeOf(outcome);
    }
    const std::string text = profile::WriteProfileText(read, VTCONFIG_VERSION);
    if (file.empty() || file == "-") {
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

int Write(const Line& line, const std::vector<std::uint8_t>& addresses, const std::string& file, const Output& output,
          const WriteExtras& extras)
{
    std::optional<profile::Profile> wanted;
    profile::PanelLine panel;
    profile::WriteSession session;
    session.started = std::time(nullptr);
    // The backups' folder made before anything is sent: a write without its backup is no write.
    std::string error;
    if (!extras.backupFolder.empty() && !profile::MakeFolder(extras.backupFolder, &error))
        return Refuse(error + "; nothing was sent (--no-backup writes without a backup)", output);
    if (const int failed = LoadAndOpen(file, line, output, &wanted, panel, &session.profileBytes); failed != kDone)
        return failed;
    Json report = Json::array();
    profile::WriteObserver observer;
    observer.starting = [&](std::size_t k) {
        if (extras.writing)
            extras.writing(addresses[k]);
        if (addresses.size() > 1)
            output.err << "writing " << DisplayName(addresses[k]) << " (" << k + 1 << " of " << addresses.size()
                       << ")\n";
    };
    observer.finished = [&](const profile::DisplayResult& result) {
        if (extras.writing)
            extras.writing(0);
        if (output.json)
            report.push_back({{"address", result.address},
                              {"result", profile::ResultName(result.outcome)},
                              {"verified", result.outcome == Outcome::Done},
                              {"groups", GroupStates(result)},
                              {"backup", result.backup.empty() ? Json() : Json(result.backup)},
                              {"problems", result.problems}});
        else
            output.out << profile::WriteReport(result) << std::endl;
    };
    profile::WriteOptions options;
    options.backupFolder = extras.backupFolder;
    const std::vector<profile::DisplayResult> results =
        profile::WriteToEach(panel, *wanted, addresses, observer, options);
    session.finished = std::time(nullptr);
    int code = kDone;
    std::size_t verified = 0, notWritten = 0;
    for (const profile::DisplayResult& result : results) {
        code = Worse(code, ExitCodeOf(result.outcome));
        verified += result.outcome == Outcome::Done;
        notWritten += !result.attempted;
    }
    const std::size_t failed = results.size() - verified - notWritten;
    if (!extras.record.empty() || !extras.report.empty()) {
        session.toolVersion = VTCONFIG_VERSION;
        session.port = line.port.Label();
        session.mode = kModeNames[line.modeIndex];
        session.rate = kPortRates[line.rateIndex];
        session.profilePath = file;
        session.results = results;
        // A record that could not be kept leaves the write as it went, but a script must hear of it.
        if (!extras.record.empty() && !Saved(extras.record, profile::RecordText(session), "record", output))
            code = Worse(code, kRefused);
        if (!extras.report.empty() && !Saved(extras.report, profile::ReportHtml(session), "report", output))
            code = Worse(code, kRefused);
    }
    if (output.json)
        output.out << profile::DumpJson({{"file", file},
                                         {"displays", report},
                                         {"verified", verified},
                                         {"failed", failed},
                                         {"notWritten", notWritten},
                                         {"exitCode", code}})
                   << "\n";
    else
        output.out << profile::WriteSummary(results) << "\n";
    return code;
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
    if (outcome != Outcome::Done)
        return TellFailure(outcome, address, transfer, output, {{"address", address}, {"file", file}});
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
    if (!search.Open())
        return Failed(kPortFailed, PortOpenFailureText(search.link(), line.port.Label()), output);
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
        if (step == DisplaySearch::Step::OpenFailed)
            return Failed(kPortFailed, PortOpenFailureText(search.link(), line.port.Label()), output);
        if (step == DisplaySearch::Step::PortLost)
            return Failed(kPortFailed, PortLostText(search.link(), line.port.Label()), output);
        // Nobody reads on (a pager closed, "| head"): the search ends quietly.
        if (DisplaySearch::Ends(step) || !output.out)
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
    return search.Found().empty() ? kNoReply : kDone;
}

}  // namespace vtctl
