#include "platform/os/InstallationLock.h"

#include <windows.h>

// The global named mutex, kept only while owned.
struct TInstallationLock::TLock
{
    explicit TLock(HANDLE mutex) : Mutex(mutex) {}
    ~TLock()
    {
        ReleaseMutex(Mutex);
        CloseHandle(Mutex);
    }
    const HANDLE Mutex;
};

TInstallationLock::TInstallationLock(const QString& folder)
    : m_folder(CanonicalFolder(folder))
{
    TryAcquire();
}

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
        m_lock = std::make_unique<TLock>(mutex);
    else
        CloseHandle(mutex);
    return m_acquired;
}

TInstallationLock::~TInstallationLock() = default;
