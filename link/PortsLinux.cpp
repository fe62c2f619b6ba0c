// The serial ports of a Linux machine: USB adapters by their udev names in
// /dev/serial/by-id, which stay the same whatever order they are plugged in
// (the environment variable VT_SERIAL_BY_ID names another folder for
// tests), then every other port by its device.
#include "PortList.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fstream>

namespace serial {
namespace {

// Entries of `folder`, each with its name, sorted by name; nothing when absent.
std::vector<std::string> Entries(const std::string& folder)
{
    std::vector<std::string> names;
    if (DIR* dir = opendir(folder.c_str())) {
        while (const dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.')
                names.push_back(entry->d_name);
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string RealPath(const std::string& path)
{
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

unsigned TrailingNumber(const std::string& name, std::size_t prefixLength)
{
    return static_cast<unsigned>(std::strtoul(name.c_str() + prefixLength, nullptr, 10));
}

// /dev entries that start with prefix followed by a number, in numeric order.
std::vector<std::string> DevicesNamed(const std::string& prefix)
{
    std::vector<std::string> names;
    for (const std::string& name : Entries("/dev"))
        if (name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0
            && std::all_of(name.begin() + prefix.size(), name.end(),
                           [](unsigned char c) { return std::isdigit(c) != 0; }))
            names.push_back(name);
    std::sort(names.begin(), names.end(), [&](const std::string& a, const std::string& b) {
        return TrailingNumber(a, prefix.size()) < TrailingNumber(b, prefix.size());
    });
    return names;
}

// The 8250 driver registers ttyS0..ttyS31 whether or not a UART is there;
// sysfs reports type 0 (PORT_UNKNOWN) for the empty ones.
bool IsRealSerialPort(const std::string& name)
{
    std::ifstream type("/sys/class/tty/" + name + "/type");
    int value = 0;
    return type >> value && value != 0;
}

}  // namespace

std::vector<PresentPort> PresentPorts()
{
    const char* byIdFolder = std::getenv("VT_SERIAL_BY_ID");
    const std::string folder = byIdFolder && *byIdFolder ? byIdFolder : "/dev/serial/by-id";
    std::vector<PresentPort> ports;
    for (const std::string& name : Entries(folder)) {
        const std::string path = folder + "/" + name;
        // A link whose adapter has gone, left behind: not present.
        if (std::string device = RealPath(path); !device.empty())
            ports.push_back({name, path, device});
    }
    auto named = [&](const std::string& device) {
        return std::any_of(ports.begin(), ports.end(), [&](const PresentPort& port) { return port.device == device; });
    };
    std::vector<std::string> devices = DevicesNamed("ttyUSB");
    for (const std::string& name : DevicesNamed("ttyACM"))
        devices.push_back(name);
    for (const std::string& name : DevicesNamed("ttyS"))
        if (IsRealSerialPort(name))
            devices.push_back(name);
    for (const std::string& name : devices)
        if (!named("/dev/" + name))
            ports.push_back({name, "/dev/" + name, "/dev/" + name});
    return ports;
}

std::string FixedComPath(unsigned)
{
    return {};
}

}  // namespace serial
