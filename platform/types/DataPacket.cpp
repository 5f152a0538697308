#include "DataPacket.h"

#include "Decimal.h"
#include "PacketStore.h"

#include <QDate>
#include <QDateTime>
#include <QTime>

#include <limits>

using namespace packet;

namespace {

QString TypeName(const TFieldDef& def)
{
    return FieldListEntry(TFieldDef{QString(), def.DataType, def.Size, def.Scale}).trimmed();
}

[[noreturn]] void DoesNotFit(const TFieldDef& def, const QVariant& v, const QString& why = {})
{
    QString shown = v.metaType() == QMetaType::fromType<Decimal>() ? v.value<Decimal>().ToString() : v.toString();
    if (shown.size() > 40)
        shown = shown.left(40) + QStringLiteral("...");
    QString msg = QStringLiteral("Field '%1': value '%2' (%3) does not fit %4")
                      .arg(def.Name, shown, QString::fromLatin1(v.metaType().name()), TypeName(def));
    if (!why.isEmpty())
        msg += QStringLiteral(" (%1)").arg(why);
    throw EPacketError(msg);
}

bool IsIntegerType(const QMetaType& t)
{
    switch (t.id()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar: return true;
    default: return false;
    }
}

// The value as an exact number of units at `scale`; false when it is not an
// exact number there (a fraction too fine, overflow, not a number).
bool ExactUnits(const QVariant& v, int scale, qint64& units)
{
    const QMetaType t = v.metaType();
    std::optional<Decimal> d;
    if (t == QMetaType::fromType<Decimal>()) {
        d = v.value<Decimal>();
    } else if (IsIntegerType(t)) {
        if (t.id() == QMetaType::ULongLong || t.id() == QMetaType::ULong) {
            const qulonglong u = v.toULongLong();
            if (u > qulonglong(std::numeric_limits<qint64>::max()))
                return false;
            d = Decimal(qint64(u), 0);
        } else {
            d = Decimal(v.toLongLong(), 0);
        }
    } else if (t.id() == QMetaType::QString) {
        d = Decimal::Parse(v.toString().trimmed());
    }
    if (!d || d->Scale() < 0 || d->Scale() > 18)
        return false;
    const auto exact = d->ExactlyAt(scale);
    if (!exact)
        return false;
    units = exact->Units();
    return true;
}

bool DateOf(const QVariant& v, QDate& date)
{
    if (v.metaType().id() == QMetaType::QDate)
        date = v.toDate();
    else if (v.metaType().id() == QMetaType::QDateTime)
        date = v.toDateTime().toLocalTime().date(); // wall-clock time, as the database keeps it
    else
        return false;
    return date.isValid() && date.toJulianDay() >= kMinJulianDay && date.toJulianDay() <= kMaxJulianDay;
}

// Text that an XML 1.0 attribute can carry, at most `width` characters when a
// width is set (trailing blanks beyond it are dropped, not refused).
QString CheckedText(const TFieldDef& def, const QVariant& v)
{
    QString s = v.toString();
    qsizetype codePoints = 0;
    for (qsizetype i = 0; i < s.size(); ++i) {
        const char16_t c = s[i].unicode();
        if (c < 0x20 && c != 0x9 && c != 0xA && c != 0xD)
            DoesNotFit(def, v, QStringLiteral("control character %1 cannot travel in a data packet").arg(int(c)));
        if (c == 0xFFFE || c == 0xFFFF)
            DoesNotFit(def, v, QStringLiteral("non-character U+%1").arg(int(c), 4, 16, QLatin1Char('0')));
        if (QChar::isHighSurrogate(c)) {
            if (i + 1 >= s.size() || !QChar::isLowSurrogate(s[i + 1].unicode()))
                DoesNotFit(def, v, QStringLiteral("unpaired surrogate"));
            ++i;
        } else if (QChar::isLowSurrogate(c)) {
            DoesNotFit(def, v, QStringLiteral("unpaired surrogate"));
        }
        ++codePoints;
    }
    if (def.Size > 0 && codePoints > def.Size) {
        // Cut trailing blanks only; anything else is data that would be lost.
        qsizetype end = s.size();
        while (codePoints > def.Size && end > 0 && s[end - 1] == u' ') {
            --end;
            --codePoints;
        }
        if (codePoints > def.Size)
            DoesNotFit(def, v, QStringLiteral("longer than %1 characters").arg(def.Size));
        s.truncate(end);
    }
    if (def.DataType == TFieldType::ftFixedChar && def.Size > 0 && codePoints < def.Size)
        s.append(QString(def.Size - codePoints, u' '));
    return s;
}

struct ConvertedValue
{
    bool null = true;
    qint64 num = 0;
    QString text;
    QByteArray bytes;
};

void Convert(const TFieldDef& def, const QVariant& v, ConvertedValue& cell)
{
    if (v.isNull())
        return;
    cell.null = false;
    const int typeId = v.metaType().id();
    switch (def.DataType) {
    case TFieldType::ftSmallint:
    case TFieldType::ftInteger:
    case TFieldType::ftLargeint: {
        qint64 n;
        if (!ExactUnits(v, 0, n))
            DoesNotFit(def, v);
        const qint64 lo = def.DataType == TFieldType::ftSmallint ? std::numeric_limits<qint16>::min()
                          : def.DataType == TFieldType::ftInteger ? std::numeric_limits<qint32>::min()
                                                                  : std::numeric_limits<qint64>::min();
        const qint64 hi = def.DataType == TFieldType::ftSmallint ? std::numeric_limits<qint16>::max()
                          : def.DataType == TFieldType::ftInteger ? std::numeric_limits<qint32>::max()
                                                                  : std::numeric_limits<qint64>::max();
        if (n < lo || n > hi)
            DoesNotFit(def, v, QStringLiteral("out of range"));
        cell.num = n;
        return;
    }
    case TFieldType::ftFMTBcd:
        if (!ExactUnits(v, def.Scale, cell.num))
            DoesNotFit(def, v, typeId == QMetaType::Double || typeId == QMetaType::Float
                                   ? QStringLiteral("floating point is not exact")
                                   : QString());
        return;
    case TFieldType::ftDate: {
        QDate d;
        if (!DateOf(v, d))
            DoesNotFit(def, v);
        cell.num = d.toJulianDay();
        return;
    }
    case TFieldType::ftTime: {
        QTime t;
        if (typeId == QMetaType::QTime)
            t = v.toTime();
        else if (typeId == QMetaType::QDateTime)
            t = v.toDateTime().toLocalTime().time();
        if (!t.isValid())
            DoesNotFit(def, v);
        cell.num = t.msecsSinceStartOfDay();
        return;
    }
    case TFieldType::ftTimeStamp: {
        QDate d;
        QTime t(0, 0);
        if (!DateOf(v, d))
            DoesNotFit(def, v);
        if (typeId == QMetaType::QDateTime)
            t = v.toDateTime().toLocalTime().time();
        cell.num = (d.toJulianDay() - kEpochJulianDay) * kMsPerDay + t.msecsSinceStartOfDay();
        return;
    }
    case TFieldType::ftString:
    case TFieldType::ftFixedChar:
        if (typeId != QMetaType::QString && typeId != QMetaType::QByteArray && typeId != QMetaType::QChar)
            DoesNotFit(def, v, QStringLiteral("not text"));
        cell.text = CheckedText(def, typeId == QMetaType::QByteArray ? QVariant(QString::fromUtf8(v.toByteArray())) : v);
        return;
    case TFieldType::ftMemo:
        if (typeId == QMetaType::QString)
            cell.bytes = v.toString().toUtf8();
        else if (typeId == QMetaType::QByteArray)
            cell.bytes = v.toByteArray();
        else
            DoesNotFit(def, v, QStringLiteral("not text"));
        return;
    case TFieldType::ftBlob:
        if (typeId == QMetaType::QByteArray)
            cell.bytes = v.toByteArray();
        else if (typeId == QMetaType::QString)
            cell.bytes = v.toString().toUtf8();
        else
            DoesNotFit(def, v, QStringLiteral("not bytes"));
        return;
    case TFieldType::ftUnknown: break;
    }
    DoesNotFit(def, v);
}

const TFieldDefs& EmptyDefs()
{
    static const TFieldDefs empty;
    return empty;
}

} // namespace

namespace packet {

bool IsXmlName(QByteArrayView name)
{
    if (name.isEmpty())
        return false;
    for (qsizetype i = 0; i < name.size(); ++i) {
        const uchar c = uchar(name[i]);
        const bool start = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' || c >= 0x80;
        const bool rest = (c >= '0' && c <= '9') || c == '-' || c == '.';
        if (!(start || (i > 0 && rest)))
            return false;
    }
    return true;
}

void CheckFieldDefs(const TFieldDefs& defs)
{
    for (int i = 0; i < defs.size(); ++i) {
        const TFieldDef& def = defs[i];
        if (def.DataType == TFieldType::ftUnknown)
            throw EPacketError(QStringLiteral("Field '%1' has no data type").arg(def.Name));
        if (!IsXmlName(def.Name.toUtf8()))
            throw EPacketError(QStringLiteral("Field name '%1' cannot be used in a data packet").arg(def.Name));
        if (def.DataType == TFieldType::ftFMTBcd && (def.Scale < 0 || def.Scale > 18))
            throw EPacketError(QStringLiteral("Field '%1' has %2 decimals; at most 18 are supported")
                                   .arg(def.Name)
                                   .arg(def.Scale));
        for (int j = 0; j < i; ++j)
            if (defs[j].Name.compare(def.Name, Qt::CaseInsensitive) == 0)
                throw EPacketError(QStringLiteral("Field '%1' is defined twice").arg(def.Name));
    }
}

// Civil calendar (proleptic Gregorian) <-> days, after H. Hinnant's algorithms.
void CivilFromJulianDay(qint64 jd, int& y, int& m, int& d)
{
    qint64 z = jd - kEpochJulianDay + 719468;
    const qint64 era = (z >= 0 ? z : z - 146096) / 146097;
    const qint64 doe = z - era * 146097;
    const qint64 yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const qint64 doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const qint64 mp = (5 * doy + 2) / 153;
    d = int(doy - (153 * mp + 2) / 5 + 1);
    m = int(mp < 10 ? mp + 3 : mp - 9);
    y = int(yoe + era * 400 + (m <= 2 ? 1 : 0));
}

qint64 JulianDayFromCivil(int y, int m, int d)
{
    y -= m <= 2 ? 1 : 0;
    const qint64 era = (y >= 0 ? y : y - 399) / 400;
    const qint64 yoe = y - era * 400;
    const qint64 doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const qint64 doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468 + kEpochJulianDay;
}

bool ValidCivilDate(int y, int m, int d)
{
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (y < 1 || y > 9999 || m < 1 || m > 12 || d < 1)
        return false;
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return d <= kDays[m - 1] + (m == 2 && leap ? 1 : 0);
}

} // namespace packet

Store::Store(TFieldDefs defs) : fields(std::move(defs))
{
    columns.resize(size_t(fields.size()));
    for (int i = 0; i < fields.size(); ++i)
        columns[size_t(i)].kind = KindOf(fields[i].DataType);
}

void Store::TruncateRows(qsizetype count)
{
    if (count >= rows)
        return;
    for (auto& c : columns) {
        if (c.kind == Kind::Text)
            c.chars.Truncate(c.Start(count));
        else if (c.kind == Kind::Bytes)
            c.bytes.Truncate(c.Start(count));
        c.nums.Truncate(count);
        c.present.Truncate((count + 63) / 64);
        if (count % 64)
            c.present[count / 64] &= (quint64(1) << (count % 64)) - 1;
    }
    rows = count;
}

TDataPacket::TDataPacket() = default;

TDataPacket::TDataPacket(TFieldDefs fields)
{
    CheckFieldDefs(fields);
    d = std::make_shared<Data>(std::move(fields));
}

TDataPacket::TDataPacket(const TDataPacket& o) : d(o.d ? std::make_shared<Data>(*o.d) : nullptr) {}

TDataPacket& TDataPacket::operator=(const TDataPacket& o)
{
    if (this != &o)
        d = o.d ? std::make_shared<Data>(*o.d) : nullptr;
    return *this;
}

TDataPacket::TDataPacket(TDataPacket&&) noexcept = default;
TDataPacket& TDataPacket::operator=(TDataPacket&&) noexcept = default;
TDataPacket::~TDataPacket() = default;

const TFieldDefs& TDataPacket::Fields() const { return d ? d->fields : EmptyDefs(); }

int TDataPacket::RowCount() const { return d ? int(d->rows) : 0; }

namespace {

void RequireCell(const packet::Store* s, int row, int field)
{
    if (!s || row < 0 || row >= s->rows || field < 0 || field >= s->fields.size())
        throw EPacketError(QStringLiteral("Row %1, field %2: no such value in the data packet").arg(row).arg(field));
}

QVariant ValueOf(const packet::Store& s, int row, int field)
{
    const Column& c = s.columns[size_t(field)];
    if (!c.IsPresent(row))
        return QVariant();
    const TFieldDef& def = s.fields[field];
    const qint64 n = c.nums[row];
    switch (def.DataType) {
    case TFieldType::ftSmallint:
    case TFieldType::ftInteger: return QVariant(int(n));
    case TFieldType::ftLargeint: return QVariant(qlonglong(n));
    case TFieldType::ftFMTBcd: return QVariant::fromValue(Decimal(n, def.Scale));
    case TFieldType::ftDate: return QVariant(QDate::fromJulianDay(n));
    case TFieldType::ftTime: return QVariant(QTime::fromMSecsSinceStartOfDay(int(n)));
    case TFieldType::ftTimeStamp: {
        const qint64 days = n >= 0 ? n / kMsPerDay : -((-n + kMsPerDay - 1) / kMsPerDay);
        return QVariant(QDateTime(QDate::fromJulianDay(days + kEpochJulianDay),
                                  QTime::fromMSecsSinceStartOfDay(int(n - days * kMsPerDay))));
    }
    case TFieldType::ftString:
    case TFieldType::ftFixedChar: {
        const qint64 start = c.Start(row);
        return QVariant(QString(reinterpret_cast<const QChar*>(c.chars.Data() + start), qsizetype(n - start)));
    }
    case TFieldType::ftMemo: {
        const qint64 start = c.Start(row);
        return QVariant(QString::fromUtf8(c.bytes.Data() + start, qsizetype(n - start)));
    }
    case TFieldType::ftBlob: {
        const qint64 start = c.Start(row);
        return QVariant(QByteArray(c.bytes.Data() + start, qsizetype(n - start)));
    }
    case TFieldType::ftUnknown: break;
    }
    return QVariant();
}

} // namespace

QVariant TDataPacket::Value(int row, int field) const
{
    RequireCell(d.get(), row, field);
    return ValueOf(*d, row, field);
}

TPacketCell TDataPacket::Cell(int row, int field) const
{
    RequireCell(d.get(), row, field);
    TPacketCell cell;
    cell.d = d;
    cell.m_row = row;
    cell.m_field = field;
    return cell;
}

bool TPacketCell::IsNull() const { return !d || !d->columns[size_t(m_field)].IsPresent(m_row); }

const TFieldDef& TPacketCell::Def() const
{
    if (!d)
        throw EPacketError(QStringLiteral("The packet cell is empty"));
    return d->fields[m_field];
}

qint64 TPacketCell::Number() const { return IsNull() ? 0 : d->columns[size_t(m_field)].nums[m_row]; }

QStringView TPacketCell::Text() const
{
    if (IsNull())
        return {};
    const Column& c = d->columns[size_t(m_field)];
    const qint64 start = c.Start(m_row);
    return QStringView(c.chars.Data() + start, qsizetype(c.nums[m_row] - start));
}

QByteArrayView TPacketCell::Bytes() const
{
    if (IsNull())
        return {};
    const Column& c = d->columns[size_t(m_field)];
    const qint64 start = c.Start(m_row);
    return QByteArrayView(c.bytes.Data() + start, qsizetype(c.nums[m_row] - start));
}

TDataPacket::TRowDigest TDataPacket::RowDigest(int row) const
{
    if (!d || row < 0 || row >= d->rows)
        throw EPacketError(QStringLiteral("Row %1: no such row in the data packet").arg(row));
    // Numbers are mixed in place; a text or binary value is hashed once and
    // its hash mixed with its size, so that no two values run together.
    const auto mix = [](size_t h, quint64 v, quint64 k) {
        h = (h ^ v) * k;
        return h ^ (h >> 29);
    };
    constexpr quint64 kA = 0x9e3779b97f4a7c15ull, kB = 0xc2b2ae3d27d4eb4full;
    TRowDigest h{0x243f6a8885a308d3ull, 0x13198a2e03707344ull};
    for (const Column& c : d->columns) {
        quint64 v;
        quint64 tag;
        if (!c.IsPresent(row)) {
            v = 0;
            tag = 1;
        } else if (c.kind == Kind::Number) {
            v = quint64(c.nums[row]);
            tag = 2;
        } else {
            const qint64 start = c.Start(row);
            const qint64 size = c.nums[row] - start;
            v = c.kind == Kind::Text ? qHashBits(c.chars.Data() + start, size_t(size) * sizeof(char16_t), 0)
                                     : qHashBits(c.bytes.Data() + start, size_t(size), 0);
            tag = (c.kind == Kind::Text ? 3 : 4) + (quint64(size) << 3);
        }
        h.A = mix(mix(h.A, tag, kA), v, kA);
        h.B = mix(mix(h.B, tag, kB), v, kB);
    }
    return h;
}

QVariant TPacketCell::Value() const { return d ? ValueOf(*d, m_row, m_field) : QVariant(); }

void TDataPacket::AppendRow(const QList<QVariant>& values)
{
    if (!d)
        d = std::make_shared<Data>(TFieldDefs());
    if (values.size() != d->fields.size())
        throw EPacketError(QStringLiteral("A row of %1 values does not fit a packet of %2 fields")
                               .arg(values.size())
                               .arg(d->fields.size()));
    TPacketRowAppender row(*this);
    for (int i = 0; i < values.size(); ++i)
        row.SetValue(i, values[i]);
    row.Commit();
}

namespace {

Column& UnsetColumn(packet::Store& s, qsizetype row, int field)
{
    if (field < 0 || field >= s.fields.size())
        throw EPacketError(QStringLiteral("Field %1: no such field in the data packet").arg(field));
    Column& c = s.columns[size_t(field)];
    // Text and bytes of a row sit behind those of the rows before it: a
    // second value would leave the first one in between.
    if (c.IsPresent(row))
        throw EPacketError(QStringLiteral("Field '%1' is given twice in one row").arg(s.fields[field].Name));
    return c;
}

} // namespace

TDataPacket::Data& TPacketRowAppender::DataOf(TDataPacket& packet)
{
    if (!packet.d)
        packet.d = std::make_shared<TDataPacket::Data>(TFieldDefs());
    if (packet.d->rows >= std::numeric_limits<int>::max())
        throw EPacketError(QStringLiteral("The data packet is full"));
    return *packet.d;
}

TPacketRowAppender::TPacketRowAppender(TDataPacket& packet) : m_data(DataOf(packet)), m_row(m_data.rows)
{
    m_data.OpenRow();
}

TPacketRowAppender::~TPacketRowAppender()
{
    if (!m_committed)
        m_data.TruncateRows(m_row);
}

const TFieldDef& TPacketRowAppender::Def(int field) const { return m_data.fields[field]; }

void TPacketRowAppender::SetValue(int field, const QVariant& value)
{
    Column& c = UnsetColumn(m_data, m_row, field);
    ConvertedValue cell;
    Convert(m_data.fields[field], value, cell);
    if (cell.null)
        return;
    switch (c.kind) {
    case Kind::Number: c.nums[m_row] = cell.num; break;
    case Kind::Text:
        std::memcpy(c.chars.Extend(cell.text.size()), cell.text.utf16(), size_t(cell.text.size()) * sizeof(char16_t));
        c.nums[m_row] = c.chars.Size();
        break;
    case Kind::Bytes:
        std::memcpy(c.bytes.Extend(cell.bytes.size()), cell.bytes.constData(), size_t(cell.bytes.size()));
        c.nums[m_row] = c.bytes.Size();
        break;
    }
    c.SetPresent(m_row);
}

void TPacketRowAppender::SetNumber(int field, qint64 n)
{
    Column& c = UnsetColumn(m_data, m_row, field);
    if (c.kind != Kind::Number)
        throw EPacketError(QStringLiteral("Field '%1' does not hold numbers").arg(m_data.fields[field].Name));
    c.nums[m_row] = n;
    c.SetPresent(m_row);
}

bool TPacketRowAppender::SetLatin1(int field, QByteArrayView text)
{
    Column& c = UnsetColumn(m_data, m_row, field);
    if (c.kind != Kind::Text)
        return false;
    const TFieldDef& def = m_data.fields[field];
    // The rules of CheckedText for text that is one character per byte, with
    // neither surrogates nor non-characters possible.
    qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const uchar ch = uchar(text[i]);
        if (ch < 0x20 && ch != 0x9 && ch != 0xA && ch != 0xD)
            return false;
    }
    if (def.Size > 0 && n > def.Size) {
        while (n > def.Size && n > 0 && text[n - 1] == ' ')
            --n;
        if (n > def.Size)
            return false;
    }
    const qsizetype padded = def.DataType == TFieldType::ftFixedChar && def.Size > n ? def.Size : n;
    char16_t* out = c.chars.Extend(padded);
    for (qsizetype i = 0; i < n; ++i)
        out[i] = uchar(text[i]);
    for (qsizetype i = n; i < padded; ++i)
        out[i] = u' ';
    c.nums[m_row] = c.chars.Size();
    c.SetPresent(m_row);
    return true;
}

void TPacketRowAppender::Commit() { m_committed = true; }

void TDataPacket::Clear()
{
    if (d)
        d = std::make_shared<Data>(d->fields);
}
