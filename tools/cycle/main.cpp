// kelt-cycle: runs the channels of one replication cycle for one installation,
// without a window, as operators run it from cron or a service. It reads the
// installation's Config.ini exactly as the program does, prints one line per
// table and a summary, and tells by its exit status how the run went. With
// --status it only looks: configuration, reachability, pending rows, journal.
#include "tools/cycle/Cycle.h"

#include "platform/os/StopSignals.h"
#include "platform/os/FileVersion.h"
#include "platform/os/InstallationLock.h"
#include "replication/core/ProcessMessages.h"
#include "replication/core/cl_Funcoes.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <cstdio>

namespace {

int SetupError(const QString& message)
{
    std::fprintf(stderr, "kelt-cycle: %s\n", qPrintable(message));
    return kSetupError;
}

const char kExitStatuses[] = "Exit status:\n"
                             "  0  nothing to do, or everything moved\n"
                             "  1  some rows or tables failed (see the log files named)\n"
                             "  2  usage or set-up error; nothing was run\n"
                             "  3  stopped by SIGTERM or SIGINT at a safe point; the next run goes on\n"
                             "  4  a channel could not run at all (server, connection or local database)\n"
                             "  5  the installation is busy: the desktop program or another kelt-cycle runs it\n"
                             "With --status: 0 the local database and every server endpoint can be reached, "
                             "1 otherwise, 2 usage error.";

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
        QStringLiteral("Runs the replication channels of one installation headless, or with --status shows "
                       "its state without changing anything.\n")
        + QLatin1String(kExitStatuses));
    parser.addHelpOption();
    parser.addVersionOption();
    QCommandLineOption channel(QStringLiteral("channel"),
                               QStringLiteral("Channels to run: cad, cadm, movm or all (the cycle's order by branch "
                                              "type; default)."),
                               QStringLiteral("name"), QStringLiteral("all"));
    QCommandLineOption quiet(QStringLiteral("quiet"),
                             QStringLiteral("Print only the failures, each with the first line of its log entry, "
                                            "and the summary."));
    QCommandLineOption status(QStringLiteral("status"),
                              QStringLiteral("Show the configuration, whether the local database and the servers "
                                             "can be reached, the pending rows and the last outcomes; read-only."));
    parser.addOption(channel);
    parser.addOption(quiet);
    parser.addOption(status);
    parser.addPositionalArgument(QStringLiteral("DIR"),
                                 QStringLiteral("Program folder of the installation: Config.ini, Log/."));
    if (!parser.parse(QCoreApplication::arguments()))
        return SetupError(parser.errorText());
    if (parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all"))) {
        std::printf("%s", qPrintable(parser.helpText()));
        return kClean;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        const QString version =
            FileVersionText(QCoreApplication::applicationFilePath(), QStringLiteral("%d.%d.%d.%d"));
        std::printf("kelt-cycle %s\n", qPrintable(version.isEmpty() ? QStringLiteral("(no version)") : version));
        return kClean;
    }
    const QString usage =
        QStringLiteral("usage: kelt-cycle DIR [--channel cad|cadm|movm|all] [--quiet]\n"
                       "       kelt-cycle --status DIR");
    if (parser.positionalArguments().size() != 1)
        return SetupError(usage);
    const QString which = parser.value(channel);
    const QStringList channels{QStringLiteral("cad"), QStringLiteral("cadm"), QStringLiteral("movm"),
                               QStringLiteral("all")};
    if (!channels.contains(which))
        return SetupError(QStringLiteral("unknown channel '%1'; %2").arg(which, usage));
    if (parser.isSet(status) && (parser.isSet(channel) || parser.isSet(quiet)))
        return SetupError(QStringLiteral("--status takes no other option; %1").arg(usage));

    const QFileInfo installation(parser.positionalArguments().first());
    if (!installation.isDir())
        return SetupError(QStringLiteral("%1 is not a folder").arg(installation.filePath()));
    const QString folder = QDir(installation.absoluteFilePath()).absolutePath() + u'/';
    if (parser.isSet(status))
        return StatusCommand(folder);
    if (!QFileInfo(folder + ConfigIniName).isFile())
        return SetupError(QStringLiteral("%1 has no %2").arg(folder, ConfigIniName));
    // The program never creates the log folder; installation provides it.
    if (!QFileInfo(folder + QStringLiteral("Log")).isDir())
        return SetupError(QStringLiteral("%1 has no Log folder").arg(folder));

    // Held until the process ends: the kernel drops it with the process.
    TInstallationLock lock(folder);
    if (!lock.Acquired()) {
        if (!lock.Error().isEmpty())
            return SetupError(lock.Error());
        std::fprintf(stderr,
                     "kelt-cycle: the installation %s is busy: the desktop program or another kelt-cycle is "
                     "running it; nothing was run\n",
                     qPrintable(lock.Folder()));
        return kBusy;
    }
    return RunCycleCommand(folder, which, parser.isSet(quiet) ? TVerbosity::Quiet : TVerbosity::Normal);
}
