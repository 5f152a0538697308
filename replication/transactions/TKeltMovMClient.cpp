#include "TKeltMovMClient.h"

#include "platform/data/ClientDataSet.h"
#include "platform/data/Exception.h"
#include "platform/data/LocalConnection.h"
#include "platform/os/Clock.h"
#include "platform/sql/SQLConnection.h"
#include "platform/sql/SQLDataSet.h"
#include "remote/ConnectionBroker.h"
#include "remote/ServerObjects.h"
#include "remote/SocketConnection.h"
#include "replication/core/BatchHistory.h"
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

template <class T>
T& Wired(T* object, const char* what)
{
    if (!object)
        throw Exception(QStringLiteral("TKeltMovMClient: %1 is not wired").arg(QLatin1String(what)));
    return *object;
}

// Exact and case-sensitive: a server naming the table in lower case gets no
// special handling.
bool IsCondItemTable(const QString& table)
{
    return table == kItCondiVenda || table == kItCondiCompra;
}

QString QuotedLiteral(const QString& text)
{
    QString quoted = text;
    quoted.replace(u'\'', QStringLiteral("''"));
    return u'\'' + quoted + u'\'';
}

// A table name from the server goes into the log file name; one that could not
// stand there is logged under an empty table name (the message names it).
bool FitsFileName(const QString& part)
{
    if (part.contains(QLatin1String("..")))
        return false;
    for (const QChar c : part)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f || QStringView(u"<>:\"|?*/\\").contains(c))
            return false;
    return true;
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

QString FieldText(const TField& field)
{
    return field.IsNull() ? QStringLiteral("NULL") : field.AsString();
}

// The fields the import locates a row by.
QList<int> LocatingFields(const TFieldDefs& defs)
{
    QList<int> keys;
    for (int i = 0; i < defs.size(); ++i)
        if (defs[i].InKey() || defs[i].Required)
            keys.append(i);
    if (keys.isEmpty())
        for (int i = 0; i < defs.size(); ++i)
            keys.append(i);
    return keys;
}

QString LocatingKeyText(const TClientDataSet& batch, const QList<int>& fields)
{
    QStringList parts;
    for (const int i : fields)
        parts.append(FieldText(batch.Fields(i)));
    return parts.join(u'|');
}

} // namespace

QString MovOutcomeText(TMovOutcome outcome)
{
    switch (outcome) {
    case TMovOutcome::NothingPending: return QStringLiteral("nothing pending");
    case TMovOutcome::Done: return QStringLiteral("done");
    case TMovOutcome::CountFailed: return QStringLiteral("count failed, skipped (logged)");
    case TMovOutcome::ServerRefused: return QStringLiteral("refused by the server, sent again next run (logged)");
    case TMovOutcome::CleanUpFailed: return QStringLiteral("clean-up failed (logged)");
    case TMovOutcome::MonitorFailed: return QStringLiteral("monitoring row not written (logged)");
    case TMovOutcome::NoProgress: return QStringLiteral("stopped, no progress; tried again next run (logged)");
    case TMovOutcome::Failed: return QStringLiteral("failed (logged)");
    }
    return {};
}

// --- helpers -------------------------------------------------------------------

void TKeltMovMClient::Log(const QString& step, const QString& table, const QString& message)
{
    // The identity as it stands now: the server may have rewritten it.
    const TDadosFilial& f = m_dadosFilial;
    LogAs(step, table, f.CdContrato, f.PkEmpresa, f.PkFilial, f.UF, message);
}

void TKeltMovMClient::LogAs(const QString& step, const QString& table, const QString& cdContrato, qint32 pkEmpresa,
                            qint32 pkFilial, const QString& uf, const QString& message)
{
    ServerClient().WriteLog(m_programFolder, step, FitsFileName(table) ? table : QString(), cdContrato, pkEmpresa,
                            pkFilial, uf, message);
}

TMovTableResult& TKeltMovMClient::CurrentResult(const QString& provider, const QString& table)
{
    if (!m_run.Tables.isEmpty() && m_run.Tables.last().Provider == provider && m_run.Tables.last().Table == table)
        return m_run.Tables.last();
    m_scratch = TMovTableResult{provider, table};
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
    m_run = TMovRunResult();
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
    m_run.Tables.append(TMovTableResult{provider, table});
    TMovTableResult& result = m_run.Tables.last();
    try {
        Label().SetCaption(table);
        ProcessMessages();
        TDadosFilial& f = m_dadosFilial;
        const qint32 count = ContaRegistrosPendentes(CurrentTable(), f.CdContrato, f.UF, f.PkFilial, f.PkEmpresa);
        result.Pending = count;
        if (count == -1) {
            result.Outcome = TMovOutcome::CountFailed;
            Log(step, CurrentTable(), Wired(m_execDataSet, "ExecDataSet").CommandText());
            return;
        }
        if (count <= 0) {
            result.Outcome = TMovOutcome::NothingPending;
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
                result.Outcome = TMovOutcome::ServerRefused;
                SetServerFailure();
                Log(step, CurrentTable(), m_lastError);
                return;
            }
        }
        ImportaRegistros(provider, table);
        Bar().SetPosition(0);
        ProcessMessages();
    } catch (const std::exception& e) {
        result.Outcome = TMovOutcome::Failed;
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
        sql += QStringLiteral(") WHERE CEC.NMTABELA =  ") + QuotedLiteral(table);
        ds.SetCommandText(sql);
        // The table name stands unquoted in the text: it must be a plain name.
        RequirePlainIdentifier(table, "table");
        ds.Open();
        const qint32 count = ds.Fields(0).AsInteger();
        ds.Close();
        return count;
    } catch (const std::exception& e) {
        const QString statement = exec ? exec->CommandText() : QString();
        LogAs(QStringLiteral("NrRegistros_AImportar"), CurrentTable(), cdContrato, pkEmpresa, pkFilial, uf,
              ErrorText(e) + kCrLf + statement);
        return -1;
    }
}

void TKeltMovMClient::ImportaRegistros(const QString& provider, const QString& tableName)
{
    TMovTableResult& result = CurrentResult(provider, tableName);
    result.Outcome = TMovOutcome::Failed;
    QString table = tableName; // the server may rename it for the rest of the export
    // Rows sent in this run. A batch of nothing else means their marks did not
    // go (a clean-up that deleted nothing): sending it again would never end. A
    // row changed and marked again since it went is new.
    TBatchHistory sent;
    try {
        TClientDataSet& cds = Wired(m_clientDataSet, "ClientDataSet");
        TLocalConnection& providers = Wired(m_localProviderConnection, "LocalProviderConnection");
        TKeltMovMServer server(Wired(m_broker, "Broker"));
        TDadosFilial& f = m_dadosFilial;

        for (;;) {
            // 1-2. The local provider with the company's key.
            PrepareProvider(cds, providers, provider, m_dadosFilial, 0);

            // The batch is read and its marks deleted in one snapshot: a mark or
            // a change that another program commits in between stays.
            TSQLTransaction snapshot(LocalDatabase());

            // 3-4.
            cds.Open();
            ProcessMessages();
            cds.First();
            if (cds.IsEmpty()) {
                result.Outcome = TMovOutcome::Done;
                break;
            }

            if (!sent.HoldsNewRows(cds.Packet())) {
                result.Outcome = TMovOutcome::NoProgress;
                Log(kStepSemProgressoEnvio, table,
                    QStringLiteral("Os %1 registro(s) do lote já foram enviados nesta replicação e continuam "
                                   "marcados em TBCEMM; a tabela será enviada de novo na próxima execução.")
                        .arg(cds.RecordCount()));
                break;
            }

            // 5. The server stores the batch.
            const QByteArray batch = cds.XMLData();
            const int rows = cds.RecordCount();
            if (!server.Inseri_No_Servidor(table, batch, {f.CdContrato, f.PkEmpresa, f.PkFilial, f.UF})) {
                result.Outcome = TMovOutcome::ServerRefused;
                SetServerFailure();
                Log(QStringLiteral("Inserir_No_Servidor"), table, m_lastError);
                break;
            }
            ++result.Batches;
            result.Rows += rows;
            sent.Take();

            // 6. Then its marks go.
            ProcessMessages();
            if (!BaixaRegistrosEnviados(table, batch, f.UF, f.PkFilial, f.PkEmpresa, f.CdContrato)
                || !CommitCleanUp(snapshot, table)) {
                result.Outcome = TMovOutcome::CleanUpFailed;
                break;
            }

            // 7. Then the monitoring rows.
            if (m_monitoramento.MonitorarReplicacao
                && !Seta_Log_Como_Enviado(table, batch, f.UF, f.PkFilial, f.PkEmpresa, f.CdContrato)) {
                result.Outcome = TMovOutcome::MonitorFailed;
                break;
            }

            // 8.
            Bar().SetPosition(Bar().Position() + rows);
            ProcessMessages();
            cds.Close();
        }
    } catch (const std::exception& e) {
        result.Outcome = TMovOutcome::Failed;
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
    } catch (const std::exception& e) {
        const QString statement = exec ? exec->CommandText() : QString();
        LogAs(QStringLiteral("Exclui_No_Servidor"), table, cdContrato, pkEmpresa, pkFilial, uf,
              ErrorText(e) + kCrLf + statement);
        return false;
    }
}

bool TKeltMovMClient::CommitCleanUp(TSQLTransaction& snapshot, const QString& table)
{
    try {
        snapshot.Commit();
        return true;
    } catch (const std::exception& e) {
        Log(QStringLiteral("Exclui_No_Servidor"), table, ErrorText(e) + kCrLf + QStringLiteral("COMMIT"));
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
    m_run.Tables.append(TMovTableResult{provider, table});
    TMovTableResult& result = m_run.Tables.last();
    try {
        Label().SetCaption(table);
        ProcessMessages();
        TKeltMovMServer server(Wired(m_broker, "Broker"));
        TDadosFilial& f = m_dadosFilial;
        const qint32 count =
            server.NrRegistros_AImportar(CurrentTable(), {f.CdContrato, f.PkEmpresa, f.PkFilial, f.UF});
        result.Pending = count;
        if (count == -1) {
            result.Outcome = TMovOutcome::CountFailed;
            SetServerFailure();
            Log(step, CurrentTable(), m_lastError);
            return;
        }
        if (count <= 0) {
            result.Outcome = TMovOutcome::NothingPending;
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
    } catch (const std::exception& e) {
        result.Outcome = TMovOutcome::Failed;
        Log(step, CurrentTable(), ErrorText(e));
    }
}

void TKeltMovMClient::ImportaRegistrosRemoto(const QString& provider, const QString& tableName)
{
    TMovTableResult& result = CurrentResult(provider, tableName);
    result.Outcome = TMovOutcome::Failed;
    QString table = tableName; // the server may rename it for the rest of the import
    // Rows written in this run: a batch of nothing else means the server keeps
    // offering what it was told it may drop.
    QSet<QString> written;
    try {
        TClientDataSet& cds = Wired(m_clientDataSet, "ClientDataSet");
        TSQLDataSet& lookup = Wired(m_lookupDataSet, "LookupDataSet");
        TSQLDataSet& exec = Wired(m_execDataSet, "ExecDataSet");
        TConnectionBroker& broker = Wired(m_broker, "Broker");
        TKeltMovMServer server(broker);
        TKeltBaseServerClient& builder = ServerClient();
        TDadosFilial& f = m_dadosFilial;

        for (;;) {
            // 1-2. The remote provider with this installation's identity.
            PrepareProvider(cds, broker, provider, m_dadosFilial, 0);

            // 3.
            cds.Open();
            ProcessMessages();

            QStringList batchKeys;
            if (!cds.IsEmpty()) {
                const QList<int> fields = LocatingFields(cds.FieldDefs());
                bool anyNew = false;
                for (cds.First(); !cds.Eof(); cds.Next()) {
                    batchKeys.append(LocatingKeyText(cds, fields));
                    anyNew = anyNew || !written.contains(batchKeys.last());
                }
                cds.First();
                if (!anyNew) {
                    result.Outcome = TMovOutcome::NoProgress;
                    Log(kStepSemProgressoRecebimento, table,
                        QStringLiteral("O servidor enviou de novo %1 registro(s) já gravado(s) e confirmado(s) "
                                       "nesta replicação; a tabela será recebida de novo na próxima execução.")
                            .arg(cds.RecordCount()));
                    break;
                }
            }

            // 4. Each header's items are replaced by the incoming set.
            if (IsCondItemTable(table) && !LimpaTbItCondiVendaCompra(cds, table)) {
                result.Outcome = TMovOutcome::CleanUpFailed;
                SetServerFailure();
                Log(QStringLiteral("LimpaTbItCondiVendaCompra"), table, m_lastError);
                break;
            }

            // 5.
            cds.First();
            if (cds.IsEmpty()) {
                result.Outcome = TMovOutcome::Done;
                break;
            }

            // 6. Every row by key: update when it exists, insert otherwise. The
            // texts come out the same for every row of a batch.
            const QString selectText = builder.BuildSelectByKey(table, cds);
            const QString insertText = builder.BuildInsert(table, cds);
            const QString updateText = builder.BuildUpdate(table, cds);
            while (!cds.Eof()) {
                lookup.Close();
                lookup.SetCommandText(selectText);
                CopyRowToParams(lookup, cds);
                lookup.Open();
                const bool exists = !lookup.IsEmpty();
                lookup.Close();
                exec.Close();
                exec.SetCommandText(exists ? updateText : insertText);
                CopyRowToParams(exec, cds);
                exec.ExecSQL();
                cds.Next();
                Bar().SetPosition(Bar().Position() + 1);
                ProcessMessages();
            }
            ++result.Batches;
            result.Rows += cds.RecordCount();
            for (const QString& k : batchKeys)
                written.insert(k);

            // 7. The server stops offering the batch.
            const QByteArray batch = cds.XMLData();
            if (!server.Exclui_No_Servidor(table, batch, {f.CdContrato, f.PkEmpresa, f.PkFilial, f.UF})) {
                result.Outcome = TMovOutcome::ServerRefused;
                SetServerFailure();
                Log(QStringLiteral("Excluir_Servidor"), table, m_lastError);
                break;
            }

            // 8.
            if (m_monitoramento.MonitorarReplicacao
                && !Seta_Log_Como_Enviado(table, batch, f.UF, f.PkFilial, f.PkEmpresa, f.CdContrato)) {
                result.Outcome = TMovOutcome::MonitorFailed;
                break;
            }

            // 9.
            ProcessMessages();
            cds.Close();
        }
    } catch (const std::exception& e) {
        result.Outcome = TMovOutcome::Failed;
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
    } catch (const std::exception& e) {
        const QString statement = exec ? exec->CommandText() : QString();
        LogAs(QStringLiteral("LimpaTbItCondiVendaCompra"), table, QString(), 0, 0, QString(),
              ErrorText(e) + kCrLf + statement);
    }
    batch.First();
    return done;
}
