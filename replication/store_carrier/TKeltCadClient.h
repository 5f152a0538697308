#pragma once

#include "replication/core/BatchEngine.h"
#include "replication/core/cl_Funcoes.h"

#include <QList>
#include <QString>

// Step name of the entry written when a pass made no progress: the server sent
// a batch holding only rows already taken in this run, or a paged table's
// local last key did not grow. The table is tried again in the next run.
inline const QString kStepSemProgresso = QStringLiteral("ImportaRegistros SemProgresso 003");

// The store-carrier channel "Cadastro Loja X Operadora": imports the master data
// the carrier-facing server holds for this store, table by table, and
// acknowledges every batch written except for the two tables paged by key.
class TKeltCadClient : public TKeltBaseClient
{
public:
    static constexpr const char* ServerName = "KeltCadServer.coKeltCadServer";

    // One complete run: connect, walk the server's providers, disconnect.
    void RunStoreCarrier();
    // Counts and imports one provider; `table` as the server named it.
    void ReplicateProvider(const QString& provider, const QString& table);
    // Imports one provider batch by batch until the server has nothing more.
    void ImportBatches(const QString& provider, const QString& table);

    // What the last run did, provider by provider.
    const TRunResult& LastRun() const { return m_run; }

private:
    class TImportTable;

    TTableResult* CurrentResult();

    TRunResult m_run;
};
