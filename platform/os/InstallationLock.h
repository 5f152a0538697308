#pragma once

#include <QString>

#include <memory>

// Keeps two programs from running the same installation at once: the desktop
// program and kelt-cycle both take it for their program folder. It is keyed by
// the folder's canonical path (links resolved), so two spellings of one folder
// share it, and it lives in a folder every user of the machine shares
// (/run/lock, else /tmp): a service has no session runtime folder and may run
// as another user than the desktop. On Linux an exclusive flock, which the
// kernel drops with the process; on Windows a global named mutex.
class TInstallationLock
{
public:
    explicit TInstallationLock(const QString& folder);
    ~TInstallationLock();
    TInstallationLock(const TInstallationLock&) = delete;
    TInstallationLock& operator=(const TInstallationLock&) = delete;

    // True when this object holds the lock.
    bool Acquired() const { return m_acquired; }
    // Tries once more while not held; true once held.
    bool TryAcquire();
    // Why the lock is not held: empty while held or busy (another process holds
    // it); the system's error when the lock could not be created at all.
    const QString& Error() const { return m_error; }

    // The folder as the lock names it: canonical, without a trailing separator.
    const QString& Folder() const { return m_folder; }
    // The lock file for `folder`, for diagnostics and tests; empty where the
    // lock is no file (Windows).
    static QString LockFilePath(const QString& folder);

private:
    static QString CanonicalFolder(const QString& folder);
    // The lock's name for a canonical folder, the same for every user.
    static QString LockName(const QString& canonical);

    struct TLock; // the system's lock object (linux/, windows/InstallationLock.cpp)
    QString m_folder;
    QString m_error;
    std::unique_ptr<TLock> m_lock;
    bool m_acquired = false;
};
