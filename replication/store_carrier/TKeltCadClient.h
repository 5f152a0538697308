#pragma once

#include "replication/core/cl_Funcoes.h"

#include <QList>
#include <QString>

// How one provider of a store-carrier run ended, for the headless runner and
// the operator; the replication log stays the record of failures.
enum class TCadOutcome
{
    Declined,       // ReplicaTabela answered false: skipped without a log entry
    NothingPending, // a count of 0 or below (other than -1)
    Imported,       // every batch read until the server had nothing more
    ServerFailure,  // the count was -1
    AckRefused,     // Exclui_No_Servidor answered false: offered again next run
    NoProgress,     // the server repeated itself: stopped, tried again next run
    Failed,         // an error ended the provider (see the log)
};

struct TCadTableResult
{
    QString Provider;
    QString Table;
    bool Paged = false;      // paged by the local last key, never acknowledged
    qint32 Pending = 0;      // NrRegistros_AImportar
    int Batches = 0;         // non-empty batches read
    int Acknowledged = 0;    // batches the server took off the pending rows
    int RowsWritten = 0;     // rows inserted or updated locally
    int RowsUpdated = 0;     // of those, rows whose key was already there
    int RowsFailed = 0;      // rows that could not be written (logged, still acknowledged)
    TCadOutcome Outcome = TCadOutcome::Failed;
};

struct TCadRunResult
{
    bool Accepted = false; // Conecta_No_Banco answered true
    bool Failed = false;   // an error ended the run before or between providers
    QList<TCadTableResult> Tables;
};

// The text of an outcome as the runner prints it.
QString CadOutcomeText(TCadOutcome outcome);

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
    const TCadRunResult& LastRun() const { return m_run; }

private:
    void Log(const QString& step, const QString& table, const QString& message);
    TCadTableResult* CurrentResult();

    TCadRunResult m_run;
};
