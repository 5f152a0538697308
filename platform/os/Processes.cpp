#include "Processes.h"

#include <QCoreApplication>
#include <QProcess>

#include <algorithm>

namespace {

IProcesses* g_processes = nullptr;

} // namespace

bool ProcessNameMatches(const QString& exeName, const QString& name)
{
    const QString wanted = name.toUpper();
    const qsizetype slash = std::max(exeName.lastIndexOf(u'/'), exeName.lastIndexOf(u'\\'));
    if (exeName.mid(slash + 1).toUpper() == wanted)
        return true;
    return exeName.toUpper() == wanted;
}

bool TSystemProcesses::Start(const QString& file, const QStringList& parameters, bool wait, bool maximised,
                             QString& error)
{
    if (!wait) {
        QProcess process;
        process.setProgram(file);
        process.setArguments(parameters);
        process.setStandardInputFile(QProcess::nullDevice());
        if (process.startDetached())
            return true;
        error = process.errorString();
        return false;
    }
    QProcess process;
    return RunToEnd(process, file, parameters, error);
}

bool RunToEnd(QProcess& process, const QString& file, const QStringList& parameters, QString& error)
{
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(file, parameters);
    if (!process.waitForStarted(-1)) {
        error = process.errorString();
        return false;
    }
    process.waitForFinished(-1);
    return true;
}

IProcesses& Processes()
{
    static TSystemProcesses system;
    return g_processes ? *g_processes : system;
}

void SetProcesses(IProcesses* processes)
{
    g_processes = processes;
}

qint64 OwnProcessId()
{
    return QCoreApplication::applicationPid();
}
