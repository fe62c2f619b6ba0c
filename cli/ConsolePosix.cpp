// POSIX: the arguments come as the terminal typed them (UTF-8 on every
// desktop vtctl meets), and the signals that end it early release the port.
#include "Console.h"
#include "SerialPort.h"

#include <csignal>

namespace {

// The signals that end vtctl early: Ctrl+C during a search, a closed pipe
// to a pager, a session that ends.
const int kEndingSignals[] = {SIGINT, SIGTERM,
#ifdef SIGHUP
                              SIGHUP,
#endif
#ifdef SIGPIPE
                              SIGPIPE,
#endif
};

// The port goes back as found and free for the next opener, then vtctl ends
// as the signal would have ended it (Ctrl+C: 130 in the shell).
extern "C" void EndOnSignal(int signal)
{
    serial::ReleaseForExit();
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
}

}  // namespace console
