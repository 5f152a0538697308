#pragma once

#include "FieldDefs.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QVariant>

#include <QStringView>

#include <memory>

class TPacketCell;

// The rows of one batch with their field definitions, held column by column so
// that a large batch costs little more memory than its values.
//
// Values are QVariant as in TSQLDataSet: integers, Decimal (at the field's
// scale), QDate, QTime, QDateTime, QString (str, char, memo), QByteArray (blob);
// a null QVariant is NULL.
class TDataPacket
{
public:
    TDataPacket();
    explicit TDataPacket(TFieldDefs fields);
    TDataPacket(const TDataPacket&);
    TDataPacket& operator=(const TDataPacket&);
    TDataPacket(TDataPacket&&) noexcept;
    TDataPacket& operator=(TDataPacket&&) noexcept;
    ~TDataPacket();

    const TFieldDefs& Fields() const;
    int RowCount() const;
    QVariant Value(int row, int field) const;
    // The same value without a QVariant on the way; raises EPacketError as Value does.
    TPacketCell Cell(int row, int field) const;

    // 128 bits of row `row`'s values, each value hashed with its kind and size,
    // so that no two values run together: rows of the same fields holding the
    // same values have the same digest, others differ but by chance. For
    // telling rows apart, not for storing them.
    struct TRowDigest
    {
        size_t A = 0, B = 0;
        bool operator==(const TRowDigest&) const = default;
    };
    TRowDigest RowDigest(int row) const;

    // Appends one row; values in field order, converted to the field's type.
    // Raises EPacketError when a value does not fit its field.
    void AppendRow(const QList<QVariant>& values);
    void Clear(); // rows only

    // The XML data packet text (UTF-8).
    QByteArray ToXml() const;
    // Parses a data packet. Raises EPacketError, naming what is wrong, on text
    // that is not well-formed, a field named twice, a value that does not parse
    // as its field's type or a row attribute that names no field; nothing of a
    // refused packet is kept.
    static TDataPacket FromXml(QByteArrayView xml);

private:
    friend class TPacketCell;
    friend class TPacketRowAppender;
    struct Data;
    // Shared only with TPacketCell; copies of a packet copy its rows.
    std::shared_ptr<Data> d;
};

// One value of a packet as its columns hold it. Statements bind it straight
// into their buffers (CopyRowToParams), which spares building and converting a
// QVariant per value. It keeps the rows it points into alive, so it stays
// valid whatever becomes of the packet afterwards.
class TPacketCell
{
public:
    TPacketCell() = default;

    bool IsNull() const;
    const TFieldDef& Def() const;
    // Integers; decimals as units of Def().Scale; dates as Julian days; times
    // as milliseconds of the day; timestamps as milliseconds since 1970-01-01
    // in local time.
    qint64 Number() const;
    QStringView Text() const;      // str, char
    QByteArrayView Bytes() const;  // memo (UTF-8), blob
    QVariant Value() const;        // as TDataPacket::Value

private:
    friend class TDataPacket;
    std::shared_ptr<const TDataPacket::Data> d;
    int m_row = -1;
    int m_field = -1;
};
// Two pointers and two indexes, moved as bytes: a QVariant keeps it inline
// instead of allocating, once for every value bound from a packet.
Q_DECLARE_TYPEINFO(TPacketCell, Q_RELOCATABLE_TYPE);
Q_DECLARE_METATYPE(TPacketCell)

// Adds one row to a packet value by value. Statements fill it straight from
// their buffers (TSQLDataSet::AppendRowTo), which spares a QVariant per value.
// The row starts with every value null and joins the packet on Commit; an
// appender that goes without committing takes its row away again, so a value
// that does not fit leaves no half row.
class TPacketRowAppender
{
public:
    explicit TPacketRowAppender(TDataPacket& packet); // raises EPacketError when the packet is full
    ~TPacketRowAppender();
    TPacketRowAppender(const TPacketRowAppender&) = delete;
    TPacketRowAppender& operator=(const TPacketRowAppender&) = delete;

    const TFieldDef& Def(int field) const;
    // Converted as AppendRow converts; raises EPacketError when it does not fit.
    void SetValue(int field, const QVariant& value);
    // The value in the field's own terms (see TPacketCell::Number), already
    // known to fit: the caller checks range and scale.
    void SetNumber(int field, qint64 n);
    // str/char text in Latin-1. False, storing nothing, when it needs the
    // general conversion to be taken or refused (a control character, too long).
    bool SetLatin1(int field, QByteArrayView text);
    void Commit();

private:
    static TDataPacket::Data& DataOf(TDataPacket& packet);

    TDataPacket::Data& m_data;
    qsizetype m_row;
    bool m_committed = false;
};
