#include "Trace.h"

#include "FrameLog.h"
#include "Modbus.h"

#include <chrono>

void TraceFramesTo(std::ostream& out)
{
    Link.SetFrameObserver([&out](const FrameEvent& frame) {
        const bool lost = frame.kind == FrameEvent::Kind::PortLost;
        const std::string device = lost ? Link.LostDevice() : Link.PortDevice();
        const std::string where = "COM " + std::to_string(Settings.portIndex + 1) + " (" + device + ")";
        out << FrameLogLine(std::chrono::system_clock::now(), frame.kind == FrameEvent::Kind::Request ? "->" : "<-",
                            where, Link.lineSettings.baud, kModeNames[Settings.modeIndex % kModeCount], frame.bytes,
                            frame.count, frame.outcome)
            << std::endl;  // each line whole at once, should the program end abruptly
    });
}
