#pragma once

#include <QString>

#include <memory>

// Keeps a second instance of the program from running. On Windows a named
// mutex; on Linux an exclusive flock on "<runtime folder>/<name>.lock", where the
// runtime folder is XDG_RUNTIME_DIR, else /tmp/<name>-<uid>. The system drops the
// lock with the process, so a crashed instance never blocks the next start.
class TSingleInstance
{
public:
    explicit TSingleInstance(const QString& name);
    ~TSingleInstance();
    TSingleInstance(const TSingleInstance&) = delete;
    TSingleInstance& operator=(const TSingleInstance&) = delete;

    // True when this object holds the lock. False when another instance holds
    // it, and also when the lock could not be created at all: the program then
    // ends rather than risk two instances.
    bool Acquired() const { return m_acquired; }

    // The lock file used for `name`, for diagnostics and tests; empty where
    // the lock is no file (Windows).
    static QString LockFilePath(const QString& name);

private:
    struct TLock; // the system's lock object (linux/, windows/SingleInstance.cpp)
    std::unique_ptr<TLock> m_lock;
    bool m_acquired = false;
};
