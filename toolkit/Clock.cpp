#include "Clock.h"

#include <QThread>

namespace {

SystemClock realClock;
SystemClock* current = &realClock;

}  // namespace

QDateTime SystemClock::Now() const
{
    return QDateTime::currentDateTime();
}

void SystemClock::Sleep(int milliseconds)
{
    QThread::msleep(static_cast<unsigned long>(milliseconds));
}

SystemClock& Clock()
{
    return *current;
}

void SetClock(SystemClock* clock)
{
    current = clock ? clock : &realClock;
}
