// A Wine prefix of the tests' own, whose COM ports lead to simulated
// displays, and the Wine commands run in it. Shared by the Wine runners.
#pragma once

#include <cstdlib>
#include <fcntl.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// The COM ports every prefix maps: 7 and 12 for the link's tests, 5 for vtctl's.
const int kMappedPorts[] = {5, 7, 12};

std::string Find(const std::vector<std::string>& candidates)
{
    for (const std::string& name : candidates) {
        if (name.find('/') != std::string::npos) {
            if (access(name.c_str(), X_OK) == 0)
                return name;
            continue;
        }
        const char* path = std::getenv("PATH");
        std::stringstream folders(path ? path : "");
        for (std::string folder; std::getline(folders, folder, ':');)
            if (!folder.empty() && access((folder + "/" + name).c_str(), X_OK) == 0)
                return folder + "/" + name;
    }
    return {};
}

struct Wine {
    std::string wine, server, prefix, log;

    // Runs a Wine command to its end, its output into the log.
    int Run(std::vector<std::string> arguments, const std::string& program) const
    {
        arguments.insert(arguments.begin(), program);
        pid_t child = fork();
        if (child == 0) {
            Environment();
            int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            int none = ::open("/dev/null", O_RDONLY);
            dup2(none, 0);
            dup2(out, 1);
            dup2(out, 2);
            std::vector<char*> argv;
            for (std::string& argument : arguments)
                argv.push_back(argument.data());
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    void Environment() const
    {
        setenv("WINEPREFIX", prefix.c_str(), 1);
        setenv("WINEDEBUG", "-all", 1);
        // No Mono or Gecko to install: the programs need neither.
        setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
        // Wine hands the environment on: the program must see its ports as Windows has them.
        for (int n = 1; n <= 8; ++n)
            unsetenv(("VT_COM" + std::to_string(n)).c_str());
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
    }

    std::string PortLink(int number) const { return prefix + "/vt-com" + std::to_string(number); }

    // A prefix of its own, made once and kept in the build folder (about
    // ten seconds), whose COM ports are the links PortLink names.
    bool Prepare() const
    {
        const std::string marker = prefix + "/vt-ports-5-7-12-mapped";
        if (access(marker.c_str(), F_OK) == 0)
            return true;
        mkdir(prefix.c_str(), 0755);
        if (Run({"wineboot", "-i"}, wine) != 0)
            return false;
        for (int number : kMappedPorts)
            if (Run({"reg", "add", "HKLM\\Software\\Wine\\Ports", "/v", "COM" + std::to_string(number), "/t", "REG_SZ",
                     "/d", PortLink(number), "/f"},
                    wine)
                != 0)
                return false;
        // The server reads the ports when it starts.
        Run({"-k"}, server);
        Run({"-w"}, server);
        return ::close(::open(marker.c_str(), O_WRONLY | O_CREAT, 0644)) == 0;
    }
};

// Wine's loader and server where they are installed; empty names where not.
inline Wine FindWine(const std::string& prefix)
{
    Wine wine;
    wine.wine = Find({"wine64", "/usr/lib/wine/wine64"});
    wine.server = Find({"wineserver64", "wineserver", "/usr/lib/wine/wineserver64", "/usr/lib/wine/wineserver"});
    wine.prefix = prefix;
    wine.log = prefix + ".log";
    return wine;
}

}  // namespace
