// The transaction channel with every real part: a branch and a headquarters
// installation (embedded databases in both shapes, a monitoring database with
// TBLOG), each run through TFDM::RunMovMChannel as the program runs it, and the
// stand-in server as its own process on loopback between them.
#include "tests/replication/store_carrier/AppServerProcess.h"
#include "tests/support/TestClocks.h"
#include "tests/support/TlsCertificate.h"
#include "tests/replication/transactions/MovMFixture.h"

#include "connections/uDM.h"
#include "platform/types/DataPacket.h"

#include <memory>

namespace {

constexpr int kB = TMovMInstallation::kBranch;
const QString kVenda = QStringLiteral("TBVENDA");
const QString kItVenda = QStringLiteral("TBITVENDA");
const QString kCondiVenda = QStringLiteral("TBCONDIVENDA");
const QString kItCondiVenda = QStringLiteral("TBITCONDIVENDA");

class MovMEndToEnd : public ::testing::Test
{
protected:
    void SetUp() override
    {
        SetClock(&m_clock);
        m_server = std::make_unique<TAppServerProcess>(QStringLiteral(KELT_APPSERVER_EXE), m_serverFolder.Path());
        if (m_tls) {
            m_certificate = std::make_unique<TTlsCertificate>(m_serverFolder.Path(), QStringLiteral("server"));
            m_server->SetTls(m_certificate->CertificateFile(), m_certificate->KeyFile());
        }
        m_server->Start();
        m_admin = std::make_unique<TAppServerAdmin>(m_server->Port(), m_tls ? m_certificate->Fingerprint() : QString());
        // Branch and headquarters share the contract; the server tells them
        // apart only by what they call.
        m_admin->AddInstallation(QStringLiteral("123"), 1, kB, QStringLiteral("VIVO_BA"));
    }
    void TearDown() override
    {
        m_admin.reset();
        m_server->Stop();
        SetClock(nullptr);
    }

    // One run of the installation as the program runs it: the connection
    // module with the transaction provider module, which both end afterwards.
    TRunResult Run(TMovMInstallation& installation)
    {
        SetProgramFolderOverride(installation.Folder());
        TRunResult result;
        {
            TFDM dm;
            TFDM_MovimentoM module(&dm.SqlCAgente);
            dm.SetMovimentoMModule(&module);
            dm.SetChannelLabel(&m_label);
            dm.SetChannelProgressBar(&m_bar);
            dm.RunMovMChannel();
            EXPECT_FALSE(dm.ScAgente.Connected());
            EXPECT_FALSE(dm.CdsTabela.Active());
            EXPECT_FALSE(dm.SqlCLog.Connected());
            result = dm.MovMClient->LastRun();
            dm.SqlCAgente.Close();
        }
        SetProgramFolderOverride({});
        return result;
    }

    // Tables a run moved rows of, in the order handled, with their row counts.
    static QStringList Moved(const TRunResult& run)
    {
        QStringList moved;
        for (const TTableResult& t : run.Tables)
            if (t.Rows > 0)
                moved << QStringLiteral("%1 %2/%3").arg(t.Table).arg(t.Rows).arg(t.Batches);
        return moved;
    }

    // Served calls of one method since `since`, as "method table".
    QStringList Calls(const QString& method, qint64 since = 0)
    {
        QStringList calls;
        for (const QJsonValue& v : m_admin->CallLog(since)) {
            const QJsonObject c = v.toObject();
            if (c["method"].toString() == method)
                calls << c["table"].toString();
        }
        return calls;
    }
    qint64 LastSeq()
    {
        const QJsonArray log = m_admin->CallLog();
        return log.isEmpty() ? 0 : qint64(log.last().toObject()["seq"].toDouble());
    }

    // Rows the server holds for a transaction table, acknowledged or not.
    int ServerRows(const QString& table)
    {
        return TDataPacket::FromXml(m_admin->Call(QStringLiteral("Rows"), {QStringLiteral("movm"), table}).toString().toUtf8())
            .RowCount();
    }

    // Config.ini of an installation: the branch type, packet size and
    // monitoring switch, and the TLS keys when the server serves TLS.
    TMovMInstallation::TConfig Config(const QString& tpFilial, int packetSize, bool monitoring) const
    {
        TMovMInstallation::TConfig c{tpFilial, packetSize, monitoring};
        if (m_tls)
            c.SocketKeys = QStringLiteral("TLS=1\nFingerprint=%1\n").arg(m_certificate->Fingerprint());
        return c;
    }

    void SaleWithItemsAndConditionsTravelsFromBranchToHeadquarters();

    bool m_tls = false; // set by the TLS fixture before SetUp
    std::unique_ptr<TTlsCertificate> m_certificate;
    TTickingClock m_clock;
    TTempFolder m_serverFolder;
    std::unique_ptr<TAppServerProcess> m_server;
    std::unique_ptr<TAppServerAdmin> m_admin;
    TTextHolder m_label;
    TPlainProgressBar m_bar;
};

// The same server serving TLS with a certificate made for the test; the
// installations pin it in [SOCKET_PROPRIO].
class MovMEndToEndOverTls : public MovMEndToEnd
{
protected:
    MovMEndToEndOverTls() { m_tls = true; }
};

} // namespace

TEST_F(MovMEndToEnd, SaleWithItemsAndConditionsTravelsFromBranchToHeadquartersWithEveryColumn)
{
    SaleWithItemsAndConditionsTravelsFromBranchToHeadquarters();
}

TEST_F(MovMEndToEndOverTls, SaleWithItemsAndConditionsTravelsFromBranchToHeadquartersWithEveryColumn)
{
    SaleWithItemsAndConditionsTravelsFromBranchToHeadquarters();
}

void MovMEndToEnd::SaleWithItemsAndConditionsTravelsFromBranchToHeadquarters()
{
    TMovMInstallation branch(TRole::Branch);
    branch.CreateLogDatabase();
    branch.WriteConfig(quint16(m_server->Port()), Config(QStringLiteral("1"), 1000, /*monitoring=*/true));
    // Items written and marked before their headers, as a till may: the
    // catalogue's order has to put the headers first on the way.
    for (int n : {1, 2, 3}) {
        InsertSample(branch.Admin, kItCondiVenda, 30 + n, {{"PKCONDIVENDA", 21}, {"PKFCONDIVENDA", kB}, {"NRPARCELA", n}});
        branch.Mark(kItCondiVenda, 30 + n);
    }
    InsertSample(branch.Admin, kCondiVenda, 21, {{"PKVENDA", 11}, {"PKFVENDA", kB}});
    branch.Mark(kCondiVenda, 21);
    for (int k : {12, 13}) {
        InsertSample(branch.Admin, kItVenda, k, {{"PKVENDA", 11}, {"PKFVENDA", kB}});
        branch.Mark(kItVenda, k);
    }
    InsertSample(branch.Admin, kVenda, 11);
    branch.Mark(kVenda, 11);

    const TRunResult sent = Run(branch);
    EXPECT_TRUE(sent.Accepted);
    EXPECT_FALSE(sent.Failed);
    EXPECT_EQ(branch.LogSteps(), QStringList());
    const QStringList order{"TBVENDA 1/1", "TBITVENDA 2/1", "TBCONDIVENDA 1/1", "TBITCONDIVENDA 3/1"};
    EXPECT_EQ(Moved(sent), order);
    EXPECT_EQ(Calls(QStringLiteral("Inseri_No_Servidor")),
              QStringList({"TBVENDA", "TBITVENDA", "TBCONDIVENDA", "TBITCONDIVENDA"}));
    EXPECT_EQ(ServerRows(kItCondiVenda), 3);
    // Marks cleared, one monitoring row per row sent.
    EXPECT_EQ(QueryRows(branch.Admin, QStringLiteral("SELECT COUNT(*) FROM TBCEMM")), QStringList({"0"}));
    EXPECT_EQ(QueryRows(branch.LogAdmin, QStringLiteral("SELECT CDCONTRATO, PKFILIAL, PKTABELA, PKTABELA2, NMTABELA, "
                                                        "DATA, ENVIADO FROM TBLOG ORDER BY NMTABELA, PKTABELA")),
              QStringList({"123|7|21|7|TBCONDIVENDA|2024-03-05|1", "123|7|31|7|TBITCONDIVENDA|2024-03-05|1",
                           "123|7|32|7|TBITCONDIVENDA|2024-03-05|1", "123|7|33|7|TBITCONDIVENDA|2024-03-05|1",
                           "123|7|12|7|TBITVENDA|2024-03-05|1", "123|7|13|7|TBITVENDA|2024-03-05|1",
                           "123|7|11|7|TBVENDA|2024-03-05|1"}));

    // Headquarters holds a stale item of the condition that the arriving
    // items replace.
    TMovMInstallation hq(TRole::Headquarters);
    hq.WriteConfig(quint16(m_server->Port()), Config(QStringLiteral("0"), 1000, /*monitoring=*/false));
    ExecSql(hq.Admin, QStringLiteral("INSERT INTO TBITCONDIVENDA (PKITCONDIVENDA, PKFILIAL, PKCONDIVENDA, PKFCONDIVENDA, "
                                     "CDCONTRATO) VALUES (99, 7, 21, 7, '123')"));
    const qint64 before = LastSeq();
    const TRunResult received = Run(hq);
    EXPECT_TRUE(received.Accepted);
    EXPECT_EQ(hq.LogSteps(), QStringList());
    EXPECT_EQ(Moved(received), order);
    EXPECT_EQ(Calls(QStringLiteral("Exclui_No_Servidor"), before),
              QStringList({"TBVENDA", "TBITVENDA", "TBCONDIVENDA", "TBITCONDIVENDA"}));
    ExpectSameRows(branch.Admin, hq.Admin, kVenda, 1);
    ExpectSameRows(branch.Admin, hq.Admin, kItVenda, 2);
    ExpectSameRows(branch.Admin, hq.Admin, kCondiVenda, 1);
    ExpectSameRows(branch.Admin, hq.Admin, kItCondiVenda, 3);
    // Monitoring off: the [LOG] database was never created, nor needed.
    EXPECT_FALSE(QFile::exists(hq.LogPath()));

    // Nothing is left to move either way.
    EXPECT_EQ(Moved(Run(branch)), QStringList());
    EXPECT_EQ(Moved(Run(hq)), QStringList());
    EXPECT_EQ(hq.LogSteps(), QStringList());
}

TEST_F(MovMEndToEnd, ThousandsOfMarkedRowsGoInPacketsOfAThousand)
{
    constexpr int kRows = 2500;
    TMovMInstallation branch(TRole::Branch);
    branch.WriteConfig(quint16(m_server->Port()), {QStringLiteral("1"), 1000, /*monitoring=*/false});
    const TTableDef def = MovimentoMTable(MovMEntry(kVenda), TMovimentoMShape::Sending);
    {
        TSQLDataSet insert(&branch.Admin);
        insert.SetCommandText(
            QStringLiteral("INSERT INTO TBVENDA (%1) VALUES (%2)").arg(ColumnList(def.Columns), ParamList(def.Columns)));
        TSQLDataSet mark(&branch.Admin);
        mark.SetCommandText(QStringLiteral("INSERT INTO TBCEMM (NMTABELA, PKTABELA, PKTABELA2) VALUES ('TBVENDA', :K, 7)"));
        for (int k = 1; k <= kRows; ++k) {
            for (int i = 0; i < def.Columns.size(); ++i)
                insert.Params()[i].Value = def.Columns[i].Name == QLatin1String("PKVENDA")    ? QVariant(k)
                                           : def.Columns[i].Name == QLatin1String("PKFILIAL") ? QVariant(kB)
                                                                                                : SampleValue(def.Columns[i], i, k);
            insert.ExecSQL();
            mark.Params()[0].Value = k;
            mark.ExecSQL();
        }
    }

    EXPECT_EQ(Moved(Run(branch)), QStringList({"TBVENDA 2500/3"}));
    EXPECT_EQ(branch.LogSteps(), QStringList());
    EXPECT_EQ(QueryRows(branch.Admin, QStringLiteral("SELECT COUNT(*) FROM TBCEMM")), QStringList({"0"}));
    EXPECT_EQ(ServerRows(kVenda), kRows);

    TMovMInstallation hq(TRole::Headquarters);
    hq.WriteConfig(quint16(m_server->Port()), {QStringLiteral("0"), 1000, /*monitoring=*/false});
    EXPECT_EQ(Moved(Run(hq)), QStringList({"TBVENDA 2500/3"}));
    EXPECT_EQ(hq.LogSteps(), QStringList());
    ExpectSameRows(branch.Admin, hq.Admin, kVenda, kRows);
    EXPECT_EQ(Moved(Run(hq)), QStringList());
}

TEST_F(MovMEndToEnd, RefusedBatchKeepsItsMarksAndConditionItemsStayGroupedAcrossBatches)
{
    TMovMInstallation branch(TRole::Branch);
    branch.CreateLogDatabase();
    branch.WriteConfig(quint16(m_server->Port()), {QStringLiteral("1"), 2, /*monitoring=*/true});
    // Condition 21 with three items, 22 with two: in batches of two, 21's
    // third item shares a batch with 22's first.
    for (int n : {1, 2, 3}) {
        InsertSample(branch.Admin, kItCondiVenda, 30 + n, {{"PKCONDIVENDA", 21}, {"PKFCONDIVENDA", kB}, {"NRPARCELA", n}});
        branch.Mark(kItCondiVenda, 30 + n);
    }
    for (int n : {1, 2}) {
        InsertSample(branch.Admin, kItCondiVenda, 40 + n, {{"PKCONDIVENDA", 22}, {"PKFCONDIVENDA", kB}, {"NRPARCELA", n}});
        branch.Mark(kItCondiVenda, 40 + n);
    }
    // The server refuses the second batch once: what went before is sent and
    // unmarked, the refused rows and those after them keep their marks.
    m_admin->SetFault({{"method", "Inseri_No_Servidor"}, {"table", kItCondiVenda}, {"kind", "false"}, {"at", 2}, {"once", true}});
    const TRunResult first = Run(branch);
    ASSERT_EQ(first.Tables.size(), 50);
    EXPECT_EQ(first.Tables[3].Outcome, TTableOutcome::Refused);
    EXPECT_EQ(branch.Marks(kItCondiVenda), QStringList({"33|7", "41|7", "42|7"}));
    EXPECT_EQ(QueryRows(branch.LogAdmin, QStringLiteral("SELECT PKTABELA FROM TBLOG ORDER BY PKTABELA")),
              QStringList({"31", "32"}));
    branch.ClearLog();
    EXPECT_EQ(Moved(Run(branch)), QStringList({"TBITCONDIVENDA 3/2"}));
    EXPECT_EQ(branch.Marks(kItCondiVenda), QStringList());
    EXPECT_EQ(branch.LogSteps(), QStringList());

    // Headquarters in batches of two, with stale items of both conditions:
    // each condition's items are cleared once, when its first item arrives,
    // and none that arrived is cleared by a later batch.
    TMovMInstallation hq(TRole::Headquarters);
    hq.WriteConfig(quint16(m_server->Port()), {QStringLiteral("0"), 2, /*monitoring=*/false});
    for (auto [k, cond] : {std::pair{98, 21}, std::pair{99, 22}})
        ExecSql(hq.Admin, QStringLiteral("INSERT INTO TBITCONDIVENDA (PKITCONDIVENDA, PKFILIAL, PKCONDIVENDA, "
                                         "PKFCONDIVENDA, CDCONTRATO) VALUES (%1, 7, %2, 7, '123')")
                              .arg(k)
                              .arg(cond));
    EXPECT_EQ(Moved(Run(hq)), QStringList({"TBITCONDIVENDA 5/3"}));
    EXPECT_EQ(hq.LogSteps(), QStringList());
    ExpectSameRows(branch.Admin, hq.Admin, kItCondiVenda, 5);
}

// The shop's own program keeps changing sales and marking them, each change
// its own transaction, while the branch sends: once it stops and the branch has
// sent everything, headquarters holds every sale's last value. The branch's
// database is on the Firebird server, shared with the writer's process.
TEST_F(MovMEndToEnd, NoChangeIsLostWhileAnotherProgramKeepsWriting)
{
    KELT_REQUIRE_FB_SERVER();
    qputenv("KELT_TEST_DATABASE_TIER", "server");
    constexpr int kSales = 4000;
    constexpr int kChanges = 3000;
    // One mark per change, then a mark rewritten in place.
    for (const QString& mark :
         {QStringLiteral("INSERT INTO TBCEMM (NMTABELA, PKTABELA, PKTABELA2) VALUES ('TBVENDA', %1, 7)"),
          QStringLiteral("UPDATE OR INSERT INTO TBCEMM (NMTABELA, PKTABELA, PKTABELA2) VALUES ('TBVENDA', %1, 7) "
                         "MATCHING (NMTABELA, PKTABELA, PKTABELA2)")}) {
        SCOPED_TRACE(mark.toStdString());
        TMovMInstallation branch(TRole::Branch);
        branch.WriteConfig(quint16(m_server->Port()), {QStringLiteral("1"), 100, /*monitoring=*/false});
        ExecSql(branch.Admin, QStringLiteral("INSERT INTO TBVENDA (PKVENDA, PKFILIAL, NRCUPOM) SELECT FIRST %1 "
                                             "ROW_NUMBER() OVER (), 7, 'v0' FROM RDB$FIELDS A CROSS JOIN RDB$FIELDS B")
                                  .arg(kSales));
        ExecSql(branch.Admin, QStringLiteral("INSERT INTO TBCEMM (NMTABELA, PKTABELA, PKTABELA2) SELECT 'TBVENDA', "
                                             "PKVENDA, 7 FROM TBVENDA"));
        branch.Admin.Close();

        // A change that meets the export's settling of the same row may fail
        // with an update conflict; it is then not made, which loses nothing.
        QList<QStringList> changes;
        for (int i = 1; i <= kChanges; ++i) {
            const int k = 1 + (i * 7919) % kSales;
            changes.append({QStringLiteral("UPDATE TBVENDA SET NRCUPOM = 'v%1' WHERE PKVENDA = %2").arg(i).arg(k),
                            mark.arg(k)});
        }
        TConcurrentWriter writer(branch.LocalDatabase(), changes);
        int runsDuringWrites = 0;
        while (writer.Running()) {
            Run(branch);
            ++runsDuringWrites;
        }
        QString output;
        EXPECT_LT(writer.Finish(&output), kChanges / 20) << output.left(2000).toStdString();
        EXPECT_GE(runsDuringWrites, 1);
        for (int run = 0; run < 10 && !branch.Marks(kVenda).isEmpty(); ++run)
            Run(branch);
        EXPECT_EQ(branch.Marks(kVenda), QStringList());

        TMovMInstallation hq(TRole::Headquarters);
        hq.WriteConfig(quint16(m_server->Port()), {QStringLiteral("0"), 1000, /*monitoring=*/false});
        for (int run = 0; run < 5 && !Moved(Run(hq)).isEmpty(); ++run) {
        }
        const QStringList branchRows = QueryRows(branch.Admin, QStringLiteral("SELECT PKVENDA, NRCUPOM FROM TBVENDA ORDER BY 1"));
        const QStringList hqRows = QueryRows(hq.Admin, QStringLiteral("SELECT PKVENDA, NRCUPOM FROM TBVENDA ORDER BY 1"));
        ASSERT_EQ(hqRows.size(), kSales);
        int lost = 0;
        for (int i = 0; i < kSales; ++i)
            lost += branchRows[i] != hqRows[i] ? 1 : 0;
        EXPECT_EQ(lost, 0) << "changes lost under a concurrent writer";
        branch.Admin.Close();
        hq.Admin.Close();
    }
}

// One row of each of the fifty tables, whatever its packet flags as key: the
// payment tables and the offline price log flag none, and are found by the
// table's key columns.
TEST_F(MovMEndToEnd, ARowOfEveryTableReachesHeadquarters)
{
    TMovMInstallation branch(TRole::Branch);
    branch.WriteConfig(quint16(m_server->Port()), {QStringLiteral("1"), 1000, /*monitoring=*/false});
    const auto catalogue = MovimentoMCatalogue();
    ASSERT_EQ(catalogue.size(), 50u);
    QStringList expected;
    int key = 100;
    for (const TMovimentoMEntry& e : catalogue) {
        const QString table = e.TableName();
        ++key;
        if (table == QLatin1String("TBQUANTIDADE")) {
            InsertSample(branch.Admin, table, key, {{"PKFPRODUTO", 3}});
            branch.Mark(table, key, 3, kB);
        } else {
            InsertSample(branch.Admin, table, key);
            branch.Mark(table, key);
        }
        expected << table + QStringLiteral(" 1/1");
    }

    EXPECT_EQ(Moved(Run(branch)), expected);
    EXPECT_EQ(branch.LogSteps(), QStringList());
    EXPECT_EQ(QueryRows(branch.Admin, QStringLiteral("SELECT COUNT(*) FROM TBCEMM")), QStringList({"0"}));

    TMovMInstallation hq(TRole::Headquarters);
    hq.WriteConfig(quint16(m_server->Port()), {QStringLiteral("0"), 1000, /*monitoring=*/false});
    EXPECT_EQ(Moved(Run(hq)), expected);
    EXPECT_EQ(hq.LogSteps(), QStringList());
    for (const TMovimentoMEntry& e : catalogue)
        ExpectSameRows(branch.Admin, hq.Admin, e.TableName(), 1);
    EXPECT_EQ(Moved(Run(hq)), QStringList());
}

// Without the company's TBEMPRESA row every row goes with a null contract
// code: the server keeps it, and the same sale sent again once the row is
// back replaces it, since the contract code does not tell rows apart.
TEST_F(MovMEndToEnd, RowsWithoutAContractCodeAreKeptAndReplacedBySaleKey)
{
    TMovMInstallation branch(TRole::Branch);
    branch.WriteConfig(quint16(m_server->Port()), {QStringLiteral("1"), 1000, /*monitoring=*/false});
    ExecSql(branch.Admin, QStringLiteral("DELETE FROM TBEMPRESA"));
    InsertSample(branch.Admin, kVenda, 11);
    branch.Mark(kVenda, 11);
    EXPECT_EQ(Moved(Run(branch)), QStringList({"TBVENDA 1/1"}));
    EXPECT_EQ(branch.LogSteps(), QStringList());
    EXPECT_EQ(branch.Marks(kVenda), QStringList());
    const auto contract = [&] {
        const TDataPacket held = TDataPacket::FromXml(
            m_admin->Call(QStringLiteral("Rows"), {QStringLiteral("movm"), kVenda}).toString().toUtf8());
        QStringList values;
        for (int r = 0; r < held.RowCount(); ++r)
            values << (held.Value(r, IndexOfField(held.Fields(), u"CDCONTRATO")).isNull()
                           ? QStringLiteral("<null>")
                           : held.Value(r, IndexOfField(held.Fields(), u"CDCONTRATO")).toString());
        return values;
    };
    EXPECT_EQ(contract(), QStringList({"<null>"}));

    ExecSql(branch.Admin, QStringLiteral("INSERT INTO TBEMPRESA (PKEMPRESA, CDCONTRATO) VALUES (1, '123')"));
    ExecSql(branch.Admin, QStringLiteral("UPDATE TBVENDA SET NRCUPOM = 'segunda' WHERE PKVENDA = 11"));
    branch.Mark(kVenda, 11);
    EXPECT_EQ(Moved(Run(branch)), QStringList({"TBVENDA 1/1"}));
    EXPECT_EQ(contract(), QStringList({"123"}));

    TMovMInstallation hq(TRole::Headquarters);
    hq.WriteConfig(quint16(m_server->Port()), {QStringLiteral("0"), 1000, /*monitoring=*/false});
    EXPECT_EQ(Moved(Run(hq)), QStringList({"TBVENDA 1/1"}));
    ExpectSameRows(branch.Admin, hq.Admin, kVenda, 1);
}
