// The tool's cold start beside a bare Qt program of nine buttons: the time
// from starting each program to its first window mapped on the X server,
// alternating the two so that a busy machine weighs on both alike. Run it
// under a virtual desktop: xvfb-run build/bench/bench_startup [RUNS]
#include <X11/Xlib.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds from exec to the first top-level window mapped, or a negative
// number when none came within ten seconds.
double TimeToMapped(Display* display, const std::string& program)
{
    // Whatever an earlier run left in the queue is not this run's.
    XSync(display, True);
    const Clock::time_point start = Clock::now();
    const pid_t child = fork();
    if (child == 0) {
        execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    double elapsed = -1;
    const int fd = ConnectionNumber(display);
    while (Clock::now() - start < std::chrono::seconds(10)) {
        if (!XPending(display)) {
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(fd, &readable);
            timeval tick {0, 10000};
            select(fd + 1, &readable, nullptr, nullptr, &tick);
            continue;
        }
        XEvent event;
        XNextEvent(display, &event);
        if (event.type == MapNotify && !event.xmap.override_redirect) {
            elapsed = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            break;
        }
    }
    kill(child, SIGTERM);
    waitpid(child, nullptr, 0);
    return elapsed;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 21;
    const std::string folder = [&] {
        std::string self = argv[0];
        const std::size_t slash = self.rfind('/');
        return slash == std::string::npos ? std::string(".") : self.substr(0, slash);
    }();
    const std::string tool = folder + "/../vtconfig", bare = folder + "/bare_nine_buttons";
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "bench_startup: no X display; run it under xvfb-run\n");
        return 2;
    }
    XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
    // The port list and the tool's copy of the registers start empty: no
    // simulator is needed, nothing is opened at start.
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    // Qt asks for a runtime folder of the user's own; xvfb-run sets none.
    char runtimeFolder[] = "/tmp/bench-startup-XXXXXX";
    const bool ownRuntimeFolder = !std::getenv("XDG_RUNTIME_DIR") && mkdtemp(runtimeFolder);
    if (ownRuntimeFolder)
        setenv("XDG_RUNTIME_DIR", runtimeFolder, 1);
    std::vector<double> toolTimes, bareTimes;
    TimeToMapped(display, bare);  // the first start of all warms the disk cache for both
    TimeToMapped(display, tool);
    for (int k = 0; k < runs; ++k) {
        bareTimes.push_back(TimeToMapped(display, bare));
        toolTimes.push_back(TimeToMapped(display, tool));
    }
    if (ownRuntimeFolder)
        rmdir(runtimeFolder);  // empty unless a program left something there
    if (std::count(toolTimes.begin(), toolTimes.end(), -1.0) || std::count(bareTimes.begin(), bareTimes.end(), -1.0)) {
        std::fprintf(stderr, "bench_startup: a window never showed\n");
        return 1;
    }
    const double toolMedian = Median(toolTimes), bareMedian = Median(bareTimes);
    std::printf("| program | median ms to the window mapped (%d runs) |\n|---|---|\n", runs);
    std::printf("| bare Qt, nine buttons | %.1f |\n| vtconfig | %.1f |\n", bareMedian, toolMedian);
    std::printf("vtconfig / bare: %.2f\n", toolMedian / bareMedian);
    XCloseDisplay(display);
    return 0;
}
