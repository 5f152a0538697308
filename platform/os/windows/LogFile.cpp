#include "platform/os/LogFile.h"

#include <QFile>

// Opened by name, as the program always has here: the guard against a planted
// link is the Linux variant's (O_NOFOLLOW).
bool OpenNoFollow(QFile& file, const QString& path, TNoFollowOpen how, QString* error)
{
    file.setFileName(path);
    if (how == TNoFollowOpen::Create && file.exists()) {
        if (error)
            *error = QStringLiteral("%1 exists").arg(path);
        return false;
    }
    const QIODevice::OpenMode mode = how == TNoFollowOpen::Read      ? QIODevice::ReadOnly
                                     : how == TNoFollowOpen::Append  ? QIODevice::WriteOnly | QIODevice::Append
                                     : how == TNoFollowOpen::Replace ? QIODevice::WriteOnly | QIODevice::Truncate
                                                                     : QIODevice::WriteOnly;
    if (file.open(mode))
        return true;
    if (error)
        *error = file.errorString();
    return false;
}

bool RenameOver(const QString& from, const QString& to)
{
    QFile::remove(to);
    return QFile::rename(from, to);
}
