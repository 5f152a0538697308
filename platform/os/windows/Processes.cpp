#include "platform/os/Processes.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <windows.h>
#include <tlhelp32.h>

namespace {

// The longest path the wide-character calls return.
constexpr DWORD kMaxPath = 32768;

// The full path of the process's image file, or empty when it cannot be read.
QString ImagePathOf(HANDLE process)
{
    std::vector<wchar_t> buffer(kMaxPath);
    DWORD size = kMaxPath;
    if (!QueryFullProcessImageNameW(process, 0, buffer.data(), &size))
        return {};
    return QString::fromWCharArray(buffer.data(), qsizetype(size));
}

// The executable of a process: the full path of its file where we may open it
// (our own processes, or all of them as administrator), else the file name the
// snapshot keeps.
QString ExeNameOf(const PROCESSENTRY32W& entry)
{
    if (HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID)) {
        const QString path = ImagePathOf(process);
        CloseHandle(process);
        if (!path.isEmpty())
            return path;
    }
    return QString::fromWCharArray(entry.szExeFile);
}

// The file the loader started this process from.
QString ModuleFilePath()
{
    std::vector<wchar_t> buffer(kMaxPath);
    const DWORD size = GetModuleFileNameW(nullptr, buffer.data(), kMaxPath);
    if (size == 0 || size >= kMaxPath)
        return {};
    return QString::fromWCharArray(buffer.data(), qsizetype(size));
}

} // namespace

QList<TProcessEntry> TSystemProcesses::Snapshot()
{
    QList<TProcessEntry> list;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return list;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        // Process 0 is the idle pseudo-process, no program.
        if (entry.th32ProcessID == 0)
            continue;
        const QString exe = ExeNameOf(entry);
        if (!exe.isEmpty())
            list.append({qint64(entry.th32ProcessID), exe});
    }
    CloseHandle(snapshot);
    std::sort(list.begin(), list.end(), [](const auto& a, const auto& b) { return a.Pid < b.Pid; });
    return list;
}

bool TSystemProcesses::Terminate(qint64 pid)
{
    if (pid == OwnProcessId()) {
        // No destructors, no orderly shutdown.
        std::fflush(nullptr);
        TerminateProcess(GetCurrentProcess(), 0);
        std::_Exit(0); // TerminateProcess does not return for the process itself
    }
    if (pid <= 0 || pid > qint64(MAXDWORD))
        return false;
    HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, DWORD(pid));
    if (!process)
        return false;
    const bool ended = TerminateProcess(process, 0) != FALSE;
    CloseHandle(process);
    return ended;
}

QString OwnExecutablePath()
{
    // The name the process list shows, so that the client finds itself there.
    QString exe = ImagePathOf(GetCurrentProcess());
    if (exe.isEmpty())
        exe = ModuleFilePath();
    if (!exe.isEmpty())
        return exe;
    return QCoreApplication::instance() ? QCoreApplication::applicationFilePath() : QString();
}

QString OwnExecutableImage()
{
    // Windows keeps the file of a running executable from being replaced or
    // removed, so its own name still opens it.
    return ModuleFilePath();
}
