#include "InstallationLock.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

QString CanonicalFolder(const QString& folder)
{
    const QFileInfo info(folder);
    QString path = info.canonicalFilePath();
    if (path.isEmpty()) // a folder that does not exist still gets a stable key
        path = QDir::cleanPath(info.absoluteFilePath());
#ifdef _WIN32
    path = path.toLower(); // one folder, whatever the case it is spelt in
#endif
    return path;
}

QString LockName(const QString& canonical)
{
    const QByteArray hash = QCryptographicHash::hash(QFile::encodeName(canonical), QCryptographicHash::Sha256);
    return QStringLiteral("kelt-installation-") + QString::fromLatin1(hash.toHex().left(24));
}

} // namespace

TInstallationLock::TInstallationLock(const QString& folder)
    : m_folder(CanonicalFolder(folder))
{
    TryAcquire();
}

#ifdef _WIN32

QString TInstallationLock::LockFilePath(const QString&) { return {}; }

bool TInstallationLock::TryAcquire()
{
    if (m_acquired)
        return true;
    const QString name = QStringLiteral("Global\\") + LockName(m_folder);
    HANDLE mutex = CreateMutexW(nullptr, FALSE, reinterpret_cast<LPCWSTR>(name.utf16()));
    if (!mutex) {
        m_error = QStringLiteral("cannot create the lock %1 (error %2)").arg(name).arg(GetLastError());
        return false;
    }
    const DWORD wait = WaitForSingleObject(mutex, 0);
    m_acquired = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    if (m_acquired)
        m_mutex = mutex;
    else
        CloseHandle(mutex);
    return m_acquired;
}

TInstallationLock::~TInstallationLock()
{
    if (m_mutex) {
        ReleaseMutex(m_mutex);
        CloseHandle(m_mutex);
    }
}

#else

namespace {

// Shared by all users, sticky: nobody removes another's lock file.
QString SharedLockFolder()
{
    const QFileInfo runLock(QStringLiteral("/run/lock"));
    if (runLock.isDir() && runLock.isWritable())
        return runLock.filePath();
    return QDir::tempPath();
}

} // namespace

QString TInstallationLock::LockFilePath(const QString& folder)
{
    return QDir(SharedLockFolder()).filePath(LockName(CanonicalFolder(folder)) + QStringLiteral(".lock"));
}

bool TInstallationLock::TryAcquire()
{
    if (m_acquired)
        return true;
    if (m_fd < 0) {
        const QByteArray path = QFile::encodeName(LockFilePath(m_folder));
        // Read-only is enough for flock, so a file another user created (0644)
        // serves everybody; no link is followed in the shared folder.
        // Close-on-exec: a child holding the descriptor would hold the lock.
        m_fd = open(path.constData(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (m_fd < 0) {
            m_error = QStringLiteral("cannot open the lock file %1: %2")
                          .arg(QFile::decodeName(path), QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
        struct stat st {};
        if (fstat(m_fd, &st) == 0 && st.st_uid == geteuid())
            fchmod(m_fd, 0644); // whatever the umask, other users must be able to open it
    }
    m_acquired = flock(m_fd, LOCK_EX | LOCK_NB) == 0;
    m_error = m_acquired || errno == EWOULDBLOCK
                  ? QString()
                  : QStringLiteral("cannot lock %1: %2")
                        .arg(LockFilePath(m_folder), QString::fromLocal8Bit(std::strerror(errno)));
    return m_acquired;
}

TInstallationLock::~TInstallationLock()
{
    if (m_fd >= 0) {
        if (m_acquired)
            flock(m_fd, LOCK_UN);
        close(m_fd);
    }
}

#endif
