#include "AdapterDouble.h"

#include <asm/termbits.h>
#include <cerrno>
#include <cstdarg>
#include <linux/serial.h>
#include <map>
#include <mutex>
#include <sys/ioctl.h>

extern "C" int __real_ioctl(int fd, unsigned long request, ...);

namespace adapter {
namespace {

std::mutex mutex;
std::map<std::uint32_t, std::uint32_t> reportedRates;
bool modemLines = false;
bool interruptDrain = false;
int rtsRaised = 0;
bool rs485 = false;
serial_rs485 rs485State {};
bool failPendingCount = false;
bool stuckOutput = false;
bool serialDriver = false;
bool takesLowLatency = false;
int serialFlags = 0;
int serialSets = 0;

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

void HaveRs485(std::uint32_t flags)
{
    std::lock_guard<std::mutex> lock(mutex);
    rs485 = true;
    rs485State = serial_rs485 {};
    rs485State.flags = flags;
}

std::uint32_t Rs485Flags()
{
    std::lock_guard<std::mutex> lock(mutex);
    return rs485State.flags;
}

void StickOutput()
{
    std::lock_guard<std::mutex> lock(mutex);
    stuckOutput = true;
}

void HaveSerialDriver(int flags, bool takes)
{
    std::lock_guard<std::mutex> lock(mutex);
    serialDriver = true;
    serialFlags = flags;
    takesLowLatency = takes;
}

int SerialFlags()
{
    std::lock_guard<std::mutex> lock(mutex);
    return serialFlags;
}

int SerialSets()
{
    std::lock_guard<std::mutex> lock(mutex);
    return serialSets;
}

void FailPendingCount()
{
    std::lock_guard<std::mutex> lock(mutex);
    failPendingCount = true;
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
    rs485 = false;
    failPendingCount = false;
    stuckOutput = false;
    serialDriver = false;
    takesLowLatency = false;
    serialFlags = 0;
    serialSets = 0;
}

}  // namespace adapter

extern "C" int __wrap_ioctl(int fd, unsigned long request, ...)
{
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    using namespace adapter;
    if ((request == TIOCGRS485 || request == TIOCSRS485 || request == FIONREAD) && IsToolSide(fd)) {
        std::lock_guard<std::mutex> lock(mutex);
        if (request == FIONREAD && failPendingCount) {
            errno = EIO;
            return -1;
        }
        if (request != FIONREAD && rs485) {
            if (request == TIOCGRS485)
                *static_cast<serial_rs485*>(argument) = rs485State;
            else
                rs485State = *static_cast<serial_rs485*>(argument);
            return 0;
        }
    }
    if ((request == TIOCOUTQ || request == TIOCGSERIAL || request == TIOCSSERIAL) && IsToolSide(fd)) {
        std::lock_guard<std::mutex> lock(mutex);
        if (request == TIOCOUTQ && interruptDrain) {
            interruptDrain = false;
            errno = EINTR;
            return -1;
        }
        if (request == TIOCOUTQ && stuckOutput) {
            *static_cast<int*>(argument) = 10;
            return 0;
        }
        if (request != TIOCOUTQ && serialDriver) {
            auto* settings = static_cast<serial_struct*>(argument);
            if (request == TIOCGSERIAL) {
                *settings = serial_struct {};
                settings->flags = serialFlags;
            } else {
                ++serialSets;
                if (takesLowLatency || !((settings->flags ^ serialFlags) & ASYNC_LOW_LATENCY))
                    serialFlags = settings->flags;
            }
            return 0;
        }
    }
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
