#include "KeltCadMClient.h"

#include "uDM_CadastroM.h"

#include "platform/data/ClientDataSet.h"
#include "platform/types/Exception.h"
#include "platform/types/FieldDefs.h"
#include "platform/data/LocalConnection.h"
#include "platform/sql/SQLConnection.h"
#include "platform/sql/SQLDataSet.h"
#include "remote/ConnectionBroker.h"
#include "remote/ServerObjects.h"
#include "remote/wire/SocketConnection.h"
#include "replication/core/BatchEngine.h"
#include "replication/core/ProcessMessages.h"

#include <QHash>
#include <QSet>

namespace {

const QString kPrecoSerial = QStringLiteral("TBPRECOSERIAL");
const QString kCrLf = QStringLiteral("\r\n");

// The catalogue's entry of a table settled by a row in its marker table
// instead of a TBCEC delete; nullptr for any other table.
const TCadastroMTable* MarkerEntry(const QString& table)
{
    for (const TCadastroMTable& t : CadastroMTables())
        if (t.TableName() == table)
            return t.PendingBy == TPendingBy::Marker ? &t : nullptr;
    return nullptr;
}

// The counts of the serial prices and the marker tables are statements of their own.
QString FixedCountStatement(const QString& table)
{
    if (table == QLatin1String("TBPRECOACESSORIO"))
        return QStringLiteral(
            "SELECT COUNT(PRECO.PKPRODUTO) FROM TBPRECOACESSORIO PRECO LEFT JOIN TBPRECOACESSORIOBAIXADA PRECOBAIXA "
            "ON (   PRECO.PKPRODUTO = PRECOBAIXA.PKPRODUTO AND PRECO.PKFPRODUTO = PRECOBAIXA.PKFPRODUTO AND "
            "PRECO.PKFILIAL = PRECOBAIXA.PKFILIAL) WHERE PRECOBAIXA.PKPRODUTO IS NULL");
    if (table == QLatin1String("TBPRECOSWAP"))
        return QStringLiteral(
            "SELECT COUNT(PRECO.PKPRECOSWAP) FROM TBPRECOSWAP PRECO LEFT JOIN TBPRECOSWAPBAIXADA PRECOBAIXA ON (   "
            "PRECO.PKPRECOSWAP = PRECOBAIXA.PKPRECOSWAP) WHERE PRECO.VLVENDA > 0 AND PRECOBAIXA.PKPRECOSWAP IS NULL");
    if (table == QLatin1String("TBITUSUARIO"))
        return QStringLiteral(
            "SELECT COUNT(ITUSU.PKITUSUARIO) FROM TBITUSUARIO ITUSU LEFT JOIN TBITUSUARIOBAIXADA ITUSUBAIXA ON (   "
            "ITUSU.PKITUSUARIO = ITUSUBAIXA.PKITUSUARIO) WHERE ITUSUBAIXA.PKITUSUARIO IS NULL");
    if (table == QLatin1String("TBPRECOAPGSM"))
        return QStringLiteral(
            "SELECT COUNT(PRECO.PKPRECOAPGSM) FROM TBPRECOAPGSM PRECO LEFT JOIN TBPRECOAPGSMBAIXADA PRECOBAIXA ON (   "
            "PRECO.PKPRECOAPGSM = PRECOBAIXA.PKPRECOAPGSM) WHERE PRECO.VLVENDA > 0 AND PRECOBAIXA.PKPRECOAPGSM IS NULL");
    if (table == QLatin1String("TBQTDMINIMA"))
        return QStringLiteral(
            "SELECT COUNT(QTD.PKPRODUTO) FROM TBQTDMINIMA QTD LEFT JOIN TBQTDMINIMABAIXADA QTDBAIXA ON (   "
            "QTD.PKPRODUTO = QTDBAIXA.PKPRODUTO AND QTD.PKFPRODUTO = QTDBAIXA.PKFPRODUTO AND QTD.PKFILIAL = "
            "QTDBAIXA.PKFILIAL) WHERE QTDBAIXA.PKPRODUTO IS NULL");
    return {};
}

TIdentityRef Identity(TDadosFilial& f) { return {f.CdContrato, f.PkEmpresa, f.PkFilial, f.UF}; }

} // namespace

QString CadMPendingCountStatement(const QString& table, qint32 lastKey)
{
    RequirePlainIdentifier(table, "table");
    if (table == kPrecoSerial)
        return QStringLiteral("SELECT COUNT(PKPRECOSERIAL) FROM TBPRECOSERIAL WHERE PKPRECOSERIAL > ")
               + QString::number(lastKey);
    const QString fixed = FixedCountStatement(table);
    if (!fixed.isEmpty())
        return fixed;

    // Pending rows are those with a tracking row, matched by the key rules.
    const QString k1 = PkTabelaColumn(table);
    const QString k2 = PkTabela2Column(table);
    const QString k3 = PkTabela3Column(table);
    QString sql = QStringLiteral("SELECT COUNT(*) FROM ") + table + QStringLiteral(" TAB ")
                  + QStringLiteral("INNER JOIN TBCEC CEC ") + QStringLiteral("ON (    TAB.") + k1
                  + QStringLiteral(" = CEC.PKTABELA ");
    if (!k2.isEmpty())
        sql += QStringLiteral(" AND TAB.") + k2 + QStringLiteral(" = CEC.PKTABELA2 ");
    if (!k3.isEmpty())
        sql += QStringLiteral(" AND TAB.") + k3 + QStringLiteral(" = CEC.PKTABELA3 ");
    sql += QStringLiteral(") WHERE CEC.NMTABELA =  ") + QuotedSqlString(table);
    return sql;
}

QString CadMSettleStatement(const QString& table)
{
    if (const TCadastroMTable* marker = MarkerEntry(table)) {
        const QStringList columns = marker->MarkerColumns();
        return QStringLiteral("INSERT INTO ") + marker->MarkerTable() + QStringLiteral(" (")
               + columns.join(QStringLiteral(", ")) + QStringLiteral(") VALUES (:")
               + columns.join(QStringLiteral(", :")) + u')';
    }
    // One destination of one changed row, of the run's company.
    QString sql = QStringLiteral("DELETE FROM TBCEC WHERE PKTABELA = :PPKTABELA ");
    if (!PkTabela2Column(table).isEmpty())
        sql += QStringLiteral(" AND PKTABELA2 = :PPKTABELA2");
    if (!PkTabela3Column(table).isEmpty())
        sql += QStringLiteral(" AND PKTABELA3 = :PPKTABELA3");
    sql += QStringLiteral(" AND NMTABELA = :PNMTABELA ") + QStringLiteral(" AND PKEMPRESA = :PKEMPRESA ")
           + QStringLiteral(" AND PKFILIAL = :PKFILIAL");
    return sql;
}

// --- wiring and helpers ------------------------------------------------------

void TKeltCadMClient::ReadConfiguration()
{
    TKeltBaseClient::ReadConfiguration();
    if (m_socketConnection)
        ServerClient().ReadOwnSocket(m_programFolder, ConfigIniName, *m_socketConnection);
}

TTableResult& TKeltCadMClient::Result()
{
    if (m_currentTable >= 0 && m_currentTable < m_run.Tables.size())
        return m_run.Tables[m_currentTable];
    return m_scratch;
}

// --- the run -----------------------------------------------------------------

void TKeltCadMClient::InicialReplicacaoCadastroM()
{
    m_run = TRunResult();
    m_currentTable = -1;
    // The broker is disconnected however the run ends, also when logging fails.
    struct Disconnect
    {
        TKeltCadMClient& client;
        ~Disconnect()
        {
            client.m_currentTable = -1;
            if (client.m_broker)
                client.m_broker->Close();
        }
    } disconnect{*this};

    try {
        ReadConfiguration();
        TSocketConnection& socket = Wired(m_socketConnection, "SocketConnection");
        TConnectionBroker& broker = Wired(m_broker, "Broker");
        socket.SetServerName(QString::fromLatin1(ServerName));
        broker.Open();
        ProcessMessages();

        TKeltCadMServer server(broker);
        if (!server.Conecta_No_Banco(Identity(m_dadosFilial))) {
            SetServerFailure();
            Log(QStringLiteral("Conecta_No_Banco"), CurrentTable(), m_lastError);
            return;
        }
        m_run.Accepted = true;
        ProcessMessages();

        switch (m_dadosFilial.TpFilial) {
        case 0: {
            // Headquarters: the local catalogue, in its fixed order of export.
            const QList<TCadastroMTable>& catalogue = CadastroMTables();
            for (int i = 0; i < catalogue.size(); ++i)
                ListaProviders(catalogue[i].ProviderName, catalogue[i].TableName());
            break;
        }
        case 1: {
            const qint32 count = server.Get_ProvidersCount();
            for (qint32 i = 0; i < count; ++i) {
                QString provider;
                QString table;
                server.Get_Providers(i, provider, table);
                ListaProvidersRemoto(provider, table);
            }
            break;
        }
        default:
            Log(QStringLiteral("InicialReplicacaoCadastroM"), CurrentTable(),
                QStringLiteral("Tipo de Filial Inválido. Verifique no Arquivo Config.ini na Chave [FILIAL] o "
                               "Parametro TPFILIAL."));
            break;
        }
    } catch (const std::exception& e) {
        m_run.Failed = true;
        Log(QStringLiteral("InicialReplicacaoCadastroM"), CurrentTable(), ErrorText(e));
    }
}

void TKeltCadMClient::ListaProviders(const QString& provider, const QString& table)
{
    m_run.Tables.append(TTableResult{provider, table});
    m_currentTable = int(m_run.Tables.size()) - 1;
    TTableResult& result = m_run.Tables.last();
    try {
        Label().SetCaption(table);
        ProcessMessages();
        TDadosFilial& f = m_dadosFilial;
        if (CurrentTable() == kPrecoSerial) {
            TKeltCadMServer server(Wired(m_broker, "Broker"));
            m_pkUltimo = server.GetPkUltimo(CurrentTable(), f.CdContrato, false);
        } else {
            m_pkUltimo = 0;
        }

        const qint32 count =
            ContaRegistrosPendentes(CurrentTable(), f.CdContrato, f.PkEmpresa, f.PkFilial, f.UF, m_pkUltimo);
        result.Pending = count;
        if (count == -1) {
            result.Outcome = TTableOutcome::CountFailed;
            Log(QStringLiteral("ListaProviders"), CurrentTable(), m_execDataSet ? m_execDataSet->CommandText() : QString());
        } else if (count > 0) {
            Bar().SetMax(count);
            Bar().SetPosition(0);
            ProcessMessages();
            ImportaRegistros(provider, table);
            Bar().SetPosition(0);
            ProcessMessages();
        } else {
            result.Outcome = TTableOutcome::NothingPending;
            Bar().SetPosition(0);
            ProcessMessages();
        }
    } catch (const EConnectionError&) {
        throw; // the whole run ends, logged once
    } catch (const std::exception& e) {
        result.Outcome = TTableOutcome::Failed;
        Log(QStringLiteral("ListaProviders"), CurrentTable(), ErrorText(e));
    }
    m_currentTable = -1;
}

void TKeltCadMClient::ListaProvidersRemoto(const QString& provider, const QString& table)
{
    m_run.Tables.append(TTableResult{provider, table});
    m_currentTable = int(m_run.Tables.size()) - 1;
    TTableResult& result = m_run.Tables.last();
    try {
        Label().SetCaption(table);
        ProcessMessages();
        TKeltCadMServer server(Wired(m_broker, "Broker"));
        m_pkUltimo = CurrentTable() == kPrecoSerial ? LastKey(CurrentTable(), false) : 0;

        TDadosFilial& f = m_dadosFilial;
        const qint32 count = server.NrRegistros_AImportar(CurrentTable(), Identity(f), m_pkUltimo);
        result.Pending = count;
        if (count == -1) {
            result.Outcome = TTableOutcome::CountFailed;
            SetServerFailure();
            Log(QStringLiteral("ListaProvidersRemoto"), CurrentTable(), m_lastError);
        } else if (count > 0) {
            Bar().SetMax(count);
            Bar().SetPosition(0);
            ProcessMessages();
            ImportaRegistrosRemoto(provider, table);
            Bar().SetPosition(0);
            ProcessMessages();
        } else {
            result.Outcome = TTableOutcome::NothingPending;
            Bar().SetPosition(0);
            ProcessMessages();
        }
    } catch (const EConnectionError&) {
        throw; // the whole run ends, logged once
    } catch (const std::exception& e) {
        result.Outcome = TTableOutcome::Failed;
        Log(QStringLiteral("ListaProvidersRemoto"), CurrentTable(), ErrorText(e));
    }
    m_currentTable = -1;
}

qint32 TKeltCadMClient::ContaRegistrosPendentes(const QString& table, const QString& cdContrato, qint32 pkEmpresa,
                                                qint32 pkFilial, const QString& uf, qint32 lastKey)
{
    try {
        TSQLDataSet& exec = Wired(m_execDataSet, "ExecDataSet");
        exec.Close();
        exec.SetCommandText(CadMPendingCountStatement(table, lastKey));
        exec.Open();
        return exec.Fields(0).AsInteger();
    } catch (const EConnectionError&) {
        throw; // the whole run ends, logged once
    } catch (const std::exception& e) {
        const QString statement = m_execDataSet ? m_execDataSet->CommandText() : QString();
        ServerClient().WriteLog(m_programFolder, QStringLiteral("NrRegistros_AImportar"), table, cdContrato, pkEmpresa,
                                pkFilial, uf, ErrorText(e) + kCrLf + statement);
        return -1;
    }
}

// --- export ------------------------------------------------------------------

// Headquarters sends a local provider's pending rows and settles each batch.
class TKeltCadMClient::TExportTable : public TExportSteps
{
public:
    TExportTable(TKeltCadMClient& client, const QString& provider)
        : c(client), m_provider(provider), m_server(Wired(client.m_broker, "Broker"))
    {
    }

    QString ErrorStep() const override { return QStringLiteral("ImportaRegistros 001"); }

    void OpenBatch(TClientDataSet& batch) override
    {
        PrepareProvider(batch, Wired(c.m_localProviderConnection, "LocalProviderConnection"), m_provider,
                        c.m_dadosFilial, c.m_pkUltimo);
        // Logged here and once more when the batch is read.
        try {
            batch.Open();
        } catch (const EConnectionError&) {
            throw; // the whole run ends, logged once
        } catch (const std::exception& e) {
            c.Log(QStringLiteral("ImportaRegistros no OPEN"), c.CurrentTable(), ErrorText(e));
        }
    }

    void LogNoProgress(const QString&, int rows) override
    {
        c.Log(kStepExportSemProgresso, c.CurrentTable(),
              QStringLiteral("O lote de %1 registro(s) repete registros já enviados nesta replicação, que não "
                             "puderam ser baixados; a tabela será enviada de novo na próxima execução.")
                  .arg(rows));
    }

    bool Send(QString& table, const QByteArray& packet) override
    {
        return m_server.Inseri_No_Servidor(table, packet, Identity(c.m_dadosFilial));
    }

    // Serial prices are paged by the server's last key instead.
    bool Settles() const override { return c.CurrentTable() != kPrecoSerial; }

    bool Settle(const QString& table, const QByteArray& packet, int& settled) override
    {
        const TDadosFilial& f = c.m_dadosFilial;
        const bool done = c.BaixaRegistrosEnviados(table, packet, f.CdContrato, f.PkEmpresa, f.PkFilial, f.UF);
        settled = c.m_lastSettled;
        return done;
    }

    bool NextPass() override
    {
        if (c.CurrentTable() != kPrecoSerial) {
            c.m_pkUltimo = 0;
            return true;
        }
        const qint32 before = c.m_pkUltimo;
        c.m_pkUltimo = m_server.GetPkUltimo(c.CurrentTable(), c.m_dadosFilial.CdContrato, false);
        if (c.m_pkUltimo > before)
            return true;
        c.Log(kStepExportSemProgresso, c.CurrentTable(),
              QStringLiteral("O servidor informou a última chave %1 de %2 depois do lote (antes %3); a "
                             "tabela será enviada de novo na próxima execução.")
                  .arg(c.m_pkUltimo)
                  .arg(c.CurrentTable())
                  .arg(before));
        return false;
    }

private:
    TKeltCadMClient& c;
    QString m_provider;
    TKeltCadMServer m_server;
};

void TKeltCadMClient::ImportaRegistros(const QString& provider, const QString& table)
{
    TTableResult& result = Result();
    try {
        TExportTable steps(*this, provider);
        TBatchEngine(*this).Export(steps, table, result);
    } catch (const EConnectionError&) {
        throw; // the whole run ends, logged once
    } catch (const std::exception& e) {
        result.Outcome = TTableOutcome::Failed;
        Log(QStringLiteral("ImportaRegistros 001"), CurrentTable(), ErrorText(e));
    }
}

bool TKeltCadMClient::BaixaRegistrosEnviados(const QString& table, const QByteArray& packet,
                                             const QString& cdContrato, qint32 pkEmpresa, qint32 pkFilial,
                                             const QString& uf)
{
    m_lastSettled = 0;
    if (table == kPrecoSerial)
        return false;
    // The statement that failed goes into the log entry.
    TSQLDataSet* failing = m_execDataSet;
    try {
        TClientDataSet& rows = Wired(m_genericDataSet, "GenericDataSet");
        TSQLDataSet& exec = Wired(m_execDataSet, "ExecDataSet");
        failing = &exec;
        rows.Close();
        LoadBatch(rows, packet);
        rows.First();

        const QString k1 = PkTabelaColumn(table);
        const QString k2 = PkTabela2Column(table);
        const QString k3 = PkTabela3Column(table);
        const QString statement = CadMSettleStatement(table);
        const TCadastroMTable* marker = MarkerEntry(table);

        // Inside the batch's transaction each sent row is locked first, so that a
        // row changed since the batch was read keeps its mark; alone, each row
        // is settled on its own.
        for (; !rows.Eof(); rows.Next()) {
            if (exec.SQLConnection() && exec.SQLConnection()->InTransaction()) {
                failing = &Wired(m_lookupDataSet, "LookupDataSet");
                LockSentRow(*failing, table, rows);
                failing = &exec;
            }
            exec.Close();
            exec.SetCommandText(statement);
            TParams& params = exec.Params();
            if (marker) {
                // The row's own keys; a branch the keys do not hold is the run's.
                for (const QString& column : marker->MarkerColumns())
                    params.ParamByName(column).SetAsInteger(
                        marker->KeyColumns.contains(column) ? rows.FieldByName(column).AsInteger() : pkFilial);
            } else {
                params.ParamByName(u"PPKTABELA").SetAsInteger(rows.FieldByName(k1).AsInteger());
                if (!k2.isEmpty())
                    params.ParamByName(u"PPKTABELA2").SetAsInteger(rows.FieldByName(k2).AsInteger());
                if (!k3.isEmpty())
                    params.ParamByName(u"PPKTABELA3").SetAsInteger(rows.FieldByName(k3).AsInteger());
                params.ParamByName(u"PNMTABELA").SetAsString(table);
                params.ParamByName(u"PKEMPRESA").SetAsInteger(pkEmpresa);
                params.ParamByName(u"PKFILIAL").SetAsInteger(rows.FieldByName(u"PKFILIALDESTINO").AsInteger());
            }
            exec.ExecSQL();
            m_lastSettled += int(exec.RowsAffected());
        }
        return true;
    } catch (const EConnectionError&) {
        throw; // the whole run ends, logged once
    } catch (const std::exception& e) {
        const QString statement = failing ? failing->CommandText() : QString();
        ServerClient().WriteLog(m_programFolder, QStringLiteral("Exclui_No_Servidor"), table, cdContrato, pkEmpresa,
                                pkFilial, uf, ErrorText(e) + kCrLf + statement);
        return false;
    }
}

// --- import ------------------------------------------------------------------

// A branch writes what the server holds for it and acknowledges each batch.
class TKeltCadMClient::TImportTable : public TImportSteps
{
public:
    TImportTable(TKeltCadMClient& client, const QString& provider)
        : c(client), m_provider(provider), m_broker(Wired(client.m_broker, "Broker")), m_server(m_broker)
    {
    }

    QString ErrorStep() const override { return QStringLiteral("ImportaRegistrosRemoto"); }

    void OpenBatch(TClientDataSet& batch) override
    {
        PrepareProvider(batch, m_broker, m_provider, c.m_dadosFilial, c.m_pkUltimo);
        batch.Open();
    }

    void LogNoProgress(const QString&, int rows) override
    {
        c.Log(kStepImportSemProgresso, c.CurrentTable(),
              QStringLiteral("O servidor enviou de novo %1 registro(s) já recebido(s) nesta replicação; a "
                             "tabela será replicada de novo na próxima execução.")
                  .arg(rows));
    }

    // Serial prices are paged by the local last key and never acknowledged.
    std::optional<bool> PagedByLocalKey() const override
    {
        return c.CurrentTable() == kPrecoSerial ? std::optional<bool>(false) : std::nullopt;
    }
    QString NoProgressStep() const override { return kStepImportSemProgresso; }

    bool Acknowledge(QString& table, const QByteArray& packet) override
    {
        return m_server.Exclui_No_Servidor(table, packet, Identity(c.m_dadosFilial));
    }

private:
    TKeltCadMClient& c;
    QString m_provider;
    TConnectionBroker& m_broker;
    TKeltCadMServer m_server;
};

void TKeltCadMClient::ImportaRegistrosRemoto(const QString& provider, const QString& table)
{
    TTableResult& result = Result();
    try {
        TImportTable steps(*this, provider);
        TBatchEngine(*this).Import(steps, table, result);
    } catch (const EConnectionError&) {
        throw; // the whole run ends, logged once
    } catch (const std::exception& e) {
        result.Outcome = TTableOutcome::Failed;
        Log(QStringLiteral("ImportaRegistrosRemoto"), CurrentTable(), ErrorText(e));
    }
}
