#include "platform/os/StopSignals.h"

#include "platform/os/Processes.h"

#include <QFile>
#include <QProcess>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace StopSignals {

namespace {

sigset_t StopSet()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

// QProcess::startDetached runs no child modifier: spawned here, in a session
// of its own, input from /dev/null, default signal mask.
bool SpawnDetached(const QString& file, const QStringList& parameters, QString& error)
{
    std::vector<QByteArray> words{QFile::encodeName(file)};
    for (const QString& p : parameters)
        words.push_back(p.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    const sigset_t stop = StopSet();
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &stop);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        error = QStringLiteral("execve: %1").arg(QString::fromLocal8Bit(std::strerror(rc)));
        return false;
    }
    // Reaped in the background, so that it leaves no zombie while this program runs.
    std::thread([pid] {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
    return true;
}

} // namespace

void Block()
{
    const sigset_t set = StopSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool Watch(QObject* parent, std::function<void(int)> onStop)
{
    const sigset_t set = StopSet();
    const int fd = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    if (fd < 0)
        return false;
    auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, parent);
    QObject::connect(notifier, &QSocketNotifier::activated, parent, [fd, onStop = std::move(onStop)] {
        signalfd_siginfo info{};
        if (::read(fd, &info, sizeof info) != ssize_t(sizeof info))
            return;
        if (Request(int(info.ssi_signo)) && onStop)
            onStop(int(info.ssi_signo));
    });
    return true;
}

void UnblockInChild()
{
    const sigset_t set = StopSet();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

void UnblockInChildOf(QProcess& process)
{
    process.setChildProcessModifier([] { UnblockInChild(); });
}

bool StartProgram(const QString& file, const QStringList& parameters, bool wait, bool maximised, QString& error)
{
    Q_UNUSED(maximised);
    if (!wait)
        return SpawnDetached(file, parameters, error);
    QProcess process;
    UnblockInChildOf(process);
    return RunToEnd(process, file, parameters, error);
}

} // namespace StopSignals
