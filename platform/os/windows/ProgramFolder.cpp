#include "platform/os/ProgramFolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <vector>

#include <windows.h>

QString ExecutableFolder()
{
    // The file the loader started us from; works without a QCoreApplication
    // too (console tools, tests).
    std::vector<wchar_t> path(32768);
    const DWORD size = GetModuleFileNameW(nullptr, path.data(), DWORD(path.size()));
    if (size > 0 && size < path.size()) {
        const QString exe = QString::fromWCharArray(path.data(), qsizetype(size));
        return QFileInfo(QDir::fromNativeSeparators(exe)).absolutePath();
    }
    if (QCoreApplication::instance())
        return QCoreApplication::applicationDirPath();
    return QDir::currentPath();
}
