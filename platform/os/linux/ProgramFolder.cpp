#include "platform/os/ProgramFolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

QString ExecutableFolder()
{
    // Works without a QCoreApplication too (console tools, tests).
    const QFileInfo exe(QStringLiteral("/proc/self/exe"));
    if (exe.exists())
        return QFileInfo(exe.symLinkTarget()).absolutePath();
    if (QCoreApplication::instance())
        return QCoreApplication::applicationDirPath();
    return QDir::currentPath();
}
