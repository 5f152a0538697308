#include "FbConvert.h"

#include <QMetaType>

#include <algorithm>
#include <cmath>

namespace fb {

// ---- Numbers

bool IsIntegerType(int typeId)
{
    switch (typeId) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
        return true;
    default:
        return false;
    }
}

std::optional<qint64> IntegerOf(const QVariant& v)
{
    if (v.typeId() == QMetaType::ULongLong || v.typeId() == QMetaType::ULong) {
        const qulonglong u = v.toULongLong();
        if (u > qulonglong(std::numeric_limits<qint64>::max()))
            return std::nullopt;
        return qint64(u);
    }
    return v.toLongLong();
}

std::optional<Decimal> DecimalOf(const QVariant& v, int scale)
{
    const int id = v.typeId();
    std::optional<Decimal> d;
    if (id == qMetaTypeId<Decimal>()) {
        d = v.value<Decimal>();
    } else if (IsIntegerType(id)) {
        auto i = IntegerOf(v);
        if (!i)
            return std::nullopt;
        d = Decimal(*i, 0);
    } else if (id == QMetaType::Bool) {
        d = Decimal(v.toBool() ? 1 : 0, 0);
    } else if (id == QMetaType::Double || id == QMetaType::Float) {
        const double x = v.toDouble();
        if (!std::isfinite(x))
            return std::nullopt;
        // The shortest text that reads back as the same double, then exact.
        QString text = QString::number(x, 'f', std::max(scale, 0) + 3);
        d = Decimal::Parse(text);
    } else if (id == QMetaType::QString || id == QMetaType::QByteArray) {
        d = Decimal::Parse(v.toString().trimmed());
    } else {
        return std::nullopt;
    }
    if (!d)
        return std::nullopt;
    if (d->Scale() == scale)
        return d;
    return d->Rescaled(scale);
}

std::optional<double> DoubleOf(const QVariant& v)
{
    const int id = v.typeId();
    if (id == qMetaTypeId<Decimal>())
        return v.value<Decimal>().ToDouble();
    if (IsIntegerType(id) || id == QMetaType::Double || id == QMetaType::Float || id == QMetaType::Bool)
        return v.toDouble();
    if (id == QMetaType::QString || id == QMetaType::QByteArray) {
        bool ok = false;
        const double x = v.toString().trimmed().toDouble(&ok);
        if (ok)
            return x;
    }
    return std::nullopt;
}

std::optional<bool> BoolOf(const QVariant& v)
{
    const int id = v.typeId();
    if (id == QMetaType::Bool || IsIntegerType(id))
        return v.toLongLong() != 0;
    if (id == QMetaType::QString) {
        const QString s = v.toString().trimmed().toLower();
        if (s == u"true" || s == u"1")
            return true;
        if (s == u"false" || s == u"0")
            return false;
    }
    return std::nullopt;
}

// ---- Calendar

bool EncodeDate(const QDate& d, ISC_DATE& out)
{
    if (!d.isValid())
        return false;
    const qint64 days = d.toJulianDay() - iscDateJulianBase;
    if (days < std::numeric_limits<ISC_DATE>::min() || days > std::numeric_limits<ISC_DATE>::max())
        return false;
    out = ISC_DATE(days);
    return true;
}

bool EncodeTime(const QTime& t, ISC_TIME& out)
{
    if (!t.isValid())
        return false;
    out = ISC_TIME(t.msecsSinceStartOfDay()) * iscTimeUnitsPerMs;
    return true;
}

std::optional<QDate> DateOfVariant(const QVariant& v)
{
    switch (v.typeId()) {
    case QMetaType::QDate:
        return v.toDate();
    case QMetaType::QDateTime:
        return v.toDateTime().toLocalTime().date();
    case QMetaType::QString:
    case QMetaType::QByteArray: {
        const QString s = v.toString().trimmed();
        QDate d = QDate::fromString(s, Qt::ISODate);
        if (!d.isValid())
            d = QDate::fromString(s, QStringLiteral("yyyyMMdd"));
        if (!d.isValid())
            d = QDate::fromString(s, QStringLiteral("dd.MM.yyyy"));
        if (d.isValid())
            return d;
        break;
    }
    default:
        break;
    }
    return std::nullopt;
}

std::optional<QTime> TimeOfVariant(const QVariant& v)
{
    switch (v.typeId()) {
    case QMetaType::QTime:
        return v.toTime();
    case QMetaType::QDateTime:
        return v.toDateTime().toLocalTime().time();
    case QMetaType::QString:
    case QMetaType::QByteArray: {
        const QString s = v.toString().trimmed();
        QTime t = QTime::fromString(s, Qt::ISODateWithMs);
        if (t.isValid())
            return t;
        break;
    }
    default:
        break;
    }
    return std::nullopt;
}

std::optional<QDateTime> DateTimeOfVariant(const QVariant& v)
{
    switch (v.typeId()) {
    case QMetaType::QDateTime:
        return v.toDateTime();
    case QMetaType::QDate:
        return QDateTime(v.toDate(), QTime(0, 0));
    case QMetaType::QString:
    case QMetaType::QByteArray: {
        QString s = v.toString().trimmed();
        if (s.size() > 10 && s[10] == u' ')
            s[10] = u'T';
        QDateTime t = QDateTime::fromString(s, Qt::ISODateWithMs);
        if (t.isValid())
            return t;
        if (auto d = DateOfVariant(v))
            return QDateTime(*d, QTime(0, 0));
        break;
    }
    default:
        break;
    }
    return std::nullopt;
}

bool EncodeTimestamp(const QDateTime& dt, ISC_TIMESTAMP& out)
{
    if (!dt.isValid())
        return false;
    const QDateTime local = dt.timeSpec() == Qt::LocalTime ? dt : dt.toLocalTime();
    return EncodeDate(local.date(), out.timestamp_date) && EncodeTime(local.time(), out.timestamp_time);
}

// ---- Text

QString DecodeText(unsigned charSet, const char* data, qsizetype size, const Codec& connection)
{
    if (IsLatin1CharSet(charSet))
        return QString::fromLatin1(data, size);
    if (charSet == csUnicodeFss || charSet == csUtf8)
        return QString::fromUtf8(data, size);
    return connection.Decode(data, size);
}

QByteArray EncodeText(unsigned charSet, const QString& text, const Codec& connection)
{
    if (IsLatin1CharSet(charSet))
        return text.toLatin1();
    if (charSet == csUnicodeFss || charSet == csUtf8)
        return text.toUtf8();
    return connection.Encode(text);
}

std::optional<QByteArray> TextOf(const QVariant& v, unsigned charSet, const Codec& connection)
{
    const int id = v.typeId();
    if (id == QMetaType::QString)
        return EncodeText(charSet, v.toString(), connection);
    if (id == QMetaType::QByteArray)
        return v.toByteArray();
    QString s;
    if (id == qMetaTypeId<Decimal>())
        s = v.value<Decimal>().ToString();
    else if (id == QMetaType::QDate)
        s = v.toDate().toString(Qt::ISODate);
    else if (id == QMetaType::QTime)
        s = v.toTime().toString(QStringLiteral("HH:mm:ss.zzz"));
    else if (id == QMetaType::QDateTime)
        s = v.toDateTime().toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
    else if (id == QMetaType::Double || id == QMetaType::Float)
        s = QString::number(v.toDouble(), 'g', 17);
    else if (IsIntegerType(id) || id == QMetaType::Bool || id == QMetaType::QChar)
        s = v.toString();
    else
        return std::nullopt;
    return EncodeText(charSet, s, connection);
}

} // namespace fb
