#include "FbMessage.h"

#include "FbConvert.h"

#include "platform/types/DataPacket.h"

#include <QMetaType>

#include <cstring>
#include <limits>

using namespace Firebird;

namespace fb {

namespace {

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

// The unscaled value of an SQL_SHORT, SQL_LONG or SQL_INT64 column.
qint64 LoadInteger(const unsigned char* p, unsigned sqlType)
{
    return sqlType == SQL_SHORT ? Load<qint16>(p) : sqlType == SQL_LONG ? Load<qint32>(p) : Load<qint64>(p);
}

// False, storing nothing, when `units` do not fit the column.
bool StoreInteger(unsigned char* p, unsigned sqlType, qint64 units)
{
    if (!FitsIntegerColumn(sqlType, units))
        return false;
    if (sqlType == SQL_SHORT)
        Store<qint16>(p, qint16(units));
    else if (sqlType == SQL_LONG)
        Store<qint32>(p, qint32(units));
    else
        Store<qint64>(p, units);
    return true;
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
        return StoreInteger(p, c.Type, n);
    }
    case SQL_TEXT:
    case SQL_VARYING: {
        if (def.DataType != TFieldType::ftString && def.DataType != TFieldType::ftFixedChar)
            return false;
        if (!IsLatin1CharSet(c.CharSet))
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
        ISC_DATE d;
        if (def.DataType != TFieldType::ftDate || !IscDateOf(n, d))
            return false;
        Store(p, d);
        return true;
    }
    case SQL_TYPE_TIME: {
        ISC_TIME t;
        if (def.DataType != TFieldType::ftTime || !IscTimeOf(n, t))
            return false;
        Store(p, t);
        return true;
    }
    case SQL_TIMESTAMP: {
        ISC_TIMESTAMP ts;
        if (def.DataType != TFieldType::ftTimeStamp || !IscTimestampOf(n, ts))
            return false;
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
        const qint64 n = LoadInteger(p, c.Type);
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
        if (!IsLatin1CharSet(c.CharSet))
            return false;
        if (c.Type == SQL_VARYING)
            return row.SetLatin1(field, QByteArrayView(p + 2, Load<unsigned short>(p)));
        return row.SetLatin1(field, QByteArrayView(p, c.Length));
    }
    case SQL_TYPE_DATE: {
        qint64 jd;
        if (def.DataType != TFieldType::ftDate || !PacketDayOf(Load<ISC_DATE>(p), jd))
            return false;
        row.SetNumber(field, jd);
        return true;
    }
    case SQL_TYPE_TIME: {
        qint64 ms;
        if (def.DataType != TFieldType::ftTime || !PacketTimeOf(Load<ISC_TIME>(p), ms))
            return false;
        row.SetNumber(field, ms);
        return true;
    }
    case SQL_TIMESTAMP: {
        qint64 ms;
        if (def.DataType != TFieldType::ftTimeStamp || !PacketTimestampOf(Load<ISC_TIMESTAMP>(p), ms))
            return false;
        row.SetNumber(field, ms);
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
    case SQL_LONG:
    case SQL_INT64:
        return IntegerColumnValue(c.Type, LoadInteger(p, c.Type), c.Scale);
    case SQL_FLOAT:
        return QVariant(double(Load<float>(p)));
    case SQL_DOUBLE:
    case SQL_D_FLOAT:
        return QVariant(Load<double>(p));
    case SQL_TEXT: {
        QString s = DecodeText(c.CharSet, reinterpret_cast<const char*>(p), c.Length, *ctx.ConnectionCodec);
        // Multi-byte sets pad to the byte length; CHAR(n) keeps n characters.
        if (c.BytesPerChar() > 1 && s.size() > c.CharLength())
            s.truncate(c.CharLength());
        return QVariant(s);
    }
    case SQL_VARYING: {
        const unsigned short n = Load<unsigned short>(p);
        return QVariant(DecodeText(c.CharSet, reinterpret_cast<const char*>(p + 2), n, *ctx.ConnectionCodec));
    }
    case SQL_TYPE_DATE:
        return QVariant(DateOf(Load<ISC_DATE>(p)));
    case SQL_TYPE_TIME:
        return QVariant(TimeOf(Load<ISC_TIME>(p)));
    case SQL_TIMESTAMP:
        return QVariant(DateTimeOf(Load<ISC_TIMESTAMP>(p)));
    case SQL_BLOB: {
        const QByteArray data = ReadBlob(*ctx.St, ctx.Attachment, ctx.Transaction, Load<ISC_QUAD>(p));
        if (c.SubType == 1)
            return QVariant(DecodeText(c.CharSet, data.constData(), data.size(), *ctx.ConnectionCodec));
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
        if (!StoreInteger(p, c.Type, units))
            CannotConvert(paramName, value, c);
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
        auto bytes = TextOf(value, c.CharSet, *ctx.ConnectionCodec);
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
        if (!dt || !EncodeTimestamp(*dt, ts))
            CannotConvert(paramName, value, c);
        Store(p, ts);
        break;
    }
    case SQL_BLOB: {
        QByteArray data;
        if (value.typeId() == QMetaType::QByteArray) {
            data = value.toByteArray();
        } else {
            auto text = TextOf(value, c.CharSet, *ctx.ConnectionCodec);
            if (!text)
                CannotConvert(paramName, value, c);
            data = *text;
        }
        Store(p, WriteBlob(*ctx.St, ctx.Attachment, ctx.Transaction, data));
        break;
    }
    case SQL_BOOLEAN: {
        auto b = BoolOf(value);
        if (!b)
            CannotConvert(paramName, value, c);
        Store<FB_BOOLEAN>(p, *b ? FB_TRUE : FB_FALSE);
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
