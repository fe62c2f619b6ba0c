// The Windows vtctl.exe under Wine beside the Linux vtctl, case by case:
//   vtctl_under_wine PREFIX FOLDER VTCTL.exe VTCTL [WORDS]
// (with WORDS, only the cases whose name holds them)
// Each case runs both programs with the same arguments, in folders of their
// own (FOLDER/linux, FOLDER/windows), each against simulated displays of its
// own in the same starting state: COM5 (the prefix maps it to the display's
// pseudo-terminal; the Linux vtctl finds it in $VT_COM5), and the same
// display behind an RTU-over-TCP and a Modbus TCP device server. Both must
// end with the same exit code, print the same standard output, write the
// same files (line endings aside) and leave the displays with the same
// registers; standard error too, where the OS's own words cannot appear.
// Without Wine the suite is skipped (exit 77).
#include "DeviceServer.h"
#include "SimDisplay.h"
#include "WinePrefix.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kSkipped = 77;
constexpr int kInterrupted = 130;  // what a shell gives a program Ctrl+C ended

// The display's start values changed where a profile holds them: row II
// shows register 7507, the first row's second alarm is 12.5.
void Seed(sim::SimDisplay& display, std::uint8_t address)
{
    display.SetRegister(address, 4012, 7);
    display.SetRegister(address, 7611, 0x41480000u);  // 12.5f
}

// The displays one run of one case meets.
struct Bench {
    std::unique_ptr<sim::SimDisplay> display;  // addresses 1 to 3, 9600 8n2 unless the case says
    std::unique_ptr<sim::DeviceServer> rtu, mbap;

    bool Start(const sim::SimDisplay::Options& options, std::string* error)
    {
        display = std::make_unique<sim::SimDisplay>(options);
        if (!display->Start(error))
            return false;
        rtu = std::make_unique<sim::DeviceServer>(*display, sim::DeviceServer::Protocol::RtuOverTcp);
        mbap = std::make_unique<sim::DeviceServer>(*display, sim::DeviceServer::Protocol::ModbusTcp);
        return rtu->Start(0, error) && mbap->Start(0, error);
    }

    // What a run left on the displays that a profile touches.
    std::string Registers() const
    {
        std::string text;
        for (std::uint8_t address : {1, 2, 3})
            for (unsigned reg : {4012u, 7611u})
                text += std::to_string(display->Register(address, reg)) + " ";
        return text;
    }

    // The words that differ from run to run: the ports' own names.
    std::string Plain(std::string text) const
    {
        text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
        for (const auto& [name, word] : {std::pair {rtu->Path(), "tcp://SERVER"}, std::pair {mbap->Path(), "modbus-tcp://SERVER"},
                                         std::pair {display->DevicePath(), "DEVICE"}})
            for (std::size_t at; (at = text.find(name)) != std::string::npos;)
                text.replace(at, name.size(), word);
        // A backup's name carries the second it was kept in, and its folder
        // each OS's separator (doubled in JSON).
        text = std::regex_replace(text, std::regex(R"(backups(\\\\|\\|/)display-(\d+)-\d{8}-\d{6}\.json)"),
                                  "backups/display-$2-TIME.json");
        return text;
    }
};

enum class Port { Com, Rtu, Mbap, Closed };

struct Case {
    std::string name;
    Port port;
    std::vector<std::string> arguments;  // the port is added at the end
    int exitCode;
    std::function<void(sim::SimDisplay&)> before = nullptr;
    std::vector<std::string> files = {};  // written by the run, compared
    bool sameErrors = true;              // standard error compared too
    // Set while the Windows side still lacks what the case needs, or fails
    // it now and then for a cause outside vtctl: its failure is listed, not
    // counted; its success is listed with the mark, for whoever removes it.
    const char* awaits = nullptr;
    bool interrupt = false;  // Ctrl+C once the display saw two requests
    sim::SimDisplay::Options options = {};
};

struct Run {
    int exitCode = -1;
    std::string out, err, files, registers;
    bool portReleased = true;  // after Ctrl+C: the next run opens the port
};

std::string ReadAll(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return file ? text.str() : "(no file)";
}

std::string PortPath(const Bench& bench, Port port)
{
    switch (port) {
    case Port::Com: return "COM5";
    case Port::Rtu: return bench.rtu->Path();
    case Port::Mbap: return bench.mbap->Path();
    case Port::Closed: return "tcp://127.0.0.1:1";
    }
    return {};
}

class Sides {
public:
    Sides(const Wine& wine, std::string folder, std::string windowsVtctl, std::string linuxVtctl)
        : wine_(wine), folder_(std::move(folder)), windowsVtctl_(std::move(windowsVtctl)), linuxVtctl_(std::move(linuxVtctl))
    {
    }

    // One side's run of the case: `windows` under Wine, else the Linux vtctl.
    Run Play(const Case& test, bool windows, std::string* error) const
    {
        const std::string folder = folder_ + (windows ? "/windows" : "/linux");
        Prepare(folder);
        Bench bench;
        sim::SimDisplay::Options options = test.options;
        options.moreAddresses = {2, 3};
        if (!bench.Start(options, error))
            return {};
        if (test.before)
            test.before(*bench.display);
        const std::string link = wine_.PortLink(5);
        unlink(link.c_str());
        if (symlink(bench.display->DevicePath().c_str(), link.c_str()) != 0) {
            *error = "cannot link " + link;
            return {};
        }
        std::vector<std::string> arguments = test.arguments;
        if (arguments[0].compare(0, 2, "--") != 0) {  // --version takes no port
            arguments.push_back("--port");
            arguments.push_back(PortPath(bench, test.port));
        }
        Run run;
        run.exitCode = Start(windows, folder, arguments, test.interrupt, &run);
        if (test.interrupt) {
            bench.display->ClearFaults();
            Run next;
            run.portReleased = Start(windows, folder, {"read", "--port", "COM5"}, false, &next) == 0;
        }
        run.out = bench.Plain(run.out);
        run.err = bench.Plain(run.err);
        for (const std::string& file : test.files)
            run.files += file + ":\n" + bench.Plain(ReadAll(folder + "/" + file)) + "\n";
        run.registers = bench.Registers();
        return run;
    }

private:
    // An empty folder with the profiles the cases read.
    void Prepare(const std::string& folder) const
    {
        std::system(("rm -rf '" + folder + "' && mkdir -p '" + folder + "'").c_str());
        for (const char* name : {"panel.json", "utf16.json"})
            std::ofstream(folder + "/" + name, std::ios::binary) << ReadAll(folder_ + "/" + name);
        std::ofstream(folder + "/existing.json", std::ios::binary) << "{\"old\": true}\n";
    }

    // Runs one vtctl to its end; its exit code as a shell gives it.
    int Start(bool windows, const std::string& folder, const std::vector<std::string>& arguments,
              bool interrupt, Run* run) const
    {
        const std::string outPath = folder + "/.out", errPath = folder + "/.err";
        pid_t child = fork();
        if (child == 0) {
            if (chdir(folder.c_str()) != 0)
                _exit(126);
            // As a shell starts a program: Ctrl+C not ignored, whatever the runner's parent did.
            std::signal(SIGINT, SIG_DFL);
            std::vector<std::string> command;
            if (windows) {
                wine_.Environment();
                command = {wine_.wine, windowsVtctl_};
            } else {
                setenv("VT_COM5", wine_.PortLink(5).c_str(), 1);
                command = {linuxVtctl_};
            }
            command.insert(command.end(), arguments.begin(), arguments.end());
            int none = ::open("/dev/null", O_RDONLY);
            int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(none, 0);
            dup2(out, 1);
            dup2(err, 2);
            std::vector<char*> argv;
            for (std::string& word : command)
                argv.push_back(word.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        if (interrupt) {
            // Ctrl+C in a terminal is SIGINT to the program; Wine hands it
            // to the program's console handlers as CTRL_C_EVENT. Once the
            // search has begun: a silent display sees no frame at the lines
            // that are not its own.
            for (int tries = 0; tries < 200 && ReadAll(errPath).find("searching") == std::string::npos; ++tries)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            kill(child, SIGINT);
        }
        int status = 0;
        waitpid(child, &status, 0);
        run->out = ReadAll(outPath);
        run->err = ReadAll(errPath);
        unlink(outPath.c_str());
        unlink(errPath.c_str());
        if (WIFEXITED(status))
            return WEXITSTATUS(status);
        // A Windows program never ends by a signal: Wine did, and its 130
        // would hide that the program's own handler never ran.
        return windows ? 1000 + WTERMSIG(status) : 128 + WTERMSIG(status);
    }

    const Wine& wine_;
    std::string folder_, windowsVtctl_, linuxVtctl_;
};

// A profile written as PowerShell 5 writes text: UTF-16 with its mark.
std::string Utf16(const std::string& ascii)
{
    std::string text = "\xFF\xFE";
    for (char c : ascii)
        text += std::string {c, '\0'};
    return text;
}

std::vector<Case> Cases()
{
    auto seeded = [](sim::SimDisplay& display) {
        for (std::uint8_t address : {1, 2, 3})
            Seed(display, address);
    };
    sim::SimDisplay::Options fast;
    fast.rateCode = 7;  // 115200: the search's probes at every address end sooner
    std::vector<Case> cases;
    // The commands over every kind of port.
    for (const auto& [port, kind] : {std::pair {Port::Com, "COM5"}, std::pair {Port::Rtu, "tcp"}, std::pair {Port::Mbap, "modbus-tcp"}}) {
        const std::string over = std::string(" over ") + kind;
        cases.push_back({"read to a file" + over, port, {"read", "--address", "2", "-o", "read.json"}, 0, seeded, {"read.json"}});
        cases.push_back({"read to standard output" + over, port, {"read"}, 0, seeded});
        cases.push_back({"diff, the same" + over, port, {"diff", "panel.json", "--address", "3"}, 0, seeded});
        cases.push_back({"diff, differing" + over, port, {"diff", "panel.json"}, 1});
        cases.push_back({"diff as JSON" + over, port, {"diff", "panel.json", "--json"}, 1});
        cases.push_back({"write one display" + over, port, {"write", "panel.json", "--address", "2", "--backup-dir", "backups"}, 0});
        cases.push_back({"write several displays" + over, port,
                         {"write", "panel.json", "--address", "1-3", "--json", "--backup-dir", "backups"}, 0});
    }
    // A search takes every address's time-out at one line: over COM5 alone,
    // at 115200 (about 15 s a side).
    cases.push_back({"find, limited", Port::Com, {"find", "--address", "3", "--rate", "115200", "--json"}, 0, nullptr, {},
                     false, nullptr, false, fast});
    // Ctrl+C in a search of a silent line: 130 on both, and the port free after.
    cases.push_back({"Ctrl+C ends a search", Port::Com, {"find", "--full"}, kInterrupted,
                     [](sim::SimDisplay& display) { display.InjectFault({sim::FaultKind::Silent, 0, true}); }, {}, false, nullptr,
                     true});
    // Files and arguments beyond the ANSI code page, replacing, refusing.
    cases.push_back({"a missing profile named in UTF-8", Port::Com, {"diff", "日本-żółw.json"}, 2});
    cases.push_back({"read to a profile named in UTF-8", Port::Com, {"read", "-o", "日本-żółw.json"}, 0, seeded,
                     {"日本-żółw.json"}, true});
    cases.push_back({"read over an existing profile", Port::Com, {"read", "-o", "existing.json"}, 0, seeded, {"existing.json"}});
    cases.push_back({"a UTF-16 profile", Port::Com, {"diff", "utf16.json"}, 2});
    // Usage and the port.
    cases.push_back({"the version", Port::Com, {"--version"}, 0});
    cases.push_back({"an unknown command", Port::Com, {"bogus"}, 2});
    cases.push_back({"a port nothing listens at", Port::Closed, {"read"}, 3, nullptr, {}, false});
    return cases;
}

// The first line where two texts part, with its number.
std::string FirstDifference(const std::string& a, const std::string& b)
{
    std::istringstream left(a), right(b);
    std::string one, other;
    for (int line = 1;; ++line) {
        const bool more = bool(std::getline(left, one)), moreOther = bool(std::getline(right, other));
        if (!more && !moreOther)
            return {};
        if (!more || !moreOther || one != other)
            return "line " + std::to_string(line) + ":\n    Linux:   " + (more ? one : "(ends)") +
                   "\n    Windows: " + (moreOther ? other : "(ends)") + "\n";
    }
}

std::string Compare(const Run& linux, const Run& windows, const Case& test)
{
    std::string differs;
    auto check = [&](const char* what, const std::string& onLinux, const std::string& onWindows) {
        if (onLinux != onWindows)
            differs += std::string("  ") + what + " differs at " + FirstDifference(onLinux, onWindows);
    };
    if (linux.exitCode != test.exitCode || windows.exitCode != test.exitCode)
        differs += "  exit codes " + std::to_string(linux.exitCode) + " (Linux), " + std::to_string(windows.exitCode) +
                   " (Windows), not " + std::to_string(test.exitCode) + "\n    Linux said:   " + linux.err +
                   "\n    Windows said: " + windows.err + "\n";
    check("standard output", linux.out, windows.out);
    if (test.sameErrors)
        check("standard error", linux.err, windows.err);
    check("files", linux.files, windows.files);
    check("registers", linux.registers, windows.registers);
    if (!linux.portReleased || !windows.portReleased)
        differs += std::string("  the port was not free after Ctrl+C on") + (linux.portReleased ? "" : " Linux") +
                   (windows.portReleased ? "" : " Windows") + "\n";
    return differs;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 5 && argc != 6) {
        std::cerr << "usage: vtctl_under_wine PREFIX FOLDER VTCTL.exe VTCTL [WORDS]\n";
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    const Wine wine = FindWine(argv[1]);
    if (wine.wine.empty() || wine.server.empty()) {
        std::cout << "Wine is not installed: skipped\n";
        return kSkipped;
    }
    if (access(argv[3], R_OK) != 0) {
        std::cout << argv[3] << " is not built: run scripts/build-windows.sh first\n";
        return 1;
    }
    if (!wine.Prepare()) {
        std::cerr << "cannot make the Wine prefix " << wine.prefix << "; see " << wine.log << "\n";
        return 1;
    }
    const std::string folder = argv[2];
    std::system(("mkdir -p '" + folder + "'").c_str());

    // The profile every case writes or compares: a seeded display's.
    {
        sim::SimDisplay source;
        std::string error;
        if (!source.Start(&error)) {
            std::cerr << "cannot start a display: " << error << "\n";
            return 1;
        }
        Seed(source, 1);
        const std::string command = std::string(argv[4]) + " read --port " + source.DevicePath() + " -o '" + folder + "/panel.json'";
        if (std::system(command.c_str()) != 0) {
            std::cerr << "cannot read the profile: " << command << "\n";
            return 1;
        }
        std::ofstream(folder + "/utf16.json", std::ios::binary) << Utf16(ReadAll(folder + "/panel.json"));
    }

    wine.Run({"-p"}, wine.server);
    const Sides sides(wine, folder, argv[3], argv[4]);
    unsigned passed = 0, failed = 0, awaiting = 0;
    for (const Case& test : Cases()) {
        if (argc == 6 && test.name.find(argv[5]) == std::string::npos)
            continue;
        std::string error;
        const auto started = std::chrono::steady_clock::now();
        const Run linux = sides.Play(test, false, &error);
        const Run windows = error.empty() ? sides.Play(test, true, &error) : Run {};
        const std::string differs = error.empty() ? Compare(linux, windows, test) : "  " + error + "\n";
        const long seconds = long(std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started).count());
        if (differs.empty() && !test.awaits) {
            ++passed;
            std::cout << "PASS " << test.name << " (" << seconds << " s)\n";
        } else if (differs.empty()) {
            ++passed;
            std::cout << "PASS " << test.name << " (" << seconds << " s), though marked \"" << test.awaits << "\"\n";
        } else if (test.awaits) {
            ++awaiting;
            std::cout << "AWAITS " << test.awaits << ": " << test.name << "\n" << differs;
        } else {
            ++failed;
            std::cout << "FAIL " << test.name << "\n" << differs;
        }
        std::cout.flush();
    }
    wine.Run({"-k"}, wine.server);
    std::cout << passed << " passed, " << failed << " failed, " << awaiting << " awaiting work not yet here\n";
    if (failed)
        std::cout << "Wine's own messages: " << wine.log << "\n";
    return failed ? 1 : 0;
}
