#include "ShellServices.h"

#include "ErrorBox.h"
#include "platform/os/StopSignals.h"
#include "platform/os/Workgroup.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFile>
#include <QGuiApplication>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QSystemTrayIcon>

#include <cstdio>

#ifdef Q_OS_LINUX
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

extern char** environ;
#endif

namespace {

// A message box that tells the title-bar close box apart from Esc: both end
// on the escape button, but only Esc clicks it.
class TConfirmBox : public QMessageBox
{
public:
    using QMessageBox::QMessageBox;
    bool ClosedByBox() const { return m_closedByBox; }

protected:
    void closeEvent(QCloseEvent* event) override
    {
        if (!clickedButton())
            m_closedByBox = true;
        QMessageBox::closeEvent(event);
    }

private:
    bool m_closedByBox = false;
};

// On the offscreen platform nobody can see, let alone answer, a modal box: it
// would stop the program for good. Its caption and text go to standard error.
bool NobodyCanAnswer(const QString& caption, const QString& text)
{
    const QString platform = QGuiApplication::platformName();
    if (platform != QLatin1String("offscreen") && platform != QLatin1String("minimal"))
        return false;
    std::fprintf(stderr, "%s: %s\n", qPrintable(caption), qPrintable(text));
    std::fflush(stderr);
    return true;
}

} // namespace

IShellDialogs::TAnswer TMessageBoxDialogs::ConfirmReplication(const QString& text)
{
    if (NobodyCanAnswer(QStringLiteral("Warning"), text))
        return TAnswer::No; // nobody confirmed the contract code
    TConfirmBox box(QMessageBox::Warning, QStringLiteral("Warning"), text);
    QPushButton* yes = box.addButton(QStringLiteral("&Sim"), QMessageBox::YesRole);
    QPushButton* no = box.addButton(QStringLiteral("&Não"), QMessageBox::NoRole);
    box.setDefaultButton(yes);
    box.setEscapeButton(no);
    box.exec();
    if (box.ClosedByBox())
        return TAnswer::Closed;
    return box.clickedButton() == no ? TAnswer::No : TAnswer::Yes;
}

void TMessageBoxDialogs::ShowReplicationError(const QString& text)
{
    if (NobodyCanAnswer(QStringLiteral("Error"), text))
        return;
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Error"), text);
    box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    box.exec();
}

void ShowErrorMessageBox(const QString& text)
{
    if (NobodyCanAnswer(ApplicationTitle(), text))
        return;
    QMessageBox box(QMessageBox::Critical, ApplicationTitle(), text);
    box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    box.exec();
}

void ShowPlainMessageBox(const QString& text)
{
    if (NobodyCanAnswer(ApplicationTitle(), text))
        return;
    QMessageBox box(QMessageBox::NoIcon, ApplicationTitle(), text);
    box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    box.exec();
}

bool StartCommandLine(const QString& commandLine, quint16 showMode, bool wait)
{
    // A console window and its show mode have no counterpart here; the process
    // inherits nothing but the environment and the current folder.
    const QStringList words = QProcess::splitCommand(commandLine);
    if (words.isEmpty())
        return false;
    if (!wait) // a QProcess would end the child with itself
        return QProcess::startDetached(words.first(), words.mid(1));
    QProcess process;
    // The program blocks the stop signals; the command must not inherit that.
    process.setChildProcessModifier([] { StopSignals::UnblockInChild(); });
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.setInputChannelMode(QProcess::ForwardedInputChannel);
    process.start(words.first(), words.mid(1));
    if (!process.waitForStarted(-1))
        return false;
    process.waitForFinished(-1);
    return true;
}

QString DatabaseServiceCommand()
{
#ifdef Q_OS_WIN
    return QStringLiteral("net start \"Firebird Guardian - DefaultInstance\"");
#else
    return qEnvironmentVariable("KELT_DB_SERVICE_COMMAND");
#endif
}

TShellServices TShellServices::Completed() const
{
    TShellServices s = *this;
    if (!s.Dialogs)
        s.Dialogs = std::make_shared<TMessageBoxDialogs>();
    if (!s.Workgroup)
        s.Workgroup = [] { return WorkgroupName(); };
    if (!s.StartProcess)
        s.StartProcess = StartCommandLine;
    if (!s.Quit)
        // Not quit(): that first closes the windows, the main window refuses
        // (it only hides) and the quit is dropped.
        s.Quit = [] { QCoreApplication::exit(0); };
    if (!s.TrayAvailable)
        s.TrayAvailable = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
    return s;
}

bool TShellProcesses::Start(const QString& file, const QStringList& parameters, bool wait, bool maximised,
                            QString& error)
{
#ifdef Q_OS_LINUX
    Q_UNUSED(maximised);
    if (wait) {
        QProcess process;
        process.setChildProcessModifier([] { StopSignals::UnblockInChild(); });
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.start(file, parameters);
        if (!process.waitForStarted(-1)) {
            error = process.errorString();
            return false;
        }
        process.waitForFinished(-1);
        return true;
    }
    // QProcess::startDetached runs no child modifier: spawned here, in a
    // session of its own, input from /dev/null, default signal mask.
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
    sigset_t none, stop;
    sigemptyset(&none);
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
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
#else
    return TSystemProcesses::Start(file, parameters, wait, maximised, error);
#endif
}
