#include "Arguments.h"

#include "PortMessages.h"

#include <algorithm>
#include <cctype>

std::string PortArgument::Label() const
{
    return index ? PortLabel(*index) : device;
}

int PortArgument::Open(ModbusLink& link, std::uint8_t modeIndex, std::uint8_t rateIndex) const
{
    return index ? link.OpenPort(*index, modeIndex, rateIndex) : link.OpenDevice(device, modeIndex, rateIndex);
}

PortArgument ParsePort(const std::string& text)
{
    std::string upper = text;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return char(std::toupper(c)); });
    if (upper.compare(0, 3, "COM") == 0)
        if (auto number = ParseDecimal(upper.substr(3), 1, kPortCount))
            return {std::uint8_t(*number - 1), {}};
    // A port by the name the tool's port list gives it ("COM 12", an
    // adapter's name by id), so a script names the same adapter every time.
    if (auto index = FindPort(text))
        return {std::uint8_t(*index), {}};
    return {std::nullopt, text};
}

std::optional<std::uint8_t> ParseMode(const std::string& text)
{
    const auto found = std::find_if(std::begin(kModeNames), std::end(kModeNames),
                                    [&](const char* name) { return text == name; });
    if (found == std::end(kModeNames))
        return std::nullopt;
    return std::uint8_t(found - std::begin(kModeNames));
}

std::optional<std::uint8_t> ParseRate(const std::string& text)
{
    const std::optional<unsigned long> rate = ParseDecimal(text, 1, 1000000);
    const auto found = std::find(std::begin(kPortRates), std::end(kPortRates), rate.value_or(0));
    if (found == std::end(kPortRates))
        return std::nullopt;
    return std::uint8_t(found - std::begin(kPortRates));
}

std::string ModeChoices()
{
    std::string list;
    for (const char* name : kModeNames)
        list += (list.empty() ? "" : ", ") + std::string(name);
    return list;
}

std::string RateChoices()
{
    std::string list;
    for (std::uint32_t rate : kPortRates)
        list += (list.empty() ? "" : ", ") + std::to_string(rate);
    return list;
}
