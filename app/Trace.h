// The frame trace: every frame of the link's exchanges, one line each, in the
// simulator's log format, so a technician sees what went out and what came back.
#pragma once

#include <ostream>

// From now on every frame goes to `out`, which must outlive the program's run.
void TraceFramesTo(std::ostream& out);
