#pragma once

#include "tools/schema/SchemaBuilder.h"

// Table definitions of the master-data tables for the schema builder, derived
// from the field lists of the provider catalogue, so that test and demo
// databases always hold what the queries read and the imports write.
// Primary keys are the key columns of each table (docs/master-data-catalogue.md).

// An exporting (headquarters) installation: every replicated table with the
// columns its query reads from it (CDCONTRATO and PKFILIALDESTINO only where
// the query does not compute them), then TBCEC and the five marker tables.
TTableDefs CadastroMExportingTables();

// A receiving (branch) installation: every replicated table with every field of
// its packets, since the import writes every field.
TTableDefs CadastroMReceivingTables();

// TBCEC and the five "BAIXADA" marker tables (the end of the exporting shape).
// Every TBCEC column is part of its key: key columns a table does not have
// hold 0.
TTableDefs CadastroMTrackingTables();
