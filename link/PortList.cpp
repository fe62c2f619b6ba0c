#include "PortList.h"

#include "Modbus.h"

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

std::string ComVariable(unsigned index)
{
    if (const char* mapped = std::getenv(("VT_COM" + std::to_string(index + 1)).c_str()); mapped && *mapped)
        return mapped;
    return {};
}

bool PinnedToAnotherCom(const std::string& path, unsigned index)
{
    for (unsigned k = 0; k < kPortCount; ++k)
        if (k != index && pinnedCom[k] == path)
            return true;
    return false;
}

// COM n's path, pinning it when it stands for a present port; under the lock.
std::string ComPath(unsigned index, const std::vector<serial::PresentPort>& present)
{
    if (std::string mapped = ComVariable(index); !mapped.empty())
        return mapped;
    if (std::string fixed = serial::FixedComPath(index + 1); !fixed.empty())
        return fixed;
    if (pinnedCom[index].empty() && index < present.size() && !PinnedToAnotherCom(present[index].path, index))
        pinnedCom[index] = present[index].path;
    return pinnedCom[index];
}

// Takes every present port that is no COM n into the list of others, under
// the lock. A port's index is its place there, so nothing is ever removed.
void TakeOthers(const std::vector<serial::PresentPort>& present)
{
    std::vector<std::string> comPaths;
    for (unsigned index = 0; index < kPortCount; ++index)
        comPaths.push_back(ComPath(index, present));
    for (const serial::PresentPort& port : present) {
        const bool isCom = std::find(comPaths.begin(), comPaths.end(), port.path) != comPaths.end();
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
    PortChoice choice {index, index < kPortCount ? "COM " + std::to_string(index + 1) : others[index - kPortCount].label,
                       index < kPortCount ? ComPath(index, present) : others[index - kPortCount].path, {}, false};
    if (choice.path.empty())
        return choice;
    choice.description = choice.path;
    if (const serial::PresentPort* port = FindPresent(present, choice.path)) {
        choice.present = true;
        if (port->device != choice.path)
            choice.description += " (" + port->device + ")";
    } else {
        // A mapped path (VT_COMn, a pseudo-terminal) the OS does not list.
        choice.present = index < kPortCount;
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
    std::vector<std::string> devicesOfCom;
    for (unsigned index = 0; index < kPortCount; ++index) {
        list.push_back(Describe(index, present));
        if (const serial::PresentPort* port = FindPresent(present, list.back().path))
            devicesOfCom.push_back(port->device);
    }
    for (unsigned index = kPortCount; index < kPortCount + others.size(); ++index) {
        PortChoice choice = Describe(index, present);
        const serial::PresentPort* port = FindPresent(present, choice.path);
        // A port that a COM n opens already is offered there.
        if (port && std::find(devicesOfCom.begin(), devicesOfCom.end(), port->device) == devicesOfCom.end())
            list.push_back(std::move(choice));
    }
    return list;
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
        return "COM " + std::to_string(index + 1);
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
        if (folded == Folded(Describe(index, present).label))
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
