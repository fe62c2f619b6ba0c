// The serial ports of this run, each under a name that stays. Port index 0
// to 7 are COM 1 to COM 8; from kPortCount on come the other ports present,
// in the order this run first found them. An index, once given, names the
// same port for the whole run: unplugging another adapter never moves it,
// and a replugged adapter comes back under it.
// Plain C++; thread-safe, as the search opens ports from a thread of its own.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace serial {

// A port present on this machine now, as the OS lists it.
struct PresentPort {
    std::string name;    // what a user calls it: "COM 12", "usb-FTDI_FT232R_USB_UART_A5028-if00-port0", "ttyS4"
    std::string path;    // what opens it for as long as it is there: "\\.\COM12", "/dev/serial/by-id/usb-..."
    std::string device;  // the device behind the path now: "/dev/ttyUSB0"
};

// Every serial port present, in this OS's order (one file per OS).
std::vector<PresentPort> PresentPorts();

// The path that COM n (1 to 8) always opens on this OS, or an empty text
// where COM n stands for the n-th port present (one file per OS).
std::string FixedComPath(unsigned number);

}  // namespace serial

struct PortChoice {
    unsigned index;
    std::string label;  // "COM 1", "usb-FTDI_..."
    std::string path;   // what it opens; empty when no device stands behind it
    // What a tooltip says: the path, and the device behind it where that is
    // another ("/dev/serial/by-id/usb-... (/dev/ttyUSB0)"); empty when none.
    std::string description;
    bool present;  // its device is there now
};

// COM 1 to COM 8, then every serial port present now under its stable name (on
// Linux the port a COM n stands for too: that name never moves). Resolving
// COM n here pins it, as opening it would.
std::vector<PortChoice> ListPorts();

// The index of a network port ("tcp://192.0.2.7:4001"), given the first
// time it is asked for and the same for the rest of the run; nothing for a
// path that names none. It is no serial port: ListPorts leaves it out.
std::optional<unsigned> NetworkPortIndex(const std::string& path);

// One port by index, present or not; nothing for an index this run never gave.
std::optional<PortChoice> DescribePort(unsigned index);

// The path a port index opens: "" when nothing stands behind it. COM n
// opens the path in the environment variable VT_COMn when it is set. On
// Linux it otherwise stands for a port by its stable name, for the rest of
// the run from the first time it is resolved: COM 1 to COM n in order
// each take the first port present that no other COM has, so COM n is the
// n-th port present at the first look, and a COM found empty takes the next
// adapter plugged in.
std::string PortPath(unsigned index);

// "COM 1" for port index 0; the stable name of a later port.
std::string PortLabel(unsigned index);

// The index of a port named as a user would: "COM3", "COM 12", a stable
// name or its path. Nothing when no such port is known or present.
std::optional<unsigned> FindPort(const std::string& name);

// How many port indices this run has given: COM 1 to COM 8 and the others found.
unsigned KnownPortCount();

// Back to the run's start: nothing pinned, nothing found (tests).
void ForgetPorts();
