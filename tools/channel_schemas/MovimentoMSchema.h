#pragma once

#include "tools/schema/SchemaBuilder.h"

struct TMovimentoMEntry;

// The two shapes of a transaction table in the schema builder.
enum class TMovimentoMShape
{
    // A sending branch: the table's own columns. The contract code and, for the
    // eight tables that send "0 AS PKFILIALDESTINO", the destination come from the
    // provider's query, so the table lacks them (a column of the same name would
    // give the query two columns of that name).
    Sending,
    // A receiving headquarters: a column for every packet field, CDCONTRATO included.
    Receiving,
};

// One transaction table. Columns in packet order with the packet types; required
// fields NOT NULL; primary key the row's key columns as the marks name them
// (PkTabelaColumn, PkTabela2Column, PkTabela3Column).
TTableDef MovimentoMTable(const TMovimentoMEntry& entry, TMovimentoMShape shape);
// The fifty transaction tables in catalogue order.
TTableDefs MovimentoMTables(TMovimentoMShape shape);

// The change marks of the branch's database. No primary key: a row may be marked
// more than once.
TTableDef TbCemmTable();
// The company table as far as the provider queries read it (PKEMPRESA, CDCONTRATO).
// It belongs to the master data; use it where the master-data tables are absent.
TTableDef TbEmpresaTable();
// The monitoring table of the replication log database. No primary key: a row
// sent again is logged again.
TTableDef TbLogTable();

// A sending branch's database: the fifty tables and TBCEMM (TBEMPRESA not included).
TTableDefs SendingBranchTables();
// A receiving headquarters' database: the fifty tables.
TTableDefs ReceivingHeadquartersTables();
// The replication-monitoring log database: TBLOG.
TTableDefs MonitoringLogTables();
