#include "platform/os/SingleInstance.h"

#include <windows.h>

// A named mutex; owned only when this instance created it.
struct TSingleInstance::TLock
{
    TLock(HANDLE mutex, bool owned) : Mutex(mutex), Owned(owned) {}
    ~TLock()
    {
        if (Owned)
            ReleaseMutex(Mutex);
        CloseHandle(Mutex);
    }
    const HANDLE Mutex;
    const bool Owned;
};

QString TSingleInstance::LockFilePath(const QString&) { return {}; }

TSingleInstance::TSingleInstance(const QString& name)
{
    HANDLE mutex = CreateMutexW(nullptr, TRUE, reinterpret_cast<LPCWSTR>(name.utf16()));
    if (!mutex)
        return;
    m_acquired = GetLastError() != ERROR_ALREADY_EXISTS;
    m_lock = std::make_unique<TLock>(mutex, m_acquired);
}

TSingleInstance::~TSingleInstance() = default;
