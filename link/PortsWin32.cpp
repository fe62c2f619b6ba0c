// The serial ports of a Windows machine: the names in the registry's
// SERIALCOMM map (every port driver enters its ports there), or, where that
// map cannot be read, the COM devices the object manager knows. COM n is
// always \\.\COMn: Windows names its ports for good.
#include "PortList.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>

namespace serial {
namespace {

// "COM12" -> 12; 0 for a name that is no COM port.
unsigned ComNumber(const std::wstring& name)
{
    if (name.size() < 4 || name.compare(0, 3, L"COM") != 0
        || name.find_first_not_of(L"0123456789", 3) != std::wstring::npos)
        return 0;
    return static_cast<unsigned>(std::wcstoul(name.c_str() + 3, nullptr, 10));
}

std::vector<unsigned> FromRegistry()
{
    std::vector<unsigned> numbers;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return numbers;
    for (DWORD k = 0;; ++k) {
        wchar_t name[256];
        wchar_t data[64] = {};
        DWORD nameLength = 256, dataSize = sizeof data - sizeof(wchar_t), type = 0;
        const LONG result = RegEnumValueW(key, k, name, &nameLength, nullptr, &type, reinterpret_cast<BYTE*>(data),
                                          &dataSize);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result == ERROR_SUCCESS && type == REG_SZ)
            if (unsigned number = ComNumber(data))
                numbers.push_back(number);
    }
    RegCloseKey(key);
    return numbers;
}

std::vector<unsigned> FromDosDevices()
{
    std::vector<unsigned> numbers;
    // Every device name of the machine: a machine with many may need more
    // than 64 K characters, and the call then says so rather than cut.
    std::wstring names(65536, L'\0');
    DWORD length = 0;
    while ((length = QueryDosDeviceW(nullptr, &names[0], DWORD(names.size()))) == 0
           && GetLastError() == ERROR_INSUFFICIENT_BUFFER && names.size() < (std::size_t(1) << 24))
        names.resize(names.size() * 2);
    for (std::size_t at = 0; at < length && names[at]; at = names.find(L'\0', at) + 1)
        if (unsigned number = ComNumber(names.c_str() + at))
            numbers.push_back(number);
    return numbers;
}

}  // namespace

std::vector<PresentPort> PresentPorts()
{
    std::vector<unsigned> numbers = FromRegistry();
    if (numbers.empty())
        numbers = FromDosDevices();
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    std::vector<PresentPort> ports;
    for (unsigned number : numbers) {
        const std::string path = "\\\\.\\COM" + std::to_string(number);
        ports.push_back({"COM " + std::to_string(number), path, path});
    }
    return ports;
}

std::string FixedComPath(unsigned number)
{
    return "\\\\.\\COM" + std::to_string(number);
}

}  // namespace serial
