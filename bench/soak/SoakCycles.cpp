// Soak of the store-carrier channel: one connection data module (TFDM) runs
// RunCadChannel N times against the stand-in server process, a few rows
// changed at the server before every cycle so that each cycle fetches, writes
// and acknowledges. Resident memory and open descriptors of this process (and
// of the server) are taken after a warm-up and at the end: what a program that
// replicates on its timer for weeks would accumulate per cycle.
#include "connections/uDM.h"
#include "platform/types/DataPacket.h"
#include "platform/types/Decimal.h"
#include "platform/os/ProgramFolder.h"
#include "replication/core/ProgressWidgets.h"
#include "tests/replication/store_carrier/AppServerProcess.h"
#include "tools/schema/SchemaBuilder.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <unistd.h>

namespace {

const QString kTable = QStringLiteral("TBALIQUOTA");
constexpr char16_t kFields[] = u"PKALIQUOTA int K; PKFILIAL int K; NMALIQUOTA str 60; PEALIQUOTA dec 15.2; EXCLUIDO small";
constexpr qint32 kStore = 12;
constexpr int kRows = 200;
constexpr int kChangedPerCycle = 3;
constexpr int kWarmUp = 20;

TDataPacket MakeRates()
{
    TDataPacket packet(ParseFieldList(kFields));
    for (int r = 1; r <= kRows; ++r)
        packet.AppendRow({r, kStore, QStringLiteral("Alíquota %1").arg(r), QVariant::fromValue(Decimal(r * 7 % 2500, 2)),
                          0});
    return packet;
}

// Resident set in KiB and open descriptors of a process ("self" or a pid).
struct Usage
{
    long RssKb = 0;
    int Fds = 0;
};

Usage UsageOf(const QString& pid)
{
    Usage u;
    QFile statm(QStringLiteral("/proc/%1/statm").arg(pid));
    if (statm.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> parts = statm.readAll().split(' ');
        if (parts.size() > 1)
            u.RssKb = parts[1].toLong() * (sysconf(_SC_PAGESIZE) / 1024);
    }
    u.Fds = int(QDir(QStringLiteral("/proc/%1/fd").arg(pid)).entryList(QDir::AllEntries | QDir::NoDotAndDotDot |
                                                                         QDir::System).size());
    return u;
}

// The server is our only child running kelt-appserver; TAppServerProcess does
// not hand out its pid, so it is looked up by parent.
QString ServerPid()
{
    const QString self = QString::number(getpid());
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = stat.readAll();
        const int close = text.lastIndexOf(')');
        if (close < 0 || !text.left(close).contains("kelt-appserver"))
            continue;
        const QList<QByteArray> rest = text.mid(close + 2).split(' ');
        if (rest.size() > 1 && rest[1] == self.toLatin1())
            return entry;
    }
    return {};
}

void WriteFile(const QString& path, const QByteArray& text)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(text) != text.size())
        throw Exception(QStringLiteral("Cannot write %1").arg(path));
}

// One cycle of the channel; raises unless the table was imported with `expected` rows.
void RunCycle(TFDM& dm, int expected, int cycle, const QString& folder)
{
    dm.RunCadChannel();
    const TRunResult& run = dm.CadClient->LastRun();
    if (run.Tables.size() != 1 || run.Tables[0].Outcome != TTableOutcome::Done ||
        run.Tables[0].Rows != expected)
        throw Exception(QStringLiteral("Cycle %1 did not import %2 row(s): %3 written (see %4Log)")
                            .arg(cycle)
                            .arg(expected)
                            .arg(run.Tables.isEmpty() ? -1 : run.Tables[0].Rows)
                            .arg(folder));
}

void PrintUsage(const char* when, int cycles, const Usage& self, const Usage& server)
{
    std::printf("%-10s cycles=%-6d rss_kb=%-8ld fds=%-4d server_rss_kb=%-8ld server_fds=%d\n", when, cycles,
                self.RssKb, self.Fds, server.RssKb, server.Fds);
    std::fflush(stdout);
}

int Main(int argc, char** argv)
{
    const int cycles = argc > 1 ? std::atoi(argv[1]) : 1000;
    if (cycles <= kWarmUp)
        throw Exception(QStringLiteral("Give more than %1 cycles").arg(kWarmUp));
    QTemporaryDir dir;
    // KELT_BENCH_KEEP keeps the folder (the server's call log) for a look afterwards.
    dir.setAutoRemove(qEnvironmentVariableIsEmpty("KELT_BENCH_KEEP"));
    const QString folder = dir.path() + u'/';
    QDir(folder).mkdir(QStringLiteral("Log"));
    QDir(folder).mkdir(QStringLiteral("server"));
    SetProgramFolderOverride(folder);

    TAppServerProcess server(QStringLiteral(KELT_APPSERVER_EXE), folder + QStringLiteral("server/"));
    server.Start();
    const QString serverPid = ServerPid();
    TAppServerAdmin admin(server.Port());
    admin.AddInstallation(QStringLiteral("K1"), 1, kStore, QStringLiteral("VIVO_BA"));
    const TDataPacket rates = MakeRates();
    admin.LoadPacket(kTable, rates.ToXml(), kStore);

    const QString database = folder + QStringLiteral("AGENTE.KELT");
    BuildDatabase(database, {TTableDef::FromNotation(kTable, QString::fromUtf16(kFields),
                                                     {QStringLiteral("PKALIQUOTA"), QStringLiteral("PKFILIAL")})},
                  /*forcedWrites=*/false);
    WriteFile(folder + QStringLiteral("Config.ini"),
              QStringLiteral("[FILIAL]\nCDCONTRATO=K1\nPKEMPRESA=1\nPKFILIAL=%1\nUF=VIVO_BA\nTPFILIAL=2\n"
                             "[SOCKET]\nAddress=127.0.0.1\nPort=%2\n"
                             "[DB]\nDataBase=%3\nUser_Name=SYSDBA\nPassword=quillbent\nServerCharSet=ISO8859_1\n"
                             "SQLDialect=3\n[CLIENTDATASET]\nPackedRecord=1000\n")
                  .arg(kStore)
                  .arg(server.Port())
                  .arg(database)
                  .toUtf8());

    std::printf("Soak: %d cycles of the store-carrier channel through one TFDM, %d of %d rows of %s changed at the "
                "server before each, stand-in server over loopback\n",
                cycles, kChangedPerCycle, kRows, qPrintable(kTable));
    TFDM dm;
    TTextHolder label;
    TPlainProgressBar bar;
    dm.SetChannelLabel(&label);
    dm.SetChannelProgressBar(&bar);

    Usage warmSelf, warmServer;
    QElapsedTimer timer;
    double warmSeconds = 0;
    long rowsMoved = 0;
    timer.start();
    for (int c = 0; c < cycles; ++c) {
        int expected = kRows;
        if (c > 0) {
            // Rows taken in turn, so that over the run every row is changed.
            const int first = (c * kChangedPerCycle) % kRows + 1;
            admin.ExecSql(QStringLiteral("UPDATE TBALIQUOTA SET PEALIQUOTA = %1, NMALIQUOTA = 'Ciclo %2' "
                                         "WHERE PKALIQUOTA BETWEEN %3 AND %4")
                              .arg(c % 9000)
                              .arg(c)
                              .arg(first)
                              .arg(first + kChangedPerCycle - 1));
            expected = std::min(kChangedPerCycle, kRows - first + 1);
        }
        RunCycle(dm, expected, c + 1, folder);
        rowsMoved += expected;
        if (c + 1 == kWarmUp) {
            warmSelf = UsageOf(QStringLiteral("self"));
            warmServer = serverPid.isEmpty() ? Usage{} : UsageOf(serverPid);
            warmSeconds = timer.nsecsElapsed() / 1e9;
            PrintUsage("warm-up", c + 1, warmSelf, warmServer);
        } else if ((c + 1) % 100 == 0 || c + 1 == cycles) {
            PrintUsage(c + 1 == cycles ? "end" : "progress", c + 1, UsageOf(QStringLiteral("self")),
                       serverPid.isEmpty() ? Usage{} : UsageOf(serverPid));
        }
    }
    const double seconds = timer.nsecsElapsed() / 1e9;
    const Usage endSelf = UsageOf(QStringLiteral("self"));
    const Usage endServer = serverPid.isEmpty() ? Usage{} : UsageOf(serverPid);
    const int measured = cycles - kWarmUp;
    std::printf("RESULT soak_cycles cycles=%d rows_moved=%ld seconds=%.1f ms_per_cycle=%.1f "
                "rss_warm_kb=%ld rss_end_kb=%ld rss_bytes_per_cycle=%.0f fds_warm=%d fds_end=%d "
                "server_rss_warm_kb=%ld server_rss_end_kb=%ld server_rss_bytes_per_cycle=%.0f "
                "server_fds_warm=%d server_fds_end=%d\n",
                cycles, rowsMoved, seconds, 1000.0 * (seconds - warmSeconds) / measured, warmSelf.RssKb,
                endSelf.RssKb, 1024.0 * (endSelf.RssKb - warmSelf.RssKb) / measured, warmSelf.Fds, endSelf.Fds,
                warmServer.RssKb, endServer.RssKb, 1024.0 * (endServer.RssKb - warmServer.RssKb) / measured,
                warmServer.Fds, endServer.Fds);
    dm.SqlCAgente.Close();
    server.Stop();
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    try {
        return Main(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_soak_cycles: %s\n", e.what());
    }
    return 1;
}
