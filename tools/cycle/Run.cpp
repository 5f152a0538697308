// The run of the channels: one line per table, the failures with the first line
// of what they logged, a summary, and the exit status by the worst channel.
#include "tools/cycle/Cycle.h"

#include "platform/os/StopSignals.h"
#include "connections/uDM.h"
#include "platform/types/Exception.h"
#include "platform/os/ProgramFolder.h"
#include "replication/core/CycleJournal.h"
#include "replication/core/ProgressWidgets.h"
#include "replication/core/cl_Funcoes.h"
#include "replication/master_data/uDM_CadastroM.h"
#include "replication/transactions/uDM_MovimentoM.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QStringDecoder>

#include <cstdio>

void Print(const QString& line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

namespace {

// Names and modification times of the log files, to tell afterwards which ones
// a channel wrote (a file written again within the same second is replaced).
// The replication log files only: the cycle journal beside them is no failure.
QFileInfoList LogFiles(const QString& folder)
{
    return QDir(folder).entryInfoList({QStringLiteral("Log_*.ini")}, QDir::Files, QDir::Name);
}

QHash<QString, QDateTime> LogSnapshot(const QString& folder)
{
    QHash<QString, QDateTime> files;
    for (const QFileInfo& entry : LogFiles(folder))
        files.insert(entry.fileName(), entry.lastModified());
    return files;
}

QStringList WrittenSince(const QString& folder, const QHash<QString, QDateTime>& before)
{
    QStringList written;
    for (const QFileInfo& entry : LogFiles(folder)) {
        const auto it = before.constFind(entry.fileName());
        if (it == before.constEnd() || it.value() != entry.lastModified())
            written.append(entry.fileName());
    }
    return written;
}

// What one log file says, in one line: its step, its table and the first line
// of its message (the header lines are those WriteLog writes).
QString LogReason(const QString& logFolder, const QString& name)
{
    QFile file(QDir(logFolder).filePath(name));
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("(Log/%1 could not be read)").arg(name);
    QStringDecoder decoder(QStringDecoder::System);
    const QStringList lines = QString(decoder(file.readAll())).split(u'\n');
    const auto after = [&](int i, QLatin1String prefix) {
        const QString line = lines.value(i).trimmed();
        return line.startsWith(prefix) ? line.mid(prefix.size()).trimmed() : QString();
    };
    QString first;
    for (int i = 6; i < lines.size() && first.isEmpty(); ++i)
        first = lines.at(i).trimmed();
    const QString step = after(0, QLatin1String("Metodo:"));
    const QString table = after(1, QLatin1String("NmTabela:"));
    return QStringLiteral("%1%2: %3 (Log/%4)")
        .arg(step, table.isEmpty() ? QString() : u' ' + table, first.isEmpty() ? QStringLiteral("(no message)") : first,
             name);
}

bool TableFailed(const TTableResult& t)
{
    switch (t.Outcome) {
    case TTableOutcome::Declined:
    case TTableOutcome::NothingPending:
    case TTableOutcome::Done:
        return t.RowsFailed > 0;
    default:
        return true;
    }
}

QString CadTableLine(const TTableResult& t)
{
    QString detail;
    if (t.Batches > 0 || t.Outcome == TTableOutcome::Done) {
        detail = QStringLiteral(" (%1 pending, %2 batch(es), ").arg(t.Pending).arg(t.Batches)
                 + (t.Paged ? QStringLiteral("paged by key") : QStringLiteral("%1 acknowledged").arg(t.Acknowledged))
                 + QStringLiteral("; %1 new, %2 updated").arg(t.Rows - t.RowsUpdated).arg(t.RowsUpdated);
        if (t.RowsFailed > 0)
            detail += QStringLiteral(", %1 row(s) not written").arg(t.RowsFailed);
        detail += u')';
    } else if (t.Outcome == TTableOutcome::NothingPending && t.Pending != 0) {
        detail = QStringLiteral(" (count %1)").arg(t.Pending);
    }
    return QStringLiteral("  %1 %2 row(s)  %3%4")
        .arg(t.Table, -24)
        .arg(t.Rows, 7)
        .arg(TableOutcomeText(t.Outcome), detail);
}

QString BranchTableLine(const TTableResult& t)
{
    return QStringLiteral("  %1 %2 row(s)  %3 (count %4, %5 batch(es))")
        .arg(t.Table, -24)
        .arg(t.Rows, 7)
        .arg(TableOutcomeText(t.Outcome))
        .arg(t.Pending)
        .arg(t.Batches);
}

// How one channel ended, for its lines and the exit status.
struct TChannelReport
{
    QString Caption;
    bool Ended = true; // no error reached the caller
    QString Error;
    TRunResult Run;
    TChannelState State = TChannelState::Clean;
    QStringList Reasons; // one per log file the channel wrote
    int Moved = 0;
};

class TCycleRun
{
public:
    TCycleRun(const QString& folder, TVerbosity verbosity)
        : m_logFolder(folder + QStringLiteral("Log"))
        , m_quiet(verbosity == TVerbosity::Quiet)
    {
        m_dm.SetMovimentoMModule(&m_movimento);
        m_dm.SetCadastroMModule(&m_cadastro);
    }

    // False when the channel ended with an error that reached the caller (what
    // the program shows in its error box): the cycle leaves the rest for later.
    bool RunChannel(int channel)
    {
        static const char* const captions[] = {"Cadastro Loja X Operadora", "Cadastro Matriz X Filial",
                                               "Movimento Matriz x Filial"};
        TChannelReport report;
        report.Caption = QString::fromLatin1(captions[channel]);
        if (!m_quiet)
            Print(report.Caption);
        const QHash<QString, QDateTime> before = LogSnapshot(m_logFolder);
        TTextHolder label;
        TPlainProgressBar bar;
        m_dm.SetChannelLabel(&label);
        m_dm.SetChannelProgressBar(&bar);
        try {
            if (channel == 0)
                m_dm.RunCadChannel();
            else if (channel == 1)
                m_dm.RunCadMChannel();
            else
                m_dm.RunMovMChannel();
        } catch (const Exception& e) {
            report.Ended = false;
            report.Error = e.Message();
        }
        m_dm.SetChannelLabel(nullptr);
        m_dm.SetChannelProgressBar(nullptr);
        report.Run = channel == 0 ? m_dm.CadClient->LastRun()
                     : channel == 1 ? m_dm.CadMClient->LastRun()
                                    : m_dm.MovMClient->LastRun();
        report.State = ChannelStateOf(report.Run, !report.Ended);
        const QStringList written = WrittenSince(m_logFolder, before);
        for (const QString& name : written)
            report.Reasons.append(LogReason(m_logFolder, name));
        m_written += written;
        PrintReport(channel, report);
        m_reports.append(report);
        return report.Ended;
    }

    // The cycle's channels in the cycle's order; a channel that ends in an
    // error leaves the ones after it for the next cycle, as in the program.
    void RunAll(qint32 tpFilial)
    {
        struct TCycleEnded {};
        try {
            TFDM::RunCycle(tpFilial, [&](int channel) {
                if (!RunChannel(channel))
                    throw TCycleEnded();
            });
        } catch (const TCycleEnded&) {
            Print(QStringLiteral("The cycle ended at that channel; the next cycle runs the rest."));
        }
    }

    int Finish()
    {
        int moved = 0, failedTables = 0, failedChannels = 0;
        for (const TChannelReport& r : m_reports) {
            moved += r.Moved;
            failedChannels += r.State == TChannelState::ChannelFailed ? 1 : 0;
            for (const TTableResult& t : r.Run.Tables)
                failedTables += TableFailed(t) ? 1 : 0;
        }
        if (!m_quiet) {
            Print(QStringLiteral("Log files written: %1").arg(m_written.size()));
            for (const QString& name : m_written)
                Print(QStringLiteral("  Log/%1").arg(name));
        }
        // A log file always stands for something that went wrong.
        const int status = failedChannels > 0                           ? kChannelFailed
                           : failedTables > 0 || !m_written.isEmpty() ? kRowsFailed
                                                                        : kClean;
        Print(QStringLiteral("Summary: %1 channel(s) run, %2 row(s) moved, %3 table(s) failed, %4 channel(s) could "
                             "not run, %5 log file(s) written; exit status %6")
                  .arg(m_reports.size())
                  .arg(moved)
                  .arg(failedTables)
                  .arg(failedChannels)
                  .arg(m_written.size())
                  .arg(status));
        return status;
    }

private:
    void PrintReport(int channel, TChannelReport& report)
    {
        const TRunResult& run = report.Run;
        const bool failures = report.State != TChannelState::Clean || !report.Reasons.isEmpty();
        if (m_quiet && failures)
            Print(report.Caption);
        if (!report.Ended)
            Print(QStringLiteral("  error: %1").arg(report.Error));
        int rows = 0, notWritten = 0, pending = 0;
        for (const TTableResult& t : run.Tables) {
            if (!m_quiet || TableFailed(t))
                Print(channel == 0 ? CadTableLine(t) : BranchTableLine(t));
            rows += t.Rows;
            notWritten += t.RowsFailed;
            pending += t.Pending > 0 ? 1 : 0;
        }
        report.Moved = rows;
        if (!m_quiet || failures) {
            if (!run.Accepted && report.Ended)
                Print(channel == 0 ? QStringLiteral("  the server was not reached or did not accept the store")
                                   : QStringLiteral("  the server was not reached or did not accept the installation"));
            else if (run.Failed)
                Print(QStringLiteral("  the run ended early"));
            for (const QString& reason : report.Reasons)
                Print(QStringLiteral("  logged: ") + reason);
        }
        if (m_quiet)
            return;
        if (channel == 0)
            Print(QStringLiteral("  %1 table(s), %2 row(s) written, %3 row(s) not written")
                      .arg(run.Tables.size())
                      .arg(rows)
                      .arg(notWritten));
        else
            Print(QStringLiteral("  %1 table(s) visited, %2 with pending rows, %3 row(s) moved")
                      .arg(run.Tables.size())
                      .arg(pending)
                      .arg(rows));
    }

    QString m_logFolder;
    bool m_quiet;
    TFDM m_dm;
    TFDM_MovimentoM m_movimento{&m_dm.SqlCAgente};
    TFDM_CadastroM m_cadastro{&m_dm.SqlCAgente};
    QList<TChannelReport> m_reports;
    QStringList m_written;
};

} // namespace

int RunCycleCommand(const QString& folder, const QString& which, TVerbosity verbosity)
{
    SetProgramFolderOverride(folder);
    TKeltBaseServerClient settings;
    TDadosFilial filial;
    settings.ReadDadosFilial(folder, ConfigIniName, filial);
    if (verbosity == TVerbosity::Normal)
        Print(QStringLiteral("Installation %1: branch %2 of company %3, region '%4', branch type %5")
                  .arg(folder)
                  .arg(filial.PkFilial)
                  .arg(filial.PkEmpresa)
                  .arg(filial.UF)
                  .arg(filial.TpFilial));
    try {
        TCycleRun run(folder, verbosity);
        if (which == QLatin1String("all"))
            run.RunAll(filial.TpFilial);
        else
            run.RunChannel(which == QLatin1String("cad") ? 0 : which == QLatin1String("cadm") ? 1 : 2);
        StopSignals::ProcessEventsOrStop();
        return run.Finish();
    } catch (const StopSignals::TStopRequested&) {
        // The batch in progress was not acknowledged: the next run brings it again.
        Print(QStringLiteral("Stopped by signal %1; the next run goes on from here.").arg(StopSignals::Requested()));
        return kStopped;
    }
}
