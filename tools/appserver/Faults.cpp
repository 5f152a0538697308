#include "Faults.h"

#include "platform/types/Exception.h"

namespace {

struct TKindName
{
    TFaultKind Kind;
    const char* Name;
};

constexpr TKindName kKinds[] = {
    {TFaultKind::False, "false"},     {TFaultKind::Minus1, "minus1"}, {TFaultKind::Value, "value"},
    {TFaultKind::Raise, "raise"},     {TFaultKind::Drop, "drop"},     {TFaultKind::Malformed, "malformed"},
    {TFaultKind::Hostile, "hostile"}, {TFaultKind::Repeat, "repeat"},   {TFaultKind::DropAfter, "dropafter"},
    {TFaultKind::Stall, "stall"},
};

} // namespace

QString FaultKindName(TFaultKind kind)
{
    for (const auto& k : kKinds)
        if (k.Kind == kind)
            return QString::fromLatin1(k.Name);
    return {};
}

std::optional<TFaultKind> ParseFaultKind(QStringView name)
{
    for (const auto& k : kKinds)
        if (name.compare(QLatin1String(k.Name), Qt::CaseInsensitive) == 0)
            return k.Kind;
    return std::nullopt;
}

QJsonObject TFault::ToJson() const
{
    QJsonObject o{{"method", Method}, {"kind", FaultKindName(Kind)}, {"at", At}, {"once", Once}};
    if (Id)
        o["id"] = Id;
    if (!Table.isEmpty())
        o["table"] = Table;
    if (Kind == TFaultKind::Value)
        o["value"] = Value;
    return o;
}

TFault TFault::FromJson(const QJsonObject& spec)
{
    TFault f;
    f.Id = spec.value("id").toInt();
    f.Method = spec.value("method").toString().trimmed();
    f.Table = spec.value("table").toString().trimmed().toUpper();
    f.At = spec.value("at").toInt(1);
    f.Once = spec.value("once").toBool(false);
    f.Value = spec.value("value");
    if (f.Method.isEmpty())
        throw Exception(QStringLiteral("A fault needs the method it applies to"));
    const auto kind = ParseFaultKind(spec.value("kind").toString());
    if (!kind)
        throw Exception(QStringLiteral("Unknown fault kind '%1' (false, minus1, value, raise, drop, malformed, "
                                       "hostile, repeat, dropafter, stall)")
                            .arg(spec.value("kind").toString()));
    f.Kind = *kind;
    if (f.At < 1)
        throw Exception(QStringLiteral("A fault's call number starts at 1, not %1").arg(f.At));
    const bool packetKind =
        f.Kind == TFaultKind::Malformed || f.Kind == TFaultKind::Hostile || f.Kind == TFaultKind::Repeat;
    if (packetKind && f.Method.compare(QLatin1String("AS_GetRecords"), Qt::CaseInsensitive) != 0)
        throw Exception(QStringLiteral("Fault '%1' applies to AS_GetRecords only").arg(FaultKindName(f.Kind)));
    if (f.Kind == TFaultKind::Value && f.Value.isUndefined())
        throw Exception(QStringLiteral("Fault 'value' needs the value to answer"));
    if (f.Kind == TFaultKind::Stall && (!f.Value.isDouble() || f.Value.toDouble() < 0))
        throw Exception(QStringLiteral("Fault 'stall' needs the milliseconds to hold the answer as its value"));
    return f;
}

std::optional<TFault> TFaultBook::Match(QStringView method, QStringView table, const TRemover& remove)
{
    std::optional<TFault> due;
    for (qsizetype i = 0; i < m_faults.size(); ++i) {
        TFault& f = m_faults[i];
        if (f.Method.compare(method, Qt::CaseInsensitive) != 0)
            continue;
        if (!f.Table.isEmpty() && f.Table.compare(table, Qt::CaseInsensitive) != 0)
            continue;
        ++f.Seen;
        if (!due && f.Seen >= f.At)
            due = f;
    }
    if (due && due->Once) {
        m_faults.removeIf([&](const TFault& f) { return f.Id == due->Id; });
        if (remove)
            remove(due->Id);
    }
    return due;
}
