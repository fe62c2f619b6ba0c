#include "Profile.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

namespace profile {

namespace {

using rules::Field;

constexpr std::int64_t kFirstShownRegister = 7500;
using rules::kTimeOutUnitMs;

const char* const kRomanNumbers[] = {"I", "II", "III", "IV"};

std::vector<Setting> BuildSettings()
{
    std::vector<Setting> all;
    auto add = [&](Group group, std::string item, const char* key, unsigned reg, Field field, unsigned index) {
        all.push_back({group, std::move(item), key, reg, field, index});
    };
    for (unsigned row = 0; row < rules::kRowCount; ++row) {
        // Rows follow each other by four 16-bit registers and two 32-bit ones.
        const unsigned at16 = Blocks::Rows.first + 4 * row, at32 = Blocks::Alarms.first + 2 * row;
        const char* item = kRomanNumbers[row];
        add(Group::Rows, item, "digits", at16, Field::Digits, row);
        add(Group::Rows, item, "format", at16 + 1, Field::Format, row);
        add(Group::Rows, item, "register", at16 + 2, Field::DisplayedRegister, row);
        add(Group::Rows, item, "alarm", at16 + 3, Field::AlarmSwitch, row);
        add(Group::Rows, item, "firstAlarm", at32, Field::FirstAlarm, row);
        add(Group::Rows, item, "secondAlarm", at32 + 1, Field::SecondAlarm, row);
    }
    // In the order the window shows them.
    const unsigned brightness = Blocks::Brightness.first;
    add(Group::Brightness, "", "dayStart", brightness + 2, Field::DayStart, 0);
    add(Group::Brightness, "", "dayLevel", brightness, Field::DayLevel, 0);
    add(Group::Brightness, "", "nightStart", brightness + 3, Field::NightStart, 0);
    add(Group::Brightness, "", "nightLevel", brightness + 1, Field::NightLevel, 0);
    const unsigned line = Blocks::DeviceLine.first;
    add(Group::DeviceLine, "", "replyTimeOutMs", line, Field::ReplyTimeOut, 0);
    add(Group::DeviceLine, "", "mode", line + 1, Field::LineMode, 0);
    add(Group::DeviceLine, "", "rate", line + 2, Field::LineRate, 0);
    for (unsigned device = 0; device < rules::kDeviceCount; ++device) {
        const unsigned entry = Blocks::DeviceTable.first + 5 * device;
        const std::string item = std::to_string(device + 1);
        add(Group::Devices, item, "address", entry, Field::DeviceAddress, device);
        add(Group::Devices, item, "basicAddress", entry + 1, Field::BasicAddress, device);
        add(Group::Devices, item, "registerCount", entry + 2, Field::RegisterCount, device);
        add(Group::Devices, item, "registerType", entry + 3, Field::RegisterType, device);
        add(Group::Devices, item, "reviewPeriodS", entry + 4, Field::ReviewPeriod, device);
    }
    const unsigned inputs[] = {Blocks::CoefficientsInputI.first, Blocks::CoefficientsInputII.first};
    for (unsigned input = 0; input < rules::kInputCount; ++input) {
        add(Group::Recalibration, kRomanNumbers[input], "slope", inputs[input], Field::Slope, input);
        add(Group::Recalibration, kRomanNumbers[input], "offset", inputs[input] + 1, Field::Offset, input);
    }
    return all;
}

bool IsSingle(Field field)
{
    return field == Field::FirstAlarm || field == Field::SecondAlarm || field == Field::Slope
           || field == Field::Offset;
}

bool IsTimeOfDay(Field field)
{
    return field == Field::DayStart || field == Field::NightStart;
}

bool OfDevice(Field field)
{
    return field == Field::DeviceAddress || field == Field::BasicAddress || field == Field::RegisterCount
           || field == Field::RegisterType || field == Field::ReviewPeriod;
}

// An integer field's value in the units the rules speak, from its register.
std::int64_t RuleValue(const Setting& setting, std::uint32_t value)
{
    return setting.field == Field::DisplayedRegister ? kFirstShownRegister + value : std::int64_t(value);
}

// And back: the register a rule value goes into.
std::uint32_t RegisterValue(const Setting& setting, std::int64_t value)
{
    if (setting.field == Field::DisplayedRegister)
        return std::uint32_t(value - kFirstShownRegister);
    return std::uint32_t(value) & 0xFFFFu;  // a negative basic address travels as its low 16 bits
}

// Shortest decimal that gives back the same float; std::to_chars follows no
// locale. A negative zero keeps a point, as JSON reads "-0" as the integer 0.
std::string SingleText(float value)
{
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    std::string shortest(text, end);
    return shortest == "-0" ? "-0.0" : shortest;
}

// Singles go into the tree as marked strings; DumpJson puts their text in
// as a bare number. nlohmann would write the double instead (0.1f as
// 0.10000000149011612), and its own float output is not always the shortest.
constexpr char kSingleMark = '\x01';
const std::string kMarkInDump = "\"\\u0001";  // the mark as the dump escapes it

Json SingleJson(float value)
{
    // Not a JSON number; only a display's garbage shows so, in messages.
    if (!std::isfinite(value))
        return SingleText(value);
    return std::string(1, kSingleMark) + SingleText(value);
}

std::string TimeText(std::uint32_t hoursMinutes)
{
    char text[16];
    std::snprintf(text, sizeof text, "%02u:%02u", hoursMinutes / 100, hoursMinutes % 100);
    return text;
}

template <std::size_t N>
Json ListEntry(const char* const (&names)[N], std::uint32_t code)
{
    return code < N ? Json(names[code]) : Json(code);
}

// ---------------------------------------------------------------- judging

std::string Reason(const Setting& setting, rules::Violation violation)
{
    // The time-out is kept in tenths of a second but written in milliseconds.
    if (setting.field == Field::ReplyTimeOut && violation.fault == rules::Fault::OutOfRange) {
        violation.range.low *= kTimeOutUnitMs;
        violation.range.high *= kTimeOutUnitMs;
    }
    return rules::Describe(violation);
}

// Why an integer field's rule value is refused, if it is.
std::optional<std::string> JudgeInteger(const Setting& setting, std::int64_t value, bool deviceOff)
{
    std::optional<rules::Violation> violation;
    if (OfDevice(setting.field)) {
        violation = rules::CheckDeviceField(setting.field, value, deviceOff);
    } else if (IsTimeOfDay(setting.field)) {
        violation = rules::CheckTimeOfDay(setting.field, value);
    } else {
        violation = rules::CheckInteger(setting.field, value, setting.index);
    }
    if (violation)
        return Reason(setting, *violation);
    return std::nullopt;
}

// ---------------------------------------------------------------- the file's values

// What a file's value means for a setting: its register value, or why not.
struct FileValue {
    std::optional<std::uint32_t> value;
    std::string why;
};

FileValue Refuse(std::string why)
{
    return {std::nullopt, std::move(why)};
}

template <std::size_t N>
std::string OneOf(const char* const (&names)[N])
{
    std::string list;
    for (const char* name : names)
        list += std::string(list.empty() ? "" : ", ") + "\"" + name + "\"";
    return "not one of " + list;
}

template <std::size_t N>
std::optional<std::int64_t> ListCode(const char* const (&names)[N], const Json& value)
{
    if (!value.is_string())
        return std::nullopt;
    const auto found = std::find(std::begin(names), std::end(names), value.get<std::string>());
    if (found == std::end(names))
        return std::nullopt;
    return found - std::begin(names);
}

std::optional<std::int64_t> WholeNumber(const Json& value)
{
    if (value.is_number_unsigned())  // beyond int64 is beyond every range here
        return std::int64_t(std::min<std::uint64_t>(value.get<std::uint64_t>(), std::numeric_limits<std::int64_t>::max()));
    if (value.is_number_integer())
        return value.get<std::int64_t>();
    return std::nullopt;
}

// Why a value is no whole number; "75.0" is refused too, with the number to
// write instead, as a fraction in the file would otherwise be cut silently.
std::string WholeNumberRefusal(const Json& value)
{
    if (value.is_number_float()) {
        const double number = value.get<double>();
        if (std::isfinite(number) && std::floor(number) == number && std::fabs(number) < 1e15)
            return "not a whole number as written; write " + std::to_string((long long)number);
    }
    return "not a whole number";
}

std::optional<std::int64_t> TimeOfDay(const Json& value)
{
    if (!value.is_string())
        return std::nullopt;
    const std::string text = value.get<std::string>();
    // "6:30" or "06:30"
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos || colon < 1 || colon > 2 || text.size() != colon + 3)
        return std::nullopt;
    const bool digits = std::all_of(text.begin(), text.end(), [&](char c) { return c == ':' || std::isdigit(static_cast<unsigned char>(c)); });
    if (!digits || text.find(':', colon + 1) != std::string::npos)
        return std::nullopt;
    return std::stoll(text.substr(0, colon)) * 100 + std::stoll(text.substr(colon + 1));
}

std::optional<std::int64_t> RateCode(const Json& value)
{
    const std::optional<std::int64_t> rate = WholeNumber(value);
    const auto found = std::find(std::begin(kDisplayRates), std::end(kDisplayRates), rate.value_or(-1));
    if (found == std::end(kDisplayRates))
        return std::nullopt;
    return found - std::begin(kDisplayRates);
}

std::string RateList()
{
    std::string list;
    for (std::uint32_t rate : kDisplayRates)
        list += (list.empty() ? "" : ", ") + std::to_string(rate);
    return "not one of " + list;
}

FileValue ReadSingle(const Setting& setting, const Json& value)
{
    if (!value.is_number())
        return Refuse("not a number");
    // The reader keeps a float's own decimal exactly (see ExactSingles).
    const double number = value.get<double>();
    if (auto violation = rules::CheckSingle(setting.field, number))
        return Refuse(Reason(setting, *violation));
    return {FloatToBits(static_cast<float>(number)), {}};
}

// An integer field: what the file says in the rules' units, or why it cannot say it.
std::optional<std::int64_t> ReadInteger(const Setting& setting, const Json& value, bool deviceOff, std::string* why)
{
    switch (setting.field) {
    case Field::Format:
        if (auto code = ListCode(kFormatNames, value))
            return code;
        *why = OneOf(kFormatNames);
        return std::nullopt;
    case Field::LineMode:
        if (auto code = ListCode(kModeNames, value))
            return code;
        *why = OneOf(kModeNames);
        return std::nullopt;
    case Field::LineRate:
        if (auto code = RateCode(value))
            return code;
        *why = RateList();
        return std::nullopt;
    case Field::RegisterType:
        // The list's text; a switched-off device may keep any code.
        if (auto code = ListCode(kRegisterTypeNames, value))
            return code;
        if (auto code = WholeNumber(value); deviceOff && code)
            return code;
        *why = OneOf(kRegisterTypeNames);
        return std::nullopt;
    case Field::AlarmSwitch:
        if (value.is_boolean())
            return value.get<bool>() ? 1 : 0;
        *why = "neither true nor false";
        return std::nullopt;
    case Field::DayStart:
    case Field::NightStart:
        if (auto time = TimeOfDay(value))
            return time;
        *why = "not a time of day as hh:mm";
        return std::nullopt;
    case Field::ReplyTimeOut: {
        const std::optional<std::int64_t> milliseconds = WholeNumber(value);
        if (!milliseconds) {
            *why = WholeNumberRefusal(value);
            return std::nullopt;
        }
        // Held in whole tenths of a second: 150 would come back as 100.
        if (*milliseconds % kTimeOutUnitMs != 0) {
            *why = "not a whole number of 100 ms";
            return std::nullopt;
        }
        return *milliseconds / kTimeOutUnitMs;
    }
    default:
        if (auto number = WholeNumber(value))
            return number;
        *why = WholeNumberRefusal(value);
        return std::nullopt;
    }
}

FileValue ReadValue(const Setting& setting, const Json& value, bool deviceOff)
{
    if (IsSingle(setting.field))
        return ReadSingle(setting, value);
    std::string why;
    const std::optional<std::int64_t> number = ReadInteger(setting, value, deviceOff, &why);
    if (!number)
        return Refuse(why);
    if (auto refusal = JudgeInteger(setting, *number, deviceOff))
        return Refuse(*refusal);
    return {RegisterValue(setting, *number), {}};
}

// ---------------------------------------------------------------- parsing

// The DOM parser, but a number with a fraction or an exponent is read from
// its own text as a float, so the value in the tree is that float exactly
// (a double rounded once more to single precision could land on a neighbour).
class ExactSingles {
public:
    explicit ExactSingles(Json& root) : dom_(root) {}

    // The key given twice, with the object it stands in, once the parse stopped on it.
    const std::optional<std::string>& Twice() const { return twice_; }

    bool null() { return dom_.null(); }
    bool boolean(bool value) { return dom_.boolean(value); }
    bool number_integer(Json::number_integer_t value) { return dom_.number_integer(value); }
    bool number_unsigned(Json::number_unsigned_t value) { return dom_.number_unsigned(value); }
    bool number_float(Json::number_float_t value, const std::string& token)
    {
        // The lexer has put the C locale's decimal point into the token.
        std::string text = token;
        std::replace_if(text.begin(), text.end(), [](char c) { return !std::isdigit(static_cast<unsigned char>(c)) && !std::strchr("+-eE", c); }, '.');
        float single = 0;
        const char* first = text.c_str();
        if (*first == '+')
            ++first;
        const auto [end, error] = std::from_chars(first, text.c_str() + text.size(), single);
        // Beyond single precision stays a double and is refused by its rule.
        const bool whole = error == std::errc() && end == text.c_str() + text.size();
        return dom_.number_float(whole ? double(single) : value, token);
    }
    bool string(std::string& value) { return dom_.string(value); }
    bool binary(Json::binary_t& value) { return dom_.binary(value); }
    bool start_object(std::size_t count)
    {
        // Named by the key that leads to it: "rows.I"; the outermost is "the top object".
        std::string name;
        if (!open_.empty())
            name = open_.back().inList ? open_.back().name + " (in a list)"
                   : open_.back().name.empty() ? open_.back().lastKey
                                               : open_.back().name + "." + open_.back().lastKey;
        open_.push_back({name, {}, {}, false});
        return dom_.start_object(count);
    }
    bool key(std::string& value)
    {
        // The last copy would silently win: a pasted second "brightness" hides the first.
        Open& object = open_.back();
        if (std::find(object.keys.begin(), object.keys.end(), value) != object.keys.end()) {
            twice_ = "the key \"" + value + "\" appears twice in "
                     + (object.name.empty() && open_.size() == 1 ? std::string("the top object") : "the object " + object.name);
            return false;
        }
        object.keys.push_back(value);
        object.lastKey = value;
        return dom_.key(value);
    }
    bool end_object()
    {
        open_.pop_back();
        return dom_.end_object();
    }
    bool start_array(std::size_t count)
    {
        const std::string name = open_.empty() ? std::string("a list")
                                 : open_.back().name.empty() ? open_.back().lastKey
                                                             : open_.back().name + "." + open_.back().lastKey;
        open_.push_back({name, {}, {}, true});
        return dom_.start_array(count);
    }
    bool end_array()
    {
        open_.pop_back();
        return dom_.end_array();
    }
    template <typename Exception>
    bool parse_error(std::size_t position, const std::string& last, const Exception& error)
    {
        return dom_.parse_error(position, last, error);
    }

private:
    struct Open {
        std::string name;
        std::vector<std::string> keys;
        std::string lastKey;
        bool inList;
    };
    nlohmann::detail::json_sax_dom_parser<Json> dom_;
    std::vector<Open> open_;
    std::optional<std::string> twice_;
};

// What nlohmann says, without its "[json.exception.parse_error.101] ".
std::string WithoutErrorId(const std::string& what)
{
    const std::size_t end = what.find("] ");
    return end == std::string::npos ? what : what.substr(end + 2);
}

// The keys an object may hold.
std::optional<std::string> UnknownKey(const Json& object, const std::vector<std::string>& known)
{
    for (const auto& [key, value] : object.items())
        if (std::find(known.begin(), known.end(), key) == known.end())
            return key;
    return std::nullopt;
}

// A file's value as a refusal names it: a number or a text as written (a
// long text cut short), a list or an object by what it is.
std::string Shown(const Json& value)
{
    constexpr std::size_t kLongest = 40;
    if (value.is_array())
        return "a list";
    if (value.is_object())
        return "an object";
    if (value.is_string() && value.get<std::string>().size() > kLongest)
        return DumpJson(value.get<std::string>().substr(0, kLongest) + "...");
    return DumpJson(value);
}

std::string Quoted(const std::string& text)
{
    return "\"" + text + "\"";
}

// A text that is no UTF-8: what PowerShell 5 and some editors write by default.
std::optional<std::string> EncodingRefusal(const std::string& text)
{
    const bool byteOrderMark = text.size() >= 2
                               && ((text[0] == '\xFF' && text[1] == '\xFE') || (text[0] == '\xFE' && text[1] == '\xFF'));
    // Without a mark: ASCII text with a NUL beside every character.
    const bool interleaved = text.size() >= 2 && (text[0] == '\0' || text[1] == '\0');
    if (byteOrderMark || interleaved)
        return std::string("the file is UTF-16; save it as UTF-8");
    return std::nullopt;
}

// The header: the format's name and a version this program reads.
std::optional<std::string> HeaderRefusal(const Json& document)
{
    const auto format = document.find("format");
    if (format == document.end() || !format->is_string())
        return "not a " + std::string(kFormatName) + " file: it names no format";
    if (format->get<std::string>() != kFormatName)
        return "not a " + std::string(kFormatName) + " file: its format is " + Shown(*format);
    const auto version = document.find("version");
    if (version != document.end() && version->is_number_float())
        return "the version " + Shown(*version) + " is not a whole number; profiles have version " + std::to_string(kFormatVersion);
    if (version == document.end() || !version->is_number_integer())
        return "a profile without a version number";
    const std::int64_t number = version->get<std::int64_t>();
    if (number > kFormatVersion)
        return "a profile of version " + std::to_string(number) + ", newer than this program reads ("
               + std::to_string(kFormatVersion) + "); a newer vtconfig reads it";
    if (number < 1)
        return "a profile of version " + std::to_string(number) + ", which no vtconfig writes";
    return std::nullopt;
}

// Every object on the way to the settings, and no key the format lacks.
std::optional<std::string> ShapeRefusal(const Json& document)
{
    std::vector<std::string> top {"format", "version", "toolVersion"};
    for (Group group : kGroups)
        top.push_back(GroupName(group));
    if (auto key = UnknownKey(document, top))
        return "unknown entry " + Quoted(*key);
    for (Group group : kGroups) {
        const auto found = document.find(GroupName(group));
        if (found == document.end())
            return "the group " + Quoted(GroupName(group)) + " is missing";
        // The items of the group (or its settings, where it has no items).
        std::vector<std::string> keys;
        for (const Setting& setting : Settings())
            if (setting.group == group
                && std::find(keys.begin(), keys.end(), setting.item.empty() ? setting.key : setting.item) == keys.end())
                keys.push_back(setting.item.empty() ? setting.key : setting.item);
        if (!found->is_object())
            return std::string(GroupName(group)) + ": not a JSON object";
        if (auto key = UnknownKey(*found, keys))
            return std::string(GroupName(group)) + ": unknown entry " + Quoted(*key);
    }
    return std::nullopt;
}

// The object a setting stands in, or why there is none.
const Json* ItemOf(const Json& document, const Setting& setting, std::string* refusal)
{
    const Json& group = document.at(GroupName(setting.group));
    if (setting.item.empty())
        return &group;
    const std::string path = std::string(GroupName(setting.group)) + "." + setting.item;
    const auto item = group.find(setting.item);
    if (item == group.end()) {
        *refusal = path + " is missing";
        return nullptr;
    }
    if (!item->is_object()) {
        *refusal = path + ": not a JSON object";
        return nullptr;
    }
    std::vector<std::string> keys;
    for (const Setting& other : Settings())
        if (other.group == setting.group && other.item == setting.item)
            keys.push_back(other.key);
    if (auto key = UnknownKey(*item, keys)) {
        *refusal = path + ": unknown setting " + Quoted(*key);
        return nullptr;
    }
    return &*item;
}

}  // namespace

// ---------------------------------------------------------------- settings

const char* GroupName(Group group)
{
    switch (group) {
    case Group::Rows: return "rows";
    case Group::Brightness: return "brightness";
    case Group::DeviceLine: return "deviceLine";
    case Group::Devices: return "devices";
    case Group::Recalibration: return "recalibration";
    }
    return "";
}

std::vector<RegisterBlock> ReadBlocks(Group group)
{
    if (group == Group::Recalibration)
        return {Blocks::Coefficients};
    return WriteBlocks(group);
}

std::vector<RegisterBlock> WriteBlocks(Group group)
{
    switch (group) {
    case Group::Rows: return {Blocks::Rows, Blocks::Alarms};
    case Group::Brightness: return {Blocks::Brightness};
    case Group::DeviceLine: return {Blocks::DeviceLine};
    case Group::Devices: return {Blocks::DeviceTable};
    case Group::Recalibration: return {Blocks::CoefficientsInputI, Blocks::CoefficientsInputII};
    }
    return {};
}

std::string Setting::Name() const
{
    return item.empty() ? std::string(key) : item + "." + key;
}

std::string Setting::Path() const
{
    return std::string(GroupName(group)) + "." + Name();
}

const std::vector<Setting>& Settings()
{
    static const std::vector<Setting> all = BuildSettings();
    return all;
}

const Setting* SettingAt(unsigned reg)
{
    for (const Setting& setting : Settings())
        if (setting.reg == reg)
            return &setting;
    return nullptr;
}

// ---------------------------------------------------------------- values

Json ValueJson(const Setting& setting, std::uint32_t value)
{
    switch (setting.field) {
    case Field::Format: return ListEntry(kFormatNames, value);
    case Field::DisplayedRegister: return RuleValue(setting, value);
    case Field::AlarmSwitch: return value <= 1 ? Json(value == 1) : Json(value);
    case Field::FirstAlarm:
    case Field::SecondAlarm:
    case Field::Slope:
    case Field::Offset: return SingleJson(BitsToFloat(value));
    case Field::DayStart:
    case Field::NightStart: return TimeText(value);
    case Field::ReplyTimeOut: return value * kTimeOutUnitMs;
    case Field::LineMode: return ListEntry(kModeNames, value);
    case Field::LineRate: return value < kDisplayRateCount ? Json(kDisplayRates[value]) : Json(value);
    case Field::RegisterType: return ListEntry(kRegisterTypeNames, value);
    default: return value;
    }
}

std::string ValueText(const Setting& setting, std::uint32_t value)
{
    return DumpJson(ValueJson(setting, value));
}

std::string DumpJson(const Json& json)
{
    // A text cut short may end inside a character: replaced, not thrown.
    std::string text = json.dump(2, ' ', false, Json::error_handler_t::replace);
    // "\u0001<text>" becomes <text>: the single's decimal as a bare number.
    for (std::size_t at = text.find(kMarkInDump); at != std::string::npos; at = text.find(kMarkInDump, at)) {
        const std::size_t close = text.find('"', at + kMarkInDump.size());
        text.replace(at, close + 1 - at, text.substr(at + kMarkInDump.size(), close - at - kMarkInDump.size()));
    }
    return text;
}

// ---------------------------------------------------------------- the file

std::string WriteProfileText(const Profile& profile, const std::string& toolVersion)
{
    Json document;
    document["format"] = kFormatName;
    document["version"] = kFormatVersion;
    document["toolVersion"] = toolVersion;
    for (const Setting& setting : Settings()) {
        Json& group = document[GroupName(setting.group)];
        Json& item = setting.item.empty() ? group : group[setting.item];
        item[setting.key] = ValueJson(setting, profile.registers.Get(setting.reg));
    }
    return DumpJson(document) + "\n";
}

std::optional<Profile> ReadProfileText(const std::string& text, std::string* refusal)
{
    if (auto encoding = EncodingRefusal(text)) {
        *refusal = *encoding;
        return std::nullopt;
    }
    Json document;
    try {
        ExactSingles parser(document);
        Json::sax_parse(text, &parser);
        if (parser.Twice()) {
            *refusal = *parser.Twice();
            return std::nullopt;
        }
    } catch (const Json::exception& error) {
        *refusal = "not JSON: " + WithoutErrorId(error.what());
        return std::nullopt;
    }
    if (!document.is_object()) {
        *refusal = "not a " + std::string(kFormatName) + " file: it holds no JSON object";
        return std::nullopt;
    }
    if (auto header = HeaderRefusal(document)) {
        *refusal = *header;
        return std::nullopt;
    }
    if (auto shape = ShapeRefusal(document)) {
        *refusal = *shape;
        return std::nullopt;
    }
    Profile profile;
    bool deviceOff = false;  // of the device whose fields are being read
    for (const Setting& setting : Settings()) {
        const Json* item = ItemOf(document, setting, refusal);
        if (!item)
            return std::nullopt;
        const auto value = item->find(setting.key);
        if (value == item->end()) {
            *refusal = setting.Path() + " is missing";
            return std::nullopt;
        }
        const FileValue read = ReadValue(setting, *value, deviceOff);
        if (!read.value) {
            *refusal = setting.Path() + ": " + Shown(*value) + " is " + read.why;
            return std::nullopt;
        }
        profile.registers.Set(setting.reg, *read.value);
        if (setting.field == Field::DeviceAddress)
            deviceOff = rules::SwitchedOff(*read.value);
    }
    return profile;
}

// ---------------------------------------------------------------- a display's values

std::vector<std::string> CheckGroup(const RegisterImage& registers, Group group)
{
    std::vector<std::string> refusals;
    bool deviceOff = false;
    for (const Setting& setting : Settings()) {
        if (setting.group != group)
            continue;
        const std::uint32_t value = registers.Get(setting.reg);
        std::optional<std::string> refusal;
        if (IsSingle(setting.field)) {
            if (auto violation = rules::CheckSingle(setting.field, BitsToFloat(value)))
                refusal = Reason(setting, *violation);
        } else {
            refusal = JudgeInteger(setting, RuleValue(setting, value), deviceOff);
        }
        if (refusal)
            refusals.push_back(setting.Path() + ": " + ValueText(setting, value) + " is " + *refusal);
        if (setting.field == Field::DeviceAddress)
            deviceOff = rules::SwitchedOff(value);
    }
    return refusals;
}

std::vector<Difference> Compare(const RegisterImage& display, const RegisterImage& wanted,
                                const std::vector<Group>& groups)
{
    std::vector<Difference> differences;
    for (const Setting& setting : Settings()) {
        if (std::find(groups.begin(), groups.end(), setting.group) == groups.end())
            continue;
        const std::uint32_t held = display.Get(setting.reg), meant = wanted.Get(setting.reg);
        if (held != meant)
            differences.push_back({&setting, held, meant});
    }
    return differences;
}

}  // namespace profile
