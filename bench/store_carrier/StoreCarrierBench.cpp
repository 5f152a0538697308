// The store-carrier channel end to end: 20,000 rows of the product table
// (53 fields) imported from the stand-in server over loopback through
// TFDM::RunCadChannel (count, provider parameters, batches of 1000, lookup and
// insert of every row, one acknowledgement per batch), against the
// row-applying floor measured in the same run on the same rows. Also the cost
// of one batch's round trips (fetch and acknowledgement) on their own. The
// same import over TLS (a second server serving a certificate made for the
// run, the installation pinning it) is timed in the same loop: the ratio of
// TLS to plain TCP is the cost of encrypting the connection.
#include "bench/common/RowApplyFloor.h"
#include "connections/uDM.h"
#include "platform/data/ClientDataSet.h"
#include "platform/types/Decimal.h"
#include "platform/os/ProgramFolder.h"
#include "remote/ServerObjects.h"
#include "replication/core/ProgressWidgets.h"
#include "tests/replication/store_carrier/AppServerProcess.h"
#include "tests/support/TlsCertificate.h"
#include "tools/schema/SchemaBuilder.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace {

const QString kTable = QStringLiteral("TBPRODUTO");
constexpr qint32 kStore = 12;
// Rows per batch: the third argument (default 1000; -1 all rows at once).
int kPacketSize = 1000;

// The product table as the carrier server sends it.
constexpr char16_t kProdutoFields[] =
    u"PKPRODUTO int K; PKOPERADORA int K; NMPRODUTO str 60; CST char 3; PKGRUPO int; PKFGRUPO int; PKFORNECEDOR int; "
    u"PKFFORNECEDOR int; PKMARCA int; PKFMARCA int; PKREDUCAO int; PKFREDUCAO int; PKALIQENT int; PKFALIQENT int; "
    u"PKALIQSAI int; PKFALIQSAI int; CDOPERADORA str 30; CDBARRA str 30; VLCOMPRA dec 15.3; ATIVO small; TPPRODUTO int; "
    u"EXCLUIDO small; NMPRODUTOOP str 100; PKUNIDADEMEDIDA int; PKFUNIDADEMEDIDA int; CDCONTRATO str 20 K; "
    u"PKFILIALDESTINO int K; NRDIGITO int; NMPRODUTOIM str 50; CDNCM int; CDEXTIPI int; PKPLANOCONTA int; "
    u"PKFPLANOCONTA int; CDAREACENTROCUSTO int; VIDAUTILBEM int; DSSUCINTABEM str 1000; PKCSTPIS int; PKCSTCOFINS int; "
    u"PKCSTIPI int; PKCSTICMS int; PKTIPOITEM int; PKCSOSN int; INDICPROP int; PKGENEROMERC int; IAT small; IPPT small; "
    u"HASHMD5 str 32; PKLOCALESTOQUE int; PKFLOCALESTOQUE int; QTDMINIMA int; PKNCM int; ALIQIPI dec 15.3; CDSAP str 20";

// Deterministic products of this store: every field filled with a value of
// its type, a few optional ones left null, Latin-1 text.
TDataPacket MakeProducts(int rows)
{
    TDataPacket packet(ParseFieldList(kProdutoFields));
    const TFieldDefs& defs = packet.Fields();
    QList<QVariant> values(defs.size());
    for (int r = 0; r < rows; ++r) {
        for (int f = 0; f < defs.size(); ++f) {
            const TFieldDef& d = defs[f];
            const int seed = r * 131 + f * 17;
            QVariant& v = values[f];
            if (d.Name == QLatin1String("PKPRODUTO"))
                v = r + 1;
            else if (d.Name == QLatin1String("PKOPERADORA"))
                v = 1 + r % 3;
            else if (d.Name == QLatin1String("CDCONTRATO"))
                v = QStringLiteral("K1");
            else if (d.Name == QLatin1String("PKFILIALDESTINO"))
                v = kStore;
            else if (!d.Required && seed % 23 == 0)
                v = QVariant();
            else if (d.DataType == TFieldType::ftSmallint)
                v = seed % 3;
            else if (d.DataType == TFieldType::ftInteger)
                v = seed % 100000;
            else if (d.DataType == TFieldType::ftFMTBcd)
                v = QVariant::fromValue(Decimal(qint64(seed) * 1013 % 99999999, d.Scale));
            else if (d.Name == QLatin1String("DSSUCINTABEM"))
                v = QStringLiteral("Aparelho celular %1, cor grafite, acompanha carregador e fone; garantia de um ano.")
                        .arg(r);
            else
                v = QStringLiteral("Ação%1").arg(seed).left(d.Size);
        }
        packet.AppendRow(values);
    }
    return packet;
}

TTableDef LocalTable(const TDataPacket& packet)
{
    return TTableDef{kTable, packet.Fields(),
                     {QStringLiteral("PKPRODUTO"), QStringLiteral("PKOPERADORA"), QStringLiteral("CDCONTRATO"),
                      QStringLiteral("PKFILIALDESTINO")}};
}

void WriteFile(const QString& path, const QByteArray& text)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(text) != text.size())
        throw Exception(QStringLiteral("Cannot write %1").arg(path));
}

struct ChannelRun
{
    double Seconds = 0;
    int Batches = 0;
};

// One channel run into a fresh local database, timed from the wiring to the teardown.
// `socketKeys`: further lines of [SOCKET] (the TLS keys).
ChannelRun RunChannel(const QString& folder, int port, const TDataPacket& rows, TAppServerAdmin& admin, int n,
                      const QString& socketKeys = {})
{
    admin.LoadPacket(kTable, rows.ToXml()); // every row pending again
    const QString database = folder + QStringLiteral("AGENTE%1.KELT").arg(n);
    BuildDatabase(database, {LocalTable(rows)}, /*forcedWrites=*/false);
    WriteFile(folder + QStringLiteral("Config.ini"),
              QStringLiteral("[FILIAL]\nCDCONTRATO=K1\nPKEMPRESA=1\nPKFILIAL=%1\nUF=VIVO_BA\nTPFILIAL=2\n"
                             "[SOCKET]\nAddress=127.0.0.1\nPort=%2\n%5"
                             "[DB]\nDataBase=%3\nUser_Name=SYSDBA\nPassword=quillbent\nServerCharSet=ISO8859_1\n"
                             "SQLDialect=3\n[CLIENTDATASET]\nPackedRecord=%4\n")
                  .arg(kStore)
                  .arg(port)
                  .arg(database)
                  .arg(kPacketSize)
                  .arg(socketKeys)
                  .toUtf8());
    TFDM dm;
    TTextHolder label;
    TPlainProgressBar bar;
    dm.SetChannelLabel(&label);
    dm.SetChannelProgressBar(&bar);
    QElapsedTimer timer;
    timer.start();
    dm.RunCadChannel();
    ChannelRun run{timer.nsecsElapsed() / 1e9, 0};
    const TRunResult& result = dm.CadClient->LastRun();
    if (result.Tables.size() != 1 || result.Tables[0].Outcome != TTableOutcome::Done ||
        result.Tables[0].Rows != rows.RowCount())
        throw Exception(QStringLiteral("The channel did not import every row (see %1Log)").arg(folder));
    run.Batches = result.Tables[0].Batches;
    dm.SqlCAgente.Close();
    return run;
}

struct BatchCosts
{
    double FetchMs = 0;  // provider parameters and one batch of rows, parsed
    double AckMs = 0;    // the batch as packet text and Exclui_No_Servidor
    double CallMs = 0;   // a method call without rows
    int Batches = 0;
};

// About what writing a batch of 1000 rows takes the channel.
constexpr int kApplyPauseMs = 120;

// The round trips of the batches on their own, without writing any row.
BatchCosts MeasureBatches(int port, const TDataPacket& rows, TAppServerAdmin& admin, const TTlsSettings& tls = {})
{
    admin.LoadPacket(kTable, rows.ToXml());
    TSocketConnection socket;
    socket.SetHost(QStringLiteral("127.0.0.1"));
    socket.SetPort(port);
    socket.SetTls(tls);
    socket.SetServerName(QString::fromLatin1(TKeltCadServer::ServerName));
    TConnectionBroker broker(&socket);
    broker.Open();
    TKeltCadServer server(broker);
    TDadosFilial f{QStringLiteral("K1"), 1, kStore, QStringLiteral("VIVO_BA"), 2, {}};
    if (!server.Conecta_No_Banco({f.CdContrato, f.PkEmpresa, f.PkFilial, f.UF}))
        throw Exception(QStringLiteral("The server refused the store"));

    BatchCosts costs;
    QElapsedTimer timer;
    timer.start();
    constexpr int kCalls = 200;
    for (int i = 0; i < kCalls; ++i)
        server.Get_ProvidersCount();
    costs.CallMs = timer.nsecsElapsed() / 1e6 / kCalls;

    TClientDataSet cds;
    cds.SetPacketRecords(kPacketSize);
    double fetch = 0, ack = 0;
    for (;;) {
        timer.restart();
        cds.Close();
        cds.SetRemoteServer(&broker);
        cds.SetProviderName(QStringLiteral("DspProduto"));
        cds.SetFetchOnDemand(false);
        cds.Params().Clear();
        cds.FetchParams();
        SetStandardParams(cds, f, 0);
        cds.Open();
        fetch += timer.nsecsElapsed() / 1e6;
        if (cds.IsEmpty())
            break;
        // The channel writes the rows now; meanwhile the server reads the next
        // batch ahead. Without the pause the acknowledgement would wait for that.
        QThread::msleep(kApplyPauseMs);
        timer.restart();
        QString table = kTable;
        if (!server.Exclui_No_Servidor(table, cds.XMLData(), {f.CdContrato, f.PkEmpresa, f.PkFilial, f.UF}))
            throw Exception(QStringLiteral("The server refused an acknowledgement"));
        ack += timer.nsecsElapsed() / 1e6;
        ++costs.Batches;
    }
    broker.Close();
    socket.Close();
    costs.FetchMs = fetch / (costs.Batches + 1);
    costs.AckMs = ack / std::max(1, costs.Batches);
    return costs;
}

int Main(int argc, char** argv)
{
    const int rowCount = argc > 1 ? std::atoi(argv[1]) : 20000;
    const int repetitions = argc > 2 ? std::atoi(argv[2]) : 3;
    if (argc > 3)
        kPacketSize = std::atoi(argv[3]);
    QTemporaryDir dir;
    // KELT_BENCH_KEEP keeps the folder (the server's call log) for a look afterwards.
    dir.setAutoRemove(qEnvironmentVariableIsEmpty("KELT_BENCH_KEEP"));
    const QString folder = dir.path() + u'/';
    QDir(folder).mkdir(QStringLiteral("Log"));
    QDir(folder).mkdir(QStringLiteral("server"));
    SetProgramFolderOverride(folder);

    const TDataPacket rows = MakeProducts(rowCount);
    std::printf("Store-carrier import of %d rows of %s (%lld fields), batches of %d, from the stand-in server over "
                "loopback (best of %d)\n",
                rowCount, qPrintable(kTable), qlonglong(rows.Fields().size()), kPacketSize, repetitions);

    TAppServerProcess server(QStringLiteral(KELT_APPSERVER_EXE), folder + QStringLiteral("server/"));
    server.Start();
    auto admin = std::make_unique<TAppServerAdmin>(server.Port());
    admin->AddInstallation(QStringLiteral("K1"), 1, kStore, QStringLiteral("VIVO_BA"));
    // The table exists at the server before the first timed run.
    admin->LoadPacket(kTable, MakeProducts(1).ToXml());

    QDir(folder).mkdir(QStringLiteral("tls-server"));
    const TTlsCertificate certificate(folder + QStringLiteral("tls-server/"), QStringLiteral("server"));
    TAppServerProcess tlsServer(QStringLiteral(KELT_APPSERVER_EXE), folder + QStringLiteral("tls-server/"));
    tlsServer.SetTls(certificate.CertificateFile(), certificate.KeyFile());
    tlsServer.Start();
    auto tlsAdmin = std::make_unique<TAppServerAdmin>(tlsServer.Port(), certificate.Fingerprint());
    tlsAdmin->AddInstallation(QStringLiteral("K1"), 1, kStore, QStringLiteral("VIVO_BA"));
    tlsAdmin->LoadPacket(kTable, MakeProducts(1).ToXml());
    const QString tlsKeys = QStringLiteral("TLS=1\nFingerprint=%1\n").arg(certificate.Fingerprint());

    // Floor and channel alternate so that drift of the machine hits both; the
    // fastest repetition counts for each.
    double floorSeconds = 1e9, channelSeconds = 1e9, tlsSeconds = 1e9;
    int batches = 0;
    for (int rep = 0; rep < repetitions; ++rep) {
        const QString floorDb = folder + QStringLiteral("floor%1.fdb").arg(rep);
        BuildDatabase(floorDb, {LocalTable(rows)}, /*forcedWrites=*/false);
        floorSeconds = std::min(floorSeconds, floor_apply::ApplyRaw(floorDb, kTable, rows));
        const ChannelRun run = RunChannel(folder, server.Port(), rows, *admin, rep);
        channelSeconds = std::min(channelSeconds, run.Seconds);
        batches = run.Batches;
        const ChannelRun tls = RunChannel(folder, tlsServer.Port(), rows, *tlsAdmin, repetitions + rep, tlsKeys);
        tlsSeconds = std::min(tlsSeconds, tls.Seconds);
    }
    const BatchCosts costs = MeasureBatches(server.Port(), rows, *admin);
    const BatchCosts tlsCosts =
        MeasureBatches(tlsServer.Port(), rows, *tlsAdmin, TTlsSettings{true, certificate.Fingerprint(), {}});
    admin.reset();
    server.Stop();
    tlsAdmin.reset();
    tlsServer.Stop();

    const double ratio = floorSeconds / channelSeconds;
    std::printf("%-10s %12s %12s\n", "", "seconds", "rows/s");
    std::printf("%-10s %12.2f %12.0f\n", "floor", floorSeconds, rowCount / floorSeconds);
    std::printf("%-10s %12.2f %12.0f\n", "channel", channelSeconds, rowCount / channelSeconds);
    std::printf("RESULT store_carrier_import rows=%d fields=%lld batches=%d channel_rows_per_s=%.0f "
                "floor_rows_per_s=%.0f ratio=%.2f target>=0.70 %s\n",
                rowCount, qlonglong(rows.Fields().size()), batches, rowCount / channelSeconds,
                rowCount / floorSeconds, ratio, ratio >= 0.7 ? "MET" : "MISSED");
    std::printf("RESULT store_carrier_batch rows_per_batch=%d fetch_ms=%.1f ack_ms=%.1f round_trip_ms=%.1f "
                "call_ms=%.3f batches=%d share_of_channel=%.0f%%\n",
                kPacketSize, costs.FetchMs, costs.AckMs, costs.FetchMs + costs.AckMs, costs.CallMs, costs.Batches,
                100.0 * (costs.FetchMs + costs.AckMs) * batches / 1000.0 / channelSeconds);
    std::printf("RESULT store_carrier_tls rows=%d plain_rows_per_s=%.0f tls_rows_per_s=%.0f ratio_tls_to_plain=%.2f "
                "call_ms_plain=%.3f call_ms_tls=%.3f fetch_ms_plain=%.1f fetch_ms_tls=%.1f ack_ms_plain=%.1f "
                "ack_ms_tls=%.1f\n",
                rowCount, rowCount / channelSeconds, rowCount / tlsSeconds, channelSeconds / tlsSeconds, costs.CallMs,
                tlsCosts.CallMs, costs.FetchMs, tlsCosts.FetchMs, costs.AckMs, tlsCosts.AckMs);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    return floor_apply::RunBenchmark("bench_store_carrier", [&] { return Main(argc, argv); });
}
