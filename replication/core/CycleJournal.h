#pragma once

#include "replication/core/BatchEngine.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringView>

#include <optional>

// One line of the cycle journal: what one channel did with one table in one
// run, or ("-" as the table) how a run ended that failed before or between
// tables. The replication log files stay the record of each failure; a line
// names the file written for it.
struct TJournalEntry
{
    QDateTime Time;  // local time, to the second
    QString Channel; // "cad", "cadm" or "movm"
    QString Table;   // the table, or "-" for a line about the whole run
    int Rows = 0;    // rows moved
    QString Outcome = {}; // short word(s): done, nothing pending, failed, refused, ...
    QString LogFile = {}; // for a failure: the log file written (name in Log/), else empty
    QString Message = {}; // for a failure: first line of its message, else empty
    friend bool operator==(const TJournalEntry&, const TJournalEntry&) = default;
};

// ChannelFailed: the channel could not run at all (connection, server or local
// database failure); RowsFailed: it ran, but some table or row did not move.
enum class TChannelState
{
    Clean,
    RowsFailed,
    ChannelFailed
};
// `endedWithError`: an exception of the run reached the caller.
TChannelState ChannelStateOf(const TRunResult& run, bool endedWithError);

// A replication log entry written during a run: the table it was written
// under (as given), the file's name in Log/ and the first line of its message.
struct TRunLogEntry
{
    QString Table;
    QString File;
    QString Message;
    friend bool operator==(const TRunLogEntry&, const TRunLogEntry&) = default;
};

// The journal lines of one channel run: one per table of the run, and a "-"
// line when the run failed before or between tables or had no table at all.
// A failing table names the first log entry written under its name; the "-"
// line of a failed run names the last entry of the run. `error` is the message
// of an exception that reached the caller, if any.
QList<TJournalEntry> JournalEntriesOf(const QString& channel, const TRunResult& run,
                                      const QList<TRunLogEntry>& logged, const QDateTime& time,
                                      const std::optional<QString>& error = std::nullopt);

// The short word(s) of a table's outcome in the journal.
QString JournalOutcomeText(TTableOutcome outcome);

// Log/ciclos.log: one UTF-8 line per entry, tab-separated (time
// yyyy-MM-ddTHH:mm:ss, channel, table, rows, outcome, log file, message).
// Appended to, never rewritten except by Trim; a symbolic link at its name is
// replaced, never followed, as with the log files.
class TCycleJournal
{
public:
    static QString FileName(); // "ciclos.log"
    // `logFolder`: the Log folder (with or without a trailing separator).
    explicit TCycleJournal(const QString& logFolder);

    QString Path() const { return m_path; }

    // False when the file could not be written (the Log folder missing, ...).
    bool Append(const QList<TJournalEntry>& entries);
    // Every well-formed line, oldest first; malformed lines are skipped.
    QList<TJournalEntry> Read() const;
    // Drops the lines older than `keepDays` days before `now` (and lines that
    // cannot be read). Rewrites the file only when something goes.
    bool Trim(int keepDays, const QDateTime& now);

    static QString Format(const TJournalEntry& e);
    static std::optional<TJournalEntry> Parse(QStringView line);

private:
    QString m_path;
};
