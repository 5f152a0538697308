#include "SingleInstance.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// The name goes into a file name: anything but plain characters becomes '_',
// so "a/../b" cannot point the lock elsewhere.
QString FileSafe(const QString& name)
{
    QString out;
    for (const QChar c : name)
        out += (c.isLetterOrNumber() || c == u'-' || c == u'_' || c == u'.') && c.unicode() < 128 ? c : QChar(u'_');
    if (out.isEmpty() || out.startsWith(u'.'))
        out.prepend(u'_');
    return out;
}

} // namespace

#ifdef _WIN32

QString TSingleInstance::LockFilePath(const QString&) { return {}; }

TSingleInstance::TSingleInstance(const QString& name)
{
    m_mutex = CreateMutexW(nullptr, TRUE, reinterpret_cast<LPCWSTR>(name.utf16()));
    m_acquired = m_mutex && GetLastError() != ERROR_ALREADY_EXISTS;
}

TSingleInstance::~TSingleInstance()
{
    if (m_mutex) {
        if (m_acquired)
            ReleaseMutex(m_mutex);
        CloseHandle(m_mutex);
    }
}

#else

namespace {

QString RuntimeFolder() { return qEnvironmentVariable("XDG_RUNTIME_DIR"); }

QString FallbackFolder(const QString& name) { return QStringLiteral("/tmp/%1-%2").arg(FileSafe(name)).arg(getuid()); }

// The /tmp fallback is shared by all users: create it private, and refuse one
// that someone else owns (or a link planted in its place) rather than lock in it.
bool PrepareFallback(const QByteArray& folder)
{
    if (mkdir(folder.constData(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat st {};
    return lstat(folder.constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid();
}

} // namespace

QString TSingleInstance::LockFilePath(const QString& name)
{
    QString folder = RuntimeFolder();
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        folder = FallbackFolder(name);
    return QDir(folder).filePath(FileSafe(name) + QStringLiteral(".lock"));
}

TSingleInstance::TSingleInstance(const QString& name)
{
    const QString path = LockFilePath(name);
    const QString folder = QFileInfo(path).absolutePath();
    if (folder == FallbackFolder(name) && !PrepareFallback(QFile::encodeName(folder)))
        return;
    // Close-on-exec: flock belongs to the open file description, so a child
    // (the updater) inheriting it would keep the lock after this process ends.
    m_fd = open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (m_fd < 0)
        return;
    m_acquired = flock(m_fd, LOCK_EX | LOCK_NB) == 0;
    if (!m_acquired) {
        close(m_fd);
        m_fd = -1;
    }
}

TSingleInstance::~TSingleInstance()
{
    if (m_fd >= 0) {
        flock(m_fd, LOCK_UN);
        close(m_fd);
    }
}

#endif

bool TSingleInstance::Acquired() const { return m_acquired; }
