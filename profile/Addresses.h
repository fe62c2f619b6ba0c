// Display addresses as a technician writes them, for vtctl and the panel
// profiles window alike: one address, or a list of them like "1-5,9".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// A whole decimal number of digits alone (no sign, no blanks) in [low, high].
std::optional<unsigned long> ParseDecimal(const std::string& text, unsigned long low, unsigned long high);

// "7": a display address 1 to 247.
std::optional<std::uint8_t> ParseAddress(const std::string& text);
// "1", "1-5,9": display addresses 1 to 247 in the order given, each once;
// nothing when any part is not one.
std::optional<std::vector<std::uint8_t>> ParseAddressList(const std::string& text);
