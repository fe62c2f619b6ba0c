#include "ProfileFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace {

// A profile is a few kilobytes; anything far larger is no profile.
constexpr std::streamsize kLongestProfile = 1 << 20;

}  // namespace

std::optional<profile::Profile> LoadProfileFile(const std::string& path, std::string* refusal)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *refusal = "cannot read " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    std::string text(kLongestProfile + 1, '\0');
    in.read(text.data(), kLongestProfile + 1);
    text.resize(std::size_t(in.gcount()));
    std::string why;
    std::optional<profile::Profile> loaded;
    if (in.gcount() > kLongestProfile)
        why = "too long to be a profile";
    else if (in.bad())
        why = std::strerror(errno);
    else
        loaded = profile::ReadProfileText(text, &why);
    if (!loaded)
        *refusal = path + ": " + why;
    return loaded;
}

bool SaveProfileFile(const std::string& path, const std::string& text, std::string* error)
{
    const std::string part = path + ".part";
    bool written = false;
    {
        std::ofstream out(part, std::ios::binary | std::ios::trunc);
        written = bool(out.write(text.data(), std::streamsize(text.size())).flush());
    }
    const auto moved = [&] { return std::rename(part.c_str(), path.c_str()) == 0; };
    // Windows renames onto no file that exists (EEXIST): the old one goes first there.
    if (written && (moved() || (errno == EEXIST && std::remove(path.c_str()) == 0 && moved())))
        return true;
    *error = "cannot write " + path + ": " + std::strerror(errno);
    std::remove(part.c_str());
    return false;
}
