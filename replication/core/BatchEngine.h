#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <exception>
#include <optional>

class TClientDataSet;
class TDataPacket;
class TKeltBaseClient;

// How one table of a channel run ended, for the headless runner and the
// operator; the replication log stays the record of failures.
enum class TTableOutcome
{
    Declined,       // the server does not want the table now: skipped without a log entry
    NothingPending, // the count was 0 or below
    CountFailed,    // the count failed, or the server answered -1 (logged)
    Done,           // batches until the provider had nothing more
    Refused,        // the server answered false to a batch or its acknowledgement (logged)
    SettleFailed,   // sent rows could not be settled, or received items cleared (logged)
    MonitorFailed,  // a TBLOG row could not be written (logged)
    NoProgress,     // a pass would have repeated an earlier one: stopped, tried again next run (logged)
    Failed,         // an error ended the table (logged)
};

// The text of an outcome as the runner prints it.
QString TableOutcomeText(TTableOutcome outcome);

struct TTableResult
{
    QString Provider;
    QString Table;
    qint32 Pending = 0;   // the count that started the table
    bool Paged = false;   // paged by a last key instead of settled or acknowledged
    int Passes = 0;       // provider reads, the last empty one included
    int Batches = 0;      // non-empty batches sent (export) or written (import)
    int Rows = 0;         // rows sent (export) or written (import)
    int RowsUpdated = 0;  // of the rows written, those whose key was already there
    int RowsFailed = 0;   // rows that could not be written and were logged one by one
    int Settled = 0;      // marks deleted and markers inserted (export)
    int Acknowledged = 0; // batches the server took off its pending rows (import)
    TTableOutcome Outcome = TTableOutcome::Failed;
};

struct TRunResult
{
    bool Accepted = false; // Conecta_No_Banco answered true
    bool Failed = false;   // an error ended the run before or between tables
    QList<TTableResult> Tables;
};

// What a sending channel does with the batches of one table. The engine calls
// these in its loop; each returns false after logging what went wrong.
class TExportSteps
{
public:
    virtual ~TExportSteps() = default;
    // Step name of the entry for an error nothing deeper handled.
    virtual QString ErrorStep() const = 0;
    // Opens the local provider's next batch. A failure it logs itself leaves
    // the data set closed.
    virtual void OpenBatch(TClientDataSet& batch) = 0;
    // The entry for a batch holding only rows already sent in this run.
    virtual void LogNoProgress(const QString& table, int rows) = 0;
    // Sends the batch; the server may rename the table for the rest of the export.
    virtual bool Send(QString& table, const QByteArray& packet) = 0;
    // False for a table paged by key: its sent batches are not settled.
    virtual bool Settles() const { return true; }
    // Removes the marks of the batch's rows, inside the batch's transaction;
    // `settled` counts what it removed.
    virtual bool Settle(const QString& table, const QByteArray& packet, int& settled) = 0;
    // After the settled batch was committed.
    virtual bool AfterSettle(const QString& table, const QByteArray& packet) { return true; }
    // Before the next pass; false when it would not move on (logged).
    virtual bool NextPass() { return true; }
};

// What to do when one received row cannot be written.
enum class TRowErrors
{
    EndTable,  // the error ends the table; the batch is not acknowledged
    LogAndGoOn // each failing step is logged and the next row follows
};

// The steps of writing one received row, for the entry of a failure.
enum class TRowStep
{
    LookupParams,
    Lookup,
    WriteParams,
    Write,
};

// The statements built for a received batch, for the entry of a failure.
enum class TBuildStep
{
    Select,
    Insert,
    Update,
};

// What a receiving channel does with the batches of one table.
class TImportSteps
{
public:
    virtual ~TImportSteps() = default;
    virtual QString ErrorStep() const = 0;
    // Opens the server provider's next batch. A failure it logs itself leaves
    // the data set closed; ClosedBatchError is then the error of the table.
    virtual void OpenBatch(TClientDataSet& batch) = 0;
    virtual QString ClosedBatchError() const;
    virtual TRowErrors RowErrors() const { return TRowErrors::EndTable; }
    // With LogAndGoOn: the entries of a statement that could not be built and
    // of a row step that failed (`row` of `packet`).
    virtual void LogBuildFailure(TBuildStep step, const std::exception& e) {}
    virtual void LogRowFailure(TRowStep step, const std::exception& e, const TDataPacket& packet, int row) {}
    // With LogAndGoOn: the entry for a batch of which no row could be written.
    virtual void LogNothingWritten(int rows) {}
    virtual void LogNoProgress(const QString& table, int rows) = 0;
    // Before the rows are written (a channel's own clean-up).
    virtual bool BeforeRows(TClientDataSet& batch, const QString& table) { return true; }
    // A table paged by its highest local key (in the lower, store-carrier range
    // or the upper one) instead of acknowledged; nullopt for any other.
    virtual std::optional<bool> PagedByLocalKey() const { return std::nullopt; }
    // Step name of the entry for a paged table whose last key did not grow.
    virtual QString NoProgressStep() const = 0;
    virtual bool Acknowledge(QString& table, const QByteArray& packet) = 0;
    virtual bool AfterAcknowledge(const QString& table, const QByteArray& packet) { return true; }
};

// One table's batch loop, the same for every channel: open a batch, stop when
// it is empty or repeats what this run already moved, send and settle it
// (export) or write and acknowledge it (import), advance the progress, page on.
//
// An export reads and settles each batch in one snapshot transaction of the
// local database, so a mark or a change committed by another program while the
// batch is at the server is never settled with it: the batch then stays pending
// as a whole. An import writes each row on its own, or with
// [CLIENTDATASET] TransacaoPorLote=1 the whole batch in one transaction with a
// savepoint per row, committed before the acknowledgement.
class TBatchEngine
{
public:
    explicit TBatchEngine(TKeltBaseClient& client) : m_client(client) {}

    void Export(TExportSteps& steps, const QString& table, TTableResult& result);
    void Import(TImportSteps& steps, const QString& table, TTableResult& result);

private:
    TKeltBaseClient& m_client;
};
