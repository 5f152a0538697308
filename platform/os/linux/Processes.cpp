#include "platform/os/Processes.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

// The target of an exe link. A file replaced or removed while it runs, as an
// installer does, reads with " (deleted)" appended; its name is the one before.
QString ExeLinkTarget(const QString& link)
{
    QString exe = QFile::symLinkTarget(link);
    const QString deleted = QStringLiteral(" (deleted)");
    if (exe.endsWith(deleted))
        exe.chop(deleted.size());
    return exe;
}

// The executable of /proc/<pid>: the target of its exe link (readable for our
// own processes, or all of them as root), else argv[0], else the short name the
// kernel keeps (kernel threads have nothing else).
QString ExeNameOf(const QString& procDir)
{
    const QString exe = ExeLinkTarget(procDir + QStringLiteral("/exe"));
    if (!exe.isEmpty())
        return exe;
    QFile cmdline(procDir + QStringLiteral("/cmdline"));
    if (cmdline.open(QIODevice::ReadOnly)) {
        const QByteArray argv0 = cmdline.read(4096).split('\0').value(0);
        if (!argv0.isEmpty())
            return QString::fromLocal8Bit(argv0);
    }
    QFile comm(procDir + QStringLiteral("/comm"));
    if (comm.open(QIODevice::ReadOnly))
        return QString::fromLocal8Bit(comm.readAll().trimmed());
    return QString();
}

} // namespace

QList<TProcessEntry> TSystemProcesses::Snapshot()
{
    QList<TProcessEntry> list;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool ok = false;
        const qint64 pid = entry.toLongLong(&ok);
        if (!ok || pid <= 0)
            continue;
        // A process that ends while it is read is simply absent.
        const QString exe = ExeNameOf(QStringLiteral("/proc/") + entry);
        if (!exe.isEmpty())
            list.append({pid, exe});
    }
    std::sort(list.begin(), list.end(), [](const auto& a, const auto& b) { return a.Pid < b.Pid; });
    return list;
}

bool TSystemProcesses::Terminate(qint64 pid)
{
    if (pid == OwnProcessId()) {
        // As TerminateProcess(self, 0): no destructors, no orderly shutdown.
        std::fflush(nullptr);
        ::_exit(0);
    }
    if (pid <= 0)
        return false;
    return ::kill(pid_t(pid), SIGKILL) == 0;
}

QString OwnExecutablePath()
{
    // The name the process list shows, so that the client finds itself there.
    const QString exe = ExeLinkTarget(QStringLiteral("/proc/self/exe"));
    if (!exe.isEmpty())
        return exe;
    return QCoreApplication::instance() ? QCoreApplication::applicationFilePath() : QString();
}

QString OwnExecutableImage()
{
    return QStringLiteral("/proc/self/exe");
}
