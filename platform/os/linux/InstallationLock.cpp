#include "platform/os/InstallationLock.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// The open lock file, kept while busy so that a retry only needs the flock.
struct TInstallationLock::TLock
{
    explicit TLock(int fd) : Fd(fd) {}
    ~TLock() { close(Fd); }
    const int Fd;
};

namespace {

// Shared by all users, sticky: nobody removes another's lock file.
QString SharedLockFolder()
{
    const QFileInfo runLock(QStringLiteral("/run/lock"));
    if (runLock.isDir() && runLock.isWritable())
        return runLock.filePath();
    return QDir::tempPath();
}

QString SystemError(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

} // namespace

TInstallationLock::TInstallationLock(const QString& folder)
    : m_folder(CanonicalFolder(folder))
{
    TryAcquire();
}

QString TInstallationLock::LockFilePath(const QString& folder)
{
    return QDir(SharedLockFolder()).filePath(LockName(CanonicalFolder(folder)) + QStringLiteral(".lock"));
}

bool TInstallationLock::TryAcquire()
{
    if (m_acquired)
        return true;
    if (!m_lock) {
        const QByteArray path = QFile::encodeName(LockFilePath(m_folder));
        // Read-only is enough for flock, so a file another user created (0644)
        // serves everybody; no link is followed in the shared folder.
        // Close-on-exec: a child holding the descriptor would hold the lock.
        const int fd = open(path.constData(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd < 0) {
            m_error = QStringLiteral("cannot open the lock file %1: %2").arg(QFile::decodeName(path), SystemError(errno));
            return false;
        }
        m_lock = std::make_unique<TLock>(fd);
        struct stat st {};
        if (fstat(fd, &st) == 0 && st.st_uid == geteuid())
            fchmod(fd, 0644); // whatever the umask, other users must be able to open it
    }
    m_acquired = flock(m_lock->Fd, LOCK_EX | LOCK_NB) == 0;
    const int error = errno;
    m_error = m_acquired || error == EWOULDBLOCK
                  ? QString()
                  : QStringLiteral("cannot lock %1: %2").arg(LockFilePath(m_folder), SystemError(error));
    return m_acquired;
}

TInstallationLock::~TInstallationLock()
{
    if (m_lock && m_acquired)
        flock(m_lock->Fd, LOCK_UN);
}
