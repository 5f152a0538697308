#include "ParamsJson.h"

#include "WireProtocol.h"

#include "platform/types/DataPacket.h"
#include "platform/types/Decimal.h"
#include "platform/types/Exception.h"

#include <QDate>
#include <QDateTime>
#include <QJsonObject>
#include <QTime>

#include <cmath>
#include <limits>

namespace wire {

namespace {

const QString kDateFormat = QStringLiteral("yyyy-MM-dd");
const QString kTimeFormat = QStringLiteral("HH:mm:ss.zzz");
const QString kDateTimeFormat = QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz");

struct TTypeName
{
    TFieldType type;
    const char16_t* name;
};

constexpr TTypeName kTypeNames[] = {
    {TFieldType::ftString, u"string"},     {TFieldType::ftInteger, u"integer"}, {TFieldType::ftSmallint, u"smallint"},
    {TFieldType::ftLargeint, u"largeint"}, {TFieldType::ftFMTBcd, u"decimal"},  {TFieldType::ftDate, u"date"},
    {TFieldType::ftTime, u"time"},         {TFieldType::ftTimeStamp, u"datetime"}, {TFieldType::ftMemo, u"memo"},
    {TFieldType::ftBlob, u"blob"},
};

// A parameter declared without a type goes as the kind of value it holds.
TFieldType TypeOfValue(const QVariant& v)
{
    switch (v.metaType().id()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Bool:
        return TFieldType::ftInteger;
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Long:
    case QMetaType::ULong:
        return TFieldType::ftLargeint;
    case QMetaType::QDate:
        return TFieldType::ftDate;
    case QMetaType::QTime:
        return TFieldType::ftTime;
    case QMetaType::QDateTime:
        return TFieldType::ftTimeStamp;
    case QMetaType::QByteArray:
        return TFieldType::ftBlob;
    default:
        if (v.metaType() == QMetaType::fromType<Decimal>())
            return TFieldType::ftFMTBcd;
        return TFieldType::ftString;
    }
}

TFieldType WireType(const TParam& p)
{
    if (p.DataType == TFieldType::ftFixedChar)
        return TFieldType::ftString;
    if (p.DataType == TFieldType::ftUnknown)
        return TypeOfValue(p.Value);
    return p.DataType;
}

[[noreturn]] void Unwritable(const TParam& p, const QString& what)
{
    throw Exception(QStringLiteral("Parameter %1: '%2' is not a valid %3 value")
                        .arg(p.Name, p.Value.toString(), what));
}

qint64 IntegerOf(const TParam& p, qint64 low, qint64 high)
{
    const QVariant& v = p.Value;
    std::optional<qint64> n;
    if (v.metaType() == QMetaType::fromType<Decimal>()) {
        if (const auto whole = v.value<Decimal>().ExactlyAt(0))
            n = whole->Units();
    } else if (v.metaType().id() == QMetaType::Double || v.metaType().id() == QMetaType::Float) {
        const double d = v.toDouble();
        if (std::isfinite(d) && d == std::floor(d) && std::fabs(d) < 9.2e18)
            n = qint64(d);
    } else {
        bool ok = false;
        const qint64 x = v.toLongLong(&ok);
        if (ok)
            n = x;
    }
    if (!n || *n < low || *n > high)
        Unwritable(p, QStringLiteral("integer"));
    return *n;
}

} // namespace

QString ParamTypeName(const TParam& param)
{
    const TFieldType type = WireType(param);
    for (const auto& t : kTypeNames)
        if (t.type == type)
            return QString::fromUtf16(t.name);
    return QStringLiteral("string");
}

std::optional<TFieldType> ParamTypeFromName(QStringView name)
{
    for (const auto& t : kTypeNames)
        if (name == QStringView(t.name))
            return t.type;
    return std::nullopt;
}

QJsonValue ParamValueToJson(const TParam& p)
{
    if (p.Value.metaType() == QMetaType::fromType<TPacketCell>()) {
        TParam plain = p;
        plain.Value = p.PlainValue();
        return ParamValueToJson(plain);
    }
    const QVariant& v = p.Value;
    if (v.isNull())
        return QJsonValue::Null;
    switch (WireType(p)) {
    case TFieldType::ftSmallint:
        return IntegerOf(p, std::numeric_limits<qint16>::min(), std::numeric_limits<qint16>::max());
    case TFieldType::ftInteger:
        return IntegerOf(p, std::numeric_limits<qint32>::min(), std::numeric_limits<qint32>::max());
    case TFieldType::ftLargeint:
        return IntegerOf(p, std::numeric_limits<qint64>::min(), std::numeric_limits<qint64>::max());
    case TFieldType::ftFMTBcd: {
        // Decimals travel as text so that no digit passes through a double.
        if (v.metaType() == QMetaType::fromType<Decimal>())
            return v.value<Decimal>().ToString();
        if (const auto d = Decimal::Parse(v.toString()))
            return d->ToString();
        Unwritable(p, QStringLiteral("decimal"));
    }
    case TFieldType::ftDate: {
        QDate d = v.metaType().id() == QMetaType::QDate       ? v.toDate()
                  : v.metaType().id() == QMetaType::QDateTime ? v.toDateTime().date()
                                                             : QDate::fromString(v.toString(), kDateFormat);
        if (!d.isValid())
            Unwritable(p, QStringLiteral("date"));
        return d.toString(kDateFormat);
    }
    case TFieldType::ftTime: {
        QTime t = v.metaType().id() == QMetaType::QTime ? v.toTime() : QTime::fromString(v.toString(), Qt::ISODateWithMs);
        if (!t.isValid())
            Unwritable(p, QStringLiteral("time"));
        return t.toString(kTimeFormat);
    }
    case TFieldType::ftTimeStamp: {
        QDateTime t = v.metaType().id() == QMetaType::QDateTime ? v.toDateTime()
                      : v.metaType().id() == QMetaType::QDate
                          ? QDateTime(v.toDate(), QTime(0, 0))
                          : QDateTime::fromString(v.toString(), Qt::ISODateWithMs);
        if (!t.isValid())
            Unwritable(p, QStringLiteral("date-time"));
        return t.toString(kDateTimeFormat);
    }
    case TFieldType::ftBlob: {
        const QByteArray bytes = v.metaType().id() == QMetaType::QString ? v.toString().toUtf8() : v.toByteArray();
        return QString::fromLatin1(bytes.toBase64());
    }
    default:
        return p.AsString();
    }
}

QJsonArray ParamsToJson(const TParams& params)
{
    QJsonArray list;
    for (const TParam& p : params)
        list.append(QJsonObject{{QStringLiteral("name"), p.Name},
                                {QStringLiteral("type"), ParamTypeName(p)},
                                {QStringLiteral("value"), ParamValueToJson(p)}});
    return list;
}

namespace {

QString Describe(const QJsonValue& v)
{
    switch (v.type()) {
    case QJsonValue::Null:
        return QStringLiteral("null");
    case QJsonValue::Bool:
        return v.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case QJsonValue::Double:
        return QString::number(v.toDouble(), 'g', 17);
    case QJsonValue::String:
        return QLatin1Char('"') + v.toString().left(40) + QLatin1Char('"');
    case QJsonValue::Array:
        return QStringLiteral("an array");
    case QJsonValue::Object:
        return QStringLiteral("an object");
    default:
        return QStringLiteral("nothing");
    }
}

QVariant ValueFromJson(TFieldType type, const QJsonValue& v, bool& ok)
{
    ok = true;
    if (v.isNull() || v.isUndefined())
        return {};
    ok = false;
    switch (type) {
    case TFieldType::ftSmallint:
    case TFieldType::ftInteger:
    case TFieldType::ftLargeint: {
        if (!v.isDouble())
            return {};
        const qint64 low = type == TFieldType::ftSmallint  ? std::numeric_limits<qint16>::min()
                           : type == TFieldType::ftInteger ? std::numeric_limits<qint32>::min()
                                                           : std::numeric_limits<qint64>::min();
        const qint64 high = type == TFieldType::ftSmallint  ? std::numeric_limits<qint16>::max()
                            : type == TFieldType::ftInteger ? std::numeric_limits<qint32>::max()
                                                            : std::numeric_limits<qint64>::max();
        // toInteger gives the default for anything that is not a whole number.
        constexpr qint64 kNotWhole = std::numeric_limits<qint64>::min();
        const qint64 n = v.toInteger(kNotWhole);
        if ((n == kNotWhole && v.toDouble() != double(kNotWhole)) || n < low || n > high)
            return {};
        ok = true;
        return type == TFieldType::ftLargeint ? QVariant(n) : QVariant(qint32(n));
    }
    case TFieldType::ftFMTBcd: {
        std::optional<Decimal> d;
        if (v.isString())
            d = Decimal::Parse(v.toString());
        else if (v.isDouble() && v.toDouble() == std::floor(v.toDouble()) && std::fabs(v.toDouble()) < 9.0e15)
            d = Decimal(qint64(v.toDouble()), 0);
        if (!d)
            return {};
        ok = true;
        return QVariant::fromValue(*d);
    }
    case TFieldType::ftDate: {
        const QDate d = QDate::fromString(v.toString(), kDateFormat);
        ok = v.isString() && d.isValid();
        return d;
    }
    case TFieldType::ftTime: {
        const QTime t = QTime::fromString(v.toString(), Qt::ISODateWithMs);
        ok = v.isString() && t.isValid();
        return t;
    }
    case TFieldType::ftTimeStamp: {
        const QDateTime t = QDateTime::fromString(v.toString(), Qt::ISODateWithMs);
        ok = v.isString() && t.isValid();
        return t;
    }
    case TFieldType::ftBlob: {
        if (!v.isString())
            return {};
        const auto decoded =
            QByteArray::fromBase64Encoding(v.toString().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
        ok = bool(decoded);
        return decoded.decoded;
    }
    default: // string, memo
        ok = v.isString();
        return v.toString();
    }
}

} // namespace

TParams ParamsFromJson(const QJsonValue& json)
{
    if (!json.isArray())
        throw EProtocolError(QStringLiteral("Provider parameters are %1, not a list").arg(Describe(json)));
    TParams params;
    const QJsonArray list = json.toArray();
    for (qsizetype i = 0; i < list.size(); ++i) {
        const QJsonObject item = list.at(i).toObject();
        const QString name = item.value(QStringLiteral("name")).toString();
        if (!list.at(i).isObject() || name.isEmpty())
            throw EProtocolError(QStringLiteral("Provider parameter %1 has no name").arg(i + 1));
        const QJsonValue typeName = item.value(QStringLiteral("type"));
        const auto type = ParamTypeFromName(typeName.toString());
        if (!typeName.isString() || !type)
            throw EProtocolError(
                QStringLiteral("Provider parameter %1 has the unknown type %2").arg(name, Describe(typeName)));
        bool ok = false;
        const QJsonValue value = item.value(QStringLiteral("value"));
        QVariant v = ValueFromJson(*type, value, ok);
        if (!ok)
            throw EProtocolError(QStringLiteral("Provider parameter %1: %2 is not a valid %3 value")
                                     .arg(name, Describe(value), typeName.toString()));
        TParam& p = params.Add(name, *type);
        p.Value = std::move(v);
    }
    return params;
}

} // namespace wire
