#include "CadastroMSchema.h"

#include "replication/master_data/uDM_CadastroM.h"

#include <QRegularExpression>

namespace {

// Columns a replicated table has beyond its packet: the branch's state, read at
// start-up by branch key.
QString ExtraColumns(const QString& table)
{
    return table == QLatin1String("TBFILIAL") ? QStringLiteral("SGESTADO char 2") : QString();
}

// True when the query makes up the column itself ("... AS CDCONTRATO").
bool ComputedByQuery(const QString& commandText, const QString& column)
{
    const QRegularExpression as(QStringLiteral("\\bAS\\s+%1\\b").arg(QRegularExpression::escape(column)),
                                QRegularExpression::CaseInsensitiveOption);
    return as.match(commandText).hasMatch();
}

TTableDef ReplicatedTable(const TCadastroMTable& t, bool receiving)
{
    TTableDef def{t.TableName(), {}, t.KeyColumns};
    const QString commandText = CadastroMCommandText(t);
    TFieldDefs columns = ParseFieldList(t.FieldList);
    columns += ParseFieldList(ExtraColumns(def.Name));
    for (TFieldDef& column : columns) {
        if (!receiving && ComputedByQuery(commandText, column.Name))
            continue;
        // Provider flags and read-only belong to packets; a table keeps the
        // required mark as NOT NULL.
        column.ProviderFlags = 0;
        column.ReadOnly = false;
        def.Columns.append(column);
    }
    return def;
}

TTableDefs ReplicatedTables(bool receiving)
{
    TTableDefs tables;
    for (const TCadastroMTable& t : CadastroMTables())
        tables.append(ReplicatedTable(t, receiving));
    return tables;
}

} // namespace

TTableDefs CadastroMTrackingTables()
{
    // NMTABELA and PKTABELA lead the key: the settling delete and the count
    // find a table's tracking rows through them.
    TTableDefs tables{TTableDef::FromNotation(
        QStringLiteral("TBCEC"),
        QStringLiteral("NMTABELA str 31; PKTABELA int; PKTABELA2 int; PKTABELA3 int; PKEMPRESA int; PKFILIAL int"),
        {QStringLiteral("NMTABELA"), QStringLiteral("PKTABELA"), QStringLiteral("PKEMPRESA"),
         QStringLiteral("PKFILIAL"), QStringLiteral("PKTABELA2"), QStringLiteral("PKTABELA3")})};
    for (const TCadastroMTable& t : CadastroMTables()) {
        if (t.PendingBy != TPendingBy::Marker)
            continue;
        const QStringList columns = t.MarkerColumns();
        tables.append(TTableDef::FromNotation(t.MarkerTable(), columns.join(QStringLiteral(" int; ")) + " int", columns));
    }
    return tables;
}

TTableDefs CadastroMExportingTables() { return ReplicatedTables(false) + CadastroMTrackingTables(); }

TTableDefs CadastroMReceivingTables() { return ReplicatedTables(true); }
