#pragma once

#include "replication/core/BatchEngine.h"
#include "replication/core/cl_Funcoes.h"

#include <QByteArray>
#include <QList>
#include <QString>

class TLocalConnection;

// Step names of the entries written when a table's export or import stops
// because its next pass would only repeat the previous one: a batch holding
// nothing but rows already sent (or received) in this run, or a serial-price
// last key that did not move. The table is tried again in the next run.
inline const QString kStepExportSemProgresso = QStringLiteral("ImportaRegistros SemProgresso 001");
inline const QString kStepImportSemProgresso = QStringLiteral("ImportaRegistrosRemoto SemProgresso");

// Texts of the local statements of the channel, exactly as the channel runs them.
// Both raise EInvalidIdentifier for a table name that could not stand in statement text.
// The pending-row count of a table; `lastKey` matters for TBPRECOSERIAL only.
QString CadMPendingCountStatement(const QString& table, qint32 lastKey);
// The statement that settles one sent row: a marker insert for the five marker
// tables, else the delete of the row's tracking row from TBCEC.
QString CadMSettleStatement(const QString& table);

// The channel "Cadastro Matriz X Filial": master data between headquarters and
// its branches. Headquarters (TpFilial 0) sends the pending rows of its local
// providers and settles what the server accepted; a branch (TpFilial 1) writes
// what the server holds for it and acknowledges each batch.
class TKeltCadMClient : public TKeltBaseClient
{
public:
    static constexpr const char* ServerName = "KeltCadMServer5.coKeltCadMServer5";

    TClientDataSet* GenericDataSet() const { return m_genericDataSet; }
    TLocalConnection* LocalProviderConnection() const { return m_localProviderConnection; }
    void SetGenericDataSet(TClientDataSet* dataSet) { m_genericDataSet = dataSet; }
    void SetLocalProviderConnection(TLocalConnection* connection) { m_localProviderConnection = connection; }

    // The base reading, then the socket's endpoint from [SOCKET_PROPRIO] when
    // that section holds a key.
    void ReadConfiguration() override;

    // One complete run: connect, confirm the identity, export or import by the
    // branch type, disconnect. Reports only through the log (and LastRun).
    void InicialReplicacaoCadastroM();
    // One local provider: count its pending rows, then export them.
    void ListaProviders(const QString& provider, const QString& table);
    // One remote provider: ask the server's count, then import.
    void ListaProvidersRemoto(const QString& provider, const QString& table);
    // Pending local rows of the table, -1 when counting failed (logged).
    qint32 ContaRegistrosPendentes(const QString& table, const QString& cdContrato, qint32 pkEmpresa,
                                   qint32 pkFilial, const QString& uf, qint32 lastKey);
    // Exports one local provider batch by batch.
    void ImportaRegistros(const QString& provider, const QString& table);
    // Settles the rows of a sent packet; true when every row was settled.
    bool BaixaRegistrosEnviados(const QString& table, const QByteArray& packet, const QString& cdContrato,
                                qint32 pkEmpresa, qint32 pkFilial, const QString& uf);
    // Imports one remote provider batch by batch.
    void ImportaRegistrosRemoto(const QString& provider, const QString& table);

    // What the last run did, table by table.
    const TRunResult& LastRun() const { return m_run; }
    // Rows the last BaixaRegistrosEnviados settled (deleted or marked).
    int LastSettled() const { return m_lastSettled; }

private:
    class TExportTable;
    class TImportTable;
    // The result of the provider step in progress; a scratch record when a
    // step is called on its own.
    TTableResult& Result();

    TClientDataSet* m_genericDataSet = nullptr;
    TLocalConnection* m_localProviderConnection = nullptr;

    TRunResult m_run;
    int m_currentTable = -1; // index into m_run.Tables during a provider step
    TTableResult m_scratch;
    int m_lastSettled = 0;
};
