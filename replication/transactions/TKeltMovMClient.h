#pragma once

#include "replication/core/BatchEngine.h"
#include "replication/core/cl_Funcoes.h"

#include <QByteArray>
#include <QList>
#include <QString>

class TClientDataSet;
class TLocalConnection;
class TSQLConnection;
class TSQLDataSet;

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
    const TRunResult& LastRun() const { return m_run; }

private:
    class TExportTable;
    class TImportTable;

    // The result of the table being handled; a scratch one for a table step
    // called on its own.
    TTableResult& CurrentResult(const QString& provider, const QString& table);

    TClientDataSet* m_genericDataSet = nullptr;
    TLocalConnection* m_localProviderConnection = nullptr;
    qint32 m_ultimoPkCond = 0;
    qint32 m_ultimoPkFCond = 0;
    TSQLDataSet* m_logDataSet = nullptr;
    TSQLConnection* m_logConnection = nullptr;

    TRunResult m_run;
    TTableResult m_scratch;    // result of a table step called outside a run
};
