// What the display takes in each of its settings: ranges, formats and its own
// limits, group by group. Plain C++ on the values alone, so the windows, the
// profile file and vtctl judge a value alike; each caller words the refusal
// its own way from the field and the fault.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace rules {

constexpr unsigned kRowCount = 4;
constexpr unsigned kDeviceCount = 10;
constexpr unsigned kInputCount = 2;
// The device line's reply time-out is kept in tenths of a second; the
// windows and the file speak milliseconds.
constexpr std::int64_t kTimeOutUnitMs = 100;

// The lists' texts, each in the order of its codes.
extern const char* const kFormatNames[4];        // "0", "0.0", "0.00", "0.000"
extern const char* const kRegisterTypeNames[7];  // "0 - char" ... "6 - float"

struct Range {
    std::int64_t low, high;
    constexpr bool Holds(std::int64_t value) const { return value >= low && value <= high; }
};

// The settings, in the units the windows show them.
enum class Field {
    // a row: number of digits, format (0 to 3 decimals), the register it shows
    // (7500 to 7649), the alarm switch (0 or 1) and its two alarm values
    Digits, Format, DisplayedRegister, AlarmSwitch, FirstAlarm, SecondAlarm,
    // brightness: two levels and the times of day (hours × 100 + minutes)
    DayLevel, NightLevel, DayStart, NightStart,
    // the device line: reply time-out in 100 ms units, mode code, rate code
    ReplyTimeOut, LineMode, LineRate,
    // an added device
    DeviceAddress, BasicAddress, RegisterCount, RegisterType, ReviewPeriod,
    // the recalibration of an input
    Slope, Offset,
    // the Modbus address of a display: its own, and the one the tool speaks to
    DisplayAddress,
};

enum class Fault {
    OutOfRange,   // outside Violation::range
    NotFinite,    // single precision cannot hold it
    NoTimeOfDay,  // hours above 23 or minutes above 59
};

struct Violation {
    Field field;
    Fault fault;
    Range range {0, 0};  // the accepted values, for OutOfRange
};

// The limits of each integer field. Row I needs a digit, rows II to IV may
// show none; `row` counts from 0.
Range RangeOf(Field field, unsigned row = 0);

// One value of an integer field.
std::optional<Violation> CheckInteger(Field field, std::int64_t value, unsigned row = 0);
// A value typed or read for a single-precision field: it must stay finite
// once rounded to single precision.
std::optional<Violation> CheckSingle(Field field, double value);
bool FitsSingle(double value);
// A time of day as the display keeps it, hours × 100 + minutes.
std::optional<Violation> CheckTimeOfDay(Field field, std::int64_t hoursMinutes);

// The four values a row keeps in 16-bit registers; the alarm values are
// judged by CheckSingle.
struct Row {
    std::int64_t digits, format, displayedRegister, alarmSwitch;
};
std::optional<Violation> CheckRow(unsigned row, const Row& values);

struct Brightness {
    std::int64_t dayLevel, nightLevel, dayStart, nightStart;
};
std::optional<Violation> CheckBrightness(const Brightness& values);

struct DeviceLine {
    std::int64_t replyTimeOut, mode, rateCode;
};
std::optional<Violation> CheckDeviceLine(const DeviceLine& values);

// An added device. Address 0 switches it off: it is not polled, and its
// other fields need only fit their 16-bit registers (the basic address
// still -32768 to 65535), kept for when it is switched on again.
struct Device {
    std::int64_t address, basicAddress, registerCount, type, reviewPeriod;
};
std::optional<Violation> CheckDevice(const Device& values);
// One field of a device, switched off or not.
std::optional<Violation> CheckDeviceField(Field field, std::int64_t value, bool switchedOff);
bool SwitchedOff(std::int64_t deviceAddress);

// Why a value was refused, in a few neutral words: "outside 1 to 20",
// "not a finite single-precision number", "no time of day".
std::string Describe(const Violation& violation);

}  // namespace rules
