// The program's one link, its connection settings and the display's
// register image: the objects every window exchanges through by name. The
// program defines them, not the link library, so the command line, the
// simulator and the benches carry none and make the links they need.
#pragma once

#include "Modbus.h"

extern ConnectionSettings Settings;
extern RegisterImage Image;
extern ModbusLink Link;

// Puts all three back as the program starts, the ports this run found
// forgotten (tests).
void ResetLink();
