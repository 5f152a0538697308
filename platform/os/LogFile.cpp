#include "LogFile.h"

#include <QFile>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#endif

QString ReplaceFileContent(const QString& path, const QByteArray& bytes)
{
    QFile file;
#ifdef Q_OS_UNIX
    const QByteArray name = QFile::encodeName(path);
    int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0 && errno == ELOOP) {
        // A link at the name: it goes, and only a new file may take its place.
        if (::unlink(name.constData()) == 0)
            fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    }
    if (fd < 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    if (!file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return file.errorString();
    }
#else
    file.setFileName(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return file.errorString();
#endif
    if (file.write(bytes) != bytes.size() || !file.flush())
        return file.errorString();
    return {};
}
