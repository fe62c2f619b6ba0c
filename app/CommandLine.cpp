#include "CommandLine.h"

namespace {

bool OptionOfOurs(const std::string& argument)
{
    return argument.compare(0, 2, "--") == 0;
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& arguments, bool qtTookItsOwn)
{
    CommandLine line;
    const std::string traceTo = "--trace=";
    for (const std::string& argument : arguments) {
        if (argument == "--help" || argument == "--version") {
            line.action = argument == "--help" ? CommandLine::Action::Help : CommandLine::Action::Version;
            return line;
        }
        if (argument == "--trace") {
            line.trace = true;
            line.traceFile.clear();
        } else if (argument.compare(0, traceTo.size(), traceTo) == 0 && argument.size() > traceTo.size()) {
            line.trace = true;
            line.traceFile = argument.substr(traceTo.size());
        } else if (qtTookItsOwn || OptionOfOurs(argument)) {
            line.action = CommandLine::Action::Refuse;
            line.refused = argument;
            return line;
        }
    }
    return line;
}

std::string UsageLine()
{
    return "usage: vtconfig [--trace | --trace=FILE] [--help] [--version]";
}

std::string HelpText()
{
    return UsageLine() + "\n"
           "Configures VT5 and RQ8 panel displays over a serial line.\n"
           "\n"
           "  --trace       write every frame to and from the display to standard error:\n"
           "                time, direction, port and device, rate and mode, the bytes in\n"
           "                hex, and what became of it (stored, acknowledged, refused with\n"
           "                exception N, CRC error, no reply after N ms, port lost)\n"
           "  --trace=FILE  the same into FILE\n"
           "  --help        this text\n"
           "  --version     the tool's version\n"
           "\n"
           "COM n opens the device named by the environment variable VT_COMn when it is set.\n";
}
