#include "Workgroup.h"

#include <QFile>
#include <QStringList>

#ifdef _WIN32
#include <windows.h>
#include <lm.h>
#else
#include <unistd.h>
#endif

namespace {

const QString DefaultSmbConf = QStringLiteral("/etc/samba/smb.conf");

// Samba ignores blanks anywhere in section and parameter names.
QString NameKey(QStringView text)
{
    QString out;
    for (const QChar c : text)
        if (!c.isSpace())
            out += c.toLower();
    return out;
}

#ifndef _WIN32
QString NisDomainName()
{
    char buffer[256] = {};
    if (getdomainname(buffer, sizeof buffer - 1) != 0)
        return {};
    const QString name = QString::fromLocal8Bit(buffer).trimmed();
    return name == u"(none)" ? QString() : name;
}
#endif

} // namespace

QString SambaWorkgroup(const QByteArray& smbConf)
{
    QString result;
    bool global = true;
    QString pending; // a line continued with '\'
    const QStringList lines = QString::fromUtf8(smbConf).split(u'\n');
    for (QString line : lines) {
        line = pending + line.trimmed();
        pending.clear();
        if (line.endsWith(u'\\')) {
            pending = line.chopped(1);
            continue;
        }
        if (line.isEmpty() || line.startsWith(u'#') || line.startsWith(u';'))
            continue;
        if (line.startsWith(u'[')) {
            const qsizetype close = line.indexOf(u']');
            global = close > 0 && NameKey(QStringView(line).mid(1, close - 1)) == u"global";
            continue;
        }
        const qsizetype eq = line.indexOf(u'=');
        if (global && eq > 0 && NameKey(QStringView(line).left(eq)) == u"workgroup")
            result = line.mid(eq + 1).trimmed();
    }
    return result;
}

QString WorkgroupNameFrom(const QString& smbConfPath)
{
#ifdef _WIN32
    Q_UNUSED(smbConfPath);
    QString name;
    WKSTA_INFO_100* info = nullptr;
    if (NetWkstaGetInfo(nullptr, 100, reinterpret_cast<LPBYTE*>(&info)) == NERR_Success && info) {
        name = QString::fromWCharArray(info->wki100_langroup);
        NetApiBufferFree(info);
    }
    return name;
#else
    QFile file(smbConfPath);
    if (file.open(QIODevice::ReadOnly)) {
        const QString workgroup = SambaWorkgroup(file.readAll());
        if (!workgroup.isEmpty())
            return workgroup;
    }
    return NisDomainName();
#endif
}

QString WorkgroupName() { return WorkgroupNameFrom(DefaultSmbConf); }
