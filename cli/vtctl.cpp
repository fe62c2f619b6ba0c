// vtctl: the displays' settings from the command line, for commissioning many
// panels from scripts: read one display into a profile, write it to others
// with a read-back, compare a display with it, find the displays on a port.
#include "Backup.h"
#include "Commands.h"
#include "Console.h"
#include "NetworkTransport.h"
#include "Profile.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>

namespace {

// Help without a flag's default value: "--trace [=FILE]", not "--trace{-}".
class HelpFormatter : public CLI::Formatter {
public:
    std::string make_option_name(const CLI::Option* option, bool positional) const override
    {
        std::string name = CLI::Formatter::make_option_name(option, positional);
        for (std::size_t open; (open = name.find('{')) != std::string::npos;)
            name.erase(open, name.find('}', open) - open + 1);
        return name;
    }
};

// The options every command that talks to displays shares.
struct LineOptions {
    std::string port;
    std::string mode = "8n2";
    std::string rate = "9600";
    std::string trace;  // "-" for standard error, empty for no trace
    bool json = false;
};

// A check whose refusal says what the value should have been.
CLI::Validator Meaning(std::function<bool(const std::string&)> holds, const std::string& what)
{
    return CLI::Validator([holds, what](std::string& text) { return holds(text) ? std::string() : text + " is not " + what; },
                          "");
}

void AddLine(CLI::App* command, LineOptions& options, bool json)
{
    command->add_option("--port", options.port,
                        "COM1 to COM8 (COMn opens $VT_COMn when set), another port by the name\n"
                        "the tool lists it under (COM12; usb-... as in /dev/serial/by-id), a device\n"
                        "path, or a network port: tcp://HOST:PORT (RTU over TCP) or\n"
                        "modbus-tcp://HOST:PORT (Modbus TCP)")
        ->required()
        // A network port the path cannot name is a usage error, not a port that failed to open.
        ->check(Meaning(
            [](const std::string& text) {
                const PortTarget port = PortTarget::Of(text);
                return !port.network || port.address.has_value();
            },
            "a network port like tcp://HOST:PORT, PORT 1 to 65535"))
        ->type_name("PORT");
    command->add_option("--mode", options.mode, "the line's character format: " + ModeChoices())
        ->check(Meaning([](const std::string& text) { return ParseMode(text).has_value(); }, "one of " + ModeChoices()))
        ->capture_default_str()
        ->type_name("MODE");
    command->add_option("--rate", options.rate, "the line's rate in baud:\n" + RateChoices())
        ->check(Meaning([](const std::string& text) { return ParseRate(text).has_value(); }, "one of " + RateChoices()))
        ->capture_default_str()
        ->type_name("RATE");
    if (json)
        command->add_flag("--json", options.json, "the result as JSON, for scripts");
    command->add_flag("--trace{-}", options.trace,
                      "every frame to and from the displays on standard error, or into FILE: time,\n"
                      "direction, port, line, the bytes in hex and what became of them")
        ->option_text("[=FILE]");
}

// Taken as text and read by the one address parser: a leading zero is decimal ("010" is 10).
CLI::Option* AddAddress(CLI::App* command, std::string& address, const std::string& what)
{
    return command->add_option("--address", address, what)
        ->check(Meaning([](const std::string& text) { return ParseAddress(text).has_value(); }, "an address 1 to 247"))
        ->capture_default_str()
        ->type_name("N");
}

const char* const kCommands[] = {"read", "write", "diff", "find"};

// A first word that is no command and no option is named, not taken for a missing command.
std::optional<std::string> UnknownCommand(int argc, char** argv)
{
    if (argc < 2 || argv[1][0] == '-')
        return std::nullopt;
    const std::string word = argv[1];
    if (std::find(std::begin(kCommands), std::end(kCommands), word) != std::end(kCommands))
        return std::nullopt;
    return "unknown command \"" + word + "\"; the commands are read, write, diff and find (vtctl --help)";
}

bool AskedForJson(int argc, char** argv)
{
    for (int k = 1; k < argc; ++k)
        if (std::strcmp(argv[k], "--json") == 0)
            return true;
    return false;
}

// Standard output that a reader closed ("| head") ends vtctl quietly: the
// work is done, only its telling was cut short.
int Ended(int code)
{
    std::cout.flush();
    return code;
}

}  // namespace

int main(int argc, char** argv)
{
    // As the tool, the desktop's locale; the profile files do not follow it.
    std::setlocale(LC_ALL, "");
    console::Prepare();
    console::Arguments arguments(argc, argv);
    argc = arguments.Count();
    argv = arguments.Values();
    const bool json = AskedForJson(argc, argv);
    if (auto unknown = UnknownCommand(argc, argv))
        return vtctl::Refuse(*unknown, {std::cout, std::cerr, json});

    CLI::App app {"vtctl " VTCONFIG_VERSION ": the settings of VT5 and RQ8 panel displays from the command line.\n"
                  "Read one display's settings into a profile, write it to many displays with a read-back,\n"
                  "compare a display with a profile, find the displays on a port.",
                  "vtctl"};
    app.formatter(std::make_shared<HelpFormatter>());
    app.set_version_flag("--version", "vtctl " VTCONFIG_VERSION);
    app.require_subcommand(1);
    app.footer(std::string(vtctl::kExitCodesHelp) + "\n"
               "A profile holds rows, brightness, the device line and added devices, and the\n"
               "recalibration; never the display's own address, mode and rate, its clock or its flags.\n"
               "\"vtctl COMMAND --help\" tells more of each command.");

    LineOptions line;
    std::string address = "1", file, addressList = "1";
    bool full = false;
    std::string backupFolder = profile::DefaultBackupFolder(), record, report;
    bool noBackup = false;

    CLI::App* read = app.add_subcommand("read", "Read a display's settings into a profile");
    AddAddress(read, address, "the display's address");
    AddLine(read, line, false);
    read->add_option("-o,--output", file, "the profile file; standard output when not given or -")->type_name("FILE");
    read->footer("Nothing is written when a group of settings cannot be read or holds values no profile takes.\n"
                 "Example: vtctl read --port COM1 -o panel.json\n"
                 + std::string(vtctl::kExitCodesHelp));

    CLI::App* write = app.add_subcommand("write", "Write a profile to displays, read it back and compare");
    write->add_option("FILE", file, "the profile")->required()->type_name("");
    write->add_option("--address", addressList, "the displays' addresses, in turn: 1, or 1-5,9")
        ->check(Meaning([](const std::string& text) { return ParseAddressList(text).has_value(); },
                        "a list of addresses 1 to 247 like 1-5,9"))
        ->capture_default_str()
        ->type_name("LIST");
    AddLine(write, line, true);
    write->add_option("--backup-dir", backupFolder,
                      "where each display's settings are kept before it is written, as\n"
                      "display-ADDRESS-YYYYMMDD-HHMMSS.json (a profile that writes them back)")
        ->capture_default_str()
        ->type_name("DIR");
    write->add_flag("--no-backup", noBackup, "write without keeping the displays' settings first");
    write->add_option("--record", record, "a JSON record of the write: each display's result, groups and changes")
        ->type_name("FILE");
    write->add_option("--report", report, "the same as one HTML page to print or hand over")->type_name("FILE");
    write->footer("Each display's settings are read and kept first; then each group of the profile is\n"
                  "written, read back and compared before the next. One line per display names each\n"
                  "group's state and where its settings before were kept. A display that fails does not\n"
                  "stop the others. The display's own address, mode, rate, clock and flags stay.\n"
                  "Example: vtctl write panel.json --port COM1 --address 1-5,9 --report panel.html\n"
                  + std::string(vtctl::kExitCodesHelp));

    CLI::App* diff = app.add_subcommand("diff", "List the settings where a display differs from a profile");
    diff->add_option("FILE", file, "the profile")->required()->type_name("");
    AddAddress(diff, address, "the display's address");
    AddLine(diff, line, true);
    diff->footer("One line per setting that differs: group, setting, the display's value, the file's value.\n"
                 "Example: vtctl diff panel.json --port COM1 --address 3\n"
                 + std::string(vtctl::kExitCodesHelp));

    CLI::App* find = app.add_subcommand("find", "List the displays that answer on a port: address, mode, rate");
    AddAddress(find, address, "an address to try at every line besides 1");
    AddLine(find, line, true);
    find->add_flag("--full", full, "every address at every line (about nine minutes); else address 1 and\n"
                                   "--address at every line, then every address at --mode and --rate");
    find->footer("Exit code 4 when no display answered.\n" + std::string(vtctl::kExitCodesHelp));

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int code = app.exit(error) == 0 ? vtctl::kDone : vtctl::kRefused;
        if (json && code != vtctl::kDone)
            std::cout << profile::DumpJson({{"error", error.what()}, {"exitCode", code}}) << "\n";
        return Ended(code);
    }

    vtctl::Line target {ParsePort(line.port), *ParseMode(line.mode), *ParseRate(line.rate), nullptr};
    std::ofstream traceFile;
    if (!line.trace.empty()) {
        target.trace = &std::cerr;
        if (line.trace != "-") {
            traceFile.open(std::filesystem::u8path(line.trace), std::ios::app);  // a UTF-8 name on every system
            if (!traceFile)
                return vtctl::Refuse("cannot write the trace to " + line.trace + ": " + std::strerror(errno),
                                     {std::cout, std::cerr, line.json});
            target.trace = &traceFile;
        }
    }
    const vtctl::Output output {std::cout, std::cerr, line.json};
    const std::uint8_t display = *ParseAddress(address);
    if (read->parsed())
        return Ended(vtctl::Read(target, display, file, output));
    if (write->parsed()) {
        if (!noBackup && backupFolder.empty())
            return vtctl::Refuse("no folder for the backups (HOME is not set): give --backup-dir or --no-backup", output);
        const vtctl::WriteExtras extras {noBackup ? std::string() : backupFolder, record, report, console::WritingDisplay};
        return Ended(vtctl::Write(target, *ParseAddressList(addressList), file, output, extras));
    }
    if (diff->parsed())
        return Ended(vtctl::Diff(target, display, file, output));
    return Ended(vtctl::Find(target, display, full, output));
}
