#include "Trace.h"

#include "FrameLog.h"
#include "Modbus.h"

#include <chrono>
#include <memory>
#include <mutex>

void TraceFramesTo(std::ostream& out)
{
    // The search's link shares this observer from a thread of its own.
    auto lock = std::make_shared<std::mutex>();
    Link.SetFrameObserver([&out, lock](const FrameEvent& frame) {
        const ModbusLink& link = frame.link ? *frame.link : Link;
        const ConnectionSettings& settings = link.Connection();
        const bool lost = frame.kind == FrameEvent::Kind::PortLost;
        const std::string device = lost ? link.LostDevice() : link.PortDevice();
        const std::string where = "COM " + std::to_string(settings.portIndex + 1) + " (" + device + ")";
        const std::string line = FrameLogLine(
            std::chrono::system_clock::now(), frame.kind == FrameEvent::Kind::Request ? "->" : "<-", where,
            link.lineSettings.baud, kModeNames[settings.modeIndex % kModeCount], frame.bytes, frame.count,
            frame.outcome);
        std::lock_guard<std::mutex> hold(*lock);
        out << line << std::endl;  // each line whole at once, should the program end abruptly
    });
}
