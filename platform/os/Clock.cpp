#include "Clock.h"

#include <QThread>

namespace {

class TSystemClock : public IClock
{
public:
    QDate CurrentDate() override { return QDate::currentDate(); }
    QTime CurrentTime() override { return QTime::currentTime(); }
    void Sleep(int milliseconds) override { QThread::msleep(milliseconds > 0 ? milliseconds : 0); }
};

TSystemClock g_systemClock;
IClock* g_clock = &g_systemClock;

} // namespace

IClock& Clock() { return *g_clock; }
void SetClock(IClock* clock) { g_clock = clock ? clock : &g_systemClock; }
