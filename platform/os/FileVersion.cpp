#include "FileVersion.h"

#include "platform/types/Exception.h"

#include <cstring>

namespace {

bool OneOf(const char* set, char c)
{
    return c != '\0' && std::strchr(set, c) != nullptr;
}

} // namespace

QString FormatVersion(const TFileVersion& version, const QString& format)
{
    const unsigned numbers[] = {version.Major, version.Minor, version.Release, version.Build};
    // Each conversion goes to asprintf on its own with exactly one number, so
    // no format text can make it read an argument that is not there.
    const QByteArray f = format.toUtf8();
    QByteArray out;
    int used = 0;
    for (qsizetype i = 0; i < f.size();) {
        if (f[i] != '%') {
            out += f[i++];
            continue;
        }
        if (i + 1 < f.size() && f[i + 1] == '%') {
            out += '%';
            i += 2;
            continue;
        }
        qsizetype j = i + 1;
        while (j < f.size() && OneOf("-+ #0", f[j]))
            ++j;
        // Width and precision of at most two digits: no text of silly length.
        const auto digits = [&] {
            const qsizetype from = j;
            while (j < f.size() && f[j] >= '0' && f[j] <= '9')
                ++j;
            return j - from <= 2;
        };
        bool sane = digits();
        if (j < f.size() && f[j] == '.') {
            ++j;
            sane = digits() && sane;
        }
        if (!sane || j >= f.size() || !OneOf("diuxXo", f[j]) || used == 4)
            throw Exception(QStringLiteral("Unsupported version format '%1': up to four integer conversions").arg(format));
        const QByteArray spec = f.mid(i, j - i + 1);
        out += QString::asprintf(spec.constData(), numbers[used++]).toUtf8();
        i = j + 1;
    }
    return QString::fromUtf8(out);
}

QString FileVersionText(const QString& path, const QString& format)
{
    const std::optional<TFileVersion> version = ReadFileVersion(path);
    return version ? FormatVersion(*version, format) : QString();
}
