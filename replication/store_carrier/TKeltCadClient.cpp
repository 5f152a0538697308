#include "TKeltCadClient.h"

#include "platform/data/ClientDataSet.h"
#include "platform/types/Exception.h"
#include "platform/sql/SQLDataSet.h"
#include "remote/ConnectionBroker.h"
#include "remote/ServerObjects.h"
#include "remote/wire/SocketConnection.h"
#include "replication/core/BatchEngine.h"
#include "replication/core/ProcessMessages.h"

#include <QSet>
#include <QStringList>

#include <optional>

namespace {

// Never acknowledged: the client pages them by its own last key instead.
bool IsPagedTable(const QString& table)
{
    return table == QLatin1String("TBPRECOSERIAL") || table == QLatin1String("TBPROMOCAO");
}

// The fields that identify a row, as the key condition of the statements
// names them; all fields when the provider marks none.
QList<int> KeyFieldIndexes(const TFieldDefs& defs)
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

QString RowKeyText(const TDataPacket& packet, const QList<int>& keys, int row)
{
    QStringList parts;
    for (const int i : keys) {
        const TField field(&packet.Fields()[i], packet.Value(row, i));
        parts.append(field.FieldName() + u'=' + (field.IsNull() ? QStringLiteral("NULL") : field.AsString()));
    }
    return parts.join(QStringLiteral("; "));
}

} // namespace

TTableResult* TKeltCadClient::CurrentResult()
{
    return m_run.Tables.isEmpty() ? nullptr : &m_run.Tables.last();
}

void TKeltCadClient::RunStoreCarrier()
{
    m_run = TRunResult();
    // The broker is disconnected however the run ends, also when logging fails.
    struct Disconnect
    {
        TConnectionBroker* broker;
        ~Disconnect()
        {
            if (broker)
                broker->Close();
        }
    } disconnect{m_broker};

    try {
        ReadConfiguration();
        TSocketConnection& socket = Wired(m_socketConnection, "SocketConnection");
        TConnectionBroker& broker = Wired(m_broker, "Broker");
        socket.SetServerName(QString::fromLatin1(ServerName));
        broker.Open();
        ProcessMessages();

        TKeltCadServer server(broker);
        TDadosFilial& f = m_dadosFilial;
        if (!server.Conecta_No_Banco({f.CdContrato, f.PkEmpresa, f.PkFilial, f.UF})) {
            SetServerFailure();
            Log(QStringLiteral("InicialReplicacaoCadastro"), CurrentTable(), m_lastError);
        } else {
            m_run.Accepted = true;
            ProcessMessages();
            const qint32 count = server.Get_ProvidersCount();
            for (qint32 i = 0; i < count; ++i) {
                QString provider;
                QString table;
                server.Get_Providers(i, provider, table);
                ReplicateProvider(provider, table);
            }
            ProcessMessages();
        }
    } catch (const std::exception& e) {
        m_run.Failed = true;
        Log(QStringLiteral("InicialReplicacaoCadastro"), CurrentTable(), ErrorText(e));
    }
}

void TKeltCadClient::ReplicateProvider(const QString& provider, const QString& table)
{
    m_run.Tables.append(TTableResult{provider, table.toUpper()});
    try {
        TConnectionBroker& broker = Wired(m_broker, "Broker");
        Label().SetCaption(table.toUpper());
        ProcessMessages();
        CurrentResult()->Paged = IsPagedTable(CurrentTable());

        TKeltCadServer server(broker);
        TDadosFilial& f = m_dadosFilial;
        if (!server.ReplicaTabela(f.PkEmpresa, CurrentTable())) {
            CurrentResult()->Outcome = TTableOutcome::Declined;
            return;
        }
        m_pkUltimo = IsPagedTable(CurrentTable()) ? LastKey(CurrentTable(), true) : 0;
        const qint32 pending = server.NrRegistros_AImportar(CurrentTable(), {f.CdContrato, f.PkEmpresa, f.PkFilial, f.UF},
                                                            m_pkUltimo);
        CurrentResult()->Pending = pending;
        if (pending == -1) {
            CurrentResult()->Outcome = TTableOutcome::CountFailed;
            SetServerFailure();
            Log(QStringLiteral("ListaProviders"), CurrentTable(), m_lastError);
            return;
        }
        if (pending > 0) {
            Bar().SetMax(pending);
            Bar().SetPosition(0);
            ProcessMessages();
            ImportBatches(provider, table);
            Bar().SetPosition(0);
            ProcessMessages();
        } else {
            CurrentResult()->Outcome = TTableOutcome::NothingPending;
            Bar().SetPosition(0);
            ProcessMessages();
        }
    } catch (const EConnectionError&) {
        throw; // the whole run ends, logged once
    } catch (const std::exception& e) {
        CurrentResult()->Outcome = TTableOutcome::Failed;
        Log(QStringLiteral("ListaProviders"), CurrentTable(), ErrorText(e));
    }
}

// The server's batches of one provider, written row by row: a row that cannot
// be written is logged with its key and the next row follows.
class TKeltCadClient::TImportTable : public TImportSteps
{
public:
    TImportTable(TKeltCadClient& client, const QString& provider)
        : c(client), m_provider(provider), m_broker(Wired(client.m_broker, "Broker")), m_server(m_broker)
    {
    }

    QString ErrorStep() const override { return QStringLiteral("ImportaRegistros 003"); }

    void OpenBatch(TClientDataSet& batch) override
    {
        PrepareProvider(batch, m_broker, m_provider, c.m_dadosFilial, c.m_pkUltimo);
        // A failed open is logged; reading the batch then fails with the same text.
        m_openError.reset();
        try {
            batch.Open();
        } catch (const EConnectionError&) {
            throw; // the whole run ends, logged once
        } catch (const std::exception& e) {
            m_openError = ErrorText(e);
            c.Log(QStringLiteral("ImportaRegistros Open 003"), c.CurrentTable(), *m_openError);
        }
    }

    QString ClosedBatchError() const override { return m_openError.value_or(TImportSteps::ClosedBatchError()); }

    TRowErrors RowErrors() const override { return TRowErrors::LogAndGoOn; }

    void LogBuildFailure(TBuildStep step, const std::exception& e) override
    {
        const char* name = step == TBuildStep::Select   ? "ImportaRegistros MontaSQL 003"
                           : step == TBuildStep::Insert ? "ImportaRegistros MontaInsert 003"
                                                        : "ImportaRegistros MontaUpdate 003";
        c.Log(QString::fromLatin1(name), c.CurrentTable(), ErrorText(e));
    }

    // With the row's key, so that a failed row can be found again.
    void LogRowFailure(TRowStep step, const std::exception& e, const TDataPacket& packet, int row) override
    {
        const char* name = step == TRowStep::LookupParams ? "ImportaRegistros SetParamsDataSet Busca 003"
                           : step == TRowStep::Lookup     ? "ImportaRegistros Busca.Open 003"
                           : step == TRowStep::WriteParams ? "ImportaRegistros SetParamsDataSet Executa 003"
                                                           : "ImportaRegistros SQlExecuta.ExecSQL 003";
        c.Log(QString::fromLatin1(name), c.CurrentTable(),
              ErrorText(e) + QStringLiteral("\r\nRegistro: ") + RowKeyText(packet, KeyFieldIndexes(packet.Fields()), row));
    }

    void LogNothingWritten(int rows) override
    {
        c.Log(QStringLiteral("ImportaRegistros 003"), c.CurrentTable(),
              QStringLiteral("Nenhum dos %1 registro(s) do lote pôde ser gravado; o lote não foi confirmado ao "
                             "servidor e a tabela será replicada de novo na próxima execução.")
                  .arg(rows));
    }

    void LogNoProgress(const QString&, int rows) override
    {
        c.Log(kStepSemProgresso, c.CurrentTable(),
              QStringLiteral("O servidor enviou de novo %1 registro(s) já recebido(s) nesta replicação; "
                             "a tabela será replicada de novo na próxima execução.")
                  .arg(rows));
    }

    // Never acknowledged: paged by the store's own last key instead.
    std::optional<bool> PagedByLocalKey() const override
    {
        return IsPagedTable(c.CurrentTable()) ? std::optional<bool>(true) : std::nullopt;
    }
    QString NoProgressStep() const override { return kStepSemProgresso; }

    bool Acknowledge(QString& table, const QByteArray& packet) override
    {
        // The name the server writes back is not used.
        QString ackTable = table;
        TDadosFilial& f = c.m_dadosFilial;
        return m_server.Exclui_No_Servidor(ackTable, packet, {f.CdContrato, f.PkEmpresa, f.PkFilial, f.UF});
    }

private:
    TKeltCadClient& c;
    QString m_provider;
    TConnectionBroker& m_broker;
    TKeltCadServer m_server;
    std::optional<QString> m_openError;
};

void TKeltCadClient::ImportBatches(const QString& provider, const QString& table)
{
    TTableResult scratch;
    TTableResult& result = CurrentResult() ? *CurrentResult() : scratch;
    try {
        TImportTable steps(*this, provider);
        TBatchEngine(*this).Import(steps, table, result);
    } catch (const EConnectionError&) {
        throw; // the whole run ends, logged once
    } catch (const std::exception& e) {
        result.Outcome = TTableOutcome::Failed;
        Log(QStringLiteral("ImportaRegistros 003"), CurrentTable(), ErrorText(e));
    }
}
