#include "FrameLog.h"

#include "PortMessages.h"

#include <atomic>
#include <cstdio>
#include <ctime>

namespace {

// "14:05:59.123" in local time.
std::string Stamp(std::chrono::system_clock::time_point when)
{
    using namespace std::chrono;
    const std::time_t seconds = system_clock::to_time_t(when);
    const auto milliseconds = duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count() % 1000;
    std::tm local {};
    {
        // std::localtime shares one buffer, and the simulator logs from a
        // thread of its own: one caller at a time.
        static std::atomic_flag busy = ATOMIC_FLAG_INIT;
        while (busy.test_and_set(std::memory_order_acquire)) {
        }
        local = *std::localtime(&seconds);
        busy.clear(std::memory_order_release);
    }
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                  int(milliseconds));
    return stamp;
}

}  // namespace

std::string FrameLogLine(std::chrono::system_clock::time_point when, const char* direction, const std::string& place,
                         const std::uint8_t* bytes, std::size_t count, const std::string& outcome)
{
    std::string line = Stamp(when) + " " + direction + " " + place + " ";
    if (count == 0)
        line += " (nothing)";
    char hex[4];
    for (std::size_t k = 0; k < count; ++k) {
        std::snprintf(hex, sizeof hex, " %02X", bytes[k]);
        line += hex;
    }
    if (!outcome.empty())
        line += "  " + outcome;
    return line;
}

std::string FrameLogLine(std::chrono::system_clock::time_point when, const char* direction,
                         const std::string& where, std::uint32_t baud, const std::string& mode,
                         const std::uint8_t* bytes, std::size_t count, const std::string& outcome)
{
    return FrameLogLine(when, direction, where + " " + std::to_string(baud) + " " + mode, bytes, count, outcome);
}

std::string OpenLogLine(std::chrono::system_clock::time_point when, const std::string& place, const std::string& note)
{
    return Stamp(when) + " == " + place + "  opened" + (note.empty() ? "" : ", " + note);
}

void TraceFrames(ModbusLink& link, std::ostream& out, std::function<std::string()> portLabel)
{
    // A port already open gets its open line now, as one opened later will.
    if (link.IsOpen())
        out << OpenLogLine(std::chrono::system_clock::now(),
                           PortWithDevice(portLabel(), link.OpenedPort()) + " " + std::to_string(link.Line().baud)
                               + " " + kModeNames[ModeIndexOf(link.Line())],
                           link.PortNote())
            << std::endl;
    // Another link may share this observer (the tool's search, on a thread
    // of its own): it names its own port. The two never exchange at once,
    // as the port has one owner at a time.
    link.SetFrameObserver([&link, &out, portLabel = std::move(portLabel)](const FrameEvent& frame) {
        const ModbusLink& from = frame.link ? *frame.link : link;
        const std::string label = &from == &link ? portLabel() : PortLabel(from.Connection().portIndex);
        const bool lost = frame.kind == FrameEvent::Kind::PortLost;
        const std::string where = PortWithDevice(label, lost ? from.LostPort() : from.OpenedPort());
        if (frame.kind == FrameEvent::Kind::Opened) {
            out << OpenLogLine(std::chrono::system_clock::now(),
                               where + " " + std::to_string(from.Line().baud) + " "
                                   + kModeNames[ModeIndexOf(from.Line())],
                               frame.outcome)
                << std::endl;
            return;
        }
        out << FrameLogLine(std::chrono::system_clock::now(), frame.kind == FrameEvent::Kind::Request ? "->" : "<-",
                            where, from.Line().baud, kModeNames[ModeIndexOf(from.Line())], frame.bytes,
                            frame.count, frame.outcome)
            << std::endl;  // each line whole at once, should the program end abruptly
    });
}
