#include "MovimentoMSchema.h"

#include "replication/core/cl_Funcoes.h"
#include "replication/transactions/uDM_MovimentoM.h"

namespace {

bool AddedByQuery(const TFieldDef& field, const TMovimentoMEntry& entry)
{
    return SameName(field.Name, u"CDCONTRATO") ||
           (entry.ConstantDestination && SameName(field.Name, u"PKFILIALDESTINO"));
}

} // namespace

TTableDef MovimentoMTable(const TMovimentoMEntry& entry, TMovimentoMShape shape)
{
    TTableDef table;
    table.Name = entry.TableName();
    for (TFieldDef field : ParseFieldList(QString::fromLatin1(entry.FieldList), false)) {
        if (shape == TMovimentoMShape::Sending && AddedByQuery(field, entry))
            continue;
        // Key flags and read-only marks belong to the packet, not to the column.
        field.ProviderFlags = 0;
        field.ReadOnly = false;
        table.Columns.append(field);
    }
    for (const QString& key :
         {PkTabelaColumn(table.Name), PkTabela2Column(table.Name), PkTabela3Column(table.Name)})
        if (!key.isEmpty())
            table.PrimaryKey.append(key);
    return table;
}

TTableDefs MovimentoMTables(TMovimentoMShape shape)
{
    TTableDefs tables;
    for (const TMovimentoMEntry& entry : MovimentoMCatalogue())
        tables.append(MovimentoMTable(entry, shape));
    return tables;
}

TTableDef TbCemmTable()
{
    return {QStringLiteral("TBCEMM"),
            ParseFieldList(u"NMTABELA str 31 R; PKTABELA int R; PKTABELA2 int; PKTABELA3 int"),
            {},
            // The pending counts join on these and every sent row deletes by them.
            {{QStringLiteral("PKTABELA"), QStringLiteral("PKTABELA2"), QStringLiteral("NMTABELA")}}};
}

TTableDef TbEmpresaTable()
{
    return {QStringLiteral("TBEMPRESA"), ParseFieldList(u"PKEMPRESA int R; CDCONTRATO str 20"),
            {QStringLiteral("PKEMPRESA")}};
}

TTableDef TbLogTable()
{
    return {QStringLiteral("TBLOG"),
            ParseFieldList(u"CDCONTRATO int; PKFILIAL int; PKTABELA int; PKTABELA2 int; PKTABELA3 int; "
                           u"NMTABELA str 31; DATA date; HORA time; ENVIADO int"),
            {}};
}

TTableDefs SendingBranchTables()
{
    TTableDefs tables = MovimentoMTables(TMovimentoMShape::Sending);
    tables.append(TbCemmTable());
    return tables;
}

TTableDefs ReceivingHeadquartersTables() { return MovimentoMTables(TMovimentoMShape::Receiving); }

TTableDefs MonitoringLogTables() { return {TbLogTable()}; }
