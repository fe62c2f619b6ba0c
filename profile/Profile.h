// A profile: every setting a technician configures on a display, by group and
// by name, in the units the windows show, and the JSON file that holds one.
// Never the unit's own address, mode and rate, its clock or its status flags:
// those belong to the unit, not to the type. See docs/profile.md.
#pragma once

#include "Modbus.h"
#include "Rules.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace profile {

using Json = nlohmann::ordered_json;

constexpr const char* kFormatName = "vtconfig-profile";
constexpr int kFormatVersion = 1;

using rules::kFormatNames;
using rules::kRegisterTypeNames;

enum class Group { Rows, Brightness, DeviceLine, Devices, Recalibration };
constexpr Group kGroups[] = {Group::Rows, Group::Brightness, Group::DeviceLine, Group::Devices, Group::Recalibration};

// "rows", "brightness", "deviceLine", "devices", "recalibration": its key in the file.
const char* GroupName(Group group);
// The blocks a group is read in, and written in: the recalibration is read
// whole but written as its two pairs, so nothing between them is touched.
std::vector<RegisterBlock> ReadBlocks(Group group);
std::vector<RegisterBlock> WriteBlocks(Group group);

// One setting: where it stands in the file and on the display.
struct Setting {
    Group group;
    std::string item;  // "I" to "IV" for a row or an input, "1" to "10" for a device, "" otherwise
    const char* key;   // its name in the file: "digits"
    unsigned reg;      // the register it lives in
    rules::Field field;
    unsigned index;  // the row, device or input, from 0

    std::string Name() const;  // "I.digits", "dayLevel"
    std::string Path() const;  // "rows.I.digits"
};

// Every setting, in the order of the file; a device's address comes before
// its other fields.
const std::vector<Setting>& Settings();
// The setting a register holds, or nullptr for a register of no setting.
const Setting* SettingAt(unsigned reg);

// The settings' registers, as the display keeps them; nothing else in the
// image is looked at.
struct Profile {
    RegisterImage registers;
};

// A setting's register value as the file writes it ("06:30", "8n2", 9600,
// "6 - float", 0.1), and its text there, which messages show too: strings
// in quotes. Values outside their list show as the bare number.
Json ValueJson(const Setting& setting, std::uint32_t value);
std::string ValueText(const Setting& setting, std::uint32_t value);

// JSON text in which every single-precision value stands as the shortest
// decimal that reads back to the same 32 bits; the C locale plays no part.
std::string DumpJson(const Json& json);

// The file's text of a profile.
std::string WriteProfileText(const Profile& profile, const std::string& toolVersion);
// A profile from a file's text, or nothing and in *refusal what is wrong
// with it: "not JSON ...", "a profile of version 2, newer than ...",
// "the group \"rows\" is missing", "rows.I.digits: 25 is outside 1 to 20".
std::optional<Profile> ReadProfileText(const std::string& text, std::string* refusal);

// The settings of a group that a display's registers hold against the rules,
// one line each: "rows.I.format: 7 is outside 0 to 3".
std::vector<std::string> CheckGroup(const RegisterImage& registers, Group group);

// A setting whose value differs.
struct Difference {
    const Setting* setting;
    std::uint32_t display;  // the register's value on the display
    std::uint32_t wanted;   // and in the profile
};
// Every setting of `groups` whose register differs, in the order of the file.
std::vector<Difference> Compare(const RegisterImage& display, const RegisterImage& wanted,
                                const std::vector<Group>& groups = {std::begin(kGroups), std::end(kGroups)});

}  // namespace profile
