#include "TKeltCadClient.h"

#include "platform/data/ClientDataSet.h"
#include "platform/data/Exception.h"
#include "platform/sql/SQLDataSet.h"
#include "remote/ConnectionBroker.h"
#include "remote/ServerObjects.h"
#include "remote/SocketConnection.h"
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

template <class T>
T& Wired(T* object, const char* what)
{
    if (!object)
        throw Exception(QStringLiteral("TKeltCadClient: %1 is not wired").arg(QLatin1String(what)));
    return *object;
}

} // namespace

QString CadOutcomeText(TCadOutcome outcome)
{
    switch (outcome) {
    case TCadOutcome::Declined: return QStringLiteral("not replicated now (declined by the server)");
    case TCadOutcome::NothingPending: return QStringLiteral("nothing pending");
    case TCadOutcome::Imported: return QStringLiteral("imported");
    case TCadOutcome::ServerFailure: return QStringLiteral("server failure on the count (logged)");
    case TCadOutcome::AckRefused: return QStringLiteral("acknowledgement refused, offered again next run (logged)");
    case TCadOutcome::NoProgress: return QStringLiteral("stopped, no progress; tried again next run (logged)");
    case TCadOutcome::Failed: return QStringLiteral("failed (logged)");
    }
    return {};
}

void TKeltCadClient::Log(const QString& step, const QString& table, const QString& message)
{
    // The identity as it stands now: the server may have rewritten it.
    const TDadosFilial& f = m_dadosFilial;
    ServerClient().WriteLog(m_programFolder, step, table, f.CdContrato, f.PkEmpresa, f.PkFilial, f.UF, message);
}

TCadTableResult* TKeltCadClient::CurrentResult()
{
    return m_run.Tables.isEmpty() ? nullptr : &m_run.Tables.last();
}

void TKeltCadClient::RunStoreCarrier()
{
    m_run = TCadRunResult();
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
    m_run.Tables.append(TCadTableResult{provider, table.toUpper()});
    try {
        TConnectionBroker& broker = Wired(m_broker, "Broker");
        Label().SetCaption(table.toUpper());
        ProcessMessages();
        CurrentResult()->Paged = IsPagedTable(CurrentTable());

        TKeltCadServer server(broker);
        TDadosFilial& f = m_dadosFilial;
        if (!server.ReplicaTabela(f.PkEmpresa, CurrentTable())) {
            CurrentResult()->Outcome = TCadOutcome::Declined;
            return;
        }
        m_pkUltimo = IsPagedTable(CurrentTable()) ? LastKey(CurrentTable(), true) : 0;
        const qint32 pending = server.NrRegistros_AImportar(CurrentTable(), {f.CdContrato, f.PkEmpresa, f.PkFilial, f.UF},
                                                            m_pkUltimo);
        CurrentResult()->Pending = pending;
        if (pending == -1) {
            CurrentResult()->Outcome = TCadOutcome::ServerFailure;
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
            CurrentResult()->Outcome = TCadOutcome::NothingPending;
            Bar().SetPosition(0);
            ProcessMessages();
        }
    } catch (const std::exception& e) {
        CurrentResult()->Outcome = TCadOutcome::Failed;
        Log(QStringLiteral("ListaProviders"), CurrentTable(), ErrorText(e));
    }
}

void TKeltCadClient::ImportBatches(const QString& provider, const QString& table)
{
    TCadTableResult scratch;
    TCadTableResult& result = CurrentResult() ? *CurrentResult() : scratch;
    result.Outcome = TCadOutcome::Failed;
    // Keys of every row taken in this run: a batch holding nothing else means
    // the server is repeating itself.
    QSet<QString> taken;

    try {
        TClientDataSet& cds = Wired(m_clientDataSet, "ClientDataSet");
        TSQLDataSet& lookup = Wired(m_lookupDataSet, "LookupDataSet");
        TSQLDataSet& exec = Wired(m_execDataSet, "ExecDataSet");
        TConnectionBroker& broker = Wired(m_broker, "Broker");
        TKeltCadServer server(broker);
        TKeltBaseServerClient& builder = ServerClient();

        for (;;) {
            // 1. The provider with this store's parameters and the last key.
            PrepareProvider(cds, broker, provider, m_dadosFilial, m_pkUltimo);

            // 2. A failed open is logged; reading the batch then fails with the same text.
            std::optional<QString> openError;
            try {
                cds.Open();
            } catch (const std::exception& e) {
                openError = ErrorText(e);
                Log(QStringLiteral("ImportaRegistros Open 003"), CurrentTable(), *openError);
            }

            // 3. The lookup starts afresh for the batch.
            ProcessMessages();
            lookup.Close();

            // 4. Statement texts, once per batch.
            bool built = true;
            QString insertText;
            QString updateText;
            try {
                lookup.SetCommandText(builder.BuildSelectByKey(table, cds));
            } catch (const std::exception& e) {
                built = false;
                Log(QStringLiteral("ImportaRegistros MontaSQL 003"), CurrentTable(), ErrorText(e));
            }
            try {
                insertText = builder.BuildInsert(table, cds);
            } catch (const std::exception& e) {
                built = false;
                Log(QStringLiteral("ImportaRegistros MontaInsert 003"), CurrentTable(), ErrorText(e));
            }
            try {
                updateText = builder.BuildUpdate(table, cds);
            } catch (const std::exception& e) {
                built = false;
                Log(QStringLiteral("ImportaRegistros MontaUpdate 003"), CurrentTable(), ErrorText(e));
            }

            // 5. An empty batch: the server has nothing more for this table.
            if (!cds.Active())
                throw EDatabaseError(openError.value_or(QStringLiteral("Cannot perform this operation on a closed dataset")));
            cds.First();
            if (cds.IsEmpty()) {
                result.Outcome = TCadOutcome::Imported;
                break;
            }
            // A batch whose statements cannot be built (a field name that is not
            // an identifier) could not write a single row: acknowledging it would
            // lose it, so it stays pending at the server.
            if (!built)
                break;

            const TDataPacket& packet = cds.Packet();
            const QList<int> keys = KeyFieldIndexes(packet.Fields());
            QStringList batchKeys;
            batchKeys.reserve(packet.RowCount());
            bool anyNew = false;
            for (int row = 0; row < packet.RowCount(); ++row) {
                batchKeys.append(RowKeyText(packet, keys, row));
                anyNew = anyNew || !taken.contains(batchKeys.last());
            }
            if (!anyNew) {
                result.Outcome = TCadOutcome::NoProgress;
                Log(kStepSemProgresso, CurrentTable(),
                    QStringLiteral("O servidor enviou de novo %1 registro(s) já recebido(s) nesta replicação; "
                                   "a tabela será replicada de novo na próxima execução.")
                        .arg(packet.RowCount()));
                break;
            }
            ++result.Batches;

            // 6. Every row by the import recipe; each sub-step logged on its own,
            // with the row's key so that a failed row can be found again.
            const auto logRow = [&](const char* step, const std::exception& e, int row) {
                Log(QString::fromLatin1(step), CurrentTable(),
                    ErrorText(e) + QStringLiteral("\r\nRegistro: ") + batchKeys.value(row));
            };
            const int writtenBefore = result.RowsWritten;
            while (!cds.Eof()) {
                const int row = cds.RecNo();
                lookup.Close();
                try {
                    CopyRowToParams(lookup, cds);
                } catch (const std::exception& e) {
                    logRow("ImportaRegistros SetParamsDataSet Busca 003", e, row);
                }
                try {
                    lookup.Open();
                } catch (const std::exception& e) {
                    logRow("ImportaRegistros Busca.Open 003", e, row);
                }
                exec.Close();
                const bool found = lookup.Active() && !lookup.IsEmpty();
                exec.SetCommandText(found ? updateText : insertText);
                try {
                    CopyRowToParams(exec, cds);
                } catch (const std::exception& e) {
                    logRow("ImportaRegistros SetParamsDataSet Executa 003", e, row);
                }
                try {
                    exec.ExecSQL();
                    ++result.RowsWritten;
                    result.RowsUpdated += found ? 1 : 0;
                } catch (const std::exception& e) {
                    ++result.RowsFailed;
                    logRow("ImportaRegistros SQlExecuta.ExecSQL 003", e, row);
                }
                cds.Next();
                Bar().SetPosition(Bar().Position() + 1);
                ProcessMessages();
            }
            for (const QString& key : batchKeys)
                taken.insert(key);

            // 7. Failed rows are acknowledged too, so that one bad row cannot
            // block the channel; the log names them. A batch of which no row
            // could be written failed for a reason of the store (database gone,
            // a column missing), not of its rows: acknowledging it would lose it.
            if (result.RowsWritten == writtenBefore && !IsPagedTable(CurrentTable())) {
                result.Outcome = TCadOutcome::Failed;
                Log(QStringLiteral("ImportaRegistros 003"), CurrentTable(),
                    QStringLiteral("Nenhum dos %1 registro(s) do lote pôde ser gravado; o lote não foi confirmado ao "
                                   "servidor e a tabela será replicada de novo na próxima execução.")
                        .arg(packet.RowCount()));
                break;
            }
            if (!IsPagedTable(CurrentTable())) {
                TDadosFilial& f = m_dadosFilial;
                QString ackTable = table;
                if (!server.Exclui_No_Servidor(ackTable, cds.XMLData(), {f.CdContrato, f.PkEmpresa, f.PkFilial, f.UF})) {
                    result.Outcome = TCadOutcome::AckRefused;
                    SetServerFailure();
                    Log(QStringLiteral("Excluir_Servidor"), table, m_lastError);
                    break;
                }
                ++result.Acknowledged;
            }

            // 8. Done with the batch.
            ProcessMessages();
            cds.Close();

            // 9. A paged table moves on only when its last key grows.
            if (IsPagedTable(CurrentTable())) {
                const qint32 before = m_pkUltimo;
                m_pkUltimo = LastKey(CurrentTable(), true);
                if (m_pkUltimo <= before) {
                    result.Outcome = TCadOutcome::NoProgress;
                    Log(kStepSemProgresso, CurrentTable(),
                        QStringLiteral("A última chave local de %1 ficou em %2 depois do lote; a tabela será "
                                       "replicada de novo na próxima execução.")
                            .arg(CurrentTable())
                            .arg(m_pkUltimo));
                    break;
                }
            } else {
                m_pkUltimo = 0;
            }
            // 10. The next pass.
        }
    } catch (const std::exception& e) {
        result.Outcome = TCadOutcome::Failed;
        Log(QStringLiteral("ImportaRegistros 003"), CurrentTable(), ErrorText(e));
    }
}
