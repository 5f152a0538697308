#pragma once

#include "replication/core/ProviderModule.h"

#include <QList>
#include <QString>
#include <QStringList>

class TSQLConnection;

// How the rows of a master-data table are found pending for export.
enum class TPendingBy
{
    Cec,     // one TBCEC row per destination branch, matched on the join columns
    Marker,  // no row in the table's "BAIXADA" marker table
    LastKey, // keys above the last key the server reports (PPKULTIMO)
};

// One replicated table of the master-data catalogue, held as data. The query
// text is never written out per table: CadastroMCommandText builds it from
// these values (the standard pattern) or joins the table's own lines.
struct TCadastroMTable
{
    QString ProviderName;    // "DspAliquota"
    QString DataSetName;     // component name of the query, "TbAliquota"
    QString Alias;           // table alias of the query, "ALI"
    TPendingBy PendingBy = TPendingBy::Cec;
    QStringList JoinColumns; // matched against CEC.PKTABELA and CEC.PKTABELA2
    // First, second and third key column by the key rules (what TBCEC and the
    // markers identify); for the serial prices, which use neither, the table key.
    QStringList KeyColumns;
    QStringList OwnQuery;    // lines of a query of its own; empty: the standard pattern
    QString FieldList;       // persistent fields, in the notation of ParseFieldList

    // The replicated table and the NMTABELA value: the data set name upper-cased.
    QString TableName() const { return DataSetName.toUpper(); }
    // "TBPRECOSWAPBAIXADA" for a marker-tracked table, empty otherwise.
    QString MarkerTable() const;
    // Columns of the marker rows: the key columns, then PKFILIAL unless among them.
    QStringList MarkerColumns() const;
};

// The 63 tables in provider-list order, which is the order of export.
const QList<TCadastroMTable>& CadastroMTables();

// The stored command text of a table's query: its lines joined by CR LF.
QString CadastroMCommandText(const TCadastroMTable& table);

// The catalogue as the provider module takes it (data set names upper-cased).
QList<TCatalogueEntry> CadastroMCatalogue();

// The master-data provider module FDM_CadastroM: one read-only query and one
// provider per replicated table, reachable in-process through LcAgente.
// Creating it runs DataModuleCreate, which builds the provider list once.
class TFDM_CadastroM
{
public:
    // `sqlCAgente`: the local database connection the queries run on (borrowed).
    explicit TFDM_CadastroM(TSQLConnection* sqlCAgente = nullptr);
    ~TFDM_CadastroM();
    TFDM_CadastroM(const TFDM_CadastroM&) = delete;
    TFDM_CadastroM& operator=(const TFDM_CadastroM&) = delete;

    void SetSQLConnection(TSQLConnection* sqlCAgente);

    int ProviderCount() const;
    // Provider name and table name of entry `index` (0-based). Raises
    // EDatabaseError for an index outside the list.
    TProvider GetProvider(int index) const;
    TLocalConnection& LcAgente();

    const TCadastroMTable& Table(int index) const;
    const TProviderModule& Module() const { return *m_module; }

private:
    void DataModuleCreate();

    std::unique_ptr<TProviderModule> m_module;
    TProviders m_providers;
};
