#include "platform/os/Autostart.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

namespace {

// The name lands in a file name and must stay one.
bool PlainFileName(const QString& name)
{
    return !name.isEmpty() && name != u"." && name != u".." && !name.contains(u'/') && !name.contains(QChar(0));
}

} // namespace

bool WriteAutostartEntry(const QString& name, const QString& executablePath)
{
    if (!PlainFileName(name))
        return false;
    const QString path = AutostartEntryPath(name);
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    // Written whole or not at all: a half-written entry would start nothing.
    QSaveFile file(path);
    const QByteArray bytes = DesktopEntryText(name, executablePath).toUtf8();
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit();
}
