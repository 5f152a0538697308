#include "Params.h"

#include "DataPacket.h"
#include "Decimal.h"
#include "Exception.h"

#include <QDate>

void TParam::SetAsString(const QString& v)
{
    DataType = TFieldType::ftString;
    Value = v;
}

void TParam::SetAsInteger(qint32 v)
{
    DataType = TFieldType::ftInteger;
    Value = v;
}

void TParam::SetAsLargeInt(qint64 v)
{
    DataType = TFieldType::ftLargeint;
    Value = v;
}

void TParam::SetCell(TPacketCell cell)
{
    if (cell.IsNull())
        Value = QVariant();
    else if (Value.metaType() == QMetaType::fromType<TPacketCell>())
        *static_cast<TPacketCell*>(Value.data()) = std::move(cell); // row after row: no new QVariant
    else
        Value = QVariant::fromValue(cell);
}

QVariant TParam::PlainValue() const
{
    if (Value.metaType() == QMetaType::fromType<TPacketCell>())
        return Value.value<TPacketCell>().Value();
    return Value;
}

void TParam::SetAsDecimal(const Decimal& v)
{
    DataType = TFieldType::ftFMTBcd;
    Value = QVariant::fromValue(v);
}

namespace {

QString VariantText(const QVariant& v)
{
    if (v.isNull())
        return {};
    if (v.metaType() == QMetaType::fromType<Decimal>())
        return v.value<Decimal>().ToString();
    if (v.metaType() == QMetaType::fromType<QDate>())
        return v.toDate().toString(Qt::ISODate);
    return v.toString();
}

qint64 VariantInteger(const QVariant& v)
{
    if (v.isNull())
        return 0;
    if (v.metaType() == QMetaType::fromType<Decimal>()) {
        const auto whole = v.value<Decimal>().Rescaled(0);
        return whole ? whole->Units() : 0;
    }
    bool ok = false;
    const qint64 n = v.toLongLong(&ok);
    if (!ok)
        throw EDatabaseError(QStringLiteral("'%1' is not a valid integer value").arg(v.toString()));
    return n;
}

} // namespace

QString TParam::AsString() const { return VariantText(PlainValue()); }
qint32 TParam::AsInteger() const { return qint32(VariantInteger(PlainValue())); }

TParam& TParams::Add(const QString& name, TFieldType type)
{
    TParam p;
    p.Name = name;
    p.DataType = type;
    m_items.append(std::move(p));
    return m_items.last();
}

TParam* TParams::FindParam(QStringView name)
{
    for (auto& p : m_items)
        if (QStringView(p.Name) == name)
            return &p;
    for (auto& p : m_items)
        if (SameName(p.Name, name))
            return &p;
    return nullptr;
}

const TParam* TParams::FindParam(QStringView name) const
{
    return const_cast<TParams*>(this)->FindParam(name);
}

TParam& TParams::ParamByName(QStringView name)
{
    if (TParam* p = FindParam(name))
        return *p;
    throw EDatabaseError(QStringLiteral("Parameter '%1' not found").arg(name));
}

QString TField::AsString() const { return VariantText(m_value); }
qint32 TField::AsInteger() const { return qint32(VariantInteger(m_value)); }
qint64 TField::AsLargeInt() const { return VariantInteger(m_value); }
