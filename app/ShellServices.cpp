#include "ShellServices.h"

#include "ErrorBox.h"
#include "platform/os/StopSignals.h"
#include "platform/os/Workgroup.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QSystemTrayIcon>

#include <cstdio>

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
    StopSignals::UnblockInChildOf(process);
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.setInputChannelMode(QProcess::ForwardedInputChannel);
    process.start(words.first(), words.mid(1));
    if (!process.waitForStarted(-1))
        return false;
    process.waitForFinished(-1);
    return true;
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
    return StopSignals::StartProgram(file, parameters, wait, maximised, error);
}
