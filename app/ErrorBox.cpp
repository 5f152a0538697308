#include "ErrorBox.h"

#include "replication/core/cl_Funcoes.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <cstdio>

QString ApplicationTitle(const QString& executablePath)
{
    const QString name = QFileInfo(executablePath).fileName();
    const QString base = name.left(name.indexOf(u'.')); // whole name when there is no dot
    if (base.isEmpty())
        return base;
    return base.left(1) + base.mid(1).toLower();
}

QString ApplicationTitle() { return ApplicationTitle(QCoreApplication::applicationFilePath()); }

QString ErrorBoxText(const QString& message)
{
    if (message.isEmpty() || message.back().unicode() <= u'.')
        return message;
    return message + u'.';
}

namespace {

std::function<void(const QString&)>& Hook()
{
    static std::function<void(const QString&)> hook;
    return hook;
}

} // namespace

void SetErrorBoxHook(std::function<void(const QString&)> hook) { Hook() = std::move(hook); }

void ShowErrorBox(const std::exception& e)
{
    const QString text = ErrorBoxText(ErrorText(e));
    if (Hook()) {
        Hook()(text);
        return;
    }
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
}

bool TKeltApplication::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        ShowErrorBox(e);
        return true;
    } catch (const StopSignals::TStopRequested&) {
        return true;
    }
}
