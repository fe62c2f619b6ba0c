#include "AdapterDouble.h"

#include <asm/termbits.h>
#include <cerrno>
#include <cstdarg>
#include <map>
#include <mutex>
#include <sys/ioctl.h>

extern "C" int __real_ioctl(int fd, unsigned long request, ...);
extern "C" int __real_tcdrain(int fd);

namespace adapter {
namespace {

std::mutex mutex;
std::map<std::uint32_t, std::uint32_t> reportedRates;
bool modemLines = false;
bool interruptDrain = false;
int rtsRaised = 0;

// The simulator holds the master side; only the tool's side is an adapter.
bool IsToolSide(int fd)
{
    unsigned int number = 0;
    return __real_ioctl(fd, TIOCGPTN, &number) != 0;
}

}  // namespace

void ReportRate(std::uint32_t asked, std::uint32_t reported)
{
    std::lock_guard<std::mutex> lock(mutex);
    reportedRates[asked] = reported;
}

void HaveModemLines()
{
    std::lock_guard<std::mutex> lock(mutex);
    modemLines = true;
}

void InterruptNextDrain()
{
    std::lock_guard<std::mutex> lock(mutex);
    interruptDrain = true;
}

int RtsRaised()
{
    std::lock_guard<std::mutex> lock(mutex);
    return rtsRaised;
}

void Reset()
{
    std::lock_guard<std::mutex> lock(mutex);
    reportedRates.clear();
    modemLines = false;
    interruptDrain = false;
    rtsRaised = 0;
}

}  // namespace adapter

extern "C" int __wrap_ioctl(int fd, unsigned long request, ...)
{
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    using namespace adapter;
    if ((request == TIOCMGET || request == TIOCMBIS || request == TIOCMBIC) && IsToolSide(fd)) {
        std::lock_guard<std::mutex> lock(mutex);
        if (modemLines) {
            if (request == TIOCMBIS && (*static_cast<int*>(argument) & TIOCM_RTS))
                ++rtsRaised;
            if (request == TIOCMGET)
                *static_cast<int*>(argument) = 0;
            return 0;
        }
    }
    const int result = __real_ioctl(fd, request, argument);
    if (request == TCGETS2 && result == 0 && IsToolSide(fd)) {
        auto* line = static_cast<termios2*>(argument);
        std::lock_guard<std::mutex> lock(mutex);
        if (const auto rate = reportedRates.find(line->c_ospeed); rate != reportedRates.end())
            line->c_ospeed = line->c_ispeed = rate->second;
    }
    return result;
}

extern "C" int __wrap_tcdrain(int fd)
{
    {
        std::lock_guard<std::mutex> lock(adapter::mutex);
        if (adapter::interruptDrain) {
            adapter::interruptDrain = false;
            errno = EINTR;
            return -1;
        }
    }
    return __real_tcdrain(fd);
}
