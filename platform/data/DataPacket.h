#pragma once

#include "FieldDefs.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QVariant>

#include <memory>

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
    struct Data;
    std::unique_ptr<Data> d;
};
