#pragma once

#include <QList>
#include <QString>
#include <QStringView>

#include <cstdint>

// Field types the replication moves. Each maps to one fieldtype of the data
// packet and to one column type of the schema builder.
enum class TFieldType
{
    ftUnknown,
    ftSmallint,  // 16-bit; packet i2; SMALLINT
    ftInteger,   // 32-bit; packet i4; INTEGER
    ftLargeint,  // 64-bit; packet i8; BIGINT
    ftString,    // str n; packet string WIDTH=n; VARCHAR(n)
    ftFixedChar, // char n; packet string SUBTYPE=FixedChar; CHAR(n)
    ftFMTBcd,    // dec p.s; packet fixed WIDTH=p DECIMALS=s; NUMERIC(p,s)
    ftDate,      // packet date; DATE
    ftTime,      // packet time; TIME
    ftTimeStamp, // packet dateTime; TIMESTAMP
    ftMemo,      // packet bin.hex SUBTYPE=Text; BLOB SUB_TYPE TEXT
    ftBlob,      // packet bin.hex SUBTYPE=Binary; BLOB SUB_TYPE BINARY
};

// Provider flags of a field, as a bit set (values as in the data packet).
enum TProviderFlag : std::uint8_t
{
    pfInUpdate = 1,
    pfInWhere = 2,
    pfInKey = 4,
};
using TProviderFlags = std::uint8_t;

struct TFieldDef
{
    QString Name;
    TFieldType DataType = TFieldType::ftUnknown;
    int Size = 0;  // width of strings, precision of decimals
    int Scale = 0; // decimals of ftFMTBcd
    bool Required = false;
    bool ReadOnly = false;
    TProviderFlags ProviderFlags = 0;

    bool InKey() const { return (ProviderFlags & pfInKey) != 0; }
    friend bool operator==(const TFieldDef&, const TFieldDef&) = default;
};

using TFieldDefs = QList<TFieldDef>;

// Names of fields and parameters are equal without regard to case.
bool SameName(QStringView a, QStringView b);

// Index of the field with that name, compared without regard to case; -1 if none.
// `from` is where the search starts (callers walking fields in order pass the
// index after the last match).
int IndexOfField(const TFieldDefs& defs, QStringView name, int from = 0);

// Parses the field-list notation used by the provider catalogues:
// "PKALIQUOTA int K; NMALIQUOTA str 60; PEALIQUOTA dec 15.2; FOTO blob".
// Types: int, small, bigint, str N, char N, dec P.S, date, time, timestamp, memo, blob.
// Marks: K (flags 7, required), F (flags 7), R (required), RO (read-only).
// Raises EDatabaseError naming the entry on anything it does not understand.
// `keyImpliesRequired` false reads K as the key flags alone (the transaction
// lists write "K R" for a required key field).
TFieldDefs ParseFieldList(QStringView notation, bool keyImpliesRequired = true);

// The notation of one field definition, as ParseFieldList reads it.
QString FieldListEntry(const TFieldDef& def);

// The Firebird column type of a field definition ("NUMERIC(15,2)", "VARCHAR(60)").
QString SqlColumnType(const TFieldDef& def);

// True for a plain SQL identifier: letters, digits, '_' and '$', not starting
// with a digit, at most 63 characters. Names that reach statement text unquoted
// must pass this.
bool IsPlainIdentifier(QStringView name);

// Raises EInvalidIdentifier naming `name` unless it is a plain identifier.
// `what` says what kind of name it is ("table", "field").
void RequirePlainIdentifier(QStringView name, const char* what);

// `text` as an SQL string literal: single quotes around, inner ones doubled.
QString QuotedSqlString(const QString& text);
