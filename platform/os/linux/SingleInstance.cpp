#include "platform/os/SingleInstance.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// An flock held on an open lock file.
struct TSingleInstance::TLock
{
    explicit TLock(int fd) : Fd(fd) {}
    ~TLock()
    {
        flock(Fd, LOCK_UN);
        close(Fd);
    }
    const int Fd;
};

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
    const int fd = open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return;
    }
    m_lock = std::make_unique<TLock>(fd);
    m_acquired = true;
}

TSingleInstance::~TSingleInstance() = default;
