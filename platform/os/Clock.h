#pragma once

#include <QDate>
#include <QDateTime>
#include <QTime>

// The clock and the sleeps of the program, behind one service so that tests
// can set the time and never really wait.
class IClock
{
public:
    virtual ~IClock() = default;
    virtual QDate CurrentDate() = 0;
    virtual QTime CurrentTime() = 0;
    virtual void Sleep(int milliseconds) = 0;
};

// The service in use (the system clock unless a test installed another).
IClock& Clock();
// Installs `clock` (borrowed); nullptr restores the system clock.
void SetClock(IClock* clock);
