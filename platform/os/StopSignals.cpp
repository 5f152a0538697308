#include "StopSignals.h"

#include <QCoreApplication>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <thread>

namespace StopSignals {

namespace {

std::atomic<int> g_requested{0};

} // namespace

bool Request(int signal)
{
    int expected = 0;
    return g_requested.compare_exchange_strong(expected, signal);
}

int Requested() { return g_requested.load(); }

void EndWithin(int ms, int status)
{
    std::thread([ms, status] {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        std::fflush(nullptr);
        std::_Exit(status);
    }).detach();
}

void ProcessEventsOrStop()
{
    if (QCoreApplication::instance())
        QCoreApplication::processEvents();
    if (Requested() != 0 && std::uncaught_exceptions() == 0)
        throw TStopRequested();
}

} // namespace StopSignals
