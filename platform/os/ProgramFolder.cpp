#include "ProgramFolder.h"

#include <QDir>

namespace {

QString g_override;

QString WithSeparator(QString folder)
{
    folder = QDir::toNativeSeparators(folder);
    if (!folder.endsWith(QDir::separator()))
        folder += QDir::separator();
    return folder;
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
