// INI reader under garbled files: reading any bytes must not crash, and a key
// written into such a file must read back while the rest of the file keeps its bytes.
#include "config/IniFile.h"
#include "platform/types/Exception.h"

#include <QDir>
#include <QFile>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

QString ScratchFile()
{
    // Memory-backed when possible: every input writes the file three times.
    static const QString folder = QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
    static const QString path = folder + QStringLiteral("/kelt-fuzz-ini-%1.ini").arg(getpid());
    return path;
}

void WriteBytes(const QString& path, QByteArrayView bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        std::abort();
    file.write(bytes.data(), bytes.size());
}

QByteArray ReadBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArrayView bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    const QString path = ScratchFile();
    WriteBytes(path, bytes);

    {
        const TIniFile ini(path);
        for (const char* name : {"DB", "SOCKET", "FILIAL"}) {
            const QString section = QString::fromLatin1(name);
            for (const QString& key : ini.ReadSection(section)) {
                (void)ini.ReadString(section, key, QString());
                (void)ini.ReadInteger(section, key, -1);
            }
        }
    }

    TIniFile ini(path);
    try {
        ini.WriteString(QStringLiteral("SOCKET"), QStringLiteral("Port"), QStringLiteral("10211"));
    } catch (const Exception&) {
        std::abort(); // the scratch file is always writable
    }
    const TIniFile reread(path);
    if (reread.ReadString(QStringLiteral("SOCKET"), QStringLiteral("Port"), QString()) != QStringLiteral("10211")) {
        std::fprintf(stderr, "written key does not read back\n");
        std::abort();
    }
    // A file that already held the value is left as it was.
    const QByteArray written = ReadBytes(path);
    TIniFile(path).WriteString(QStringLiteral("SOCKET"), QStringLiteral("Port"), QStringLiteral("10211"));
    if (ReadBytes(path) != written) {
        std::fprintf(stderr, "rewriting the same value changed the file\n");
        std::abort();
    }
    return 0;
}
