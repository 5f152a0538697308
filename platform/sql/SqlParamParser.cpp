#include "SqlParamParser.h"

namespace {

bool IsNameChar(QChar c)
{
    return c.isLetterOrNumber() || c == u'_' || c == u'$';
}

} // namespace

QStringList TParsedSql::UniqueNames() const
{
    QStringList unique;
    for (const QString& name : Names) {
        if (!unique.contains(name, Qt::CaseInsensitive))
            unique.append(name);
    }
    return unique;
}

TParsedSql ParseNamedParams(const QString& text)
{
    TParsedSql out;
    out.Sql.reserve(text.size());
    const qsizetype n = text.size();
    qsizetype i = 0;

    // Copies text[i..end) unchanged and moves past it.
    auto copyTo = [&](qsizetype end) {
        out.Sql.append(QStringView(text).mid(i, end - i));
        i = end;
    };

    while (i < n) {
        const QChar c = text[i];
        if (c == u'\'' || c == u'"') {
            // A doubled quote inside is just two adjacent quoted runs.
            qsizetype end = text.indexOf(c, i + 1);
            copyTo(end < 0 ? n : end + 1);
        } else if (c == u'-' && i + 1 < n && text[i + 1] == u'-') {
            qsizetype end = text.indexOf(u'\n', i + 2);
            copyTo(end < 0 ? n : end + 1);
        } else if (c == u'/' && i + 1 < n && text[i + 1] == u'*') {
            qsizetype end = text.indexOf(QStringLiteral("*/"), i + 2);
            copyTo(end < 0 ? n : end + 2);
        } else if (c == u':' && i + 1 < n && text[i + 1] == u'"') {
            // :"Quoted Name"
            qsizetype end = text.indexOf(u'"', i + 2);
            if (end < 0) {
                copyTo(n);
                break;
            }
            out.Names.append(text.mid(i + 2, end - i - 2));
            out.Sql.append(u'?');
            i = end + 1;
        } else if (c == u':' && i + 1 < n && IsNameChar(text[i + 1])) {
            qsizetype end = i + 1;
            while (end < n && IsNameChar(text[end]))
                ++end;
            out.Names.append(text.mid(i + 1, end - i - 1));
            out.Sql.append(u'?');
            i = end;
        } else {
            out.Sql.append(c);
            ++i;
        }
    }
    return out;
}
