// POSIX: the arguments come as the terminal typed them (UTF-8 on every
// desktop vtctl meets), and the signals that end it early release the port.
#include "Console.h"
#include "SerialPort.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <unistd.h>

namespace {

// The signals that end vtctl early: Ctrl+C during a search, a session that
// ends. A closed pipe does not: it is an error on standard output, and a
// write to displays goes on to its end rather than leave one half written.
const int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The display being written is told, the port goes back as found and free
// for the next opener, then vtctl ends as the signal would have ended it
// (Ctrl+C: 130 in the shell).
extern "C" void EndOnSignal(int signal)
{
    const int savedErrno = errno;
    if (const char* line = console::InterruptedLine())
        (void)!write(STDERR_FILENO, line, std::strlen(line));
    serial::ReleaseForExit();
    errno = savedErrno;
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

}  // namespace

namespace console {

Arguments::Arguments(int argc, char** argv) : texts_(argv, argv + argc)
{
    Point();
}

void Prepare()
{
    for (int signal : kEndingSignals)
        std::signal(signal, EndOnSignal);
    std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace console
