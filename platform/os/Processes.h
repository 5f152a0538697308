#pragma once

#include <QList>
#include <QString>
#include <QStringList>

class QProcess;

// The processes of the system as the self-update needs them: listing them by
// executable name, ending them, and starting a program. On Windows these are
// the process snapshot and TerminateProcess, here /proc and signals
// (linux/, windows/Processes.cpp); programs start through QProcess on both.

struct TProcessEntry
{
    qint64 Pid = 0;
    // The executable as the system names it: the full path of its file where
    // it can be read, else the command's own name.
    QString ExeName;
};

// The file-name part of the executable name, in upper case, equals `name` in
// upper case; failing that, the whole executable name does.
bool ProcessNameMatches(const QString& exeName, const QString& name);

class IProcesses
{
public:
    virtual ~IProcesses() = default;
    // Every process of the system in ascending process id.
    virtual QList<TProcessEntry> Snapshot() = 0;
    // Ends the process at once. The running process itself ends with exit
    // code 0 and never returns. False when it cannot be ended (gone, not ours).
    virtual bool Terminate(qint64 pid) = 0;
    // Starts `file` with `parameters`, detached unless `wait` (then until it
    // ends). False with `error` set when it cannot be started. `maximised` is
    // the window state a desktop shell would give it; nothing here uses it.
    virtual bool Start(const QString& file, const QStringList& parameters, bool wait, bool maximised,
                       QString& error) = 0;
};

class TSystemProcesses : public IProcesses
{
public:
    QList<TProcessEntry> Snapshot() override;
    bool Terminate(qint64 pid) override;
    bool Start(const QString& file, const QStringList& parameters, bool wait, bool maximised,
               QString& error) override;
};

// Runs `file` with `parameters` in `process`, its output going where this
// program's goes, until it ends. False with `error` set when it cannot start.
bool RunToEnd(QProcess& process, const QString& file, const QStringList& parameters, QString& error);

// The service in use (the system's unless a test installed another).
IProcesses& Processes();
// Installs `processes` (borrowed); nullptr restores the system's.
void SetProcesses(IProcesses* processes);

// Full path of the running executable, as Snapshot names it (also when the
// file was replaced or removed while it runs).
QString OwnExecutablePath();
// A path that opens the running executable's own file even after it was
// replaced or removed.
QString OwnExecutableImage();
qint64 OwnProcessId();
