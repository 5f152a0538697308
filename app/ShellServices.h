#pragma once

#include "platform/os/LocalSystem.h" // DatabaseServiceCommand
#include "platform/os/Processes.h"

#include <QString>

#include <functional>
#include <memory>

// The modal dialogs of the main window. The program shows real message boxes;
// tests put a recorder in their place, since a modal box would block them.
class IShellDialogs
{
public:
    enum class TAnswer { Yes, No, Closed };

    virtual ~IShellDialogs() = default;
    // Warning box "Warning" with "&Sim" (default) and "&Não"; Esc answers No,
    // the title-bar close box answers Closed.
    virtual TAnswer ConfirmReplication(const QString& text) = 0;
    // Error box "Error" with a single "OK".
    virtual void ShowReplicationError(const QString& text) = 0;
};

// Real QMessageBox dialogs.
class TMessageBoxDialogs : public IShellDialogs
{
public:
    TAnswer ConfirmReplication(const QString& text) override;
    void ShowReplicationError(const QString& text) override;
};

// The application's error box: error icon, one "OK", the application title as
// caption; `text` is already completed by ErrorBoxText.
void ShowErrorMessageBox(const QString& text);
// A plain message box with the application title as caption and one "OK".
void ShowPlainMessageBox(const QString& text);

// What the main window needs of its surroundings and tests must replace: the
// dialogs, the computer's workgroup, starting a process, ending the program and
// whether a notification area exists. Every empty member takes the real one.
struct TShellServices
{
    std::shared_ptr<IShellDialogs> Dialogs;
    std::function<QString()> Workgroup;
    // Starts the command line (program found from its first word); waits for its
    // end when `wait`. True when the process was started.
    std::function<bool(const QString& commandLine, quint16 showMode, bool wait)> StartProcess;
    std::function<void()> Quit;
    std::function<bool()> TrayAvailable;

    // This set with every empty member filled with the real service.
    TShellServices Completed() const;
};

// The real process start behind RunCommand: QProcess, the command line split
// as a shell would, the caller's environment and folder. The exit code is never read.
bool StartCommandLine(const QString& commandLine, quint16 showMode, bool wait);

// The system's processes as the program uses them: a program it starts (the
// updater) gets SIGTERM and SIGINT unblocked again, since the program blocks
// them for itself (platform/os/StopSignals.h) and a child would inherit that.
class TShellProcesses : public TSystemProcesses
{
public:
    bool Start(const QString& file, const QStringList& parameters, bool wait, bool maximised,
               QString& error) override;
};
