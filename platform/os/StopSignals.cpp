#include "StopSignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <thread>

#ifdef Q_OS_LINUX
#include <csignal>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>
#endif

namespace StopSignals {

namespace {

std::atomic<int> g_requested{0};

#ifdef Q_OS_LINUX
sigset_t StopSet()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}
#endif

} // namespace

void Block()
{
#ifdef Q_OS_LINUX
    const sigset_t set = StopSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
#endif
}

bool Watch(QObject* parent, std::function<void(int)> onStop)
{
#ifdef Q_OS_LINUX
    const sigset_t set = StopSet();
    const int fd = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    if (fd < 0)
        return false;
    auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, parent);
    QObject::connect(notifier, &QSocketNotifier::activated, parent, [fd, onStop = std::move(onStop)] {
        signalfd_siginfo info{};
        if (::read(fd, &info, sizeof info) != ssize_t(sizeof info))
            return;
        int expected = 0;
        if (g_requested.compare_exchange_strong(expected, int(info.ssi_signo)) && onStop)
            onStop(int(info.ssi_signo));
    });
    return true;
#else
    Q_UNUSED(parent);
    Q_UNUSED(onStop);
    return false;
#endif
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

void UnblockInChild()
{
#ifdef Q_OS_LINUX
    const sigset_t set = StopSet();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
#endif
}

void ProcessEventsOrStop()
{
    if (QCoreApplication::instance())
        QCoreApplication::processEvents();
    if (Requested() != 0 && std::uncaught_exceptions() == 0)
        throw TStopRequested();
}

} // namespace StopSignals
