#include "FieldDefs.h"

#include "Exception.h"

#include <QStringList>

bool SameName(QStringView a, QStringView b)
{
    // Case folding keeps UTF-16 lengths, so unequal sizes never match; the
    // exact comparison settles the usual case without folding.
    return a.size() == b.size() && (a == b || a.compare(b, Qt::CaseInsensitive) == 0);
}

int IndexOfField(const TFieldDefs& defs, QStringView name, int from)
{
    // Called per field and row when rows are copied into parameters: try the
    // exact spelling first, starting where the caller expects the field, and
    // fold case only when that fails.
    const int n = int(defs.size());
    from = from > 0 && from < n ? from : 0;
    for (int k = 0; k < n; ++k) {
        const int i = (from + k) % n;
        if (QStringView(defs[i].Name) == name)
            return i;
    }
    for (int i = 0; i < defs.size(); ++i)
        if (SameName(defs[i].Name, name))
            return i;
    return -1;
}

namespace {

constexpr int kDefaultStringWidth = 20; // a string field whose form sets no width

[[noreturn]] void BadEntry(QStringView entry, const QString& why)
{
    throw EDatabaseError(QStringLiteral("Invalid field definition '%1': %2").arg(entry.toString(), why));
}

int PositiveNumber(QStringView entry, const QString& text)
{
    bool ok = false;
    const int n = text.toInt(&ok);
    if (!ok || n <= 0)
        BadEntry(entry, QStringLiteral("'%1' is not a positive number").arg(text));
    return n;
}

} // namespace

TFieldDefs ParseFieldList(QStringView notation, bool keyImpliesRequired)
{
    TFieldDefs defs;
    for (QStringView entry : notation.split(u';', Qt::SkipEmptyParts)) {
        entry = entry.trimmed();
        if (entry.isEmpty())
            continue;
        // Names may come quoted in backticks, as the catalogues write them.
        const QStringList words = entry.toString().remove(u'`').split(u' ', Qt::SkipEmptyParts);
        if (words.size() < 2)
            BadEntry(entry, QStringLiteral("a name and a type are needed"));
        TFieldDef def;
        def.Name = words[0];
        const QString type = words[1].toLower();
        int next = 2;
        auto sizeWord = [&]() -> std::optional<QString> {
            if (next < words.size() && words[next][0].isDigit())
                return words[next++];
            return std::nullopt;
        };
        if (type == u"int") {
            def.DataType = TFieldType::ftInteger;
        } else if (type == u"small") {
            def.DataType = TFieldType::ftSmallint;
        } else if (type == u"bigint") {
            def.DataType = TFieldType::ftLargeint;
        } else if (type == u"str" || type == u"char") {
            def.DataType = type == u"str" ? TFieldType::ftString : TFieldType::ftFixedChar;
            const auto size = sizeWord();
            if (!size && type == u"char")
                BadEntry(entry, QStringLiteral("char needs a width"));
            def.Size = size ? PositiveNumber(entry, *size) : kDefaultStringWidth;
        } else if (type == u"dec") {
            def.DataType = TFieldType::ftFMTBcd;
            const auto size = sizeWord();
            if (!size)
                BadEntry(entry, QStringLiteral("dec needs precision.scale"));
            const QStringList ps = size->split(u'.');
            def.Size = PositiveNumber(entry, ps[0]);
            bool ok = true;
            def.Scale = ps.size() == 2 ? ps[1].toInt(&ok) : 0;
            if (ps.size() > 2 || !ok || def.Scale < 0 || def.Scale > def.Size || def.Size > 18)
                BadEntry(entry, QStringLiteral("'%1' is not a valid precision.scale").arg(*size));
        } else if (type == u"date") {
            def.DataType = TFieldType::ftDate;
        } else if (type == u"time") {
            def.DataType = TFieldType::ftTime;
        } else if (type == u"timestamp") {
            def.DataType = TFieldType::ftTimeStamp;
        } else if (type == u"memo") {
            def.DataType = TFieldType::ftMemo;
        } else if (type == u"blob") {
            def.DataType = TFieldType::ftBlob;
        } else {
            BadEntry(entry, QStringLiteral("unknown type '%1'").arg(words[1]));
        }
        for (; next < words.size(); ++next) {
            const QString& mark = words[next];
            if (mark == u"K") {
                def.ProviderFlags = pfInUpdate | pfInWhere | pfInKey;
                def.Required = def.Required || keyImpliesRequired;
            } else if (mark == u"F") {
                def.ProviderFlags = pfInUpdate | pfInWhere | pfInKey;
            } else if (mark == u"R") {
                def.Required = true;
            } else if (mark == u"RO") {
                def.ReadOnly = true;
            } else {
                BadEntry(entry, QStringLiteral("unknown mark '%1'").arg(mark));
            }
        }
        if (IndexOfField(defs, def.Name) >= 0)
            BadEntry(entry, QStringLiteral("field '%1' is listed twice").arg(def.Name));
        defs.append(std::move(def));
    }
    return defs;
}

QString FieldListEntry(const TFieldDef& def)
{
    QString text = def.Name + u' ';
    switch (def.DataType) {
    case TFieldType::ftSmallint: text += u"small"; break;
    case TFieldType::ftInteger: text += u"int"; break;
    case TFieldType::ftLargeint: text += u"bigint"; break;
    case TFieldType::ftString: text += QStringLiteral("str %1").arg(def.Size); break;
    case TFieldType::ftFixedChar: text += QStringLiteral("char %1").arg(def.Size); break;
    case TFieldType::ftFMTBcd: text += QStringLiteral("dec %1.%2").arg(def.Size).arg(def.Scale); break;
    case TFieldType::ftDate: text += u"date"; break;
    case TFieldType::ftTime: text += u"time"; break;
    case TFieldType::ftTimeStamp: text += u"timestamp"; break;
    case TFieldType::ftMemo: text += u"memo"; break;
    case TFieldType::ftBlob: text += u"blob"; break;
    case TFieldType::ftUnknown: text += u"unknown"; break;
    }
    const bool key = (def.ProviderFlags & pfInKey) != 0;
    if (key)
        text += def.Required ? u" K" : u" F";
    else if (def.Required)
        text += u" R";
    if (def.ReadOnly)
        text += u" RO";
    return text;
}

QString SqlColumnType(const TFieldDef& def)
{
    switch (def.DataType) {
    case TFieldType::ftSmallint: return QStringLiteral("SMALLINT");
    case TFieldType::ftInteger: return QStringLiteral("INTEGER");
    case TFieldType::ftLargeint: return QStringLiteral("BIGINT");
    case TFieldType::ftString: return QStringLiteral("VARCHAR(%1)").arg(def.Size);
    case TFieldType::ftFixedChar: return QStringLiteral("CHAR(%1)").arg(def.Size);
    case TFieldType::ftFMTBcd: return QStringLiteral("NUMERIC(%1,%2)").arg(def.Size).arg(def.Scale);
    case TFieldType::ftDate: return QStringLiteral("DATE");
    case TFieldType::ftTime: return QStringLiteral("TIME");
    case TFieldType::ftTimeStamp: return QStringLiteral("TIMESTAMP");
    case TFieldType::ftMemo: return QStringLiteral("BLOB SUB_TYPE TEXT");
    case TFieldType::ftBlob: return QStringLiteral("BLOB SUB_TYPE BINARY");
    case TFieldType::ftUnknown: break;
    }
    throw EDatabaseError(QStringLiteral("Field '%1' has no column type").arg(def.Name));
}

bool IsPlainIdentifier(QStringView name)
{
    if (name.isEmpty() || name.size() > 63)
        return false;
    for (qsizetype i = 0; i < name.size(); ++i) {
        const char16_t c = name[i].unicode();
        const bool letter = (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
        const bool digit = c >= u'0' && c <= u'9';
        if (!(letter || c == u'_' || c == u'$' || (digit && i > 0)))
            return false;
    }
    return true;
}

void RequirePlainIdentifier(QStringView name, const char* what)
{
    if (!IsPlainIdentifier(name))
        throw EInvalidIdentifier(QStringLiteral("Invalid %1 name '%2': only letters, digits, '_' and '$' are allowed, "
                                                "not starting with a digit")
                                     .arg(QLatin1String(what), name.toString()));
}

QString QuotedSqlString(const QString& text)
{
    QString quoted = text;
    quoted.replace(u'\'', QStringLiteral("''"));
    return u'\'' + quoted + u'\'';
}
