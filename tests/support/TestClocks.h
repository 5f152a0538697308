#pragma once

#include "platform/os/Clock.h"

#include <QDateTime>

// A clock that stands still until moved; Sleep advances it.
class TManualClock : public IClock
{
public:
    explicit TManualClock(QDateTime now) : m_now(std::move(now)) {}
    QDate CurrentDate() override { return m_now.date(); }
    QTime CurrentTime() override { return m_now.time(); }
    void Sleep(int milliseconds) override { m_now = m_now.addMSecs(milliseconds); m_slept += milliseconds; }
    void Set(QDateTime now) { m_now = std::move(now); }
    qint64 Slept() const { return m_slept; }

private:
    QDateTime m_now;
    qint64 m_slept = 0;
};

// A clock whose every reading of the time is one second later than the last
// (2024-03-05 from 08:00): each log entry gets a file of its own, and the files
// sort in the order they were written.
class TTickingClock : public IClock
{
public:
    QDate CurrentDate() override { return QDate(2024, 3, 5); }
    QTime CurrentTime() override { return QTime(8, 0).addSecs(m_ticks++); }
    void Sleep(int) override {}

private:
    int m_ticks = 0;
};
