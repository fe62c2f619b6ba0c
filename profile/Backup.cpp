#include "Backup.h"

#include "ProfileFile.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#endif

namespace profile {

namespace {

std::tm LocalTime(std::time_t when)
{
    std::tm local {};
#ifdef _WIN32
    localtime_s(&local, &when);
#else
    localtime_r(&when, &local);
#endif
    return local;
}

std::tm UtcTime(std::time_t when)
{
    std::tm utc {};
#ifdef _WIN32
    gmtime_s(&utc, &when);
#else
    gmtime_r(&when, &utc);
#endif
    return utc;
}

// Days since 1970-01-01 of a civil date, for the offset between two broken-down times.
long long DaysFromCivil(long long year, unsigned month, unsigned day)
{
    year -= month <= 2;
    const long long era = (year >= 0 ? year : year - 399) / 400;
    const unsigned yearOfEra = unsigned(year - era * 400);
    const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + (long long)dayOfEra - 719468;
}

long long SecondsOf(const std::tm& time)
{
    return DaysFromCivil(time.tm_year + 1900LL, unsigned(time.tm_mon + 1), unsigned(time.tm_mday)) * 86400
           + time.tm_hour * 3600LL + time.tm_min * 60LL + time.tm_sec;
}

#ifdef _WIN32
std::string Environment(const wchar_t* name)
{
    const wchar_t* value = _wgetenv(name);
    return value && *value ? std::filesystem::path(value).u8string() : std::string();
}
#else
std::string Environment(const char* name)
{
    const char* value = std::getenv(name);
    return value && *value ? std::string(value) : std::string();
}
#endif

}  // namespace

std::string DefaultBackupFolder()
{
#ifdef _WIN32
    const std::string local = Environment(L"LOCALAPPDATA");
    return local.empty() ? std::string() : local + "\\vtconfig\\backups";
#else
    // The state folder must be absolute; a relative one is ignored, as the base directory rules say.
    const std::string state = Environment("XDG_STATE_HOME");
    if (!state.empty() && state[0] == '/')
        return state + "/vtconfig/backups";
    const std::string home = Environment("HOME");
    return home.empty() ? std::string() : home + "/.local/state/vtconfig/backups";
#endif
}

std::string BackupFileName(std::uint8_t address, std::time_t when)
{
    const std::tm local = LocalTime(when);
    char name[64];
    std::snprintf(name, sizeof name, "display-%u-%04d%02d%02d-%02d%02d%02d.json", unsigned(address),
                  local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return name;
}

bool MakeFolder(const std::string& folder, std::string* error)
{
    std::error_code failure;
    const std::filesystem::path path = std::filesystem::u8path(folder);
    std::filesystem::create_directories(path, failure);
    if (!failure && std::filesystem::is_directory(path, failure))
        return true;
    *error = "cannot make the folder " + folder + ": "
             + (failure ? failure.message() : std::string("a file of that name is in the way"));
    return false;
}

std::string SaveBackup(const std::string& folder, std::uint8_t address, const Profile& settings, std::time_t when,
                       std::string* error)
{
    if (!MakeFolder(folder, error))
        return {};
    const std::string name = BackupFileName(address, when);
    const std::string stem = name.substr(0, name.size() - 5);
    const char separator =
#ifdef _WIN32
        '\\';
#else
        '/';
#endif
    const std::string base = folder.empty() || folder.back() == '/' || folder.back() == separator ? folder : folder + separator;
    std::string path = base + name;
    std::error_code failure;
    for (int copy = 2; std::filesystem::exists(std::filesystem::u8path(path), failure); ++copy)
        path = base + stem + "-" + std::to_string(copy) + ".json";
    if (!SaveProfileFile(path, WriteProfileText(settings, VTCONFIG_VERSION), error))
        return {};
    return path;
}

std::string IsoTime(std::time_t when)
{
    const std::tm local = LocalTime(when);
    const long long offset = SecondsOf(local) - SecondsOf(UtcTime(when));
    const long long minutes = (offset < 0 ? -offset : offset) / 60;
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02lld:%02lld", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, offset < 0 ? '-' : '+',
                  minutes / 60, minutes % 60);
    return text;
}

}  // namespace profile
