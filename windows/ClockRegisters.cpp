#include "ClockRegisters.h"

#include "Convert.h"

std::uint32_t TimeRegister(const QTime& time)
{
    return std::uint32_t(time.hour() * 100 + time.minute());
}

std::uint32_t MonthDayRegister(const QDate& date)
{
    return std::uint32_t(date.month() * 100 + date.day());
}

QTime RegisterTime(std::uint32_t hoursMinutes)
{
    return EncodeTime(int(hoursMinutes / 100), int(hoursMinutes % 100), 0);
}

QDate RegisterDate(std::uint32_t year, std::uint32_t monthDay)
{
    return EncodeDate(int(year), int(monthDay / 100), int(monthDay % 100));
}
