// Applying received rows: every row looked up by key, then inserted (first pass)
// or updated (second pass), through TSQLDataSet with the builder's statements,
// against the same statements written directly on the Firebird object API.
// Both sides run one transaction per statement, as the client does.
#include "bench/common/RowApplyFloor.h"
#include "bench/common/SalesShape.h"
#include "bench/common/SalesRows.h"
#include "platform/data/ClientDataSet.h"
#include "platform/types/Decimal.h"
#include "platform/sql/SQLConnection.h"
#include "platform/sql/SQLDataSet.h"
#include "replication/core/cl_Funcoes.h"
#include "tools/schema/SchemaBuilder.h"

#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

using Firebird::FbException;

namespace {

const QString kTable = QStringLiteral("TBVENDA");

struct PassTimes
{
    double insertSeconds = 0;
    double updateSeconds = 0;
};

// ---- the client's path -------------------------------------------------------

void ConfigureConnection(TSQLConnection& c, const QString& path)
{
    c.Params().Clear();
    c.Params().Add(QStringLiteral("DataBase"), path);
    c.Params().Add(QStringLiteral("User_Name"), QStringLiteral("SYSDBA"));
    c.Params().Add(QStringLiteral("Password"), QStringLiteral("quillbent"));
    c.Params().Add(QStringLiteral("ServerCharSet"), QStringLiteral("ISO8859_1"));
    c.Params().Add(QStringLiteral("SQLDialect"), QStringLiteral("3"));
    c.SetLoginPrompt(false);
}

double ApplyThroughClient(const QString& path, TClientDataSet& rows)
{
    TSQLConnection connection;
    ConfigureConnection(connection, path);
    TSQLDataSet lookup(&connection);
    TSQLDataSet exec(&connection);
    TKeltBaseServerClient builder;
    const QString select = builder.BuildSelectByKey(kTable, rows);
    const QString insert = builder.BuildInsert(kTable, rows);
    const QString update = builder.BuildUpdate(kTable, rows);
    lookup.SetCommandText(select);

    QElapsedTimer timer;
    timer.start();
    for (rows.First(); !rows.Eof(); rows.Next()) {
        lookup.Close();
        CopyRowToParams(lookup, rows);
        lookup.Open();
        exec.Close();
        exec.SetCommandText(lookup.IsEmpty() ? insert : update);
        CopyRowToParams(exec, rows);
        exec.ExecSQL();
    }
    lookup.Close();
    const double seconds = timer.nsecsElapsed() / 1e9;
    connection.Close();
    return seconds;
}

PassTimes Run(bool raw, bool forcedWrites, TClientDataSet& rows, const QString& folder)
{
    static int n = 0;
    const QString path = folder + QStringLiteral("/apply%1.fdb").arg(++n);
    BuildDatabase(path, {TTableDef{kTable, rows.FieldDefs(), {QStringLiteral("PKVENDA"), QStringLiteral("PKFILIAL")}}},
                  forcedWrites);
    PassTimes t;
    t.insertSeconds = raw ? floor_apply::ApplyRaw(path, kTable, rows.Packet()) : ApplyThroughClient(path, rows);
    t.updateSeconds = raw ? floor_apply::ApplyRaw(path, kTable, rows.Packet()) : ApplyThroughClient(path, rows);
    return t;
}

} // namespace

int Main(int argc, char** argv);

int main(int argc, char** argv)
{
    try {
        return Main(argc, argv);
    } catch (const FbException& e) {
        std::fprintf(stderr, "bench_apply_rows: %s\n", qPrintable(floor_apply::ErrorText(e)));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_apply_rows: %s\n", e.what());
    }
    return 1;
}

int Main(int argc, char** argv)
{
    const int rowCount = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int repetitions = argc > 2 ? std::atoi(argv[2]) : 3;
    QTemporaryDir dir;
    TClientDataSet rows;
    rows.SetPacket(MakeSalesPacket(rowCount));
    std::printf("Applying %d rows of the sales shape (%lld fields), lookup by key then insert / update "
                "(best of %d)\n", rowCount, qlonglong(rows.FieldDefs().size()), repetitions);
    std::printf("%-14s %-7s %14s %14s %14s %14s\n", "forced writes", "pass", "client rows/s", "floor rows/s",
                "ratio", "target");
    for (bool forced : {false, true}) {
        // Floor and client alternate so that drift of the machine hits both;
        // the fastest of the repetitions counts for each.
        PassTimes floorTimes{1e9, 1e9}, clientTimes{1e9, 1e9};
        for (int rep = 0; rep < repetitions; ++rep) {
            const PassTimes f = Run(true, forced, rows, dir.path());
            const PassTimes c = Run(false, forced, rows, dir.path());
            floorTimes = {std::min(floorTimes.insertSeconds, f.insertSeconds), std::min(floorTimes.updateSeconds, f.updateSeconds)};
            clientTimes = {std::min(clientTimes.insertSeconds, c.insertSeconds), std::min(clientTimes.updateSeconds, c.updateSeconds)};
        }
        const auto line = [&](const char* pass, double client, double floor) {
            std::printf("%-14s %-7s %14.0f %14.0f %14.2f %14s\n", forced ? "on" : "off", pass, rowCount / client,
                        rowCount / floor, floor / client, ">= 0.80");
        };
        line("insert", clientTimes.insertSeconds, floorTimes.insertSeconds);
        line("update", clientTimes.updateSeconds, floorTimes.updateSeconds);
    }
    return 0;
}
