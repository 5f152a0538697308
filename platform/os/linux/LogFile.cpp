#include "platform/os/LogFile.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

int OpenFlags(TNoFollowOpen how)
{
    switch (how) {
    case TNoFollowOpen::Read: return O_RDONLY;
    case TNoFollowOpen::Append: return O_WRONLY | O_CREAT | O_APPEND;
    case TNoFollowOpen::Replace: return O_WRONLY | O_CREAT | O_TRUNC;
    case TNoFollowOpen::Create: break;
    }
    return O_WRONLY | O_CREAT | O_EXCL;
}

QIODevice::OpenMode DeviceMode(TNoFollowOpen how)
{
    switch (how) {
    case TNoFollowOpen::Read: return QIODevice::ReadOnly;
    case TNoFollowOpen::Append: return QIODevice::WriteOnly | QIODevice::Append;
    case TNoFollowOpen::Replace:
    case TNoFollowOpen::Create: break;
    }
    return QIODevice::WriteOnly;
}

} // namespace

bool OpenNoFollow(QFile& file, const QString& path, TNoFollowOpen how, QString* error)
{
    const QByteArray name = QFile::encodeName(path);
    const int flags = OpenFlags(how) | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::open(name.constData(), flags, 0644);
    if (fd < 0 && errno == ELOOP && (how == TNoFollowOpen::Append || how == TNoFollowOpen::Replace)) {
        // A link at the name: it goes, and only a new file may take its place.
        if (::unlink(name.constData()) == 0)
            fd = ::open(name.constData(), flags | O_EXCL, 0644);
    }
    if (fd < 0) {
        if (error)
            *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    if (!file.open(fd, DeviceMode(how), QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        if (error)
            *error = file.errorString();
        return false;
    }
    return true;
}

bool RenameOver(const QString& from, const QString& to)
{
    // rename() replaces the name itself, a link there included, never its target.
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}
