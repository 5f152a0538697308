#include "TKeltMovMClient.h"

#include "platform/data/ClientDataSet.h"
#include "platform/types/Exception.h"
#include "platform/types/FieldDefs.h"
#include "platform/data/LocalConnection.h"
#include "platform/os/Clock.h"
#include "platform/sql/SQLConnection.h"
#include "platform/sql/SQLDataSet.h"
#include "remote/ConnectionBroker.h"
#include "remote/ServerObjects.h"
#include "remote/wire/SocketConnection.h"
#include "replication/core/BatchEngine.h"
#include "replication/core/ProcessMessages.h"
#include "replication/transactions/uDM_MovimentoM.h"

#include <QSet>
#include <QStringList>

namespace {

const QString kCrLf = QStringLiteral("\r\n");
const QString kItCondiVenda = QStringLiteral("TBITCONDIVENDA");
const QString kItCondiCompra = QStringLiteral("TBITCONDICOMPRA");

const QString kInsertTbLog = QStringLiteral(
    "INSERT INTO TBLOG (CDCONTRATO, PKFILIAL, PKTABELA, PKTABELA2, PKTABELA3, NMTABELA, DATA, HORA, ENVIADO) "
    "VALUES (:CDCONTRATO, :PKFILIAL, :PKTABELA, :PKTABELA2, :PKTABELA3, :NMTABELA, :DATA, :HORA, :ENVIADO)");

// Exact and case-sensitive: a server naming the table in lower case gets no
// special handling.
bool IsCondItemTable(const QString& table)
{
    return table == kItCondiVenda || table == kItCondiCompra;
}

// The contract code as TBLOG stores it: a whole number, nothing else.
qint32 ContractAsInteger(const QString& code)
{
    bool ok = false;
    const qint32 value = code.trimmed().toInt(&ok);
    if (!ok)
        throw Exception(QStringLiteral("'%1' is not a valid integer value").arg(code));
    return value;
}

// The key columns of a table as the marks name them.
struct TMarkKey
{
    QString K1, K2, K3;
    explicit TMarkKey(const QString& table)
        : K1(PkTabelaColumn(table)), K2(PkTabela2Column(table)), K3(PkTabela3Column(table))
    {
    }
};

// A field value bound as the mark column's integer; a null stays null.
void BindKey(TParam& param, const TField& field)
{
    if (field.IsNull())
        param.Clear();
    else
        param.SetAsInteger(field.AsInteger());
}

} // namespace

// --- helpers -------------------------------------------------------------------

TTableResult& TKeltMovMClient::CurrentResult(const QString& provider, const QString& table)
{
    if (!m_run.Tables.isEmpty() && m_run.Tables.last().Provider == provider && m_run.Tables.last().Table == table)
        return m_run.Tables.last();
    m_scratch = TTableResult{provider, table};
    return m_scratch;
}

// --- configuration ---------------------------------------------------------------

void TKeltMovMClient::ReadConfiguration()
{
    TKeltBaseClient::ReadConfiguration();
    if (m_socketConnection)
        ServerClient().ReadOwnSocket(m_programFolder, ConfigIniName, *m_socketConnection);
    if (m_logConnection)
        ServerClient().ReadLogDatabase(m_programFolder, ConfigIniName, *m_logConnection);
}

// --- the run -----------------------------------------------------------------------

void TKeltMovMClient::InicialReplicacaoMovimentoM()
{
    m_run = TRunResult();
    const QString step = QStringLiteral("InicialReplicacaoMovimentoM");
    // However the run ends, also when logging fails: the broker goes, and the
    // log database with it when this run opened it.
    struct Disconnect
    {
        TKeltMovMClient& client;
        ~Disconnect()
        {
            if (client.m_broker)
                client.m_broker->Close();
            if (client.m_monitoramento.MonitorarReplicacao && client.m_logConnection)
                client.m_logConnection->Close();
        }
    } disconnect{*this};

    try {
        ReadConfiguration();
        TSocketConnection& socket = Wired(m_socketConnection, "SocketConnection");
        TConnectionBroker& broker = Wired(m_broker, "Broker");
        socket.SetServerName(QString::fromLatin1(ServerName));
        broker.Open();
        if (m_monitoramento.MonitorarReplicacao)
            Wired(m_logConnection, "LogConnection").Open();
        ProcessMessages();

        TKeltMovMServer server(broker);
        TDadosFilial& f = m_dadosFilial;
        if (!server.Conecta_No_Banco({f.CdContrato, f.PkEmpresa, f.PkFilial, f.UF})) {
            SetServerFailure();
            Log(step, CurrentTable(), m_lastError);
            return;
        }
        m_run.Accepted = true;
        ProcessMessages();

        switch (f.TpFilial) {
        case 1: {
            // The catalogue's order: headers reach the server before their items.
            for (const TMovimentoMEntry& entry : MovimentoMCatalogue())
                ListaProviders(QString::fromLatin1(entry.ProviderName), entry.TableName());
            break;
        }
        case 0: {
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
            m_run.Failed = true;
            Log(step, CurrentTable(),
                QStringLiteral("Tipo de Filial Inválido. Verifique no Arquivo Config.ini na Chave [FILIAL] o "
                               "Parametro TPFILIAL."));
            break;
        }
    } catch (const std::exception& e) {
        m_run.Failed = true;
        Log(step, CurrentTable(), ErrorText(e));
    }
}

// --- branch: sending -----------------------------------------------------------------

void TKeltMovMClient::ListaProviders(const QString& provider, const QString& table)
{
    const QString step = QStringLiteral("ListaProviders");
    m_run.Tables.append(TTableResult{provider, table});
    TTableResult& result = m_run.Tables.last();
    try {
        Label().SetCaption(table);
        ProcessMessages();
        TDadosFilial& f = m_dadosFilial;
        const qint32 count = ContaRegistrosPendentes(CurrentTable(), f.CdContrato, f.UF, f.PkFilial, f.PkEmpresa);
        result.Pending = count;
        if (count == -1) {
            result.Outcome = TTableOutcome::CountFailed;
            Log(step, CurrentTable(), Wired(m_execDataSet, "ExecDataSet").CommandText());
            return;
        }
        if (count <= 0) {
            result.Outcome = TTableOutcome::NothingPending;
            Bar().SetPosition(0);
            ProcessMessages();
            return;
        }
        Bar().SetMax(count);
        Bar().SetPosition(0);
        ProcessMessages();
        if (IsCondItemTable(CurrentTable())) {
            TKeltMovMServer server(Wired(m_broker, "Broker"));
            if (!server.LimpaVariaveisItCondiVendaCompra()) {
                result.Outcome = TTableOutcome::Refused;
                SetServerFailure();
                Log(step, CurrentTable(), m_lastError);
                return;
            }
        }
        ImportaRegistros(provider, table);
        Bar().SetPosition(0);
        ProcessMessages();
    } catch (const EConnectionError&) {
        throw; // the whole run ends, logged once
    } catch (const std::exception& e) {
        result.Outcome = TTableOutcome::Failed;
        Log(step, CurrentTable(), ErrorText(e));
    }
}

qint32 TKeltMovMClient::ContaRegistrosPendentes(const QString& table, const QString& cdContrato, const QString& uf,
                                                qint32 pkFilial, qint32 pkEmpresa)
{
    TSQLDataSet* exec = m_execDataSet;
    try {
        TSQLDataSet& ds = Wired(exec, "ExecDataSet");
        ds.Close();
        const TMarkKey key(table);
        QString sql = QStringLiteral("SELECT COUNT(*) FROM ") + table + QStringLiteral(" TAB ")
                      + QStringLiteral("INNER JOIN TBCEMM CEC ") + QStringLiteral("ON (    TAB.") + key.K1
                      + QStringLiteral(" = CEC.PKTABELA ");
        if (!key.K2.isEmpty())
            sql += QStringLiteral(" AND TAB.") + key.K2 + QStringLiteral(" = CEC.PKTABELA2 ");
        if (!key.K3.isEmpty())
            sql += QStringLiteral(" AND TAB.") + key.K3 + QStringLiteral(" = CEC.PKTABELA3 ");
        sql += QStringLiteral(") WHERE CEC.NMTABELA =  ") + QuotedSqlString(table);
        ds.SetCommandText(sql);
        // The table name stands unquoted in the text: it must be a plain name.
        RequirePlainIdentifier(table, "table");
        ds.Open();
        const qint32 count = ds.Fields(0).AsInteger();
        ds.Close();
        return count;
    } catch (const EConnectionError&) {
        throw; // the whole run ends, logged once
    } catch (const std::exception& e) {
        const QString statement = exec ? exec->CommandText() : QString();
        LogAs(QStringLiteral("NrRegistros_AImportar"), CurrentTable(), cdContrato, pkEmpresa, pkFilial, uf,
              ErrorText(e) + kCrLf + statement);
        return -1;
    }
}

// A branch sends the marked rows of a local provider and deletes their marks.
class TKeltMovMClient::TExportTable : public TExportSteps
{
public:
    TExportTable(TKeltMovMClient& client, const QString& provider)
        : c(client), m_provider(provider), m_server(Wired(client.m_broker, "Broker"))
    {
    }

    QString ErrorStep() const override { return QStringLiteral("ImportaRegistros 002"); }

    void OpenBatch(TClientDataSet& batch) override
    {
        PrepareProvider(batch, Wired(c.m_localProviderConnection, "LocalProviderConnection"), m_provider,
                        c.m_dadosFilial, 0);
        batch.Open();
    }

    void LogNoProgress(const QString& table, int rows) override
    {
        c.Log(kStepSemProgressoEnvio, table,
              QStringLiteral("Os %1 registro(s) do lote já foram enviados nesta replicação e continuam "
                             "marcados em TBCEMM; a tabela será enviada de novo na próxima execução.")
                  .arg(rows));
    }

    bool Send(QString& table, const QByteArray& packet) override
    {
        // The server may rewrite the identity for the rest of the run.
        TDadosFilial& f = c.m_dadosFilial;
        return m_server.Inseri_No_Servidor(table, packet, {f.CdContrato, f.PkEmpresa, f.PkFilial, f.UF});
    }

    bool Settle(const QString& table, const QByteArray& packet, int& settled) override
    {
        const TDadosFilial& f = c.m_dadosFilial;
        settled = 0;
        return c.BaixaRegistrosEnviados(table, packet, f.UF, f.PkFilial, f.PkEmpresa, f.CdContrato);
    }

    // The server has the rows and their marks are gone: then the monitoring rows.
    bool AfterSettle(const QString& table, const QByteArray& packet) override
    {
        const TDadosFilial& f = c.m_dadosFilial;
        return !c.m_monitoramento.MonitorarReplicacao
               || c.Seta_Log_Como_Enviado(table, packet, f.UF, f.PkFilial, f.PkEmpresa, f.CdContrato);
    }

private:
    TKeltMovMClient& c;
    QString m_provider;
    TKeltMovMServer m_server;
};

void TKeltMovMClient::ImportaRegistros(const QString& provider, const QString& tableName)
{
    TTableResult& result = CurrentResult(provider, tableName);
    try {
        TExportTable steps(*this, provider);
        TBatchEngine(*this).Export(steps, tableName, result);
    } catch (const EConnectionError&) {
        throw; // the whole run ends, logged once
    } catch (const std::exception& e) {
        result.Outcome = TTableOutcome::Failed;
        Log(QStringLiteral("ImportaRegistros 002"), CurrentTable(), ErrorText(e));
    }
}

bool TKeltMovMClient::BaixaRegistrosEnviados(const QString& table, const QByteArray& batch, const QString& uf,
                                             qint32 pkFilial, qint32 pkEmpresa, const QString& cdContrato)
{
    // The statement that failed goes into the log entry.
    TSQLDataSet* exec = m_execDataSet;
    try {
        TClientDataSet& rows = Wired(m_genericDataSet, "GenericDataSet");
        TSQLDataSet& ds = Wired(m_execDataSet, "ExecDataSet");
        rows.Close();
        LoadBatch(rows, batch);
        const TMarkKey key(table);
        // Inside the batch's transaction each sent row is locked first, so that
        // a row changed since the batch was read keeps its marks.
        const bool inBatch = ds.SQLConnection() && ds.SQLConnection()->InTransaction();
        for (rows.First(); !rows.Eof(); rows.Next()) {
            if (inBatch) {
                exec = &Wired(m_lookupDataSet, "LookupDataSet");
                LockSentRow(*exec, table, rows);
                exec = &ds;
            }
            ds.Close();
            QString sql = QStringLiteral("DELETE FROM TBCEMM WHERE PKTABELA = :PPKTABELA ");
            if (!key.K2.isEmpty())
                sql += QStringLiteral(" AND PKTABELA2 = :PPKTABELA2");
            if (!key.K3.isEmpty())
                sql += QStringLiteral(" AND PKTABELA3 = :PPKTABELA3");
            sql += QStringLiteral(" AND NMTABELA = :PNMTABELA");
            ds.SetCommandText(sql);
            ds.Params().ParamByName(u"PPKTABELA").SetAsInteger(rows.FieldByName(key.K1).AsInteger());
            if (!key.K2.isEmpty())
                BindKey(ds.Params().ParamByName(u"PPKTABELA2"), rows.FieldByName(key.K2));
            if (!key.K3.isEmpty())
                BindKey(ds.Params().ParamByName(u"PPKTABELA3"), rows.FieldByName(key.K3));
            ds.Params().ParamByName(u"PNMTABELA").SetAsString(table);
            ds.ExecSQL();
        }
        return true;
    } catch (const EConnectionError&) {
        throw; // the whole run ends, logged once
    } catch (const std::exception& e) {
        const QString statement = exec ? exec->CommandText() : QString();
        LogAs(QStringLiteral("Exclui_No_Servidor"), table, cdContrato, pkEmpresa, pkFilial, uf,
              ErrorText(e) + kCrLf + statement);
        return false;
    }
}

bool TKeltMovMClient::Seta_Log_Como_Enviado(const QString& table, const QByteArray& batch, const QString& uf,
                                            qint32 pkFilial, qint32 pkEmpresa, const QString& cdContrato)
{
    TSQLDataSet* log = m_logDataSet;
    try {
        TClientDataSet& rows = Wired(m_genericDataSet, "GenericDataSet");
        TSQLDataSet& ds = Wired(log, "LogDataSet");
        rows.Close();
        LoadBatch(rows, batch);
        const TMarkKey key(table);
        for (rows.First(); !rows.Eof(); rows.Next()) {
            ds.Close();
            ds.SetCommandText(kInsertTbLog);
            TParams& p = ds.Params();
            p.ParamByName(u"CDCONTRATO").SetAsInteger(ContractAsInteger(cdContrato));
            p.ParamByName(u"PKFILIAL").SetAsInteger(pkFilial);
            BindKey(p.ParamByName(u"PKTABELA"), rows.FieldByName(key.K1));
            if (key.K2.isEmpty())
                p.ParamByName(u"PKTABELA2").SetAsInteger(0);
            else
                BindKey(p.ParamByName(u"PKTABELA2"), rows.FieldByName(key.K2));
            if (key.K3.isEmpty())
                p.ParamByName(u"PKTABELA3").SetAsInteger(0);
            else
                BindKey(p.ParamByName(u"PKTABELA3"), rows.FieldByName(key.K3));
            p.ParamByName(u"NMTABELA").SetAsString(table);
            TParam& data = p.ParamByName(u"DATA");
            data.DataType = TFieldType::ftDate;
            data.Value = Clock().CurrentDate();
            TParam& hora = p.ParamByName(u"HORA");
            hora.DataType = TFieldType::ftTime;
            hora.Value = Clock().CurrentTime();
            p.ParamByName(u"ENVIADO").SetAsInteger(1);
            ds.ExecSQL();
        }
        return true;
    } catch (const EConnectionError&) {
        throw; // the whole run ends, logged once
    } catch (const std::exception& e) {
        const QString statement = log ? log->CommandText() : QString();
        LogAs(QStringLiteral("Seta_Log_Como_Enviado"), table, cdContrato, pkEmpresa, pkFilial, uf,
              ErrorText(e) + kCrLf + statement);
        return false;
    }
}

// --- headquarters: receiving -------------------------------------------------------

void TKeltMovMClient::ListaProvidersRemoto(const QString& provider, const QString& table)
{
    const QString step = QStringLiteral("ListaProvidersRemoto");
    m_run.Tables.append(TTableResult{provider, table});
    TTableResult& result = m_run.Tables.last();
    try {
        Label().SetCaption(table);
        ProcessMessages();
        TKeltMovMServer server(Wired(m_broker, "Broker"));
        TDadosFilial& f = m_dadosFilial;
        const qint32 count =
            server.NrRegistros_AImportar(CurrentTable(), {f.CdContrato, f.PkEmpresa, f.PkFilial, f.UF});
        result.Pending = count;
        if (count == -1) {
            result.Outcome = TTableOutcome::CountFailed;
            SetServerFailure();
            Log(step, CurrentTable(), m_lastError);
            return;
        }
        if (count <= 0) {
            result.Outcome = TTableOutcome::NothingPending;
            Bar().SetPosition(0);
            ProcessMessages();
            return;
        }
        Bar().SetMax(count);
        Bar().SetPosition(0);
        ProcessMessages();
        if (IsCondItemTable(CurrentTable())) {
            m_ultimoPkCond = 0;
            m_ultimoPkFCond = 0;
        }
        ImportaRegistrosRemoto(provider, table);
        Bar().SetPosition(0);
        ProcessMessages();
    } catch (const EConnectionError&) {
        throw; // the whole run ends, logged once
    } catch (const std::exception& e) {
        result.Outcome = TTableOutcome::Failed;
        Log(step, CurrentTable(), ErrorText(e));
    }
}

// Headquarters writes the rows the server offers and acknowledges them.
class TKeltMovMClient::TImportTable : public TImportSteps
{
public:
    TImportTable(TKeltMovMClient& client, const QString& provider)
        : c(client), m_provider(provider), m_broker(Wired(client.m_broker, "Broker")), m_server(m_broker)
    {
    }

    QString ErrorStep() const override { return QStringLiteral("ImportaRegistrosRemoto"); }

    void OpenBatch(TClientDataSet& batch) override
    {
        PrepareProvider(batch, m_broker, m_provider, c.m_dadosFilial, 0);
        batch.Open();
    }

    void LogNoProgress(const QString& table, int rows) override
    {
        c.Log(kStepSemProgressoRecebimento, table,
              QStringLiteral("O servidor enviou de novo %1 registro(s) já gravado(s) e confirmado(s) "
                             "nesta replicação; a tabela será recebida de novo na próxima execução.")
                  .arg(rows));
    }

    // Each header's items are replaced by the incoming set.
    bool BeforeRows(TClientDataSet& batch, const QString& table) override
    {
        if (!IsCondItemTable(table) || c.LimpaTbItCondiVendaCompra(batch, table))
            return true;
        c.SetServerFailure();
        c.Log(QStringLiteral("LimpaTbItCondiVendaCompra"), table, c.m_lastError);
        return false;
    }

    QString NoProgressStep() const override { return kStepSemProgressoRecebimento; }

    bool Acknowledge(QString& table, const QByteArray& packet) override
    {
        TDadosFilial& f = c.m_dadosFilial;
        return m_server.Exclui_No_Servidor(table, packet, {f.CdContrato, f.PkEmpresa, f.PkFilial, f.UF});
    }

    bool AfterAcknowledge(const QString& table, const QByteArray& packet) override
    {
        const TDadosFilial& f = c.m_dadosFilial;
        return !c.m_monitoramento.MonitorarReplicacao
               || c.Seta_Log_Como_Enviado(table, packet, f.UF, f.PkFilial, f.PkEmpresa, f.CdContrato);
    }

private:
    TKeltMovMClient& c;
    QString m_provider;
    TConnectionBroker& m_broker;
    TKeltMovMServer m_server;
};

void TKeltMovMClient::ImportaRegistrosRemoto(const QString& provider, const QString& tableName)
{
    TTableResult& result = CurrentResult(provider, tableName);
    try {
        TImportTable steps(*this, provider);
        TBatchEngine(*this).Import(steps, tableName, result);
    } catch (const EConnectionError&) {
        throw; // the whole run ends, logged once
    } catch (const std::exception& e) {
        result.Outcome = TTableOutcome::Failed;
        Log(QStringLiteral("ImportaRegistrosRemoto"), CurrentTable(), ErrorText(e));
    }
}

bool TKeltMovMClient::LimpaTbItCondiVendaCompra(TClientDataSet& batch, const QString& table)
{
    TSQLDataSet* exec = m_execDataSet;
    bool done = false;
    try {
        TSQLDataSet& ds = Wired(exec, "ExecDataSet");
        const bool venda = table == kItCondiVenda;
        if (!venda && table != kItCondiCompra)
            throw EDatabaseError(QStringLiteral("%1 has no condition header").arg(table));
        const QString headerKey = venda ? QStringLiteral("PKCONDIVENDA") : QStringLiteral("PKCONDICOMPRA");
        const QString headerBranch = venda ? QStringLiteral("PKFCONDIVENDA") : QStringLiteral("PKFCONDICOMPRA");
        const QString sql = venda ? QStringLiteral("DELETE FROM TBITCONDIVENDA WHERE PKCONDIVENDA = :PKCONDIVENDA "
                                                   " AND PKFCONDIVENDA = :PKFCONDIVENDA ")
                                  : QStringLiteral("DELETE FROM TBITCONDICOMPRA WHERE PKCONDICOMPRA = :PKCONDICOMPRA "
                                                   " AND PKFCONDICOMPRA = :PKFCONDICOMPRA ");
        for (batch.First(); !batch.Eof(); batch.Next()) {
            const qint32 h = batch.FieldByName(headerKey).AsInteger();
            const qint32 f = batch.FieldByName(headerBranch).AsInteger();
            if (h == m_ultimoPkCond && f == m_ultimoPkFCond)
                continue;
            // Remembered before the delete: the items of one header may straddle
            // two batches and must be cleared only before the first.
            m_ultimoPkCond = h;
            m_ultimoPkFCond = f;
            ds.Close();
            ds.SetCommandText(sql);
            ds.Params().ParamByName(headerKey).SetAsInteger(h);
            ds.Params().ParamByName(headerBranch).SetAsInteger(f);
            ds.ExecSQL();
        }
        done = true;
    } catch (const EConnectionError&) {
        throw; // the whole run ends, logged once
    } catch (const std::exception& e) {
        const QString statement = exec ? exec->CommandText() : QString();
        LogAs(QStringLiteral("LimpaTbItCondiVendaCompra"), table, QString(), 0, 0, QString(),
              ErrorText(e) + kCrLf + statement);
    }
    batch.First();
    return done;
}
