#pragma once

#include "FieldDefs.h"

#include <QList>
#include <QString>
#include <QVariant>

class Decimal;
class TPacketCell;

// A named parameter of a statement or a provider. A null Value is SQL NULL.
struct TParam
{
    QString Name;
    TFieldType DataType = TFieldType::ftUnknown;
    QVariant Value;

    bool IsNull() const { return Value.isNull(); }
    void Clear() { Value = QVariant(); }
    // Value refers to the cell instead of holding a copy (a null or empty cell
    // makes Value null); statements bind the cell straight from its packet.
    // DataType stays as it is.
    void SetCell(TPacketCell cell);
    // Value, with a packet cell resolved into the value it holds.
    QVariant PlainValue() const;
    void SetAsString(const QString& v);
    void SetAsInteger(qint32 v);
    void SetAsLargeInt(qint64 v);
    void SetAsDecimal(const Decimal& v);
    QString AsString() const;
    qint32 AsInteger() const;
};

// Ordered parameter collection; names compared without regard to case.
class TParams
{
public:
    int Count() const { return int(m_items.size()); }
    bool IsEmpty() const { return m_items.isEmpty(); }
    TParam& operator[](int i) { return m_items[i]; }
    const TParam& operator[](int i) const { return m_items[i]; }
    TParam& Add(const QString& name, TFieldType type = TFieldType::ftUnknown);
    void Clear() { m_items.clear(); }

    TParam* FindParam(QStringView name);
    const TParam* FindParam(QStringView name) const;
    // Raises EDatabaseError "Parameter 'NAME' not found" when absent.
    TParam& ParamByName(QStringView name);

    auto begin() { return m_items.begin(); }
    auto end() { return m_items.end(); }
    auto begin() const { return m_items.begin(); }
    auto end() const { return m_items.end(); }

private:
    QList<TParam> m_items;
};

// A field of the current row of a data set: its definition and its value.
// A small value object; it stays valid after the data set moves on.
class TField
{
public:
    TField(const TFieldDef* def, QVariant value) : m_def(def), m_value(std::move(value)) {}

    const TFieldDef& Def() const { return *m_def; }
    const QString& FieldName() const { return m_def->Name; }
    TFieldType DataType() const { return m_def->DataType; }
    bool Required() const { return m_def->Required; }
    TProviderFlags ProviderFlags() const { return m_def->ProviderFlags; }

    bool IsNull() const { return m_value.isNull(); }
    const QVariant& Value() const { return m_value; }
    // Conversions as the channels use them; a null reads as empty text or 0.
    QString AsString() const;
    qint32 AsInteger() const;
    qint64 AsLargeInt() const;

private:
    const TFieldDef* m_def;
    QVariant m_value;
};
