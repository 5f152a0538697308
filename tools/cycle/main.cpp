// kelt-cycle: runs the channels of one replication cycle for one installation,
// without a window, as operators run it from cron or a service. It reads the
// installation's Config.ini exactly as the program does, prints one line per
// table and a summary, and tells by its exit status whether the run left
// anything in the replication log.
#include "app/StopSignals.h"
#include "config/uDM.h"
#include "platform/data/Exception.h"
#include "platform/os/ProgramFolder.h"
#include "replication/core/ProcessMessages.h"
#include "replication/core/ProgressWidgets.h"
#include "replication/core/cl_Funcoes.h"
#include "replication/master_data/uDM_CadastroM.h"
#include "replication/transactions/uDM_MovimentoM.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QHash>

#include <cstdio>

namespace {

enum ExitCode
{
    kClean = 0,     // the run wrote no log file
    kLogged = 1,    // the run wrote log files (or a channel ended with an error)
    kSetupError = 2, // usage or set-up error; nothing was run
    kStopped = 3     // SIGTERM or SIGINT stopped the run at a safe point; the next run goes on
};

void Print(const QString& line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

int SetupError(const QString& message)
{
    std::fprintf(stderr, "kelt-cycle: %s\n", qPrintable(message));
    return kSetupError;
}

// Names and modification times of the log files, to tell afterwards which ones
// this run wrote (a file written again within the same second is replaced).
QHash<QString, QDateTime> LogSnapshot(const QString& folder)
{
    QHash<QString, QDateTime> files;
    for (const QFileInfo& entry : QDir(folder).entryInfoList({QStringLiteral("Log_*.ini")}, QDir::Files))
        files.insert(entry.fileName(), entry.lastModified());
    return files;
}

QStringList WrittenSince(const QString& folder, const QHash<QString, QDateTime>& before)
{
    QStringList written;
    for (const QFileInfo& entry : QDir(folder).entryInfoList({QStringLiteral("Log_*.ini")}, QDir::Files, QDir::Name)) {
        const auto it = before.constFind(entry.fileName());
        if (it == before.constEnd() || it.value() != entry.lastModified())
            written.append(entry.fileName());
    }
    return written;
}

QString TableLine(const TTableResult& t)
{
    QString detail;
    if (t.Batches > 0 || t.Outcome == TTableOutcome::Done) {
        detail = QStringLiteral(" (%1 pending, %2 batch(es), ").arg(t.Pending).arg(t.Batches)
                 + (t.Paged ? QStringLiteral("paged by key") : QStringLiteral("%1 acknowledged").arg(t.Acknowledged))
                 + QStringLiteral("; %1 new, %2 updated").arg(t.Rows - t.RowsUpdated).arg(t.RowsUpdated);
        if (t.RowsFailed > 0)
            detail += QStringLiteral(", %1 row(s) not written (logged)").arg(t.RowsFailed);
        detail += u')';
    } else if (t.Outcome == TTableOutcome::NothingPending && t.Pending != 0) {
        detail = QStringLiteral(" (count %1)").arg(t.Pending);
    }
    return QStringLiteral("  %1 %2 row(s)  %3%4")
        .arg(t.Table, -24)
        .arg(t.Rows, 7)
        .arg(TableOutcomeText(t.Outcome), detail);
}

// The store-carrier channel through the connection data module, as the cycle runs it.
bool RunCad(TFDM& dm)
{
    TTextHolder label;
    TPlainProgressBar bar;
    dm.SetChannelLabel(&label);
    dm.SetChannelProgressBar(&bar);
    Print(QStringLiteral("Cadastro Loja X Operadora"));
    bool ended = true;
    try {
        dm.RunCadChannel();
    } catch (const Exception& e) {
        // What the program would show in its error box.
        Print(QStringLiteral("  error: %1").arg(e.Message()));
        ended = false;
    }
    const TRunResult& run = dm.CadClient->LastRun();
    int rows = 0, failed = 0;
    for (const TTableResult& t : run.Tables) {
        Print(TableLine(t));
        rows += t.Rows;
        failed += t.RowsFailed;
    }
    if (!run.Accepted && ended)
        Print(QStringLiteral("  the server was not reached or did not accept the store (logged)"));
    else if (run.Failed)
        Print(QStringLiteral("  the run ended early (logged)"));
    Print(QStringLiteral("  %1 table(s), %2 row(s) written, %3 row(s) not written")
              .arg(run.Tables.size())
              .arg(rows)
              .arg(failed));
    dm.SetChannelLabel(nullptr);
    dm.SetChannelProgressBar(nullptr);
    return ended;
}

// Runs one channel with a plain label and progress bar; false when the channel
// ended with an error that reached the caller (what the program shows in its error box).
template <class Run>
bool RunChannel(TFDM& dm, const QString& caption, Run run)
{
    TTextHolder label;
    TPlainProgressBar bar;
    dm.SetChannelLabel(&label);
    dm.SetChannelProgressBar(&bar);
    Print(caption);
    bool ended = true;
    try {
        run();
    } catch (const Exception& e) {
        Print(QStringLiteral("  error: %1").arg(e.Message()));
        ended = false;
    }
    dm.SetChannelLabel(nullptr);
    dm.SetChannelProgressBar(nullptr);
    return ended;
}

// The per-table lines and the summary of a headquarters-branch channel.
template <class RunResult, class OutcomeText>
void PrintTables(const RunResult& run, OutcomeText outcomeText, bool ended)
{
    int rows = 0;
    int pending = 0;
    for (const auto& t : run.Tables) {
        pending += t.Pending > 0 ? 1 : 0;
        Print(QStringLiteral("  %1 %2 row(s)  %3 (count %4, %5 batch(es))")
                  .arg(t.Table, -24)
                  .arg(t.Rows, 7)
                  .arg(outcomeText(t.Outcome))
                  .arg(t.Pending)
                  .arg(t.Batches));
        rows += t.Rows;
    }
    if (!run.Accepted && ended)
        Print(QStringLiteral("  the server was not reached or did not accept the installation (logged)"));
    else if (run.Failed)
        Print(QStringLiteral("  the run ended early (logged)"));
    Print(QStringLiteral("  %1 table(s) visited, %2 with pending rows, %3 row(s) moved")
              .arg(run.Tables.size())
              .arg(pending)
              .arg(rows));
}

bool RunCadM(TFDM& dm)
{
    const bool ended = RunChannel(dm, QStringLiteral("Cadastro Matriz X Filial"), [&] { dm.RunCadMChannel(); });
    PrintTables(dm.CadMClient->LastRun(), TableOutcomeText, ended);
    return ended;
}

bool RunMovM(TFDM& dm)
{
    const bool ended = RunChannel(dm, QStringLiteral("Movimento Matriz x Filial"), [&] { dm.RunMovMChannel(); });
    PrintTables(dm.MovMClient->LastRun(), TableOutcomeText, ended);
    return ended;
}

} // namespace

int main(int argc, char** argv)
{
    // Before any thread exists (the database engine's), so that all inherit the mask.
    StopSignals::Block();
    QCoreApplication app(argc, argv);
    // The channels stop at their next safe point; what reaches none is ended.
    StopSignals::Watch(&app, [](int) { StopSignals::EndWithin(5000, kStopped); });
    SetProcessMessagesHook([] { StopSignals::ProcessEventsOrStop(); });
    QCoreApplication::setApplicationName(QStringLiteral("kelt-cycle"));
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Runs the replication channels of one installation headless.\n"
                       "Exit status: 0 the run wrote no log file, 1 it wrote log files, 2 usage or set-up error, "
                       "3 stopped by SIGTERM or SIGINT."));
    parser.addHelpOption();
    QCommandLineOption channel(QStringLiteral("channel"),
                               QStringLiteral("Channels to run: cad, cadm, movm or all (the cycle's order by branch "
                                              "type; default)."),
                               QStringLiteral("name"), QStringLiteral("all"));
    parser.addOption(channel);
    parser.addPositionalArgument(QStringLiteral("INSTALLATION_FOLDER"),
                                 QStringLiteral("Program folder of the installation: Config.ini, Log/."));
    if (!parser.parse(QCoreApplication::arguments()))
        return SetupError(parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        std::printf("%s", qPrintable(parser.helpText()));
        return kClean;
    }
    const QString usage = QStringLiteral("usage: kelt-cycle INSTALLATION_FOLDER [--channel cad|cadm|movm|all]");
    if (parser.positionalArguments().size() != 1)
        return SetupError(usage);
    const QString which = parser.value(channel);
    const QStringList channels{QStringLiteral("cad"), QStringLiteral("cadm"), QStringLiteral("movm"),
                               QStringLiteral("all")};
    if (!channels.contains(which))
        return SetupError(QStringLiteral("unknown channel '%1'; %2").arg(which, usage));

    const QFileInfo installation(parser.positionalArguments().first());
    if (!installation.isDir())
        return SetupError(QStringLiteral("%1 is not a folder").arg(installation.filePath()));
    const QString folder = QDir(installation.absoluteFilePath()).absolutePath() + u'/';
    if (!QFileInfo(folder + ConfigIniName).isFile())
        return SetupError(QStringLiteral("%1 has no %2").arg(folder, ConfigIniName));
    // The program never creates the log folder; installation provides it.
    const QString logFolder = folder + QStringLiteral("Log");
    if (!QFileInfo(logFolder).isDir())
        return SetupError(QStringLiteral("%1 has no Log folder").arg(folder));
    SetProgramFolderOverride(folder);

    TKeltBaseServerClient settings;
    TDadosFilial filial;
    settings.ReadDadosFilial(folder, ConfigIniName, filial);
    Print(QStringLiteral("Installation %1: branch %2 of company %3, region '%4', branch type %5")
              .arg(folder)
              .arg(filial.PkFilial)
              .arg(filial.PkEmpresa)
              .arg(filial.UF)
              .arg(filial.TpFilial));

    const QHash<QString, QDateTime> before = LogSnapshot(logFolder);
    bool ended = true;
    try {
        TFDM dm;
        TFDM_MovimentoM movimento(&dm.SqlCAgente);
        TFDM_CadastroM cadastro(&dm.SqlCAgente);
        dm.SetMovimentoMModule(&movimento);
        dm.SetCadastroMModule(&cadastro);
        const auto runChannel = [&dm](int channel) {
            return channel == 0 ? RunCad(dm) : channel == 1 ? RunCadM(dm) : RunMovM(dm);
        };
        if (which == QLatin1String("all")) {
            // The cycle's channels in the cycle's order; a channel that ends in an
            // error leaves the ones after it for the next cycle, as in the program.
            struct TCycleEnded {};
            try {
                TFDM::RunCycle(filial.TpFilial, [&](int channel) {
                    if (!runChannel(channel))
                        throw TCycleEnded();
                });
            } catch (const TCycleEnded&) {
                ended = false;
                Print(QStringLiteral("The cycle ended at that channel; the next cycle runs the rest."));
            }
        } else {
            ended = runChannel(which == QLatin1String("cad") ? 0 : which == QLatin1String("cadm") ? 1 : 2);
        }
        StopSignals::ProcessEventsOrStop();
    } catch (const StopSignals::TStopRequested&) {
        // The batch in progress was not acknowledged: the next run brings it again.
        Print(QStringLiteral("Stopped by signal %1; the next run goes on from here.").arg(StopSignals::Requested()));
        return kStopped;
    }

    const QStringList written = WrittenSince(logFolder, before);
    Print(QStringLiteral("Log files written: %1").arg(written.size()));
    for (const QString& name : written)
        Print(QStringLiteral("  Log/%1").arg(name));
    return written.isEmpty() && ended ? kClean : kLogged;
}
