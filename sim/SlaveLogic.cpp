#include "SlaveLogic.h"

#include "../link/Modbus.h"

#include <ctime>

namespace sim {
namespace {

constexpr unsigned kClockYear = 4022, kClockMonthDay = 4023, kClockHourMinute = 4024;

std::uint16_t Word(const std::vector<std::uint8_t>& frame, std::size_t at)
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
    block4000_[0] = address;
    block4000_[1] = mode;
    block4000_[2] = rateCode;
    LoadFactorySettings();
    // The display's clock starts at the PC's local time.
    std::time_t now = std::time(nullptr);
    std::tm local {};
    localtime_r(&now, &local);
    block4000_[kClockYear - 4000] = std::uint32_t(local.tm_year + 1900);
    block4000_[kClockMonthDay - 4000] = std::uint32_t((local.tm_mon + 1) * 100 + local.tm_mday);
    block4000_[kClockHourMinute - 4000] = std::uint32_t(local.tm_hour * 100 + local.tm_min);
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
        block4000_[3 + k] = line[k];
    for (unsigned k = 0; k < 16; ++k)
        block4000_[6 + k] = rows[k];
    for (unsigned k = 0; k < 4; ++k)
        block4000_[25 + k] = brightness[k];
    auto setFloat = [this](unsigned reg, float value) { block7500_[reg - 7500] = FloatToBits(value); };
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
    unsigned year = block4000_[kClockYear - 4000];
    unsigned month = block4000_[kClockMonthDay - 4000] / 100, day = block4000_[kClockMonthDay - 4000] % 100;
    unsigned hour = block4000_[kClockHourMinute - 4000] / 100, minute = block4000_[kClockHourMinute - 4000] % 100;
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
    block4000_[kClockYear - 4000] = std::uint32_t(utc.tm_year + 1900);
    block4000_[kClockMonthDay - 4000] = std::uint32_t((utc.tm_mon + 1) * 100 + utc.tm_mday);
    block4000_[kClockHourMinute - 4000] = std::uint32_t(utc.tm_hour * 100 + utc.tm_min);
}

std::uint32_t SlaveLogic::Register(unsigned reg) const
{
    if (reg >= 4000 && reg < 4040) {
        ClockToRegisters(reg);
        return block4000_[reg - 4000];
    }
    if (reg >= 4300 && reg < 4350)
        return block4300_[reg - 4300];
    if (reg >= 7500 && reg < 7700)
        return block7500_[reg - 7500];
    return 0;
}

void SlaveLogic::SetRegister(unsigned reg, std::uint32_t value)
{
    if (reg >= 4000 && reg < 4040) {
        if (reg >= kClockYear && reg <= kClockHourMinute)
            for (unsigned r = kClockYear; r <= kClockHourMinute; ++r)
                ClockToRegisters(r);
        block4000_[reg - 4000] = value & 0xFFFF;
        if (reg >= kClockYear && reg <= kClockHourMinute)
            RestartClock();
        if (reg <= 4002)
            lineChanged_ = block4000_[0] != address_ || block4000_[1] != mode_ || block4000_[2] != rateCode_;
    } else if (reg >= 4300 && reg < 4350) {
        block4300_[reg - 4300] = value & 0xFFFF;
    } else if (reg >= 7500 && reg < 7700) {
        block7500_[reg - 7500] = value;
    }
}

void SlaveLogic::ApplyLineRegisters()
{
    // Only a line the display can run at is taken up.
    if (block4000_[0] >= 1 && block4000_[0] <= 247)
        address_ = std::uint8_t(block4000_[0]);
    if (block4000_[1] <= 3)
        mode_ = std::uint8_t(block4000_[1]);
    if (block4000_[2] <= 9)
        rateCode_ = std::uint8_t(block4000_[2]);
    lineChanged_ = false;
}

bool SlaveLogic::Mapped(unsigned start, unsigned quantity, bool* wide) const
{
    unsigned last = start + quantity - 1;
    *wide = start >= 7500;
    return (start >= 4000 && last < 4040) || (start >= 4300 && last < 4350)
           || (start >= 7500 && last < 7700);
}

Reply SlaveLogic::Exception(std::uint8_t function, std::uint8_t code) const
{
    return {true, Frame({address_, std::uint8_t(function | 0x80), code})};
}

Reply SlaveLogic::Handle(const std::vector<std::uint8_t>& frame)
{
    if (frame.size() < 4)
        return {};
    if (Crc16(frame.data(), int(frame.size()) - 3) != (frame[frame.size() - 2] << 8 | frame.back()))
        return {};
    const std::uint8_t address = frame[0], function = frame[1];
    const bool broadcast = address == 0;
    if (address != address_ && !broadcast)
        return {};
    Reply reply;
    if (function == 3 && frame.size() == 8) {
        unsigned start = Word(frame, 2), quantity = Word(frame, 4);
        bool wide = false;
        if (quantity == 0 || quantity > (start >= 7500 ? 62u : 125u))
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
    } else if (function == 16 && frame.size() >= 9) {
        unsigned start = Word(frame, 2), quantity = Word(frame, 4), byteCount = frame[6];
        bool wide = false;
        bool mapped = quantity > 0 && Mapped(start, quantity, &wide);
        if (quantity == 0 || quantity > (start >= 7500 ? 61u : 123u))
            reply = Exception(function, 3);
        else if (!mapped || byteCount != quantity * (wide ? 4 : 2) || frame.size() != 9 + byteCount)
            reply = Exception(function, 2);
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
