// Times and dates as the display keeps them in 16-bit registers: a time of
// day as hours × 100 + minutes (14:05 is 1405), a date as the year and
// month × 100 + day (24 December is 1224). Seconds are not kept.
#pragma once

#include <QDate>
#include <QTime>

#include <cstdint>

std::uint32_t TimeRegister(const QTime& time);
std::uint32_t MonthDayRegister(const QDate& date);

// The time or date a register holds; a value that gives none fails with the
// conversion error, which names it ("'13:99:00' is not a valid time").
QTime RegisterTime(std::uint32_t hoursMinutes);
QDate RegisterDate(std::uint32_t year, std::uint32_t monthDay);
