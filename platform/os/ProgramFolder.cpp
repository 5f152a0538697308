#include "ProgramFolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace {

QString g_override;

QString WithSeparator(QString folder)
{
    folder = QDir::toNativeSeparators(folder);
    if (!folder.endsWith(QDir::separator()))
        folder += QDir::separator();
    return folder;
}

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

} // namespace

QString ProgramFolder()
{
    if (!g_override.isEmpty())
        return WithSeparator(g_override);
    const QString env = qEnvironmentVariable("KELT_PROGRAM_FOLDER");
    if (!env.isEmpty())
        return WithSeparator(env);
    return WithSeparator(ExecutableFolder());
}

void SetProgramFolderOverride(const QString& folder) { g_override = folder; }
