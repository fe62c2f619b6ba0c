// vtconfig's own options: --help, --version, and --trace or --trace=FILE for a line per
// frame on the display's line. Other arguments may be Qt's own (-platform
// offscreen): they are left to the application object, which takes the ones
// it knows; whatever remains after that is refused.
#pragma once

#include <string>
#include <vector>

struct CommandLine {
    enum class Action { Run, Help, Version, Refuse };
    Action action = Action::Run;
    bool trace = false;
    std::string traceFile;  // empty: standard error
    std::string refused;    // the argument that was not understood
};

// `arguments` without the program's name. Until `qtTookItsOwn`, only an
// unknown double-dash option is refused.
CommandLine ParseCommandLine(const std::vector<std::string>& arguments, bool qtTookItsOwn);

std::string UsageLine();
std::string HelpText();
