#include "PortList.h"

#include "Modbus.h"
#include "NetworkTransport.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <mutex>

namespace {

// The most indices a port index (one byte in the settings) can give.
constexpr std::size_t kMostPorts = 255;

struct KnownPort {
    std::string label;
    std::string path;
};

std::mutex lock;
// What COM n stands for, once resolved to a present port (Linux).
std::string pinnedCom[kPortCount];
// The other ports, index kPortCount + k for entry k.
std::vector<KnownPort> others;

std::string ComLabel(unsigned index)
{
    return "COM " + std::to_string(index + 1);
}

std::string ComVariable(unsigned index)
{
    if (const char* mapped = std::getenv(("VT_COM" + std::to_string(index + 1)).c_str()); mapped && *mapped)
        return mapped;
    return {};
}

bool Pinned(const std::string& path)
{
    return std::find(std::begin(pinnedCom), std::end(pinnedCom), path) != std::end(pinnedCom);
}

// COM n's path, pinning it when it can stand for a present port; under the
// lock. COM 1 to COM n-1 take their ports first, so on a machine looked at
// for the first time COM n is the n-th port present.
std::string ComPath(unsigned index, const std::vector<serial::PresentPort>& present)
{
    if (std::string mapped = ComVariable(index); !mapped.empty())
        return mapped;
    if (std::string fixed = serial::FixedComPath(index + 1); !fixed.empty())
        return fixed;
    if (pinnedCom[index].empty()) {
        for (unsigned before = 0; before < index; ++before)
            ComPath(before, present);
        for (const serial::PresentPort& port : present)
            if (!Pinned(port.path)) {
                pinnedCom[index] = port.path;
                break;
            }
    }
    return pinnedCom[index];
}

// Takes every present port into the list of others, but for those that one
// of the eight is on every machine (Windows' COM1 to COM8), under the lock.
// A port's index is its place there, so nothing is ever removed.
void TakeOthers(const std::vector<serial::PresentPort>& present)
{
    for (const serial::PresentPort& port : present) {
        bool isCom = false;
        for (unsigned number = 1; number <= kPortCount; ++number)
            isCom = isCom || port.path == serial::FixedComPath(number);
        const bool known = std::any_of(others.begin(), others.end(),
                                       [&](const KnownPort& other) { return other.path == port.path; });
        if (!isCom && !known && kPortCount + others.size() < kMostPorts)
            others.push_back({port.name, port.path});
    }
}

const serial::PresentPort* FindPresent(const std::vector<serial::PresentPort>& present, const std::string& path)
{
    const auto found = std::find_if(present.begin(), present.end(),
                                    [&](const serial::PresentPort& port) { return port.path == path; });
    return found == present.end() ? nullptr : &*found;
}

// Under the lock.
PortChoice Describe(unsigned index, const std::vector<serial::PresentPort>& present)
{
    PortChoice choice {index, index < kPortCount ? ComLabel(index) : others[index - kPortCount].label,
                       index < kPortCount ? ComPath(index, present) : others[index - kPortCount].path, {}, false};
    if (choice.path.empty())
        return choice;
    choice.description = choice.path;
    if (const serial::PresentPort* port = FindPresent(present, choice.path)) {
        choice.present = true;
        if (port->device != choice.path)
            choice.description += " (" + port->device + ")";
    } else {
        // A path mapped by VT_COMn (a pseudo-terminal or a network port) that
        // the OS does not list; a network port is there until it fails to connect.
        choice.present = (index < kPortCount && !ComVariable(index).empty()) || PortTarget::Of(choice.path).network;
    }
    return choice;
}

// "COM 12", "com12" and "COM12" alike.
std::string Folded(const std::string& name)
{
    std::string folded;
    for (unsigned char c : name)
        if (!std::isspace(c))
            folded += char(std::toupper(c));
    return folded;
}

}  // namespace

std::vector<PortChoice> ListPorts()
{
    const std::vector<serial::PresentPort> present = serial::PresentPorts();
    std::lock_guard<std::mutex> guard(lock);
    TakeOthers(present);
    std::vector<PortChoice> list;
    for (unsigned index = 0; index < kPortCount + others.size(); ++index) {
        PortChoice choice = Describe(index, present);
        if (index < kPortCount || (choice.present && !PortTarget::Of(choice.path).network))
            list.push_back(std::move(choice));
    }
    return list;
}

std::optional<unsigned> NetworkPortIndex(const std::string& path)
{
    const std::optional<NetworkAddress> address = PortTarget::Of(path).address;
    if (!address)
        return std::nullopt;
    std::lock_guard<std::mutex> guard(lock);
    for (unsigned k = 0; k < others.size(); ++k)
        if (others[k].path == address->Path())
            return kPortCount + k;
    if (kPortCount + others.size() >= kMostPorts)
        return std::nullopt;
    others.push_back({address->Name(), address->Path()});
    return unsigned(kPortCount + others.size() - 1);
}

std::optional<PortChoice> DescribePort(unsigned index)
{
    const std::vector<serial::PresentPort> present = serial::PresentPorts();
    std::lock_guard<std::mutex> guard(lock);
    if (index >= kPortCount + others.size())
        return std::nullopt;
    return Describe(index, present);
}

std::string PortPath(unsigned index)
{
    if (index >= kPortCount) {
        std::lock_guard<std::mutex> guard(lock);
        return index < kPortCount + others.size() ? others[index - kPortCount].path : std::string();
    }
    // A mapped or fixed COM n needs no look at the ports present.
    if (std::string mapped = ComVariable(index); !mapped.empty())
        return mapped;
    if (std::string fixed = serial::FixedComPath(index + 1); !fixed.empty())
        return fixed;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!pinnedCom[index].empty())
            return pinnedCom[index];
    }
    const std::vector<serial::PresentPort> present = serial::PresentPorts();
    std::lock_guard<std::mutex> guard(lock);
    return ComPath(index, present);
}

std::string PortLabel(unsigned index)
{
    if (index < kPortCount)
        return ComLabel(index);
    std::lock_guard<std::mutex> guard(lock);
    return index < kPortCount + others.size() ? others[index - kPortCount].label : std::string();
}

std::optional<unsigned> FindPort(const std::string& name)
{
    const std::vector<serial::PresentPort> present = serial::PresentPorts();
    std::lock_guard<std::mutex> guard(lock);
    TakeOthers(present);
    const std::string folded = Folded(name);
    for (unsigned index = 0; index < kPortCount; ++index)
        if (folded == Folded(ComLabel(index)))
            return index;
    for (unsigned k = 0; k < others.size(); ++k)
        if (folded == Folded(others[k].label) || name == others[k].path)
            return kPortCount + k;
    return std::nullopt;
}

unsigned KnownPortCount()
{
    std::lock_guard<std::mutex> guard(lock);
    return unsigned(kPortCount + others.size());
}

void ForgetPorts()
{
    std::lock_guard<std::mutex> guard(lock);
    for (std::string& path : pinnedCom)
        path.clear();
    others.clear();
}
