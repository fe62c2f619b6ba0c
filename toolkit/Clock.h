// The PC's clock and the blocking pauses, behind one interface tests can set.
#pragma once

#include <QDateTime>

class SystemClock {
public:
    virtual ~SystemClock() = default;
    virtual QDateTime Now() const;
    // Blocks the calling (GUI) thread.
    virtual void Sleep(int milliseconds);
};

// The clock in use; tests pass their own, nullptr puts the real one back.
SystemClock& Clock();
void SetClock(SystemClock* clock);

inline QDate Date() { return Clock().Now().date(); }
inline QTime Time() { return Clock().Now().time(); }
inline QDateTime Now() { return Clock().Now(); }
inline void Pause(int milliseconds) { Clock().Sleep(milliseconds); }
