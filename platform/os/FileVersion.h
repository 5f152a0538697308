#pragma once

#include <QString>

#include <optional>

// The file version of an executable: major, minor, release, build. On Windows
// it is the fixed part of the version resource; on Linux the build embeds it as
// an ELF note (cmake/KeltVersion.cmake, kelt_embed_version) that is read back
// from the file by path (linux/, windows/FileVersion.cpp).
struct TFileVersion
{
    quint16 Major = 0;
    quint16 Minor = 0;
    quint16 Release = 0;
    quint16 Build = 0;
    friend bool operator==(const TFileVersion&, const TFileVersion&) = default;
};

// The version embedded in the file, or nothing when the file cannot be read,
// is no executable of a known kind, or carries no version.
std::optional<TFileVersion> ReadFileVersion(const QString& path);

// The four numbers of the file's version formatted with `format` (each taken
// as an unsigned number, in the order major, minor, release, build), or the
// empty text for a file without version. The format takes up to four integer
// conversions (%d %i %u %x %X %o with flags, width and precision) and "%%";
// any other conversion raises Exception.
QString FileVersionText(const QString& path, const QString& format);
QString FormatVersion(const TFileVersion& version, const QString& format);
