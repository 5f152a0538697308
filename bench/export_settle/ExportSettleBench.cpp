// The two exports end to end over loopback, as the channels settle a sent batch
// now (its rows locked and their marks deleted in the batch's one transaction,
// one commit per batch) against the earlier settling of one committed
// statement per row (bench/common/PerRowSettleExport.h): headquarters sending
// pending products (TBCEC rows deleted), a branch sending marked sales (TBCEMM
// marks deleted). Each repetition is a pair on fresh databases of the same
// rows, the side that goes first alternating; the result is the median of the
// pairs' ratios. Databases are created with forced writes on (Firebird's
// default, what installations run) and off.
#include "bench/common/ChannelFixtures.h"
#include "bench/common/PerRowSettleExport.h"
#include "bench/common/RowApplyFloor.h"
#include "connections/uDM.h"
#include "platform/os/ProgramFolder.h"
#include "replication/core/ProgressWidgets.h"
#include "replication/master_data/KeltCadMClient.h"
#include "tools/channel_schemas/MovimentoMSchema.h"
#include "tests/replication/master_data/CadMConfig.h"
#include "tests/replication/store_carrier/AppServerProcess.h"
#include "tools/schema/SchemaBuilder.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using namespace bench_fixtures;

constexpr qint32 kHq = 1;
constexpr qint32 kCadMBranch = 5;
constexpr qint32 kMovMBranch = 7;
const QString kProduto = QStringLiteral("TBPRODUTO");
const QString kVenda = QStringLiteral("TBVENDA");
// Rows per batch: the third argument (default 1000; -1 all rows at once).
int kPacketSize = 1000;

void WriteFile(const QString& path, const QByteArray& text)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(text) != text.size())
        throw Exception(QStringLiteral("Cannot write %1").arg(path));
}

// The channel's export; raises unless every row was sent and settled.
double RunExport(const QString& folder, bool cadm, int rows)
{
    double seconds = 0;
    const TTableResult t = RunChannel(folder, cadm, cadm ? kProduto : kVenda, seconds);
    if (t.Outcome != TTableOutcome::Done || t.Rows != rows || (cadm && t.Settled != rows))
        throw Exception(QStringLiteral("The channel did not send and settle every row (see %1Log)").arg(folder));
    return seconds;
}

// The per-row settling export of the installation in `folder`.
double RunPerRow(const QString& folder, bool cadm, int rows)
{
    TFDM dm;
    TFDM_CadastroM cadastro(&dm.SqlCAgente);
    TFDM_MovimentoM movimento(&dm.SqlCAgente);
    dm.SetCadastroMModule(&cadastro);
    dm.SetMovimentoMModule(&movimento);
    const per_row_export::TResult r = per_row_export::Run(
        dm, folder, cadm ? per_row_export::TChannel::MasterData : per_row_export::TChannel::Transactions);
    dm.SqlCAgente.Close();
    if (r.Rows != rows || r.Settled != rows)
        throw Exception(QStringLiteral("The per-row export sent %1 and settled %2 rows").arg(r.Rows).arg(r.Settled));
    return r.Seconds;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

int Main(int argc, char** argv)
{
    const int rowCount = argc > 1 ? std::atoi(argv[1]) : 20000;
    const int repetitions = std::max(1, argc > 2 ? std::atoi(argv[2]) : 4); // even: each side first as often
    if (argc > 3)
        kPacketSize = std::atoi(argv[3]);
    const char* fw = argc > 4 ? argv[4] : "both";
    const std::vector<bool> forcedWritesModes = bench_fixtures::ForcedWritesModes(fw);
    if (forcedWritesModes.empty())
        throw Exception(QStringLiteral("usage: bench_export_settle [rows] [repetitions] [packet size] [on|off|both]"));

    QTemporaryDir dir;
    // KELT_BENCH_KEEP keeps the folder (logs, the server's call log) for a look afterwards.
    dir.setAutoRemove(qEnvironmentVariableIsEmpty("KELT_BENCH_KEEP"));
    const QString root = dir.path() + u'/';
    for (const char* sub : {"server", "batch", "batch/Log", "perrow", "perrow/Log"})
        QDir(root).mkpath(QString::fromLatin1(sub));
    const QString batchFolder = root + QStringLiteral("batch/"), perRowFolder = root + QStringLiteral("perrow/");

    std::printf("Export settling: %d rows, batches of %d, the channel (one transaction per batch) against one "
                "committed statement per row, over loopback (%d repetitions, forced writes %s)\n",
                rowCount, kPacketSize, repetitions, fw);
    TAppServerProcess server(QStringLiteral(KELT_APPSERVER_EXE), root + QStringLiteral("server/"));
    server.Start();
    {
        TAppServerAdmin admin(server.Port());
        admin.AddInstallation(QStringLiteral("K1"), 1, kHq, QStringLiteral("VIVO_BA"));
        admin.AddInstallation(QStringLiteral("K1"), 1, kCadMBranch, QStringLiteral("VIVO_BA"));
        admin.AddInstallation(QStringLiteral("123"), 1, kMovMBranch, QStringLiteral("VIVO_BA"));
    }
    const TDataPacket sales = MakeBranchSales(rowCount, kMovMBranch);

    QStringList results;
    int n = 0;
    for (const bool forcedWrites : forcedWritesModes) {
        for (const bool cadm : {true, false}) {
            const QString table = cadm ? kProduto : kVenda;
            std::vector<double> batchTimes, perRowTimes, speedUps;
            for (int rep = 0; rep < repetitions; ++rep, ++n) {
                const QString batchDb = batchFolder + QStringLiteral("AGENTE%1.KELT").arg(n);
                const QString perRowDb = perRowFolder + QStringLiteral("AGENTE%1.KELT").arg(n);
                for (const QString& db : {batchDb, perRowDb}) {
                    if (cadm)
                        BuildMasterDataHeadquarters(db, rowCount, kCadMBranch, forcedWrites);
                    else
                        BuildMovMBranch(db, sales, forcedWrites);
                }
                for (const auto& [folder, db] : {std::pair{batchFolder, batchDb}, std::pair{perRowFolder, perRowDb}})
                    WriteFile(folder + QStringLiteral("Config.ini"),
                              cadm ? CadMConfigText(kHq, 0, server.Port(), db, kPacketSize)
                                   : MovMConfigText(kMovMBranch, 1, server.Port(), db, kPacketSize));
                double batch = 0, perRow = 0;
                if (rep % 2 == 0) {
                    batch = RunExport(batchFolder, cadm, rowCount);
                    perRow = RunPerRow(perRowFolder, cadm, rowCount);
                } else {
                    perRow = RunPerRow(perRowFolder, cadm, rowCount);
                    batch = RunExport(batchFolder, cadm, rowCount);
                }
                const QString left = cadm ? QStringLiteral("SELECT COUNT(*) FROM TBCEC")
                                          : QStringLiteral("SELECT COUNT(*) FROM TBCEMM");
                if (Scalar(batchDb, left) != QLatin1String("0") || Scalar(perRowDb, left) != QLatin1String("0"))
                    throw Exception(QStringLiteral("Marks left after the export of %1").arg(table));
                batchTimes.push_back(batch);
                perRowTimes.push_back(perRow);
                speedUps.push_back(perRow / batch);
                std::printf("  forced writes %s, %s, repetition %d: channel %.2f s, per-row settling %.2f s, "
                            "speed-up %.2f\n",
                            forcedWrites ? "on" : "off", qPrintable(table), rep + 1, batch, perRow, perRow / batch);
                std::fflush(stdout);
                QFile::remove(batchDb);
                QFile::remove(perRowDb);
            }
            results << QStringLiteral("RESULT export_settle table=%1 forced_writes=%2 rows=%3 packet=%4 reps=%5 "
                                      "channel_s_median=%6 per_row_s_median=%7 speedup_median=%8 speedup_min=%9 "
                                      "speedup_max=%10")
                           .arg(table, forcedWrites ? QStringLiteral("on") : QStringLiteral("off"))
                           .arg(rowCount)
                           .arg(kPacketSize)
                           .arg(repetitions)
                           .arg(Median(batchTimes), 0, 'f', 2)
                           .arg(Median(perRowTimes), 0, 'f', 2)
                           .arg(Median(speedUps), 0, 'f', 2)
                           .arg(*std::min_element(speedUps.begin(), speedUps.end()), 0, 'f', 2)
                           .arg(*std::max_element(speedUps.begin(), speedUps.end()), 0, 'f', 2);
        }
    }
    server.Stop();
    // speed-up = per-row settling time / channel time, per pair.
    for (const QString& line : std::as_const(results))
        std::printf("%s\n", qPrintable(line));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    return floor_apply::RunBenchmark("bench_export_settle", [&] { return Main(argc, argv); });
}
