#include "Trace.h"

#include "FrameLog.h"
#include "Modbus.h"
#include "PortMessages.h"
#include "ProgramLink.h"

void TraceFramesTo(std::ostream& out)
{
    TraceFrames(Link, out, [] { return PortLabel(Settings.portIndex); });
}
