#pragma once

#include "replication/core/cl_Funcoes.h"

#include <QByteArray>
#include <QList>
#include <QString>

class TClientDataSet;
class TLocalConnection;
class TSQLConnection;
class TSQLDataSet;

// How one table of a transaction run ended, for the headless runner and the
// operator; the replication log stays the record of failures.
enum class TMovOutcome
{
    NothingPending, // a count of 0 or below (other than -1)
    Done,           // every batch sent or written until the provider had no more rows
    CountFailed,    // the count failed (-1): skipped (logged)
    ServerRefused,  // the server answered false: the batch waits for the next run (logged)
    CleanUpFailed,  // marks or condition items could not be cleared (logged)
    MonitorFailed,  // a TBLOG row could not be written (logged)
    NoProgress,     // a batch held only rows handled already in this run: stopped, tried again next run (logged)
    Failed,         // an error ended the table (logged)
};

struct TMovTableResult
{
    QString Provider;
    QString Table;
    qint32 Pending = 0; // the count of the table
    int Batches = 0;    // non-empty batches sent (branch) or written (headquarters)
    int Rows = 0;       // rows of those batches
    TMovOutcome Outcome = TMovOutcome::Failed;
};

struct TMovRunResult
{
    bool Accepted = false; // Conecta_No_Banco answered true
    bool Failed = false;   // the run ended early (invalid branch type or an error outside the tables)
    QList<TMovTableResult> Tables;
};

// The text of an outcome as the runner prints it.
QString MovOutcomeText(TMovOutcome outcome);

// Step names of the entries written when a table stops for want of progress: a
// batch brought only rows already sent (their marks could not be removed) or
// already written and acknowledged in this run. The table is tried again in the
// next run.
inline const QString kStepSemProgressoEnvio = QStringLiteral("ImportaRegistros SemProgresso 002");
inline const QString kStepSemProgressoRecebimento = QStringLiteral("ImportaRegistrosRemoto SemProgresso");

// The transaction channel "Movimento Matriz x Filial". A branch (TPFILIAL 1)
// sends the rows marked in TBCEMM table by table in catalogue order and clears
// the marks the server accepted; headquarters (TPFILIAL 0) writes the rows the
// server offers and acknowledges them. With monitoring on, every row moved is
// recorded in TBLOG of the log database.
class TKeltMovMClient : public TKeltBaseClient
{
public:
    static constexpr const char* ServerName = "KeltMovMServer5.coKeltMovMServer5";

    TClientDataSet* GenericDataSet() const { return m_genericDataSet; }
    TLocalConnection* LocalProviderConnection() const { return m_localProviderConnection; }
    qint32 UltimoPkCond() const { return m_ultimoPkCond; }
    qint32 UltimoPkFCond() const { return m_ultimoPkFCond; }
    TSQLDataSet* LogDataSet() const { return m_logDataSet; }
    TSQLConnection* LogConnection() const { return m_logConnection; }

    void SetGenericDataSet(TClientDataSet* dataSet) { m_genericDataSet = dataSet; }
    void SetLocalProviderConnection(TLocalConnection* connection) { m_localProviderConnection = connection; }
    void SetLogDataSet(TSQLDataSet* dataSet) { m_logDataSet = dataSet; }
    void SetLogConnection(TSQLConnection* connection) { m_logConnection = connection; }

    // The base settings, then the socket from [SOCKET_PROPRIO] when that
    // section holds a key, then the log database of [LOG].
    void ReadConfiguration() override;

    // One complete run: connect (and the log database with monitoring on),
    // send or receive by TPFILIAL, disconnect. Reports nothing; every failure
    // ends in the replication log.
    void InicialReplicacaoMovimentoM();

    // Branch side: counts one local provider's marked rows and sends them.
    void ListaProviders(const QString& provider, const QString& table);
    // Headquarters side: counts one remote provider's rows and writes them.
    void ListaProvidersRemoto(const QString& provider, const QString& table);
    // Marked rows of the table that still exist; -1 when the count fails. The
    // identity only feeds the log entry.
    qint32 ContaRegistrosPendentes(const QString& table, const QString& cdContrato, const QString& uf, qint32 pkFilial,
                                   qint32 pkEmpresa);

    // Sends the provider's marked rows batch by batch.
    void ImportaRegistros(const QString& provider, const QString& table);
    // Deletes the TBCEMM marks of every row of the batch; false (logged) on failure.
    bool BaixaRegistrosEnviados(const QString& table, const QByteArray& batch, const QString& uf, qint32 pkFilial,
                                qint32 pkEmpresa, const QString& cdContrato);
    // One TBLOG row per row of the batch; false (logged) on failure.
    bool Seta_Log_Como_Enviado(const QString& table, const QByteArray& batch, const QString& uf, qint32 pkFilial,
                               qint32 pkEmpresa, const QString& cdContrato);

    // Writes the remote provider's rows batch by batch and acknowledges them.
    void ImportaRegistrosRemoto(const QString& provider, const QString& table);
    // Deletes the local items of every condition header the batch brings that
    // differs from the one cleared last; the batch is back on its first row
    // afterwards. False (logged) on failure.
    bool LimpaTbItCondiVendaCompra(TClientDataSet& batch, const QString& table);

    // What the last run did, table by table.
    const TMovRunResult& LastRun() const { return m_run; }

private:
    void Log(const QString& step, const QString& table, const QString& message);
    // Commits a batch whose marks were deleted; a failure is logged as a failed clean-up.
    bool CommitCleanUp(class TSQLTransaction& snapshot, const QString& table);
    void LogAs(const QString& step, const QString& table, const QString& cdContrato, qint32 pkEmpresa,
               qint32 pkFilial, const QString& uf, const QString& message);
    // The result of the table being handled; a scratch one for a table step
    // called on its own.
    TMovTableResult& CurrentResult(const QString& provider, const QString& table);

    TClientDataSet* m_genericDataSet = nullptr;
    TLocalConnection* m_localProviderConnection = nullptr;
    qint32 m_ultimoPkCond = 0;
    qint32 m_ultimoPkFCond = 0;
    TSQLDataSet* m_logDataSet = nullptr;
    TSQLConnection* m_logConnection = nullptr;

    TMovRunResult m_run;
    TMovTableResult m_scratch;    // result of a table step called outside a run
};
