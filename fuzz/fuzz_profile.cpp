// Any bytes as a profile file a technician edited: it is refused with a
// reason, or taken, and a profile taken is written and read back to the
// same registers.
#include "Profile.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string refusal;
    const auto profile = profile::ReadProfileText(std::string(reinterpret_cast<const char*>(data), size), &refusal);
    if (!profile) {
        if (refusal.empty())
            std::abort();
        return 0;
    }
    const auto again = profile::ReadProfileText(profile::WriteProfileText(*profile, "fuzz"), &refusal);
    if (!again)
        std::abort();
    for (const profile::Setting& setting : profile::Settings())
        if (again->registers.Get(setting.reg) != profile->registers.Get(setting.reg))
            std::abort();
    return 0;
}
