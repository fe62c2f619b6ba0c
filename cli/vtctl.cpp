// vtctl: the displays' settings from the command line, for commissioning many
// panels from scripts: read one display into a profile, write it to others
// with a read-back, compare a display with it, find the displays on a port.
#include "Commands.h"
#include "Console.h"
#include "NetworkTransport.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <clocale>
#include <cstring>
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
        ->check(Meaning([](const std::string& text) { return !IsNetworkPath(text) || ParseNetworkPath(text); },
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

CLI::Option* AddAddress(CLI::App* command, unsigned& address, const std::string& what)
{
    return command->add_option("--address", address, what)
        ->check(Meaning([](const std::string& text) { return ParseAddress(text).has_value(); }, "an address 1 to 247"))
        ->capture_default_str()
        ->type_name("N");
}

}  // namespace

int main(int argc, char** argv)
{
    // As the tool, the desktop's locale; the profile files do not follow it.
    std::setlocale(LC_ALL, "");
    console::Prepare();
    console::Arguments arguments(argc, argv);

    CLI::App app {"vtctl " VTCONFIG_VERSION ": the settings of VT5 and RQ8 panel displays from the command line.\n"
                  "Read one display's settings into a profile, write it to many displays with a read-back,\n"
                  "compare a display with a profile, find the displays on a port.",
                  "vtctl"};
    app.formatter(std::make_shared<HelpFormatter>());
    app.set_version_flag("--version", "vtctl " VTCONFIG_VERSION);
    app.require_subcommand(1);
    app.footer("Exit codes: 0 done (diff: no difference); 1 a display failed, did not answer or (diff)\n"
               "differs; 2 a usage error or a file refused, nothing sent; 3 the port cannot be opened.\n"
               "A profile holds rows, brightness, the device line and added devices, and the\n"
               "recalibration; never the display's own address, mode and rate, its clock or its flags.\n"
               "\"vtctl COMMAND --help\" tells more of each command.");

    LineOptions line;
    unsigned address = 1;
    std::string file, addressList = "1";
    bool full = false;

    CLI::App* read = app.add_subcommand("read", "Read a display's settings into a profile");
    AddAddress(read, address, "the display's address");
    AddLine(read, line, false);
    read->add_option("-o,--output", file, "the profile file; standard output when not given")->type_name("FILE");
    read->footer("Nothing is written when a group of settings cannot be read or holds values no profile takes.\n"
                 "Example: vtctl read --port COM1 -o panel.json");

    CLI::App* write = app.add_subcommand("write", "Write a profile to displays, read it back and compare");
    write->add_option("FILE", file, "the profile")->required()->type_name("");
    write->add_option("--address", addressList, "the displays' addresses, in turn: 1, or 1-5,9")
        ->check(Meaning([](const std::string& text) { return ParseAddressList(text).has_value(); },
                        "a list of addresses 1 to 247 like 1-5,9"))
        ->capture_default_str()
        ->type_name("LIST");
    AddLine(write, line, true);
    write->footer("Each display gets the profile's blocks, is read back and compared register by register;\n"
                  "one line per display says whether it took the profile, or why not. A display that fails\n"
                  "does not stop the others. The display's own address, mode, rate, clock and flags stay.\n"
                  "Example: vtctl write panel.json --port COM1 --address 1-5,9");

    CLI::App* diff = app.add_subcommand("diff", "List the settings where a display differs from a profile");
    diff->add_option("FILE", file, "the profile")->required()->type_name("");
    AddAddress(diff, address, "the display's address");
    AddLine(diff, line, true);
    diff->footer("One line per setting that differs: group, setting, the display's value, the file's value.\n"
                 "Example: vtctl diff panel.json --port COM1 --address 3");

    CLI::App* find = app.add_subcommand("find", "List the displays that answer on a port: address, mode, rate");
    AddAddress(find, address, "an address to try at every line besides 1");
    AddLine(find, line, true);
    find->add_flag("--full", full, "every address at every line (about nine minutes); else address 1 and\n"
                                   "--address at every line, then every address at --mode and --rate");

    try {
        app.parse(arguments.Count(), arguments.Values());
    } catch (const CLI::ParseError& error) {
        return app.exit(error) == 0 ? vtctl::kDone : vtctl::kRefused;
    }

    vtctl::Line target {ParsePort(line.port), *ParseMode(line.mode), *ParseRate(line.rate), nullptr};
    std::ofstream traceFile;
    if (!line.trace.empty()) {
        target.trace = &std::cerr;
        if (line.trace != "-") {
            traceFile.open(line.trace, std::ios::app);
            if (!traceFile) {
                std::cerr << "vtctl: cannot write the trace to " << line.trace << ": " << std::strerror(errno) << "\n";
                return vtctl::kRefused;
            }
            target.trace = &traceFile;
        }
    }
    const vtctl::Output output {std::cout, std::cerr, line.json};
    const std::uint8_t display = std::uint8_t(address);
    if (read->parsed())
        return vtctl::Read(target, display, file, output);
    if (write->parsed())
        return vtctl::Write(target, *ParseAddressList(addressList), file, output);
    if (diff->parsed())
        return vtctl::Diff(target, display, file, output);
    return vtctl::Find(target, display, full, output);
}
