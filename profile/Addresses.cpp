#include "Addresses.h"

#include "Rules.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

std::optional<unsigned long> ParseDecimal(const std::string& text, unsigned long low, unsigned long high)
{
    // Nine digits stay within an unsigned long everywhere.
    if (text.empty() || text.size() > 9 || !std::all_of(text.begin(), text.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c));
        }))
        return std::nullopt;
    const unsigned long value = std::strtoul(text.c_str(), nullptr, 10);
    if (value < low || value > high)
        return std::nullopt;
    return value;
}

std::optional<std::uint8_t> ParseAddress(const std::string& text)
{
    const rules::Range range = rules::RangeOf(rules::Field::DisplayAddress);
    if (auto address = ParseDecimal(text, (unsigned long)range.low, (unsigned long)range.high))
        return std::uint8_t(*address);
    return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> ParseAddressList(const std::string& text)
{
    std::vector<std::uint8_t> addresses;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        const std::string part = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        const std::size_t dash = part.find('-');
        const auto first = ParseAddress(part.substr(0, dash));
        const auto last = dash == std::string::npos ? first : ParseAddress(part.substr(dash + 1));
        if (!first || !last || *last < *first)
            return std::nullopt;
        for (unsigned address = *first; address <= *last; ++address)
            if (std::find(addresses.begin(), addresses.end(), address) == addresses.end())
                addresses.push_back(std::uint8_t(address));
        if (comma == std::string::npos)
            return addresses;
        start = comma + 1;
    }
}
