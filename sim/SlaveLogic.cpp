#include "SlaveLogic.h"

#include "Modbus.h"

#include <ctime>

namespace sim {
namespace {

constexpr unsigned kClockYear = 4022, kClockMonthDay = 4023, kClockHourMinute = 4024;

std::uint16_t Word(const std::uint8_t* frame, std::size_t at)
{
    return std::uint16_t(frame[at] << 8 | frame[at + 1]);
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

bool ValidDate(unsigned y, unsigned m, unsigned d)
{
    static const unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m < 1 || m > 12 || d < 1)
        return false;
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return d <= days[m - 1] + (m == 2 && leap);
}

}  // namespace

std::vector<std::uint8_t> SlaveLogic::Frame(std::vector<std::uint8_t> body)
{
    std::uint16_t crc = Crc16(body.data(), static_cast<int>(body.size()) - 1);
    body.push_back(std::uint8_t(crc >> 8));  // low-order byte of the CRC first
    body.push_back(std::uint8_t(crc & 0xFF));
    return body;
}

SlaveLogic::SlaveLogic(std::uint8_t address, std::uint8_t mode, std::uint8_t rateCode)
    : address_(address), mode_(mode), rateCode_(rateCode)
{
    registers_.Set(4000, address);
    registers_.Set(4001, mode);
    registers_.Set(4002, rateCode);
    LoadFactorySettings();
    // The display's clock starts at the PC's local time.
    std::time_t now = std::time(nullptr);
    std::tm local {};
    localtime_r(&now, &local);
    registers_.Set(kClockYear, std::uint32_t(local.tm_year + 1900));
    registers_.Set(kClockMonthDay, std::uint32_t((local.tm_mon + 1) * 100 + local.tm_mday));
    registers_.Set(kClockHourMinute, std::uint32_t(local.tm_hour * 100 + local.tm_min));
    RestartClock();
    clockBase_ += local.tm_sec;
}

void SlaveLogic::LoadFactorySettings()
{
    // Device line: 1 s reply time-out, 8n2, 9600 baud.
    const std::uint32_t line[] = {10, 1, 2};
    // Rows I..IV: digits, format, displayed register index, alarm switch.
    const std::uint32_t rows[] = {5, 1, 0, 0, 5, 2, 1, 0, 4, 0, 2, 0, 0, 0, 3, 0};
    // Day and night levels, day from 6:00, night from 20:00.
    const std::uint32_t brightness[] = {80, 20, 600, 2000};
    for (unsigned k = 0; k < 3; ++k)
        registers_.Set(Blocks::DeviceLine.first + k, line[k]);
    for (unsigned k = 0; k < 16; ++k)
        registers_.Set(Blocks::Rows.first + k, rows[k]);
    for (unsigned k = 0; k < 4; ++k)
        registers_.Set(Blocks::Brightness.first + k, brightness[k]);
    auto setFloat = [this](unsigned reg, float value) { registers_.SetFloat(reg, value); };
    // Measured values, alarm limits, and both inputs uncorrected (y = 1x + 0).
    setFloat(7500, 21.5f);
    setFloat(7501, 1013.25f);
    setFloat(7502, 47.0f);
    for (unsigned row = 0; row < 4; ++row) {
        setFloat(7610 + 2 * row, 0.0f);
        setFloat(7611 + 2 * row, 100.0f);
    }
    setFloat(7643, 1.0f);
    setFloat(7647, 1.0f);
}

void SlaveLogic::RestartClock()
{
    unsigned year = registers_.Get(kClockYear);
    unsigned month = registers_.Get(kClockMonthDay) / 100, day = registers_.Get(kClockMonthDay) % 100;
    unsigned hour = registers_.Get(kClockHourMinute) / 100, minute = registers_.Get(kClockHourMinute) % 100;
    clockValid_ = ValidDate(year, month, day) && hour < 24 && minute < 60;
    clockBase_ = clockValid_ ? DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 : 0;
    clockAnchor_ = std::chrono::steady_clock::now();
}

void SlaveLogic::ClockToRegisters(unsigned reg) const
{
    if (!clockValid_ || reg < kClockYear || reg > kClockHourMinute)
        return;
    auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::steady_clock::now() - clockAnchor_).count();
    std::time_t t = static_cast<std::time_t>(clockBase_ + elapsed);
    std::tm utc {};
    gmtime_r(&t, &utc);
    registers_.Set(kClockYear, std::uint32_t(utc.tm_year + 1900));
    registers_.Set(kClockMonthDay, std::uint32_t((utc.tm_mon + 1) * 100 + utc.tm_mday));
    registers_.Set(kClockHourMinute, std::uint32_t(utc.tm_hour * 100 + utc.tm_min));
}

std::uint32_t SlaveLogic::Register(unsigned reg) const
{
    ClockToRegisters(reg);
    return registers_.Get(reg);
}

void SlaveLogic::SetRegister(unsigned reg, std::uint32_t value)
{
    const bool clock = reg >= kClockYear && reg <= kClockHourMinute;
    if (clock)
        ClockToRegisters(reg);
    registers_.Set(reg, value);
    if (clock)
        RestartClock();
    if (reg >= Blocks::DisplayLine.first && reg < Blocks::DisplayLine.first + Blocks::DisplayLine.quantity)
        lineChanged_ = registers_.Get(4000) != address_ || registers_.Get(4001) != mode_
                       || registers_.Get(4002) != rateCode_;
}

void SlaveLogic::ApplyLineRegisters()
{
    // Only a line the display can run at is taken up.
    if (registers_.Get(4000) >= 1 && registers_.Get(4000) <= 247)
        address_ = std::uint8_t(registers_.Get(4000));
    if (registers_.Get(4001) < kModeCount)
        mode_ = std::uint8_t(registers_.Get(4001));
    if (registers_.Get(4002) < kDisplayRateCount)
        rateCode_ = std::uint8_t(registers_.Get(4002));
    lineChanged_ = false;
}

bool SlaveLogic::Mapped(unsigned start, unsigned quantity, bool* wide) const
{
    // Every register of the request in one of the image's blocks.
    unsigned last = start + quantity - 1;
    *wide = start >= RegisterImage::kFirst32;
    auto within = [&](unsigned first, unsigned count) { return start >= first && last < first + count; };
    return within(RegisterImage::kFirst16, RegisterImage::kCount16)
           || within(RegisterImage::kFirstTable, RegisterImage::kCountTable)
           || within(RegisterImage::kFirst32, RegisterImage::kCount32);
}

bool SlaveLogic::Runnable(const std::uint8_t* frame, unsigned start, unsigned quantity)
{
    // The display's own line: it cannot run at address 0 or above 247, at a
    // mode above 8o1 or at a rate code above 115200.
    const std::uint32_t highest[] = {247, kModeCount - 1, kDisplayRateCount - 1};
    for (unsigned k = 0; k < quantity; ++k) {
        const unsigned reg = start + k;
        if (reg < Blocks::DisplayLine.first || reg >= Blocks::DisplayLine.first + Blocks::DisplayLine.quantity)
            continue;
        const std::uint32_t value = Word(frame, 7 + 2 * k);
        if (value > highest[reg - Blocks::DisplayLine.first] || (reg == kDisplayAddressRegister && value == 0))
            return false;
    }
    return true;
}

Reply SlaveLogic::Exception(std::uint8_t function, std::uint8_t code) const
{
    return {true, Frame({address_, std::uint8_t(function | 0x80), code})};
}

std::size_t SlaveLogic::RequestLength(const std::uint8_t* bytes, std::size_t n)
{
    if (n < 2)
        return 0;
    if (bytes[1] == 3)
        return 8;
    if (bytes[1] == 16)
        return n >= 7 ? 9u + bytes[6] : 0;
    return 0;  // an unknown function: the gap after it ends it
}

Reply SlaveLogic::Handle(const std::uint8_t* frame, std::size_t size)
{
    if (size < 4)
        return {};
    if (!CrcHolds(frame, size))
        return {};
    const std::uint8_t address = frame[0], function = frame[1];
    const bool broadcast = address == 0;
    if (address != address_ && !broadcast)
        return {};
    Reply reply;
    if (function == 3 && size == 8) {
        unsigned start = Word(frame, 2), quantity = Word(frame, 4);
        bool wide = false;
        if (quantity == 0 || quantity > (start >= RegisterImage::kFirst32 ? 62u : 125u))
            reply = Exception(function, 3);
        else if (!Mapped(start, quantity, &wide))
            reply = Exception(function, 2);
        else {
            // 16-bit registers two bytes each, the 32-bit area four, high byte first
            std::vector<std::uint8_t> body {address_, 3, std::uint8_t(quantity * (wide ? 4 : 2))};
            for (unsigned k = 0; k < quantity; ++k) {
                std::uint32_t value = Register(start + k);
                for (int b = wide ? 3 : 1; b >= 0; --b)
                    body.push_back(std::uint8_t(value >> (8 * b)));
            }
            reply = {true, Frame(body)};
        }
    } else if (function == 16 && size >= 9) {
        unsigned start = Word(frame, 2), quantity = Word(frame, 4), byteCount = frame[6];
        bool wide = false;
        bool mapped = quantity > 0 && Mapped(start, quantity, &wide);
        // The quantity and the byte count must agree (exception 3, illegal
        // data value) before the registers are looked at (2, illegal address).
        if (quantity == 0 || quantity > (start >= RegisterImage::kFirst32 ? 61u : 123u)
            || byteCount != quantity * (start >= RegisterImage::kFirst32 ? 4u : 2u) || size != 9 + byteCount)
            reply = Exception(function, 3);
        else if (!mapped)
            reply = Exception(function, 2);
        else if (!Runnable(frame, start, quantity))
            reply = Exception(function, 3);
        else {
            for (unsigned k = 0; k < quantity; ++k) {
                std::uint32_t value = 0;
                for (unsigned b = 0; b < (wide ? 4u : 2u); ++b)
                    value = value << 8 | frame[7 + k * (wide ? 4 : 2) + b];
                SetRegister(start + k, value);
            }
            reply = {true, Frame({address_, 16, frame[2], frame[3], frame[4], frame[5]})};
        }
    } else {
        reply = Exception(function, 1);
    }
    if (broadcast)
        reply.send = false;  // a broadcast is carried out, never answered
    return reply;
}

}  // namespace sim
