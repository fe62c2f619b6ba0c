#include "Rules.h"

#include "ConnectionSettings.h"

#include <cmath>

namespace rules {

const char* const kFormatNames[4] = {"0", "0.0", "0.00", "0.000"};
const char* const kRegisterTypeNames[7] = {"0 - char", "1 - unsigned char", "2 - int", "3 - unsigned int",
                                           "4 - long", "5 - unsigned long", "6 - float"};

Range RangeOf(Field field, unsigned row)
{
    switch (field) {
    case Field::Digits: return row == 0 ? Range {1, 20} : Range {0, 20};
    case Field::Format: return {0, 3};
    case Field::DisplayedRegister: return {7500, 7649};
    case Field::AlarmSwitch: return {0, 1};
    case Field::DayLevel:
    case Field::NightLevel: return {0, 100};
    case Field::ReplyTimeOut: return {1, 50};
    case Field::LineMode: return {0, 3};
    case Field::LineRate: return {0, 9};
    case Field::DeviceAddress: return {0, 247};
    // Typed signed or unsigned: the low 16 bits travel either way.
    case Field::BasicAddress: return {-32768, 65535};
    case Field::RegisterCount: return {1, 10};
    case Field::RegisterType: return {0, 6};
    case Field::ReviewPeriod: return {1, 60};
    // The link's rule.
    case Field::DisplayAddress: return {kLowestDisplayAddress, kHighestDisplayAddress};
    // Judged by CheckTimeOfDay and CheckSingle.
    case Field::DayStart:
    case Field::NightStart:
    case Field::FirstAlarm:
    case Field::SecondAlarm:
    case Field::Slope:
    case Field::Offset: break;
    }
    return {0, 0};
}

std::optional<Violation> CheckInteger(Field field, std::int64_t value, unsigned row)
{
    const Range range = RangeOf(field, row);
    if (!range.Holds(value))
        return Violation {field, Fault::OutOfRange, range};
    return std::nullopt;
}

bool FitsSingle(double value)
{
    return std::isfinite(static_cast<float>(value));
}

std::optional<Violation> CheckSingle(Field field, double value)
{
    if (!FitsSingle(value))
        return Violation {field, Fault::NotFinite};
    return std::nullopt;
}

std::optional<Violation> CheckTimeOfDay(Field field, std::int64_t hoursMinutes)
{
    if (hoursMinutes < 0 || hoursMinutes / 100 > 23 || hoursMinutes % 100 > 59)
        return Violation {field, Fault::NoTimeOfDay};
    return std::nullopt;
}

namespace {

// The first violation of a group, in the order its window looks at its fields.
template <typename... Checks>
std::optional<Violation> First(Checks... checks)
{
    std::optional<Violation> found;
    ((found = found ? found : checks), ...);
    return found;
}

}  // namespace

std::optional<Violation> CheckRow(unsigned row, const Row& values)
{
    return First(CheckInteger(Field::Digits, values.digits, row), CheckInteger(Field::Format, values.format),
                 CheckInteger(Field::DisplayedRegister, values.displayedRegister),
                 CheckInteger(Field::AlarmSwitch, values.alarmSwitch));
}

std::optional<Violation> CheckBrightness(const Brightness& values)
{
    return First(CheckInteger(Field::DayLevel, values.dayLevel), CheckInteger(Field::NightLevel, values.nightLevel),
                 CheckTimeOfDay(Field::DayStart, values.dayStart),
                 CheckTimeOfDay(Field::NightStart, values.nightStart));
}

std::optional<Violation> CheckDeviceLine(const DeviceLine& values)
{
    return First(CheckInteger(Field::ReplyTimeOut, values.replyTimeOut), CheckInteger(Field::LineMode, values.mode),
                 CheckInteger(Field::LineRate, values.rateCode));
}

bool SwitchedOff(std::int64_t deviceAddress)
{
    return deviceAddress == 0;
}

std::optional<Violation> CheckDeviceField(Field field, std::int64_t value, bool switchedOff)
{
    constexpr Range kRegister16 {0, 0xFFFF};
    const bool spare = switchedOff && field != Field::DeviceAddress && field != Field::BasicAddress;
    if (spare && !kRegister16.Holds(value))
        return Violation {field, Fault::OutOfRange, kRegister16};
    return spare ? std::nullopt : CheckInteger(field, value);
}

std::optional<Violation> CheckDevice(const Device& values)
{
    const bool off = SwitchedOff(values.address);
    return First(CheckDeviceField(Field::DeviceAddress, values.address, off),
                 CheckDeviceField(Field::BasicAddress, values.basicAddress, off),
                 CheckDeviceField(Field::RegisterCount, values.registerCount, off),
                 CheckDeviceField(Field::RegisterType, values.type, off),
                 CheckDeviceField(Field::ReviewPeriod, values.reviewPeriod, off));
}

std::string Describe(const Violation& violation)
{
    switch (violation.fault) {
    case Fault::OutOfRange:
        return "outside " + std::to_string(violation.range.low) + " to " + std::to_string(violation.range.high);
    case Fault::NotFinite: return "not a finite single-precision number";
    case Fault::NoTimeOfDay: return "no time of day";
    }
    return {};
}

}  // namespace rules
