#include "FbMessage.h"

#include "platform/types/DataPacket.h"
#include "platform/types/Decimal.h"

#include <QDateTime>
#include <QMetaType>

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>

using namespace Firebird;

namespace fb {

namespace {

// Character set ids of the engine that matter here.
constexpr unsigned csNone = 0, csOctets = 1, csAscii = 2, csUnicodeFss = 3, csUtf8 = 4, csLatin1 = 21;

// Day 0 of ISC_DATE is 1858-11-17.
constexpr qint64 iscDateJulianBase = 2400001;
// ISC_TIME counts 1/10000 s.
constexpr unsigned iscTimeUnitsPerMs = 10;
// Packet timestamps count milliseconds from 1970-01-01 (Julian day 2440588).
constexpr qint64 unixEpochJulianDay = 2440588;
constexpr qint64 msPerDay = 86400000;
// Packets carry years 0001 to 9999.
constexpr qint64 kFirstPacketDay = 1721426, kLastPacketDay = 5373484;

template <class T>
T Load(const unsigned char* p)
{
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class T>
void Store(unsigned char* p, T v)
{
    std::memcpy(p, &v, sizeof v);
}

QString DecodeText(const Column& c, const char* data, qsizetype size, const Codec& connection)
{
    switch (c.CharSet) {
    case csNone:
    case csOctets:
    case csAscii:
    case csLatin1:
        return QString::fromLatin1(data, size);
    case csUnicodeFss:
    case csUtf8:
        return QString::fromUtf8(data, size);
    default:
        return connection.Decode(data, size);
    }
}

QByteArray EncodeText(const Column& c, const QString& text, const Codec& connection)
{
    switch (c.CharSet) {
    case csNone:
    case csOctets:
    case csAscii:
    case csLatin1:
        return text.toLatin1();
    case csUnicodeFss:
    case csUtf8:
        return text.toUtf8();
    default:
        return connection.Encode(text);
    }
}

QDate DateOf(ISC_DATE d)
{
    return QDate::fromJulianDay(qint64(d) + iscDateJulianBase);
}

QTime TimeOf(ISC_TIME t)
{
    return QTime::fromMSecsSinceStartOfDay(int(t / iscTimeUnitsPerMs));
}

[[noreturn]] void CannotConvert(const QString& param, const QVariant& v, const Column& c)
{
    QString what;
    if (v.typeId() == QMetaType::QString) {
        QString s = v.toString();
        if (s.size() > 40)
            s = s.left(40) + QStringLiteral("...");
        what = QLatin1Char('\'') + s + QLatin1Char('\'');
    } else if (v.canConvert<QString>() && v.typeId() != QMetaType::QByteArray) {
        what = QStringLiteral("%1 (%2)").arg(v.toString(), QString::fromLatin1(v.typeName()));
    } else {
        what = QString::fromLatin1(v.typeName());
    }
    throw EDatabaseError(QStringLiteral("Parameter '%1': cannot convert %2 to %3").arg(param, what, c.TypeName()));
}

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

// An exact decimal at `scale` for any numeric or textual value; rounds half
// away from zero when the value has more decimals.
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

std::optional<QByteArray> TextOf(const QVariant& v, const Column& c, const Codec& codec)
{
    const int id = v.typeId();
    if (id == QMetaType::QString)
        return EncodeText(c, v.toString(), codec);
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
    return EncodeText(c, s, codec);
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

// The usual pairs of packet field and column, written without a QVariant;
// false leaves anything else (and every value that does not fit) to the
// general conversion, which also words the errors.
bool WriteCell(Message& msg, int i, const TPacketCell& cell)
{
    const Column& c = msg.At(i);
    unsigned char* p = msg.Buffer() + c.Offset;
    const TFieldDef& def = cell.Def();
    const qint64 n = cell.Number();
    switch (c.Type) {
    case SQL_SHORT:
    case SQL_LONG:
    case SQL_INT64: {
        const int scale = c.Scale < 0 ? -c.Scale : 0;
        const bool integer = def.DataType == TFieldType::ftSmallint || def.DataType == TFieldType::ftInteger ||
                             def.DataType == TFieldType::ftLargeint;
        if (!(integer && scale == 0) && !(def.DataType == TFieldType::ftFMTBcd && def.Scale == scale))
            return false;
        if (c.Type == SQL_SHORT) {
            if (n < std::numeric_limits<qint16>::min() || n > std::numeric_limits<qint16>::max())
                return false;
            Store<qint16>(p, qint16(n));
        } else if (c.Type == SQL_LONG) {
            if (n < std::numeric_limits<qint32>::min() || n > std::numeric_limits<qint32>::max())
                return false;
            Store<qint32>(p, qint32(n));
        } else {
            Store<qint64>(p, n);
        }
        return true;
    }
    case SQL_TEXT:
    case SQL_VARYING: {
        if (def.DataType != TFieldType::ftString && def.DataType != TFieldType::ftFixedChar)
            return false;
        if (c.CharSet != csLatin1 && c.CharSet != csNone && c.CharSet != csAscii && c.CharSet != csOctets)
            return false;
        const QStringView text = cell.Text();
        if (text.size() > qsizetype(c.Length))
            return false;
        unsigned char* out = c.Type == SQL_VARYING ? p + 2 : p;
        // As QString::toLatin1: a character beyond Latin-1 becomes '?'.
        for (qsizetype k = 0; k < text.size(); ++k) {
            const char16_t ch = text[k].unicode();
            out[k] = ch < 0x100 ? static_cast<unsigned char>(ch) : '?';
        }
        if (c.Type == SQL_VARYING)
            Store<unsigned short>(p, static_cast<unsigned short>(text.size()));
        else
            std::memset(out + text.size(), ' ', c.Length - unsigned(text.size()));
        return true;
    }
    case SQL_TYPE_DATE: {
        if (def.DataType != TFieldType::ftDate)
            return false;
        const qint64 days = n - iscDateJulianBase;
        if (days < std::numeric_limits<ISC_DATE>::min() || days > std::numeric_limits<ISC_DATE>::max())
            return false;
        Store(p, ISC_DATE(days));
        return true;
    }
    case SQL_TYPE_TIME:
        if (def.DataType != TFieldType::ftTime || n < 0 || n >= msPerDay)
            return false;
        Store(p, ISC_TIME(n) * iscTimeUnitsPerMs);
        return true;
    case SQL_TIMESTAMP: {
        if (def.DataType != TFieldType::ftTimeStamp)
            return false;
        const qint64 days = n >= 0 ? n / msPerDay : -((-n + msPerDay - 1) / msPerDay);
        const qint64 iscDays = days + unixEpochJulianDay - iscDateJulianBase;
        if (iscDays < std::numeric_limits<ISC_DATE>::min() || iscDays > std::numeric_limits<ISC_DATE>::max())
            return false;
        ISC_TIMESTAMP ts;
        ts.timestamp_date = ISC_DATE(iscDays);
        ts.timestamp_time = ISC_TIME(n - days * msPerDay) * iscTimeUnitsPerMs;
        Store(p, ts);
        return true;
    }
    default:
        return false;
    }
}

} // namespace

int Column::BytesPerChar() const
{
    switch (CharSet) {
    case csUtf8:
        return 4;
    case csUnicodeFss:
        return 3;
    default:
        return 1;
    }
}

QString Column::TypeName() const
{
    const auto scaled = [this](const char* base) {
        return Scale < 0 ? QStringLiteral("NUMERIC with %1 decimals").arg(-Scale) : QString::fromLatin1(base);
    };
    switch (Type) {
    case SQL_SHORT:
        return scaled("SMALLINT");
    case SQL_LONG:
        return scaled("INTEGER");
    case SQL_INT64:
        return scaled("BIGINT");
    case SQL_FLOAT:
        return QStringLiteral("FLOAT");
    case SQL_DOUBLE:
    case SQL_D_FLOAT:
        return QStringLiteral("DOUBLE PRECISION");
    case SQL_TEXT:
        return QStringLiteral("CHAR(%1)").arg(CharLength());
    case SQL_VARYING:
        return QStringLiteral("VARCHAR(%1)").arg(CharLength());
    case SQL_TYPE_DATE:
        return QStringLiteral("DATE");
    case SQL_TYPE_TIME:
        return QStringLiteral("TIME");
    case SQL_TIMESTAMP:
        return QStringLiteral("TIMESTAMP");
    case SQL_BLOB:
        return SubType == 1 ? QStringLiteral("BLOB SUB_TYPE TEXT") : QStringLiteral("BLOB");
    case SQL_BOOLEAN:
        return QStringLiteral("BOOLEAN");
    case SQL_NULL:
        return QStringLiteral("NULL");
    default:
        return QStringLiteral("SQL type %1").arg(Type);
    }
}

void Message::Describe(Status& st, IMessageMetadata* meta, const Codec& names)
{
    const auto name = [&names](const char* text) { return names.Decode(text, qsizetype(std::strlen(text))); };
    m_meta.Reset(meta);
    m_columns.clear();
    const unsigned count = meta->getCount(&st);
    m_columns.reserve(count);
    for (unsigned i = 0; i < count; ++i) {
        Column c;
        c.Type = meta->getType(&st, i) & ~1u;
        c.SubType = meta->getSubType(&st, i);
        c.Scale = meta->getScale(&st, i);
        c.Length = meta->getLength(&st, i);
        c.Offset = meta->getOffset(&st, i);
        c.NullOffset = meta->getNullOffset(&st, i);
        c.CharSet = meta->getCharSet(&st, i);
        c.Nullable = meta->isNullable(&st, i);
        c.Alias = name(meta->getAlias(&st, i));
        c.Relation = name(meta->getRelation(&st, i));
        c.Field = name(meta->getField(&st, i));
        m_columns.push_back(std::move(c));
    }
    const unsigned length = meta->getMessageLength(&st);
    m_buffer.reset(new std::uint64_t[length / 8 + 1]());
}

void Message::Reset()
{
    m_meta.Reset();
    m_columns.clear();
    m_buffer.reset();
}

bool Message::IsNull(int i) const
{
    return Load<short>(Buffer() + m_columns[size_t(i)].NullOffset) != 0;
}

bool ReadCell(const Message& msg, int i, TPacketRowAppender& row, int field)
{
    const Column& c = msg.At(i);
    const unsigned char* p = msg.Buffer() + c.Offset;
    const TFieldDef& def = row.Def(field);
    switch (c.Type) {
    case SQL_SHORT:
    case SQL_LONG:
    case SQL_INT64: {
        const qint64 n = c.Type == SQL_SHORT ? Load<qint16>(p) : c.Type == SQL_LONG ? Load<qint32>(p) : Load<qint64>(p);
        const int scale = c.Scale < 0 ? -c.Scale : 0;
        switch (def.DataType) {
        case TFieldType::ftSmallint:
            if (scale != 0 || n < std::numeric_limits<qint16>::min() || n > std::numeric_limits<qint16>::max())
                return false;
            break;
        case TFieldType::ftInteger:
            if (scale != 0 || n < std::numeric_limits<qint32>::min() || n > std::numeric_limits<qint32>::max())
                return false;
            break;
        case TFieldType::ftLargeint:
            if (scale != 0)
                return false;
            break;
        case TFieldType::ftFMTBcd:
            if (def.Scale != scale)
                return false;
            break;
        default:
            return false;
        }
        row.SetNumber(field, n);
        return true;
    }
    case SQL_TEXT:
    case SQL_VARYING: {
        if (c.CharSet != csLatin1 && c.CharSet != csNone && c.CharSet != csAscii && c.CharSet != csOctets)
            return false;
        if (c.Type == SQL_VARYING)
            return row.SetLatin1(field, QByteArrayView(p + 2, Load<unsigned short>(p)));
        return row.SetLatin1(field, QByteArrayView(p, c.Length));
    }
    case SQL_TYPE_DATE: {
        const qint64 jd = qint64(Load<ISC_DATE>(p)) + iscDateJulianBase;
        if (def.DataType != TFieldType::ftDate || jd < kFirstPacketDay || jd > kLastPacketDay)
            return false;
        row.SetNumber(field, jd);
        return true;
    }
    case SQL_TYPE_TIME: {
        const qint64 ms = Load<ISC_TIME>(p) / iscTimeUnitsPerMs;
        if (def.DataType != TFieldType::ftTime || ms >= msPerDay)
            return false;
        row.SetNumber(field, ms);
        return true;
    }
    case SQL_TIMESTAMP: {
        const auto ts = Load<ISC_TIMESTAMP>(p);
        const qint64 jd = qint64(ts.timestamp_date) + iscDateJulianBase;
        const qint64 ms = ts.timestamp_time / iscTimeUnitsPerMs;
        if (def.DataType != TFieldType::ftTimeStamp || jd < kFirstPacketDay || jd > kLastPacketDay || ms >= msPerDay)
            return false;
        row.SetNumber(field, (jd - unixEpochJulianDay) * msPerDay + ms);
        return true;
    }
    default:
        return false;
    }
}

QVariant ReadValue(const Message& msg, int i, const ValueContext& ctx)
{
    if (msg.IsNull(i))
        return QVariant();
    const Column& c = msg.At(i);
    const unsigned char* p = msg.Buffer() + c.Offset;
    switch (c.Type) {
    case SQL_SHORT:
        if (c.Scale < 0)
            return QVariant::fromValue(Decimal(Load<qint16>(p), -c.Scale));
        return QVariant(qint32(Load<qint16>(p)));
    case SQL_LONG:
        if (c.Scale < 0)
            return QVariant::fromValue(Decimal(Load<qint32>(p), -c.Scale));
        return QVariant(Load<qint32>(p));
    case SQL_INT64:
        if (c.Scale < 0)
            return QVariant::fromValue(Decimal(Load<qint64>(p), -c.Scale));
        return QVariant(Load<qint64>(p));
    case SQL_FLOAT:
        return QVariant(double(Load<float>(p)));
    case SQL_DOUBLE:
    case SQL_D_FLOAT:
        return QVariant(Load<double>(p));
    case SQL_TEXT: {
        QString s = DecodeText(c, reinterpret_cast<const char*>(p), c.Length, *ctx.ConnectionCodec);
        // Multi-byte sets pad to the byte length; CHAR(n) keeps n characters.
        if (c.BytesPerChar() > 1 && s.size() > c.CharLength())
            s.truncate(c.CharLength());
        return QVariant(s);
    }
    case SQL_VARYING: {
        const unsigned short n = Load<unsigned short>(p);
        return QVariant(DecodeText(c, reinterpret_cast<const char*>(p + 2), n, *ctx.ConnectionCodec));
    }
    case SQL_TYPE_DATE:
        return QVariant(DateOf(Load<ISC_DATE>(p)));
    case SQL_TYPE_TIME:
        return QVariant(TimeOf(Load<ISC_TIME>(p)));
    case SQL_TIMESTAMP: {
        const auto ts = Load<ISC_TIMESTAMP>(p);
        return QVariant(QDateTime(DateOf(ts.timestamp_date), TimeOf(ts.timestamp_time)));
    }
    case SQL_BLOB: {
        const QByteArray data = ReadBlob(*ctx.St, ctx.Attachment, ctx.Transaction, Load<ISC_QUAD>(p));
        if (c.SubType == 1)
            return QVariant(DecodeText(c, data.constData(), data.size(), *ctx.ConnectionCodec));
        return QVariant(data);
    }
    case SQL_BOOLEAN:
        return QVariant(Load<FB_BOOLEAN>(p) != 0);
    case SQL_NULL:
        return QVariant();
    default:
        throw EDatabaseError(QStringLiteral("Field '%1': %2 is not supported").arg(c.Alias, c.TypeName()));
    }
}

void WriteValue(Message& msg, int i, const QVariant& value, const ValueContext& ctx, const QString& paramName)
{
    if (value.metaType() == QMetaType::fromType<TPacketCell>()) {
        const TPacketCell& cell = *static_cast<const TPacketCell*>(value.constData());
        if (cell.IsNull()) {
            Store<short>(msg.Buffer() + msg.At(i).NullOffset, -1);
            return;
        }
        if (WriteCell(msg, i, cell)) {
            Store<short>(msg.Buffer() + msg.At(i).NullOffset, 0);
            return;
        }
        WriteValue(msg, i, cell.Value(), ctx, paramName);
        return;
    }
    const Column& c = msg.At(i);
    unsigned char* buffer = msg.Buffer();
    if (value.isNull()) {
        Store<short>(buffer + c.NullOffset, -1);
        return;
    }
    unsigned char* p = buffer + c.Offset;
    switch (c.Type) {
    case SQL_SHORT:
    case SQL_LONG:
    case SQL_INT64: {
        const int scale = c.Scale < 0 ? -c.Scale : 0;
        qint64 units;
        if (scale == 0 && IsIntegerType(value.typeId())) {
            auto i64 = IntegerOf(value);
            if (!i64)
                CannotConvert(paramName, value, c);
            units = *i64;
        } else {
            auto d = DecimalOf(value, scale);
            if (!d)
                CannotConvert(paramName, value, c);
            units = d->Units();
        }
        if (c.Type == SQL_SHORT) {
            if (units < std::numeric_limits<qint16>::min() || units > std::numeric_limits<qint16>::max())
                CannotConvert(paramName, value, c);
            Store<qint16>(p, qint16(units));
        } else if (c.Type == SQL_LONG) {
            if (units < std::numeric_limits<qint32>::min() || units > std::numeric_limits<qint32>::max())
                CannotConvert(paramName, value, c);
            Store<qint32>(p, qint32(units));
        } else {
            Store<qint64>(p, units);
        }
        break;
    }
    case SQL_FLOAT:
    case SQL_DOUBLE:
    case SQL_D_FLOAT: {
        auto x = DoubleOf(value);
        if (!x)
            CannotConvert(paramName, value, c);
        if (c.Type == SQL_FLOAT)
            Store<float>(p, float(*x));
        else
            Store<double>(p, *x);
        break;
    }
    case SQL_TEXT:
    case SQL_VARYING: {
        auto bytes = TextOf(value, c, *ctx.ConnectionCodec);
        if (!bytes)
            CannotConvert(paramName, value, c);
        if (unsigned(bytes->size()) > c.Length) {
            throw EDatabaseError(
                QStringLiteral("Parameter '%1': string right truncation (%2 bytes do not fit %3)")
                    .arg(paramName)
                    .arg(bytes->size())
                    .arg(c.TypeName()));
        }
        if (c.Type == SQL_VARYING) {
            Store<unsigned short>(p, static_cast<unsigned short>(bytes->size()));
            std::memcpy(p + 2, bytes->constData(), size_t(bytes->size()));
        } else {
            std::memcpy(p, bytes->constData(), size_t(bytes->size()));
            std::memset(p + bytes->size(), ' ', c.Length - unsigned(bytes->size()));
        }
        break;
    }
    case SQL_TYPE_DATE: {
        ISC_DATE d;
        auto date = DateOfVariant(value);
        if (!date || !EncodeDate(*date, d))
            CannotConvert(paramName, value, c);
        Store(p, d);
        break;
    }
    case SQL_TYPE_TIME: {
        ISC_TIME t;
        auto time = TimeOfVariant(value);
        if (!time || !EncodeTime(*time, t))
            CannotConvert(paramName, value, c);
        Store(p, t);
        break;
    }
    case SQL_TIMESTAMP: {
        ISC_TIMESTAMP ts;
        auto dt = DateTimeOfVariant(value);
        if (!dt || !dt->isValid())
            CannotConvert(paramName, value, c);
        const QDateTime local = dt->timeSpec() == Qt::LocalTime ? *dt : dt->toLocalTime();
        if (!EncodeDate(local.date(), ts.timestamp_date) || !EncodeTime(local.time(), ts.timestamp_time))
            CannotConvert(paramName, value, c);
        Store(p, ts);
        break;
    }
    case SQL_BLOB: {
        QByteArray data;
        if (value.typeId() == QMetaType::QByteArray) {
            data = value.toByteArray();
        } else {
            auto text = TextOf(value, c, *ctx.ConnectionCodec);
            if (!text)
                CannotConvert(paramName, value, c);
            data = *text;
        }
        Store(p, WriteBlob(*ctx.St, ctx.Attachment, ctx.Transaction, data));
        break;
    }
    case SQL_BOOLEAN: {
        bool b;
        const int id = value.typeId();
        if (id == QMetaType::Bool || IsIntegerType(id)) {
            b = value.toLongLong() != 0;
        } else if (id == QMetaType::QString) {
            const QString s = value.toString().trimmed().toLower();
            if (s == u"true" || s == u"1")
                b = true;
            else if (s == u"false" || s == u"0")
                b = false;
            else
                CannotConvert(paramName, value, c);
        } else {
            CannotConvert(paramName, value, c);
        }
        Store<FB_BOOLEAN>(p, b ? FB_TRUE : FB_FALSE);
        break;
    }
    case SQL_NULL:
        break;
    default:
        CannotConvert(paramName, value, c);
    }
    Store<short>(buffer + c.NullOffset, 0);
}

TFieldDef FieldDefOf(const Column& c, int precision)
{
    TFieldDef def;
    def.Name = c.Alias;
    def.Required = !c.Nullable;
    const auto numeric = [&](TFieldType plain, int defaultPrecision) {
        if (c.Scale < 0) {
            def.DataType = TFieldType::ftFMTBcd;
            def.Size = precision > 0 ? precision : defaultPrecision;
            def.Scale = -c.Scale;
        } else {
            def.DataType = plain;
        }
    };
    switch (c.Type) {
    case SQL_SHORT:
        numeric(TFieldType::ftSmallint, 4);
        break;
    case SQL_LONG:
        numeric(TFieldType::ftInteger, 9);
        break;
    case SQL_INT64:
        numeric(TFieldType::ftLargeint, 18);
        break;
    case SQL_TEXT:
        def.DataType = TFieldType::ftFixedChar;
        def.Size = c.CharLength();
        break;
    case SQL_VARYING:
        def.DataType = TFieldType::ftString;
        def.Size = c.CharLength();
        break;
    case SQL_TYPE_DATE:
        def.DataType = TFieldType::ftDate;
        break;
    case SQL_TYPE_TIME:
        def.DataType = TFieldType::ftTime;
        break;
    case SQL_TIMESTAMP:
        def.DataType = TFieldType::ftTimeStamp;
        break;
    case SQL_BLOB:
        def.DataType = c.SubType == 1 ? TFieldType::ftMemo : TFieldType::ftBlob;
        break;
    default:
        def.DataType = TFieldType::ftUnknown;
        break;
    }
    return def;
}

} // namespace fb
