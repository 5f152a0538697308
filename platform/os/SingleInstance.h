#pragma once

#include <QString>

// Keeps a second instance of the program from running. On Windows a named
// mutex; on Linux an exclusive flock on "<runtime folder>/<name>.lock", where the
// runtime folder is XDG_RUNTIME_DIR, else /tmp/<name>-<uid>. The kernel drops the
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
    bool Acquired() const;

    // The lock file used for `name` (Linux), for diagnostics and tests.
    static QString LockFilePath(const QString& name);

private:
#ifdef _WIN32
    void* m_mutex = nullptr;
#else
    int m_fd = -1;
#endif
    bool m_acquired = false;
};
