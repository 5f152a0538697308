#include "BatchEngine.h"

#include "BatchHistory.h"
#include "ProcessMessages.h"
#include "cl_Funcoes.h"

#include "platform/data/ClientDataSet.h"
#include "platform/types/Exception.h"
#include "platform/sql/SQLConnection.h"
#include "platform/sql/SQLDataSet.h"

namespace {

const QString kCrLf = QStringLiteral("\r\n");

} // namespace

QString TableOutcomeText(TTableOutcome outcome)
{
    switch (outcome) {
    case TTableOutcome::Declined: return QStringLiteral("not replicated now (declined by the server)");
    case TTableOutcome::NothingPending: return QStringLiteral("nothing pending");
    case TTableOutcome::CountFailed: return QStringLiteral("count failed (logged)");
    case TTableOutcome::Done: return QStringLiteral("done");
    case TTableOutcome::Refused: return QStringLiteral("refused by the server, tried again next run (logged)");
    case TTableOutcome::SettleFailed: return QStringLiteral("settling failed, tried again next run (logged)");
    case TTableOutcome::MonitorFailed: return QStringLiteral("monitoring row not written (logged)");
    case TTableOutcome::NoProgress: return QStringLiteral("stopped, no progress; tried again next run (logged)");
    case TTableOutcome::Failed: return QStringLiteral("failed (logged)");
    }
    return {};
}

QString TImportSteps::ClosedBatchError() const
{
    return QStringLiteral("Cannot perform this operation on a closed dataset");
}

void TBatchEngine::Export(TExportSteps& steps, const QString& tableName, TTableResult& result)
{
    TKeltBaseClient& c = m_client;
    result.Outcome = TTableOutcome::Failed;
    // The server may rename the table; the new name holds for settling and the
    // later passes, while the label keeps the name it was given.
    QString table = tableName;
    // Every row sent in this run: a batch of nothing else would be sent in vain.
    TBatchHistory sent;
    try {
        TClientDataSet& cds = Wired(c.ClientDataSet(), "ClientDataSet");
        for (;;) {
            // The batch is read and settled in one snapshot: a mark or a change
            // that another program commits in between is not settled with it.
            TSQLTransaction snapshot(c.LocalDatabase());
            steps.OpenBatch(cds);
            ProcessMessages();
            if (!cds.Active())
                throw EDatabaseError(QStringLiteral("Cannot perform this operation on a closed dataset"));
            cds.First();
            ++result.Passes;
            if (cds.IsEmpty()) {
                result.Outcome = TTableOutcome::Done;
                break;
            }
            // Nothing of the previous pass was settled: this pass would be the same.
            if (!sent.HoldsNewRows(cds.Packet())) {
                result.Outcome = TTableOutcome::NoProgress;
                steps.LogNoProgress(table, cds.RecordCount());
                break;
            }

            const QByteArray packet = cds.XMLData();
            const int rows = cds.RecordCount();
            if (!steps.Send(table, packet)) {
                result.Outcome = TTableOutcome::Refused;
                c.SetServerFailure();
                c.Log(QStringLiteral("Inserir_No_Servidor"), table, c.LastError());
                break;
            }
            ++result.Batches;
            result.Rows += rows;
            sent.Take();

            ProcessMessages();
            if (steps.Settles()) {
                int settled = 0;
                if (!steps.Settle(table, packet, settled)) {
                    result.Outcome = TTableOutcome::SettleFailed;
                    break;
                }
                try {
                    snapshot.Commit();
                } catch (const EConnectionError&) {
                    throw; // the whole run ends, logged once
                } catch (const std::exception& e) {
                    result.Outcome = TTableOutcome::SettleFailed;
                    c.Log(QStringLiteral("Exclui_No_Servidor"), table, ErrorText(e) + kCrLf + QStringLiteral("COMMIT"));
                    break;
                }
                result.Settled += settled;
            } else {
                snapshot.Commit();
            }
            if (!steps.AfterSettle(table, packet)) {
                result.Outcome = TTableOutcome::MonitorFailed;
                break;
            }

            c.Bar().SetPosition(c.Bar().Position() + rows);
            ProcessMessages();
            cds.Close();

            if (!steps.NextPass()) {
                result.Outcome = TTableOutcome::NoProgress;
                break;
            }
        }
    } catch (const EConnectionError&) {
        throw; // the whole run ends, logged once
    } catch (const std::exception& e) {
        result.Outcome = TTableOutcome::Failed;
        c.Log(steps.ErrorStep(), c.CurrentTable(), ErrorText(e));
    }
}

void TBatchEngine::Import(TImportSteps& steps, const QString& tableName, TTableResult& result)
{
    TKeltBaseClient& c = m_client;
    result.Outcome = TTableOutcome::Failed;
    // The server may rename the table on the acknowledgement; the new name
    // holds for the statements and the later passes.
    QString table = tableName;
    // Every row received in this run: a batch of nothing else means the server
    // offers again what it was told it may drop.
    TBatchHistory received;
    try {
        TClientDataSet& cds = Wired(c.ClientDataSet(), "ClientDataSet");
        TSQLDataSet& lookup = Wired(c.LookupDataSet(), "LookupDataSet");
        TSQLDataSet& exec = Wired(c.ExecDataSet(), "ExecDataSet");
        // Inserts run on the client's data set, updates on one of their own, so
        // that a batch of new and known rows prepares each statement once.
        TSQLDataSet update(exec.SQLConnection());
        const TKeltBaseServerClient& builder = c.ServerClient();
        const bool goOn = steps.RowErrors() == TRowErrors::LogAndGoOn;
        const std::optional<bool> paged = steps.PagedByLocalKey();
        result.Paged = paged.has_value();
        const bool perBatch = c.TransacaoPorLote();

        for (;;) {
            steps.OpenBatch(cds);
            ProcessMessages();
            ++result.Passes;
            if (!cds.Active())
                throw EDatabaseError(steps.ClosedBatchError());
            cds.First();
            if (cds.IsEmpty()) {
                result.Outcome = TTableOutcome::Done;
                break;
            }
            if (!received.HoldsNewRows(cds.Packet())) {
                result.Outcome = TTableOutcome::NoProgress;
                steps.LogNoProgress(table, cds.RecordCount());
                break;
            }

            // Statement texts, once per batch. A batch whose statements cannot
            // be built could not write a single row: it stays at the server.
            QString texts[3];
            bool built = true;
            const auto build = [&](TBuildStep step, QString (TKeltBaseServerClient::*make)(const QString&, const TClientDataSet&) const) {
                try {
                    texts[int(step)] = (builder.*make)(table, cds);
                } catch (const EConnectionError&) {
                    throw; // the whole run ends, logged once
                } catch (const std::exception& e) {
                    if (!goOn)
                        throw;
                    built = false;
                    steps.LogBuildFailure(step, e);
                }
            };
            build(TBuildStep::Select, &TKeltBaseServerClient::BuildSelectByKey);
            build(TBuildStep::Insert, &TKeltBaseServerClient::BuildInsert);
            build(TBuildStep::Update, &TKeltBaseServerClient::BuildUpdate);
            if (!built)
                break;

            // With TransacaoPorLote the batch's clean-up and rows commit together,
            // before the acknowledgement; else each statement on its own.
            TSQLTransaction batch(c.LocalDatabase(), TIsolation::ReadCommitted, perBatch);
            if (!steps.BeforeRows(cds, table)) {
                result.Outcome = TTableOutcome::SettleFailed;
                break;
            }
            // After the clean-up, which may run its own statements on the data sets.
            lookup.SetCommandText(texts[int(TBuildStep::Select)]);
            exec.SetCommandText(texts[int(TBuildStep::Insert)]);
            update.SetCommandText(texts[int(TBuildStep::Update)]);
            const std::vector<int> lookupFields = ParamFields(lookup.Params(), cds.FieldDefs());
            const std::vector<int> insertFields = ParamFields(exec.Params(), cds.FieldDefs());
            const std::vector<int> updateFields = ParamFields(update.Params(), cds.FieldDefs());
            cds.First();
            ++result.Batches;
            const int writtenBefore = result.Rows;
            while (!cds.Eof()) {
                const int row = cds.RecNo();
                // A failing statement undoes only itself, inside a transaction too:
                // the row's own savepoint.
                const auto step = [&](TRowStep which, auto&& run) {
                    try {
                        run();
                        return true;
                    } catch (const EConnectionError&) {
                        throw; // the whole run ends, logged once
                    } catch (const std::exception& e) {
                        if (!goOn) {
                            batch.Commit(); // the rows before stay written, as without the transaction
                            throw;
                        }
                        steps.LogRowFailure(which, e, cds.Packet(), row);
                        return false;
                    }
                };
                lookup.Close();
                step(TRowStep::LookupParams, [&] { CopyRowToParams(lookup.Params(), cds, lookupFields); });
                step(TRowStep::Lookup, [&] { lookup.Open(); });
                const bool found = lookup.Active() && !lookup.IsEmpty();
                TSQLDataSet& write = found ? update : exec;
                step(TRowStep::WriteParams,
                     [&] { CopyRowToParams(write.Params(), cds, found ? updateFields : insertFields); });
                if (step(TRowStep::Write, [&] { write.ExecSQL(); })) {
                    ++result.Rows;
                    result.RowsUpdated += found ? 1 : 0;
                } else {
                    ++result.RowsFailed;
                }
                cds.Next();
                c.Bar().SetPosition(c.Bar().Position() + 1);
                ProcessMessages();
            }
            received.Take();

            // Failed rows are acknowledged too, so that one bad row cannot block
            // the channel; the log names them. A batch of which no row could be
            // written failed for a reason of this installation (database gone, a
            // column missing), not of its rows: acknowledging it would lose it.
            if (goOn && result.Rows == writtenBefore && !paged) {
                result.Outcome = TTableOutcome::Failed;
                steps.LogNothingWritten(cds.RecordCount());
                break;
            }
            batch.Commit();
            if (!paged) {
                if (!steps.Acknowledge(table, cds.XMLData())) {
                    result.Outcome = TTableOutcome::Refused;
                    c.SetServerFailure();
                    c.Log(QStringLiteral("Excluir_Servidor"), table, c.LastError());
                    break;
                }
                ++result.Acknowledged;
            }
            if (!steps.AfterAcknowledge(table, cds.XMLData())) {
                result.Outcome = TTableOutcome::MonitorFailed;
                break;
            }

            ProcessMessages();
            cds.Close();

            // A paged table moves on only when its highest local key grows.
            if (!paged) {
                c.m_pkUltimo = 0;
                continue;
            }
            const qint32 before = c.m_pkUltimo;
            c.m_pkUltimo = c.LastKey(c.CurrentTable(), *paged);
            if (c.m_pkUltimo <= before) {
                result.Outcome = TTableOutcome::NoProgress;
                c.Log(steps.NoProgressStep(), c.CurrentTable(),
                      QStringLiteral("A última chave local de %1 ficou em %2 depois do lote; a tabela será "
                                     "replicada de novo na próxima execução.")
                          .arg(c.CurrentTable())
                          .arg(c.m_pkUltimo));
                break;
            }
        }
    } catch (const EConnectionError&) {
        throw; // the whole run ends, logged once
    } catch (const std::exception& e) {
        result.Outcome = TTableOutcome::Failed;
        c.Log(steps.ErrorStep(), c.CurrentTable(), ErrorText(e));
    }
}
