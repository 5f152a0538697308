#pragma once

#include "replication/core/ProviderModule.h"

#include <QString>

#include <span>

class TSQLConnection;

// One provider of the transaction catalogue, as data. Its statement follows the
// common pattern (marked rows of the table joined with TBCEMM on the key
// columns of PkTabelaColumn and friends); the members say where it departs.
struct TMovimentoMEntry
{
    const char* ProviderName;
    const char* DataSetName; // upper-cased: the table
    const char* Alias;
    const char* OrderBy;      // nullptr: the first key column
    bool ConstantDestination; // the select list adds "0 AS PKFILIALDESTINO"
    const char* FieldList;    // packet fields in ParseFieldList notation, K without R

    QString TableName() const { return QString::fromLatin1(DataSetName).toUpper(); }
};

// The fifty entries in module order, the order in which a branch sends its tables
// (headers before their items).
std::span<const TMovimentoMEntry> MovimentoMCatalogue();

// The stored command text of an entry: lines joined with CR LF.
QString MovimentoMStatement(const TMovimentoMEntry& entry);

// The transaction data module FDM_MovimentoM: the local side of the transaction
// channel. Every query reads the marked rows of its table on the branch's local
// database (SqlCAgente) with the contract code of company PPKEMPRESA; LcAgente
// opens the providers by name.
class TFDM_MovimentoM
{
public:
    // `sqlCAgente`: the local database connection the queries run on (borrowed).
    explicit TFDM_MovimentoM(TSQLConnection* sqlCAgente = nullptr);

    void SetSQLConnection(TSQLConnection* sqlCAgente) { m_module.SetSQLConnection(sqlCAgente); }

    int ProviderCount() const { return m_module.ProviderCount(); }
    // Provider name and table (the data set name upper-cased) of entry `index`,
    // 0-based. Raises EDatabaseError for an index outside the list.
    TProvider GetProvider(int index) const;
    void GetProvider(int index, QString& providerName, QString& tableName) const;
    TLocalConnection& LcAgente() { return m_module.LcAgente(); }

    const TProviderModule& Module() const { return m_module; }

private:
    TProviderModule m_module;
};
