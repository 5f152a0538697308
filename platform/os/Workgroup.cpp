#include "Workgroup.h"

#include <QStringList>

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

QString WorkgroupName() { return WorkgroupNameFrom(DefaultSmbConf); }
