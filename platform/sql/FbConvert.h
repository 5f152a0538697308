#pragma once

// Private to platform/sql: the engine's types and this program's values, apart
// from the message buffer (FbMessage). Numbers: integers and scaled NUMERIC
// columns against the exact Decimal. Calendar: ISC_DATE, ISC_TIME and
// ISC_TIMESTAMP against QDate/QTime/QDateTime and the packet's day, time and
// timestamp numbers. Text: bytes in a column's character set, or the
// connection's where the column's is not a fixed one.
// The per-cell conversions of the packet path are inline.

#include "FbApi.h"

#include "platform/types/Decimal.h"

#include <QDate>
#include <QDateTime>
#include <QTime>
#include <QVariant>

#include <limits>
#include <optional>

namespace fb {

// ---- Numbers

bool IsIntegerType(int typeId);
std::optional<qint64> IntegerOf(const QVariant& v);
// An exact decimal at `scale` for any numeric or textual value; rounds half
// away from zero when the value has more decimals.
std::optional<Decimal> DecimalOf(const QVariant& v, int scale);
std::optional<double> DoubleOf(const QVariant& v);
// Booleans, integers (non-zero is true) and the texts true/false/1/0.
std::optional<bool> BoolOf(const QVariant& v);

// Whether `units` fit an SQL_SHORT, SQL_LONG or SQL_INT64 column.
inline bool FitsIntegerColumn(unsigned sqlType, qint64 units)
{
    if (sqlType == SQL_SHORT)
        return units >= std::numeric_limits<qint16>::min() && units <= std::numeric_limits<qint16>::max();
    if (sqlType == SQL_LONG)
        return units >= std::numeric_limits<qint32>::min() && units <= std::numeric_limits<qint32>::max();
    return true;
}

// The value of an integer column: a Decimal when the column is scaled (the
// engine's scale is negative), else an int (SMALLINT, INTEGER) or a qint64.
inline QVariant IntegerColumnValue(unsigned sqlType, qint64 units, int sqlScale)
{
    if (sqlScale < 0)
        return QVariant::fromValue(Decimal(units, -sqlScale));
    if (sqlType == SQL_INT64)
        return QVariant(units);
    return QVariant(qint32(units));
}

// ---- Calendar

// Day 0 of ISC_DATE is 1858-11-17.
constexpr qint64 iscDateJulianBase = 2400001;
// ISC_TIME counts 1/10000 s.
constexpr unsigned iscTimeUnitsPerMs = 10;
// Packet timestamps count milliseconds from 1970-01-01 (Julian day 2440588).
constexpr qint64 unixEpochJulianDay = 2440588;
constexpr qint64 msPerDay = 86400000;
// Packets carry years 0001 to 9999.
constexpr qint64 kFirstPacketDay = 1721426, kLastPacketDay = 5373484;

inline QDate DateOf(ISC_DATE d)
{
    return QDate::fromJulianDay(qint64(d) + iscDateJulianBase);
}

inline QTime TimeOf(ISC_TIME t)
{
    return QTime::fromMSecsSinceStartOfDay(int(t / iscTimeUnitsPerMs));
}

inline QDateTime DateTimeOf(const ISC_TIMESTAMP& ts)
{
    return QDateTime(DateOf(ts.timestamp_date), TimeOf(ts.timestamp_time));
}

// False for an invalid value or a date ISC_DATE cannot hold.
bool EncodeDate(const QDate& d, ISC_DATE& out);
bool EncodeTime(const QTime& t, ISC_TIME& out);
// In local time, as the engine's TIMESTAMP has no zone.
bool EncodeTimestamp(const QDateTime& dt, ISC_TIMESTAMP& out);

// Dates, times and timestamps from a value of the same kind or its text.
std::optional<QDate> DateOfVariant(const QVariant& v);
std::optional<QTime> TimeOfVariant(const QVariant& v);
std::optional<QDateTime> DateTimeOfVariant(const QVariant& v);

// The packet's numbers (Julian day; ms of the day; ms since 1970-01-01) from
// the engine's; false outside the packet's years.
inline bool PacketDayOf(ISC_DATE d, qint64& jd)
{
    jd = qint64(d) + iscDateJulianBase;
    return jd >= kFirstPacketDay && jd <= kLastPacketDay;
}

inline bool PacketTimeOf(ISC_TIME t, qint64& ms)
{
    ms = t / iscTimeUnitsPerMs;
    return ms < msPerDay;
}

inline bool PacketTimestampOf(const ISC_TIMESTAMP& ts, qint64& ms)
{
    qint64 jd, time;
    if (!PacketDayOf(ts.timestamp_date, jd) || !PacketTimeOf(ts.timestamp_time, time))
        return false;
    ms = (jd - unixEpochJulianDay) * msPerDay + time;
    return true;
}

// And back; false when the engine's type cannot hold the value.
inline bool IscDateOf(qint64 jd, ISC_DATE& out)
{
    const qint64 days = jd - iscDateJulianBase;
    if (days < std::numeric_limits<ISC_DATE>::min() || days > std::numeric_limits<ISC_DATE>::max())
        return false;
    out = ISC_DATE(days);
    return true;
}

inline bool IscTimeOf(qint64 ms, ISC_TIME& out)
{
    if (ms < 0 || ms >= msPerDay)
        return false;
    out = ISC_TIME(ms) * iscTimeUnitsPerMs;
    return true;
}

inline bool IscTimestampOf(qint64 ms, ISC_TIMESTAMP& out)
{
    const qint64 days = ms >= 0 ? ms / msPerDay : -((-ms + msPerDay - 1) / msPerDay);
    if (!IscDateOf(days + unixEpochJulianDay, out.timestamp_date))
        return false;
    out.timestamp_time = ISC_TIME(ms - days * msPerDay) * iscTimeUnitsPerMs;
    return true;
}

// ---- Text

// Character set ids of the engine that matter here.
constexpr unsigned csNone = 0, csOctets = 1, csAscii = 2, csUnicodeFss = 3, csUtf8 = 4, csLatin1 = 21;

// Sets whose bytes are read and written as Latin-1, one byte a character.
inline bool IsLatin1CharSet(unsigned charSet)
{
    return charSet == csLatin1 || charSet == csNone || charSet == csAscii || charSet == csOctets;
}

// Bytes of a column in character set `charSet`; sets other than the fixed
// ones are the connection's.
QString DecodeText(unsigned charSet, const char* data, qsizetype size, const Codec& connection);
QByteArray EncodeText(unsigned charSet, const QString& text, const Codec& connection);
// The bytes of a value written to a text column or text blob: strings in the
// column's set, byte arrays as they are, other values as their usual text.
std::optional<QByteArray> TextOf(const QVariant& v, unsigned charSet, const Codec& connection);

} // namespace fb
