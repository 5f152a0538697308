#include "platform/os/FileVersion.h"

#include <QDir>

#include <vector>

#include <windows.h>

// The file version of the fixed part of the version resource.
std::optional<TFileVersion> ReadFileVersion(const QString& path)
{
    const QString native = QDir::toNativeSeparators(path);
    const auto name = reinterpret_cast<LPCWSTR>(native.utf16());
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(name, &ignored);
    if (size == 0)
        return std::nullopt; // no such file, or no version resource
    std::vector<BYTE> data(size);
    if (!GetFileVersionInfoW(name, 0, size, data.data()))
        return std::nullopt;
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(data.data(), L"\\", reinterpret_cast<LPVOID*>(&info), &length) || !info
        || length < sizeof(VS_FIXEDFILEINFO) || info->dwSignature != VS_FFI_SIGNATURE)
        return std::nullopt;
    return TFileVersion{quint16(HIWORD(info->dwFileVersionMS)), quint16(LOWORD(info->dwFileVersionMS)),
                        quint16(HIWORD(info->dwFileVersionLS)), quint16(LOWORD(info->dwFileVersionLS))};
}
