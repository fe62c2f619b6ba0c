#include "ProfileFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <algorithm>
#include <cctype>

#ifdef _WIN32
#include <filesystem>
#include <system_error>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// A profile is a few kilobytes; anything far larger is no profile.
constexpr std::size_t kLongestProfile = 1 << 20;

#ifdef _WIN32

std::wstring Wide(const std::string& path)
{
    return std::filesystem::u8path(path).wstring();
}

std::string SystemText(DWORD code)
{
    wchar_t* text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string words = text ? std::filesystem::path(text).u8string() : "error " + std::to_string(code);
    LocalFree(text);
    while (!words.empty() && (words.back() == '\n' || words.back() == '\r' || words.back() == '.'))
        words.pop_back();
    return words;
}

// Windows opens the device a reserved name names, whatever else is said.
bool NamesDevice(const std::string& path, std::string* why)
{
    if (const std::optional<std::string> device = WindowsDeviceName(path)) {
        *why = "the name " + *device + " is a device on Windows, not a file; choose another name";
        return true;
    }
    return false;
}

// The file's bytes, or false and in *why the reason.
bool ReadRegularFile(const std::string& path, std::string* text, std::string* why, bool* tooLong)
{
    if (NamesDevice(path, why))
        return false;
    std::error_code failure;
    const auto status = std::filesystem::status(std::filesystem::u8path(path), failure);
    if (failure) {
        *why = failure.message();
        return false;
    }
    if (status.type() != std::filesystem::file_type::regular) {
        *why = status.type() == std::filesystem::file_type::directory ? "a folder, not a file" : "not a regular file";
        return false;
    }
    FILE* file = _wfopen(Wide(path).c_str(), L"rb");
    if (!file) {
        *why = std::strerror(errno);
        return false;
    }
    text->resize(kLongestProfile + 1);
    const std::size_t n = std::fread(&(*text)[0], 1, text->size(), file);
    const bool failed = std::ferror(file);
    std::fclose(file);
    text->resize(n);
    *tooLong = n > kLongestProfile;
    if (failed)
        *why = "the file cannot be read";
    return !failed;
}

FILE* OpenForWriting(const std::string& path)
{
    return _wfopen(Wide(path).c_str(), L"wb");
}

// Puts `part` in the place of `path` in one step: the old file is replaced, never removed first.
bool Replace(const std::string& part, const std::string& path, std::string* why)
{
    if (MoveFileExW(Wide(part).c_str(), Wide(path).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    *why = SystemText(GetLastError());
    return false;
}

void RemoveFile(const std::string& path)
{
    _wremove(Wide(path).c_str());
}

#else

const char* KindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return "a folder, not a file";
    if (S_ISFIFO(mode))
        return "not a regular file (a named pipe)";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "not a regular file (a device)";
    if (S_ISSOCK(mode))
        return "not a regular file (a socket)";
    return "not a regular file";
}

bool ReadRegularFile(const std::string& path, std::string* text, std::string* why, bool* tooLong)
{
    // Looked at before opening: opening a FIFO waits for a writer, a device may hang.
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        *why = std::strerror(errno);
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        *why = KindOf(status.st_mode);
        return false;
    }
    // And never waits, should it have been replaced by one meanwhile.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        *why = std::strerror(errno);
        return false;
    }
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        *why = KindOf(status.st_mode);
        close(fd);
        return false;
    }
    text->resize(kLongestProfile + 1);
    std::size_t got = 0;
    bool failed = false;
    while (got < text->size()) {
        const ssize_t n = read(fd, &(*text)[got], text->size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *why = std::strerror(errno);
            failed = true;
        }
        if (n <= 0)
            break;
        got += std::size_t(n);
    }
    close(fd);
    text->resize(got);
    *tooLong = got > kLongestProfile;
    return !failed;
}

FILE* OpenForWriting(const std::string& path)
{
    return std::fopen(path.c_str(), "wb");
}

bool Replace(const std::string& part, const std::string& path, std::string* why)
{
    if (std::rename(part.c_str(), path.c_str()) == 0)
        return true;
    *why = std::strerror(errno);
    return false;
}

void RemoveFile(const std::string& path)
{
    std::remove(path.c_str());
}

#endif

}  // namespace

std::optional<profile::Profile> LoadProfileFile(const std::string& path, std::string* refusal, std::string* bytes)
{
    std::string text, why;
    bool tooLong = false;
    if (!ReadRegularFile(path, &text, &why, &tooLong)) {
        // A file that cannot be opened is told as before; one of the wrong kind names itself.
        *refusal = (why.rfind("not a", 0) == 0 || why.rfind("a folder", 0) == 0) ? path + ": " + why
                                                                                  : "cannot read " + path + ": " + why;
        return std::nullopt;
    }
    std::optional<profile::Profile> loaded;
    if (tooLong)
        why = "too long to be a profile";
    else
        loaded = profile::ReadProfileText(text, &why);
    if (!loaded) {
        *refusal = path + ": " + why;
        return std::nullopt;
    }
    if (bytes)
        *bytes = std::move(text);
    return loaded;
}

bool SaveProfileFile(const std::string& path, const std::string& text, std::string* error)
{
#ifdef _WIN32
    if (std::string why; NamesDevice(path, &why)) {
        *error = "cannot write " + path + ": " + why;
        return false;
    }
#endif
    const std::string part = path + ".part";
    std::string why;
    FILE* file = OpenForWriting(part);
    if (!file) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    if (!written)
        why = std::strerror(errno);
    if (std::fclose(file) != 0 && written) {
        written = false;
        why = std::strerror(errno);
    }
    if (written && Replace(part, path, &why))
        return true;
    *error = "cannot write " + path + ": " + why;
    RemoveFile(part);
    return false;
}

std::optional<std::string> WindowsDeviceName(const std::string& path)
{
    const std::size_t slash = path.find_last_of("/\\:");
    std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
    // The device's name ends at the first dot, and blanks before it do not count.
    name = name.substr(0, name.find('.'));
    while (!name.empty() && name.back() == ' ')
        name.pop_back();
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return char(std::toupper(c)); });
    for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
        if (name == device)
            return name;
    if (name.size() == 4 && (name.compare(0, 3, "COM") == 0 || name.compare(0, 3, "LPT") == 0) && name[3] >= '1'
        && name[3] <= '9')
        return name;
    return std::nullopt;
}
