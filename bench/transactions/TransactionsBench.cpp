// The transaction channel end to end over loopback: a branch sending 20,000
// marked TBVENDA rows (63 fields) to the stand-in server through
// TFDM::RunMovMChannel, then headquarters importing them, each timed from the
// wiring to the teardown and set against the row-applying floor measured in the
// same run on the same rows: the branch's rows as the branch holds them, the
// server's packet as headquarters receives it. Both sides run again with
// monitoring on, which adds one TBLOG row per row moved.
#include "bench/common/ChannelFixtures.h"
#include "bench/common/RowApplyFloor.h"
#include "connections/uDM.h"
#include "platform/types/Decimal.h"
#include "platform/os/ProgramFolder.h"
#include "platform/sql/SQLConnection.h"
#include "platform/sql/SQLDataSet.h"
#include "replication/core/ProgressWidgets.h"
#include "tools/channel_schemas/MovimentoMSchema.h"
#include "replication/transactions/uDM_MovimentoM.h"
#include "tests/replication/store_carrier/AppServerProcess.h"
#include "tools/schema/SchemaBuilder.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace {

const QString kTable = QStringLiteral("TBVENDA");
constexpr qint32 kBranch = 7;
// Rows per batch: the third argument (default 1000; -1 all rows at once).
int kPacketSize = 1000;

const TMovimentoMEntry& VendaEntry() { return bench_fixtures::MovimentoMEntryNamed(kTable); }

TDataPacket MakeSales(int rows) { return bench_fixtures::MakeBranchSales(rows, kBranch); }

void WriteFile(const QString& path, const QByteArray& text)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(text) != text.size())
        throw Exception(QStringLiteral("Cannot write %1").arg(path));
}

using bench_fixtures::Connect;
using bench_fixtures::Exec;
using bench_fixtures::Scalar;

// One installation folder per run: Config.ini, Log/, its databases.
struct TInstallation
{
    QString Folder, Local, Log;
};

TInstallation MakeInstallation(const QString& root, const QString& name, int tpFilial, int port, bool monitoring)
{
    TInstallation i{root + name + u'/', {}, {}};
    QDir(root).mkpath(name + QStringLiteral("/Log"));
    i.Local = i.Folder + QStringLiteral("AGENTE.KELT");
    i.Log = i.Folder + QStringLiteral("LOG.KELT");
    BuildDatabase(i.Local,
                  tpFilial == 1 ? SendingBranchTables() << TbEmpresaTable() : ReceivingHeadquartersTables(), false);
    if (monitoring)
        BuildDatabase(i.Log, MonitoringLogTables(), false);
    if (tpFilial == 1)
        Exec(i.Local, QStringLiteral("INSERT INTO TBEMPRESA (PKEMPRESA, CDCONTRATO) VALUES (1, '123')"));
    WriteFile(i.Folder + QStringLiteral("Config.ini"),
              QStringLiteral("[FILIAL]\nCDCONTRATO=123\nPKEMPRESA=1\nPKFILIAL=%1\nUF=VIVO_BA\nTPFILIAL=%2\n"
                             "[SOCKET]\nAddress=127.0.0.1\nPort=%3\n[SOCKET_PROPRIO]\nAddress=127.0.0.1\nPort=%3\n"
                             "[DB]\nDataBase=%4\nUser_Name=SYSDBA\nPassword=quillbent\nServerCharSet=ISO8859_1\n"
                             "SQLDialect=3\n[LOG]\nMonitorarReplicacao=%5\nDataBase=%6\n"
                             "[CLIENTDATASET]\nPackedRecord=%7\n")
                  .arg(kBranch)
                  .arg(tpFilial)
                  .arg(port)
                  .arg(i.Local)
                  .arg(monitoring ? 1 : 0)
                  .arg(i.Log)
                  .arg(kPacketSize)
                  .toUtf8());
    return i;
}

// One channel run of the installation, timed from the wiring to the teardown.
double RunChannel(const TInstallation& installation, int rows)
{
    SetProgramFolderOverride(installation.Folder);
    TFDM dm;
    TFDM_MovimentoM module(&dm.SqlCAgente);
    dm.SetMovimentoMModule(&module);
    TTextHolder label;
    TPlainProgressBar bar;
    dm.SetChannelLabel(&label);
    dm.SetChannelProgressBar(&bar);
    QElapsedTimer timer;
    timer.start();
    dm.RunMovMChannel();
    const double seconds = timer.nsecsElapsed() / 1e9;
    dm.SqlCAgente.Close();
    int moved = 0;
    for (const TTableResult& t : dm.MovMClient->LastRun().Tables) {
        if (t.Table == kTable && t.Outcome == TTableOutcome::Done)
            moved = t.Rows;
        else if (t.Rows > 0 || (t.Outcome != TTableOutcome::NothingPending && t.Outcome != TTableOutcome::Done))
            throw Exception(QStringLiteral("Unexpected outcome for %1 (see %2Log)").arg(t.Table, installation.Folder));
    }
    if (moved != rows)
        throw Exception(QStringLiteral("%1 of %2 rows moved (see %3Log)").arg(moved).arg(rows).arg(installation.Folder));
    SetProgramFolderOverride({});
    return seconds;
}

struct Times
{
    double SendFloor = 1e9, Send = 1e9, SendMonitored = 1e9;
    double ReceiveFloor = 1e9, Receive = 1e9, ReceiveMonitored = 1e9;
};

int Main(int argc, char** argv)
{
    const int rowCount = argc > 1 ? std::atoi(argv[1]) : 20000;
    const int repetitions = argc > 2 ? std::atoi(argv[2]) : 2;
    if (argc > 3)
        kPacketSize = std::atoi(argv[3]);
    QTemporaryDir dir;
    // KELT_BENCH_KEEP keeps the folder (logs, the server's call log) for a look afterwards.
    dir.setAutoRemove(qEnvironmentVariableIsEmpty("KELT_BENCH_KEEP"));
    const QString root = dir.path() + u'/';
    QDir(root).mkdir(QStringLiteral("server"));

    const TDataPacket sales = MakeSales(rowCount);
    std::printf("Transaction channel: a branch sending %d marked rows of %s (%lld fields) and headquarters importing "
                "them, batches of %d, through the stand-in server over loopback (best of %d)\n",
                rowCount, qPrintable(kTable), qlonglong(sales.Fields().size()), kPacketSize, repetitions);

    TAppServerProcess server(QStringLiteral(KELT_APPSERVER_EXE), root + QStringLiteral("server/"));
    server.Start();
    auto admin = std::make_unique<TAppServerAdmin>(server.Port());
    admin->AddInstallation(QStringLiteral("123"), 1, kBranch, QStringLiteral("VIVO_BA"));

    // Floors and channel runs alternate so that drift of the machine hits
    // both; the fastest repetition counts for each.
    Times t;
    int n = 0;
    for (int rep = 0; rep < repetitions; ++rep) {
        for (const bool monitoring : {false, true}) {
            // The branch's rows are written by the floor itself, then marked.
            const TInstallation branch =
                MakeInstallation(root, QStringLiteral("branch%1").arg(n), 1, server.Port(), monitoring);
            const double sendFloor = floor_apply::ApplyRaw(branch.Local, kTable, sales);
            Exec(branch.Local, QStringLiteral("INSERT INTO TBCEMM (NMTABELA, PKTABELA, PKTABELA2) "
                                              "SELECT 'TBVENDA', PKVENDA, PKFILIAL FROM TBVENDA"));
            const double send = RunChannel(branch, rowCount);
            if (Scalar(branch.Local, QStringLiteral("SELECT COUNT(*) FROM TBCEMM")) != QLatin1String("0"))
                throw Exception(QStringLiteral("Marks left at the branch"));

            // Headquarters' floor takes the packet the server serves.
            const TDataPacket served = TDataPacket::FromXml(
                admin->Call(QStringLiteral("Rows"), {QStringLiteral("movm"), kTable}).toString().toUtf8());
            const QString floorDb = root + QStringLiteral("floor%1.fdb").arg(n);
            BuildDatabase(floorDb, {MovimentoMTable(VendaEntry(), TMovimentoMShape::Receiving)}, false);
            const double receiveFloor = floor_apply::ApplyRaw(floorDb, kTable, served);
            const TInstallation hq = MakeInstallation(root, QStringLiteral("hq%1").arg(n), 0, server.Port(), monitoring);
            const double receive = RunChannel(hq, rowCount);
            if (monitoring && (Scalar(branch.Log, QStringLiteral("SELECT COUNT(*) FROM TBLOG")).toInt() != rowCount ||
                               Scalar(hq.Log, QStringLiteral("SELECT COUNT(*) FROM TBLOG")).toInt() != rowCount))
                throw Exception(QStringLiteral("Monitoring rows missing"));
            t.SendFloor = std::min(t.SendFloor, sendFloor);
            t.ReceiveFloor = std::min(t.ReceiveFloor, receiveFloor);
            (monitoring ? t.SendMonitored : t.Send) = std::min(monitoring ? t.SendMonitored : t.Send, send);
            (monitoring ? t.ReceiveMonitored : t.Receive) = std::min(monitoring ? t.ReceiveMonitored : t.Receive, receive);
            ++n;
        }
    }
    admin.reset();
    server.Stop();

    const auto rate = [&](double s) { return rowCount / s; };
    std::printf("%-22s %10s %10s\n", "", "seconds", "rows/s");
    const std::pair<const char*, double> lines[] = {
        {"floor (branch rows)", t.SendFloor},   {"branch sends", t.Send},
        {"branch, monitoring", t.SendMonitored}, {"floor (served packet)", t.ReceiveFloor},
        {"headquarters imports", t.Receive},     {"headquarters, monitor.", t.ReceiveMonitored}};
    for (const auto& [name, s] : lines)
        std::printf("%-22s %10.2f %10.0f\n", name, s, rate(s));
    const auto result = [&](const char* name, double channel, double floor) {
        const double ratio = floor / channel;
        std::printf("RESULT %s rows=%d fields=%lld channel_rows_per_s=%.0f floor_rows_per_s=%.0f ratio=%.2f "
                    "target>=0.70 %s\n",
                    name, rowCount, qlonglong(sales.Fields().size()), rate(channel), rate(floor), ratio,
                    ratio >= 0.7 ? "MET" : "MISSED");
    };
    result("movm_branch_send", t.Send, t.SendFloor);
    result("movm_hq_import", t.Receive, t.ReceiveFloor);
    result("movm_branch_send_monitored", t.SendMonitored, t.SendFloor);
    result("movm_hq_import_monitored", t.ReceiveMonitored, t.ReceiveFloor);
    std::printf("RESULT movm_monitoring_cost branch_us_per_row=%.1f hq_us_per_row=%.1f\n",
                (t.SendMonitored - t.Send) * 1e6 / rowCount, (t.ReceiveMonitored - t.Receive) * 1e6 / rowCount);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    return floor_apply::RunBenchmark("bench_transactions", [&] { return Main(argc, argv); });
}
