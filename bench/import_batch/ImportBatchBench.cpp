// Imports end to end over loopback with [CLIENTDATASET] TransacaoPorLote=1
// (each received batch in one transaction, a savepoint per row, committed
// before the acknowledgement) against the default (every statement on its own)
// and against the row-applying floor with one transaction per batch, on the
// same packet: a branch importing the products headquarters sent, and
// headquarters importing the sales a branch sent. Each repetition runs the
// three on fresh databases, the floor and the batch mode taking turns at going
// first; the result is the median of the repetitions' ratios. Databases are
// created with forced writes on (Firebird's default, what installations run)
// and off.
#include "bench/common/ChannelFixtures.h"
#include "bench/common/RowApplyFloor.h"
#include "tools/channel_schemas/CadastroMSchema.h"
#include "tools/channel_schemas/MovimentoMSchema.h"
#include "tests/replication/master_data/CadMConfig.h"
#include "tests/replication/store_carrier/AppServerProcess.h"
#include "tools/schema/SchemaBuilder.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

using namespace bench_fixtures;

constexpr qint32 kHq = 1;
constexpr qint32 kCadMBranch = 5;
constexpr qint32 kMovMBranch = 7;
// Rows per batch: the third argument (default 1000; -1 all rows at once).
int kPacketSize = 1000;

void WriteFile(const QString& path, const QByteArray& text)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(text) != text.size())
        throw Exception(QStringLiteral("Cannot write %1").arg(path));
}

// One receiving side: the table, where the server holds it, the installation.
struct TCase
{
    bool Cadm;
    QString Table;
    QString Object;  // the server object's short name for LoadPacket and Rows
    qint32 Store;    // LoadPacket's store: 0 (each row for its destination) or the sending branch
    QByteArray Held; // the packet the server serves
    TDataPacket Packet;

    TTableDefs ReceivingTables() const
    {
        return Cadm ? CadastroMReceivingTables() : ReceivingHeadquartersTables();
    }
    QByteArray Config(int port, const QString& database, bool perBatch) const
    {
        QByteArray text = Cadm ? CadMConfigText(kCadMBranch, 1, port, database, kPacketSize)
                               : MovMConfigText(kMovMBranch, 0, port, database, kPacketSize);
        // Absent means the default, as in an installation that never set it.
        if (perBatch)
            text += "TransacaoPorLote=1\n";
        return text;
    }
};

double Median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Processor seconds of this process, the embedded engine's threads included:
// the client's own work, which the stand-in server (another process) and the
// machine's load do not enter.
double CpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

QString Spread(const std::vector<double>& v)
{
    if (v.empty())
        return QStringLiteral("-");
    return QStringLiteral("%1-%2")
        .arg(*std::min_element(v.begin(), v.end()), 0, 'f', 2)
        .arg(*std::max_element(v.begin(), v.end()), 0, 'f', 2);
}

int Main(int argc, char** argv)
{
    const int rowCount = argc > 1 ? std::atoi(argv[1]) : 20000;
    const int repetitions = std::max(1, argc > 2 ? std::atoi(argv[2]) : 4); // even: each side first as often
    if (argc > 3)
        kPacketSize = std::atoi(argv[3]);
    const char* fw = argc > 4 ? argv[4] : "both";
    // With forced writes on the default commits every statement to disk, from
    // 20 s to minutes a run: it runs in the first repetitions only (the fifth
    // argument, default 2).
    const int defaultReps = std::clamp(argc > 5 ? std::atoi(argv[5]) : 2, 0, repetitions);
    const std::vector<bool> forcedWritesModes = bench_fixtures::ForcedWritesModes(fw);
    if (forcedWritesModes.empty())
        throw Exception(QStringLiteral("usage: bench_import_batch [rows] [repetitions] [packet size] [on|off|both] [default repetitions]"));

    QTemporaryDir dir;
    // KELT_BENCH_KEEP keeps the folder (logs, the server's call log) for a look afterwards.
    dir.setAutoRemove(qEnvironmentVariableIsEmpty("KELT_BENCH_KEEP"));
    const QString root = dir.path() + u'/';
    for (const char* sub : {"server", "sender", "sender/Log", "batch", "batch/Log", "single", "single/Log"})
        QDir(root).mkpath(QString::fromLatin1(sub));
    const QString senderFolder = root + QStringLiteral("sender/");
    const QString batchFolder = root + QStringLiteral("batch/"), singleFolder = root + QStringLiteral("single/");

    std::printf("Import with TransacaoPorLote=1 against the default and against the floor with one transaction "
                "per batch: %d rows, batches of %d, over loopback (%d repetitions, forced writes %s)\n",
                rowCount, kPacketSize, repetitions, fw);
    TAppServerProcess server(QStringLiteral(KELT_APPSERVER_EXE), root + QStringLiteral("server/"));
    server.Start();
    TAppServerAdmin admin(server.Port());
    admin.AddInstallation(QStringLiteral("K1"), 1, kHq, QStringLiteral("VIVO_BA"));
    admin.AddInstallation(QStringLiteral("K1"), 1, kCadMBranch, QStringLiteral("VIVO_BA"));
    admin.AddInstallation(QStringLiteral("123"), 1, kMovMBranch, QStringLiteral("VIVO_BA"));

    // The server is filled once by the sending channels; what it holds then is
    // what every import run below receives.
    std::vector<TCase> cases = {
        {true, QStringLiteral("TBPRODUTO"), QStringLiteral("cadm"), 0, {}, {}},
        {false, QStringLiteral("TBVENDA"), QStringLiteral("movm"), kMovMBranch, {}, {}},
    };
    for (TCase& c : cases) {
        const QString db = senderFolder + QStringLiteral("%1.KELT").arg(c.Table);
        if (c.Cadm) {
            BuildMasterDataHeadquarters(db, rowCount, kCadMBranch, false);
            WriteFile(senderFolder + QStringLiteral("Config.ini"), CadMConfigText(kHq, 0, server.Port(), db, kPacketSize));
        } else {
            BuildMovMBranch(db, MakeBranchSales(rowCount, kMovMBranch), false);
            WriteFile(senderFolder + QStringLiteral("Config.ini"),
                      MovMConfigText(kMovMBranch, 1, server.Port(), db, kPacketSize));
        }
        double seconds = 0;
        if (RunChannel(senderFolder, c.Cadm, c.Table, seconds).Rows != rowCount)
            throw Exception(QStringLiteral("The sender did not send every row of %1").arg(c.Table));
        c.Held = admin.Call(QStringLiteral("Rows"), {c.Object, c.Table}).toString().toUtf8();
        c.Packet = TDataPacket::FromXml(c.Held);
        if (c.Packet.RowCount() != rowCount)
            throw Exception(QStringLiteral("The server holds %1 rows of %2").arg(c.Packet.RowCount()).arg(c.Table));
    }

    // Milliseconds the server spent in the calls after `seq` (advanced past them).
    qint64 seq = 0;
    auto serverMs = [&] {
        double ms = 0;
        for (const QJsonValue& v : admin.CallLog(seq)) {
            const QJsonObject call = v.toObject();
            ms += call[QStringLiteral("ms")].toDouble();
            seq = std::max(seq, qint64(call[QStringLiteral("seq")].toDouble()));
        }
        return ms;
    };
    double lastServerMs = 0;
    double lastCpu = 0;

    // One import by the channel; the server's rows are made pending again first.
    auto runImport = [&](const TCase& c, const QString& folder, const QString& db) {
        admin.Call(QStringLiteral("LoadPacket"),
                   {c.Table, QString::fromUtf8(c.Held), c.Store, QString(), c.Object});
        serverMs();
        double seconds = 0;
        const double cpuBefore = CpuSeconds();
        const TTableResult t = RunChannel(folder, c.Cadm, c.Table, seconds);
        lastCpu = CpuSeconds() - cpuBefore;
        lastServerMs = serverMs();
        if (t.Outcome != TTableOutcome::Done || t.Rows != rowCount || t.RowsFailed != 0)
            throw Exception(QStringLiteral("The import of %1 wrote %2 rows: %3 (see %4Log)")
                                .arg(c.Table)
                                .arg(t.Rows)
                                .arg(TableOutcomeText(t.Outcome), folder));
        if (Scalar(db, QStringLiteral("SELECT COUNT(*) FROM %1").arg(c.Table)).toInt() != rowCount)
            throw Exception(QStringLiteral("%1 does not hold every row").arg(db));
        return seconds;
    };

    QStringList results;
    int n = 0;
    for (const bool forcedWrites : forcedWritesModes) {
        for (const TCase& c : cases) {
            std::vector<double> floorTimes, batchTimes, singleTimes, ofFloor, speedUps, ofFloorCpu, ofFloorClient;
            for (int rep = 0; rep < repetitions; ++rep, ++n) {
                const QString floorDb = root + QStringLiteral("floor%1.fdb").arg(n);
                const QString batchDb = batchFolder + QStringLiteral("AGENTE%1.KELT").arg(n);
                const QString singleDb = singleFolder + QStringLiteral("AGENTE%1.KELT").arg(n);
                for (const QString& db : {floorDb, batchDb, singleDb})
                    BuildDatabase(db, c.ReceivingTables(), forcedWrites);
                WriteFile(batchFolder + QStringLiteral("Config.ini"), c.Config(server.Port(), batchDb, true));
                WriteFile(singleFolder + QStringLiteral("Config.ini"), c.Config(server.Port(), singleDb, false));

                double floor = 0, batch = 0, single = 0, batchServerMs = 0, floorCpu = 0, batchCpu = 0;
                const bool withDefault = rep < defaultReps;
                auto runFloor = [&] {
                    const double cpuBefore = CpuSeconds();
                    floor = floor_apply::ApplyRaw(floorDb, c.Table, c.Packet, kPacketSize);
                    floorCpu = CpuSeconds() - cpuBefore;
                };
                auto runSingle = [&] {
                    if (withDefault)
                        single = runImport(c, singleFolder, singleDb);
                };
                if (rep % 2 == 0) {
                    runFloor();
                    batch = runImport(c, batchFolder, batchDb);
                    batchServerMs = lastServerMs;
                    batchCpu = lastCpu;
                    runSingle();
                } else {
                    runSingle();
                    batch = runImport(c, batchFolder, batchDb);
                    batchServerMs = lastServerMs;
                    batchCpu = lastCpu;
                    runFloor();
                }
                floorTimes.push_back(floor);
                batchTimes.push_back(batch);
                ofFloor.push_back(floor / batch);
                ofFloorCpu.push_back(floorCpu / batchCpu);
                ofFloorClient.push_back(floor / (batch - batchServerMs / 1000));
                if (withDefault) {
                    singleTimes.push_back(single);
                    speedUps.push_back(single / batch);
                }
                const QString defaultText =
                    withDefault ? QStringLiteral("default %1 s, speed-up over the default %2")
                                      .arg(single, 0, 'f', 2)
                                      .arg(single / batch, 0, 'f', 2)
                                : QStringLiteral("default not run");
                std::printf("  forced writes %s, %s, repetition %d: floor %.2f s, TransacaoPorLote=1 %.2f s "
                            "(the server's share %.2f s), of the floor %.2f; processor: floor %.2f s, channel %.2f s, "
                            "of the floor %.2f; %s\n",
                            forcedWrites ? "on" : "off", qPrintable(c.Table), rep + 1, floor, batch,
                            batchServerMs / 1000, floor / batch, floorCpu, batchCpu, floorCpu / batchCpu,
                            qPrintable(defaultText));
                std::fflush(stdout);
                for (const QString& db : {floorDb, batchDb, singleDb})
                    QFile::remove(db);
            }
            const double median = Median(ofFloor);
            results << QStringLiteral("RESULT import_batch table=%1 forced_writes=%2 rows=%3 packet=%4 reps=%5 "
                                      "floor_s_median=%6 batch_s_median=%7 default_s_median=%8 "
                                      "of_floor_median=%9 of_floor_range=%10 speedup_median=%11 speedup_range=%12 "
                                      "target>=0.70 %13 of_floor_cpu_median=%14 of_floor_cpu_range=%15 "
                                      "cpu_target>=0.70 %16 of_floor_without_server_median=%17 of_floor_without_server_range=%18")
                           .arg(c.Table, forcedWrites ? QStringLiteral("on") : QStringLiteral("off"))
                           .arg(rowCount)
                           .arg(kPacketSize)
                           .arg(repetitions)
                           .arg(Median(floorTimes), 0, 'f', 2)
                           .arg(Median(batchTimes), 0, 'f', 2)
                           .arg(Median(singleTimes), 0, 'f', 2)
                           .arg(median, 0, 'f', 2)
                           .arg(Spread(ofFloor))
                           .arg(Median(speedUps), 0, 'f', 2)
                           .arg(Spread(speedUps))
                           .arg(median >= 0.7 ? QStringLiteral("MET") : QStringLiteral("MISSED"))
                           .arg(Median(ofFloorCpu), 0, 'f', 2)
                           .arg(Spread(ofFloorCpu))
                           .arg(Median(ofFloorCpu) >= 0.7 ? QStringLiteral("MET") : QStringLiteral("MISSED"))
                           .arg(Median(ofFloorClient), 0, 'f', 2)
                           .arg(Spread(ofFloorClient));
        }
    }
    // of_floor = floor time / channel time with TransacaoPorLote=1;
    // speed-up = default time / TransacaoPorLote=1 time; of_floor_cpu = the
    // floor's processor time / the channel's; of_floor_without_server = floor
    // time / (channel time - the time the server spent in its calls); all per
    // repetition.
    for (const QString& line : std::as_const(results))
        std::printf("%s\n", qPrintable(line));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    return floor_apply::RunBenchmark("bench_import_batch", [&] { return Main(argc, argv); });
}
