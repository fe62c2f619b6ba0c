// Opening the port before an action, one step shared by every window.
#pragma once

#include <QString>

enum class OpenWhen {
    IfClosed,  // only when the port-open flag is clear
    Always,    // a fresh open at the current settings, closing an open port first
};

// Opens the port with the connection settings. True when it is open afterwards;
// otherwise the user is told why in an "Error" box, for example
// "Cannot open COM 1 (/dev/ttyUSB0): Permission denied".
bool OpenPortForAction(OpenWhen when);

// The same without the message, for the places that report it their own way.
bool TryOpenPort(OpenWhen when);

// Why the last open failed, naming the port and the device behind it.
QString PortOpenFailure();
