#include "MovMFixture.h"
#include "MovMPeer.h"
#include "tests/support/TestClocks.h"

#include "platform/types/DataPacket.h"

namespace {

constexpr int kB = TMovMInstallation::kBranch;

const QString kVenda = QStringLiteral("TBVENDA");
const QString kSemProgresso = QStringLiteral("ImportaRegistros SemProgresso 002");

int CatalogueIndex(const QString& table)
{
    const auto entries = MovimentoMCatalogue();
    for (size_t i = 0; i < entries.size(); ++i)
        if (entries[i].TableName() == table)
            return int(i);
    throw std::runtime_error("no entry " + table.toStdString());
}

QList<int> RowsOf(const QList<TPeerCall>& calls, const QString& method, const QString& table)
{
    QList<int> rows;
    for (const TPeerCall& c : calls)
        if (c.Method == method && c.Table == table)
            rows << c.Rows;
    return rows;
}

QString ServerFailure(quint16 port)
{
    return QStringLiteral("Verificar log de erro no servidor. Servidor: 127.0.0.1 Porta: %1 Servico: "
                          "KeltMovMServer5.coKeltMovMServer5")
        .arg(port);
}

TDataPacket Packet(const TFieldDefs& fields, const QList<QVariantMap>& rows)
{
    TDataPacket p(fields);
    for (const QVariantMap& r : rows) {
        QList<QVariant> values;
        for (const TFieldDef& f : fields)
            values << r.value(f.Name);
        p.AppendRow(values);
    }
    return p;
}

class MovMChannel : public ::testing::Test
{
protected:
    void SetUp() override { SetClock(&m_clock); }
    void TearDown() override { SetClock(nullptr); }
    TTickingClock m_clock;
    TMovMPeer m_peer;
};

} // namespace

TEST_F(MovMChannel, SaleSentByTheBranchArrivesAtHeadquartersWithEveryColumnHeadersFirst)
{
    TMovMInstallation branch(TRole::Branch);
    branch.CreateLogDatabase();
    branch.WriteConfig(m_peer.Port(), {QStringLiteral("1"), 1000, /*monitoring=*/true});
    // Items written and marked before their headers: the catalogue's order decides.
    for (int n : {1, 2, 3}) {
        InsertSample(branch.Admin, QStringLiteral("TBITCONDIVENDA"), 30 + n,
                     {{"PKCONDIVENDA", 21}, {"PKFCONDIVENDA", kB}, {"NRPARCELA", n}});
        branch.Mark(QStringLiteral("TBITCONDIVENDA"), 30 + n);
    }
    InsertSample(branch.Admin, QStringLiteral("TBCONDIVENDA"), 21, {{"PKVENDA", 11}, {"PKFVENDA", kB}});
    branch.Mark(QStringLiteral("TBCONDIVENDA"), 21);
    for (int k : {12, 13}) {
        InsertSample(branch.Admin, QStringLiteral("TBITVENDA"), k, {{"PKVENDA", 11}, {"PKFVENDA", kB}});
        branch.Mark(QStringLiteral("TBITVENDA"), k);
    }
    InsertSample(branch.Admin, kVenda, 11);
    branch.Mark(kVenda, 11);

    branch.Run();
    EXPECT_EQ(branch.LogSteps(), QStringList());
    QStringList sent;
    for (const TPeerCall& c : m_peer.Calls())
        sent << c.Method + u' ' + c.Table + u' ' + QString::number(c.Rows);
    EXPECT_EQ(sent, QStringList({"Conecta_No_Banco  -1", "Inseri_No_Servidor TBVENDA 1", "Inseri_No_Servidor TBITVENDA 2",
                                 "Inseri_No_Servidor TBCONDIVENDA 1", "LimpaVariaveisItCondiVendaCompra  -1",
                                 "Inseri_No_Servidor TBITCONDIVENDA 3"}));
    EXPECT_EQ(QueryRows(branch.Admin, QStringLiteral("SELECT COUNT(*) FROM TBCEMM")), QStringList({"0"}));
    EXPECT_EQ(QueryRows(branch.LogAdmin, QStringLiteral("SELECT CDCONTRATO, PKFILIAL, PKTABELA, PKTABELA2, PKTABELA3, "
                                                        "NMTABELA, DATA, ENVIADO FROM TBLOG ORDER BY NMTABELA, PKTABELA")),
              QStringList({"123|7|21|7|0|TBCONDIVENDA|2024-03-05|1", "123|7|31|7|0|TBITCONDIVENDA|2024-03-05|1",
                           "123|7|32|7|0|TBITCONDIVENDA|2024-03-05|1", "123|7|33|7|0|TBITCONDIVENDA|2024-03-05|1",
                           "123|7|12|7|0|TBITVENDA|2024-03-05|1", "123|7|13|7|0|TBITVENDA|2024-03-05|1",
                           "123|7|11|7|0|TBVENDA|2024-03-05|1"}));
    const TRunResult& run = branch.MovMClient.LastRun();
    ASSERT_EQ(run.Tables.size(), 50);
    EXPECT_EQ(run.Tables[3].Table, QStringLiteral("TBITCONDIVENDA"));
    EXPECT_EQ(run.Tables[3].Outcome, TTableOutcome::Done);
    EXPECT_EQ(run.Tables[49].Outcome, TTableOutcome::NothingPending);
    EXPECT_EQ(branch.Label.Caption(), QStringLiteral("TBOSADICIONAIS"));
    EXPECT_EQ(branch.Bar.Positions.last(), 0);

    // Headquarters takes the four tables from the server in the order offered.
    TMovMInstallation hq(TRole::Headquarters);
    hq.CreateLogDatabase();
    hq.WriteConfig(m_peer.Port(), {QStringLiteral("0"), 1000, /*monitoring=*/true});
    for (const char* t : {"TBVENDA", "TBITVENDA", "TBCONDIVENDA", "TBITCONDIVENDA"})
        m_peer.Offer(MovimentoMCatalogue()[CatalogueIndex(QLatin1String(t))].ProviderName, QLatin1String(t));
    m_peer.ClearCalls();
    hq.Run();
    EXPECT_EQ(hq.LogSteps(), QStringList());
    ExpectSameRows(branch.Admin, hq.Admin, kVenda, 1);
    ExpectSameRows(branch.Admin, hq.Admin, QStringLiteral("TBITVENDA"), 2);
    ExpectSameRows(branch.Admin, hq.Admin, QStringLiteral("TBCONDIVENDA"), 1);
    ExpectSameRows(branch.Admin, hq.Admin, QStringLiteral("TBITCONDIVENDA"), 3);
    for (const char* t : {"TBVENDA", "TBITVENDA", "TBCONDIVENDA", "TBITCONDIVENDA"})
        EXPECT_EQ(m_peer.Stored(QLatin1String(t)).RowCount(), 0) << t;
    EXPECT_EQ(QueryRows(hq.LogAdmin, QStringLiteral("SELECT COUNT(*), MIN(CDCONTRATO), MAX(PKTABELA3) FROM TBLOG")),
              QStringList({"7|123|0"}));
    // The provider's parameters carried this installation's identity.
    const QJsonArray params = m_peer.LastParams();
    ASSERT_EQ(params.size(), 3);
    EXPECT_EQ(params[0].toObject().value("value").toString(), QStringLiteral("123"));
    EXPECT_EQ(params[1].toObject().value("value").toInt(), kB);
    EXPECT_EQ(params[2].toObject().value("value").toString(), QStringLiteral("VIVO_BA"));
}

TEST_F(MovMChannel, CountAndMarkCleanUpFollowTheKeyColumnsOfTheTable)
{
    TMovMInstallation branch(TRole::Branch);
    branch.WriteConfig(m_peer.Port());
    SetProgramFolderOverride(branch.Folder());
    TKeltMovMClient& c = branch.MovMClient;
    c.SetLocalConnection(&branch.SqlCAgente);
    c.SetExecDataSet(&branch.SqlExecuta);
    c.SetGenericDataSet(&branch.CdsGenerico);
    c.SetTableLabel(&branch.Label);
    c.ReadConfiguration();
    SetProgramFolderOverride({});

    for (int k : {1, 2, 3})
        ExecSql(branch.Admin, QStringLiteral("INSERT INTO TBVENDA (PKVENDA, PKFILIAL) VALUES (:K, 7)"), {k});
    for (int k : {1, 1, 2, 99}) // 1 marked twice; 99 has no row
        branch.Mark(kVenda, k);
    branch.Mark(kVenda, 3, kB + 1); // another branch's key

    EXPECT_EQ(c.ContaRegistrosPendentes(kVenda, "123", "VIVO_BA", kB, 1), 3);
    EXPECT_EQ(branch.SqlExecuta.CommandText(),
              QStringLiteral("SELECT COUNT(*) FROM TBVENDA TAB INNER JOIN TBCEMM CEC ON (    TAB.PKVENDA = CEC.PKTABELA  "
                             "AND TAB.PKFILIAL = CEC.PKTABELA2 ) WHERE CEC.NMTABELA =  'TBVENDA'"));

    // The batch as the export reads it: row 1 twice. One delete takes both marks.
    TClientDataSet& cds = branch.CdsTabela;
    cds.SetRemoteServer(&branch.FDM_MovimentoM.LcAgente());
    cds.SetProviderName(QStringLiteral("DspVenda"));
    cds.FetchParams();
    cds.Open();
    ASSERT_EQ(cds.RecordCount(), 3);
    EXPECT_TRUE(c.BaixaRegistrosEnviados(kVenda, cds.XMLData(), "VIVO_BA", kB, 1, "123"));
    EXPECT_EQ(branch.SqlExecuta.CommandText(),
              QStringLiteral("DELETE FROM TBCEMM WHERE PKTABELA = :PPKTABELA  AND PKTABELA2 = :PPKTABELA2 AND NMTABELA "
                             "= :PNMTABELA"));
    EXPECT_EQ(branch.Marks(kVenda), QStringList({"3|8", "99|7"}));
    EXPECT_EQ(c.ContaRegistrosPendentes(kVenda, "123", "VIVO_BA", kB, 1), 0);

    // Stock rows are marked by product, branch product and branch.
    for (int filial : {kB, kB + 1}) {
        ExecSql(branch.Admin, QStringLiteral("INSERT INTO TBQUANTIDADE (PKPRODUTO, PKFPRODUTO, PKFILIAL) VALUES (5, 1, :F)"),
                {filial});
        branch.Mark(QStringLiteral("TBQUANTIDADE"), 5, 1, filial);
    }
    EXPECT_EQ(c.ContaRegistrosPendentes(QStringLiteral("TBQUANTIDADE"), "123", "VIVO_BA", kB, 1), 2);
    cds.Close();
    cds.SetProviderName(QStringLiteral("DspQuantidade"));
    cds.SetPacketRecords(1);
    cds.Open();
    EXPECT_TRUE(c.BaixaRegistrosEnviados(QStringLiteral("TBQUANTIDADE"), cds.XMLData(), "VIVO_BA", kB, 1, "123"));
    EXPECT_TRUE(branch.SqlExecuta.CommandText().endsWith(
        QStringLiteral(" AND PKTABELA2 = :PPKTABELA2 AND PKTABELA3 = :PPKTABELA3 AND NMTABELA = :PNMTABELA")));
    EXPECT_EQ(QueryRows(branch.Admin, QStringLiteral("SELECT PKTABELA3 FROM TBCEMM WHERE NMTABELA = 'TBQUANTIDADE'")),
              QStringList({QString::number(kB + 1)}));

    // A failed count is -1 and logs the statement after the error; a name that
    // is not a plain identifier never reaches the database.
    EXPECT_EQ(c.ContaRegistrosPendentes(QStringLiteral("TBNADA"), "123", "VIVO_BA", kB, 1), -1);
    EXPECT_EQ(c.ContaRegistrosPendentes(QStringLiteral("TBVENDA TAB; DELETE FROM TBCEMM --"), "123", "VIVO_BA", kB, 1),
              -1);
    const QList<TLogEntry> log = branch.Log();
    ASSERT_EQ(log.size(), 2);
    EXPECT_EQ(log[0].Step, QStringLiteral("NrRegistros_AImportar"));
    EXPECT_TRUE(log[0].Message.endsWith(QStringLiteral("\r\nSELECT COUNT(*) FROM TBNADA TAB INNER JOIN TBCEMM CEC ON (    "
                                                       "TAB.PKNADA = CEC.PKTABELA  AND TAB.PKFILIAL = CEC.PKTABELA2 ) "
                                                       "WHERE CEC.NMTABELA =  'TBNADA'")))
        << log[0].Message.toStdString();
    EXPECT_TRUE(log[1].Message.contains(QStringLiteral("DELETE FROM TBCEMM --"))) << log[1].Message.toStdString();
    EXPECT_EQ(QueryRows(branch.Admin, QStringLiteral("SELECT COUNT(*) FROM TBCEMM")), QStringList({"3"}));
}

TEST_F(MovMChannel, MarkedRowsGoInPacketsAndOnlyMarksOfAcceptedRowsAreRemoved)
{
    TMovMInstallation branch(TRole::Branch);
    ExecSql(branch.Admin, QStringLiteral("INSERT INTO TBVENDA (PKVENDA, PKFILIAL) SELECT FIRST 2500 ROW_NUMBER() OVER (), "
                                         "7 FROM RDB$FIELDS A CROSS JOIN RDB$FIELDS B"));
    const auto markFirst = [&](int n) {
        ExecSql(branch.Admin, QStringLiteral("INSERT INTO TBCEMM (NMTABELA, PKTABELA, PKTABELA2) SELECT 'TBVENDA', "
                                             "PKVENDA, PKFILIAL FROM TBVENDA WHERE PKVENDA <= :N"),
                {n});
    };
    markFirst(2500);
    branch.WriteConfig(m_peer.Port());
    branch.Run();
    EXPECT_EQ(branch.LogSteps(), QStringList());
    EXPECT_FALSE(branch.LogTouched); // monitoring off: [LOG] names no database at all
    EXPECT_EQ(RowsOf(m_peer.Calls(), "Inseri_No_Servidor", kVenda), QList<int>({1000, 1000, 500}));
    EXPECT_EQ(m_peer.Stored(kVenda).RowCount(), 2500);
    EXPECT_TRUE(branch.Marks(kVenda).isEmpty());
    EXPECT_EQ(branch.Bar.Max(), 2500);
    EXPECT_TRUE(branch.Bar.Positions.contains(2000));
    EXPECT_EQ(branch.Bar.Positions.last(), 0);

    // -1: every marked row in one packet; 0: nothing is ever sent.
    markFirst(30);
    branch.WriteConfig(m_peer.Port(), {QStringLiteral("1"), -1});
    m_peer.ClearCalls();
    branch.Run();
    EXPECT_EQ(RowsOf(m_peer.Calls(), "Inseri_No_Servidor", kVenda), QList<int>({30}));
    markFirst(30);
    branch.WriteConfig(m_peer.Port(), {QStringLiteral("1"), 0});
    m_peer.ClearCalls();
    branch.Run();
    EXPECT_EQ(RowsOf(m_peer.Calls(), "Inseri_No_Servidor", kVenda), QList<int>());
    EXPECT_EQ(branch.Marks(kVenda).size(), 30);
    EXPECT_EQ(branch.MovMClient.LastRun().Tables[0].Outcome, TTableOutcome::Done);

    // A refused batch keeps every mark; the next run sends the same rows. A row
    // marked twice goes twice and loses both marks; a mark without its row stays.
    ExecSql(branch.Admin, QStringLiteral("DELETE FROM TBCEMM"));
    for (int k : {2, 1, 1, 9999})
        branch.Mark(kVenda, k);
    branch.WriteConfig(m_peer.Port());
    m_peer.Locked([&] { m_peer.RefuseInserts = 1; });
    m_peer.ClearCalls();
    branch.Run();
    EXPECT_EQ(RowsOf(m_peer.Calls(), "Inseri_No_Servidor", kVenda), QList<int>({3}));
    EXPECT_EQ(branch.Marks(kVenda), QStringList({"1|7", "1|7", "2|7", "9999|7"}));
    ASSERT_EQ(branch.Log().size(), 1);
    EXPECT_EQ(branch.Log()[0].Step, QStringLiteral("Inserir_No_Servidor"));
    EXPECT_EQ(branch.Log()[0].Table, kVenda);
    EXPECT_EQ(branch.Log()[0].Message, ServerFailure(m_peer.Port()));
    EXPECT_EQ(branch.MovMClient.LastError(), ServerFailure(m_peer.Port()));

    m_peer.ClearCalls();
    branch.Run();
    EXPECT_EQ(RowsOf(m_peer.Calls(), "Inseri_No_Servidor", kVenda), QList<int>({3}));
    EXPECT_EQ(branch.MovMClient.LastRun().Tables[0].Pending, 3);
    EXPECT_EQ(branch.Marks(kVenda), QStringList({"9999|7"}));
    EXPECT_EQ(branch.Log().size(), 1);
}

// Another program commits while a batch is at the server. A mark added for a
// row of the batch stays; a row changed (and marked again) keeps the whole
// batch's marks until a batch carries the change.
TEST_F(MovMChannel, ChangesCommittedWhileABatchIsAtTheServerAreSentAgain)
{
    TMovMInstallation branch(TRole::Branch);
    for (int k : {1, 2, 3}) {
        ExecSql(branch.Admin, QStringLiteral("INSERT INTO TBVENDA (PKVENDA, PKFILIAL, NRCUPOM) VALUES (:K, 7, 'v1')"), {k});
        branch.Mark(kVenda, k);
    }
    branch.WriteConfig(m_peer.Port());
    TSQLConnection writer;
    writer.Params() = branch.Admin.Params();
    const auto commitWhileAtServer = [&](const QStringList& changes) {
        m_peer.Locked([&] {
            m_peer.OnInsert = [&writer, changes] {
                for (const QString& sql : changes)
                    ExecSql(writer, sql);
            };
        });
    };
    const auto cupom = [&](int k) {
        const TDataPacket stored = m_peer.Stored(kVenda);
        for (int r = 0; r < stored.RowCount(); ++r)
            if (stored.Value(r, 0).toInt() == k)
                return stored.Value(r, IndexOfField(stored.Fields(), u"NRCUPOM")).toString();
        return QString();
    };

    commitWhileAtServer({QStringLiteral("INSERT INTO TBCEMM (NMTABELA, PKTABELA, PKTABELA2) VALUES ('TBVENDA', 2, 7)")});
    branch.Run();
    EXPECT_EQ(branch.Marks(kVenda), QStringList({"2|7"}));
    // The row itself is as it went: not again in this run.
    EXPECT_EQ(RowsOf(m_peer.Calls(), "Inseri_No_Servidor", kVenda), QList<int>({3}));
    EXPECT_EQ(branch.LogSteps(), QStringList({kSemProgresso + "@TBVENDA"}));
    branch.ClearLog();

    for (int k : {1, 3})
        branch.Mark(kVenda, k);
    commitWhileAtServer({QStringLiteral("UPDATE TBVENDA SET NRCUPOM = 'v2' WHERE PKVENDA = 1"),
                         QStringLiteral("INSERT INTO TBCEMM (NMTABELA, PKTABELA, PKTABELA2) VALUES ('TBVENDA', 1, 7)")});
    m_peer.ClearCalls();
    branch.Run();
    EXPECT_EQ(branch.MovMClient.LastRun().Tables[0].Outcome, TTableOutcome::SettleFailed);
    EXPECT_EQ(branch.Marks(kVenda), QStringList({"1|7", "1|7", "2|7", "3|7"}));
    ASSERT_EQ(branch.Log().size(), 1);
    EXPECT_EQ(branch.Log()[0].Step, QStringLiteral("Exclui_No_Servidor"));
    EXPECT_TRUE(branch.Log()[0].Message.contains(QStringLiteral("update conflicts with concurrent update")));
    EXPECT_EQ(cupom(1), QStringLiteral("v1"));

    branch.ClearLog();
    m_peer.ClearCalls();
    m_peer.Put(kVenda, TDataPacket()); // the peer keeps the first copy of a key
    branch.Run();
    EXPECT_EQ(RowsOf(m_peer.Calls(), "Inseri_No_Servidor", kVenda), QList<int>({4}));
    EXPECT_TRUE(branch.Marks(kVenda).isEmpty());
    EXPECT_EQ(cupom(1), QStringLiteral("v2"));
    EXPECT_EQ(branch.LogSteps(), QStringList());
    writer.Close();
}

TEST_F(MovMChannel, ContractCodeThatIsNoNumberStopsTheTableAfterItsMarksAreGone)
{
    TMovMInstallation branch(TRole::Branch);
    branch.CreateLogDatabase();
    for (int k : {1, 2, 3}) {
        InsertSample(branch.Admin, kVenda, k);
        branch.Mark(kVenda, k);
    }
    branch.WriteConfig(m_peer.Port(), {QStringLiteral("1"), 1, /*monitoring=*/true, QStringLiteral("12A")});
    branch.Run();
    EXPECT_EQ(RowsOf(m_peer.Calls(), "Inseri_No_Servidor", kVenda), QList<int>({1}));
    EXPECT_EQ(branch.Marks(kVenda), QStringList({"2|7", "3|7"}));
    EXPECT_EQ(QueryRows(branch.LogAdmin, QStringLiteral("SELECT COUNT(*) FROM TBLOG")), QStringList({"0"}));
    const QList<TLogEntry> log = branch.Log();
    ASSERT_EQ(log.size(), 1);
    EXPECT_EQ(log[0].Step, QStringLiteral("Seta_Log_Como_Enviado"));
    EXPECT_EQ(log[0].CdContrato, QStringLiteral("12A"));
    EXPECT_EQ(log[0].Message, QStringLiteral("'12A' is not a valid integer value\r\n"
                                             "INSERT INTO TBLOG (CDCONTRATO, PKFILIAL, PKTABELA, PKTABELA2, PKTABELA3, "
                                             "NMTABELA, DATA, HORA, ENVIADO) VALUES (:CDCONTRATO, :PKFILIAL, :PKTABELA, "
                                             ":PKTABELA2, :PKTABELA3, :NMTABELA, :DATA, :HORA, :ENVIADO)"));
    EXPECT_EQ(branch.MovMClient.LastRun().Tables[0].Outcome, TTableOutcome::MonitorFailed);
}

TEST_F(MovMChannel, MarksTheCleanUpCannotRemoveEndTheTableUntilTheNextRun)
{
    // A branch database whose marks hold the branch key as text: "07" joins
    // branch 7, but the clean-up, comparing text, never finds it.
    TTableDefs tables = SendingBranchTables() << TbEmpresaTable();
    for (TTableDef& t : tables)
        if (t.Name == QLatin1String("TBCEMM"))
            t.Columns = ParseFieldList(u"NMTABELA str 31 R; PKTABELA int R; PKTABELA2 str 10; PKTABELA3 int");
    TMovMInstallation branch(TRole::Branch, tables);
    for (int k : {5, 6})
        ExecSql(branch.Admin, QStringLiteral("INSERT INTO TBVENDA (PKVENDA, PKFILIAL) VALUES (:K, 7)"), {k});
    branch.Mark(kVenda, 5, QStringLiteral("07"));
    branch.Mark(kVenda, 6, QStringLiteral("7"));
    ExecSql(branch.Admin, QStringLiteral("INSERT INTO TBITVENDA (PKITVENDA, PKFILIAL) VALUES (8, 7)"));
    branch.Mark(QStringLiteral("TBITVENDA"), 8, QStringLiteral("07"));
    branch.WriteConfig(m_peer.Port());

    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        m_peer.ClearCalls();
        branch.ClearLog();
        branch.Run();
        // Row 6 loses its mark; rows 5 and 8 come back with nothing new and are
        // not sent again in this run, only in the next.
        EXPECT_EQ(RowsOf(m_peer.Calls(), "Inseri_No_Servidor", kVenda), run == 0 ? QList<int>{2} : QList<int>{1});
        EXPECT_EQ(RowsOf(m_peer.Calls(), "Inseri_No_Servidor", "TBITVENDA"), QList<int>({1}));
        EXPECT_EQ(branch.LogSteps(), QStringList({kSemProgresso + "@TBVENDA", kSemProgresso + "@TBITVENDA"}));
        EXPECT_EQ(branch.Marks(kVenda), QStringList({"5|07"}));
        EXPECT_EQ(branch.Marks("TBITVENDA"), QStringList({"8|07"}));
        EXPECT_EQ(branch.MovMClient.LastRun().Tables[0].Outcome, TTableOutcome::NoProgress);
        EXPECT_EQ(branch.MovMClient.LastRun().Tables[1].Outcome, TTableOutcome::NoProgress);
    }
}

TEST_F(MovMChannel, HeadquartersReplacesConditionItemsHeaderByHeader)
{
    TMovMInstallation hq(TRole::Headquarters);
    const TFieldDefs venda = hq.FDM_MovimentoM.Module().Fields(CatalogueIndex("TBITCONDIVENDA"));
    const TFieldDefs compra = hq.FDM_MovimentoM.Module().Fields(CatalogueIndex("TBITCONDICOMPRA"));
    const auto item = [](const char* header, int key, int pkCond) {
        return QVariantMap{{QStringLiteral("PKIT") + QLatin1String(header), key},
                           {"PKFILIAL", kB},
                           {QStringLiteral("PK") + QLatin1String(header), pkCond},
                           {QStringLiteral("PKF") + QLatin1String(header), kB},
                           {"NRPARCELA", key % 10},
                           {"CDCONTRATO", "123"}};
    };
    // Sale conditions A=1 (3 items) and B=2 (2) in the first batch of five, B
    // continuing with C=3 in the second. Purchase conditions 3, 4, 3 in one
    // batch: the first header equals the last of the sale table.
    m_peer.Put("TBITCONDIVENDA", Packet(venda, {item("CONDIVENDA", 101, 1), item("CONDIVENDA", 102, 1),
                                                item("CONDIVENDA", 103, 1), item("CONDIVENDA", 201, 2),
                                                item("CONDIVENDA", 202, 2), item("CONDIVENDA", 203, 2),
                                                item("CONDIVENDA", 301, 3)}));
    m_peer.Put("TBITCONDICOMPRA", Packet(compra, {item("CONDICOMPRA", 31, 3), item("CONDICOMPRA", 41, 4),
                                                  item("CONDICOMPRA", 32, 3)}));
    m_peer.Offer("DspItCondiVenda", "TBITCONDIVENDA");
    m_peer.Offer("DspItCondiCompra", "TBITCONDICOMPRA");
    // Items headquarters already holds: replaced for every header that comes,
    // kept for header 4 of the sales.
    for (auto [key, header] : {std::pair{109, 1}, {209, 2}, {309, 3}, {409, 4}})
        ExecSql(hq.Admin,
                QStringLiteral("INSERT INTO TBITCONDIVENDA (PKITCONDIVENDA, PKFILIAL, PKCONDIVENDA, PKFCONDIVENDA, "
                               "CDCONTRATO) VALUES (:K, 7, :H, 7, '123')"),
                {key, header});
    for (auto [key, header] : {std::pair{39, 3}, {49, 4}})
        ExecSql(hq.Admin,
                QStringLiteral("INSERT INTO TBITCONDICOMPRA (PKITCONDICOMPRA, PKFILIAL, PKCONDICOMPRA, PKFCONDICOMPRA, "
                               "CDCONTRATO) VALUES (:K, 7, :H, 7, '123')"),
                {key, header});
    hq.WriteConfig(m_peer.Port(), {QStringLiteral("0"), 5});
    hq.Run();

    EXPECT_EQ(hq.LogSteps(), QStringList());
    EXPECT_EQ(QueryRows(hq.Admin, "SELECT PKITCONDIVENDA FROM TBITCONDIVENDA ORDER BY 1"),
              QStringList({"101", "102", "103", "201", "202", "203", "301", "409"}));
    EXPECT_EQ(QueryRows(hq.Admin, "SELECT PKITCONDICOMPRA FROM TBITCONDICOMPRA ORDER BY 1"),
              QStringList({"31", "32", "41"}));
    EXPECT_EQ(RowsOf(m_peer.Calls(), "Exclui_No_Servidor", "TBITCONDIVENDA"), QList<int>({5, 2}));
    EXPECT_EQ(hq.MovMClient.UltimoPkCond(), 3);
    EXPECT_EQ(hq.MovMClient.UltimoPkFCond(), kB);

    // Named in lower case the table gets no clean-up: a stale item of a header
    // that comes stays.
    ExecSql(hq.Admin, QStringLiteral("INSERT INTO TBITCONDIVENDA (PKITCONDIVENDA, PKFILIAL, PKCONDIVENDA, PKFCONDIVENDA, "
                                     "CDCONTRATO) VALUES (509, 7, 5, 7, '123')"));
    m_peer.Put("tbitcondivenda", Packet(venda, {item("CONDIVENDA", 501, 5)}));
    m_peer.Offer("DspItCondiVendaMinusculas", "tbitcondivenda");
    hq.Run();
    EXPECT_EQ(hq.LogSteps(), QStringList());
    EXPECT_EQ(QueryRows(hq.Admin, "SELECT PKITCONDIVENDA FROM TBITCONDIVENDA WHERE PKCONDIVENDA = 5 ORDER BY 1"),
              QStringList({"501", "509"}));

    // A clean-up that fails stops the table before any row of the batch is written.
    ExecSql(hq.Admin, "DELETE FROM TBITCONDICOMPRA");
    m_peer.Put("TBITCONDICOMPRA", Packet(compra, {item("CONDICOMPRA", 51, 5)}));
    hq.SqlCAgente.Close();
    ExecSql(hq.Admin, "ALTER TABLE TBITCONDICOMPRA ALTER COLUMN PKFCONDICOMPRA TO PKFCONDICOMPRA_X");
    hq.ClearLog();
    hq.Run();
    EXPECT_EQ(hq.LogSteps(), QStringList({"LimpaTbItCondiVendaCompra@TBITCONDICOMPRA",
                                          "LimpaTbItCondiVendaCompra@TBITCONDICOMPRA"}));
    EXPECT_EQ(hq.Log()[0].PkFilial, "0"); // the first entry carries no identity
    EXPECT_EQ(hq.Log()[1].Message, ServerFailure(m_peer.Port()));
    EXPECT_EQ(QueryRows(hq.Admin, "SELECT COUNT(*) FROM TBITCONDICOMPRA"), QStringList({"0"}));
    EXPECT_EQ(m_peer.Stored("TBITCONDICOMPRA").RowCount(), 1);
}

TEST_F(MovMChannel, HeadquartersUpdatesRowsOfferedAgainAndStopsOnAServerRepeatingItself)
{
    TMovMInstallation hq(TRole::Headquarters);
    const TFieldDefs fields = hq.FDM_MovimentoM.Module().Fields(0);
    const auto sale = [&](int key, int total) {
        return QVariantMap{{"PKVENDA", key},
                           {"PKFILIAL", kB},
                           {"CDCONTRATO", "123"},
                           {"TOTALVENDA", QVariant::fromValue(Decimal(total, 3))}};
    };
    m_peer.Put(kVenda, Packet(fields, {sale(1, 1000), sale(2, 2000)}));
    m_peer.Offer("DspVenda", kVenda);
    // The identity the server writes back serves the rest of the run.
    m_peer.Locked([&] {
        m_peer.RefuseAcks = 1;
        m_peer.RewriteUF = QStringLiteral("VIVO_XX");
    });
    hq.WriteConfig(m_peer.Port());
    hq.Run();
    EXPECT_EQ(hq.LogSteps(), QStringList({"Excluir_Servidor@TBVENDA"}));
    EXPECT_EQ(hq.Log()[0].Message, ServerFailure(m_peer.Port()));
    EXPECT_EQ(hq.Log()[0].UF, QStringLiteral("VIVO_XX"));
    EXPECT_EQ(m_peer.LastParams()[2].toObject().value("value").toString(), QStringLiteral("VIVO_XX"));
    m_peer.Locked([&] { m_peer.RewriteUF.clear(); });

    // Offered again, changed: updated in place, then acknowledged.
    m_peer.Put(kVenda, Packet(fields, {sale(1, 1500), sale(2, 2000)}));
    hq.ClearLog();
    hq.Run();
    EXPECT_EQ(hq.LogSteps(), QStringList());
    EXPECT_EQ(QueryRows(hq.Admin, "SELECT PKVENDA, TOTALVENDA FROM TBVENDA ORDER BY 1"),
              QStringList({"1|1.500", "2|2.000"}));
    EXPECT_EQ(m_peer.Stored(kVenda).RowCount(), 0);

    // A server that keeps offering what it was told to drop is not read forever.
    m_peer.Put(kVenda, Packet(fields, {sale(3, 3000)}));
    m_peer.Locked([&] { m_peer.IgnoreAcks = true; });
    m_peer.ClearCalls();
    hq.Run();
    EXPECT_EQ(RowsOf(m_peer.Calls(), "AS_GetRecords", "DspVenda"), QList<int>({1, 1}));
    EXPECT_EQ(RowsOf(m_peer.Calls(), "Exclui_No_Servidor", kVenda), QList<int>({1}));
    EXPECT_EQ(hq.LogSteps(), QStringList({"ImportaRegistrosRemoto SemProgresso@TBVENDA"}));

    // Counts: -1 is a server failure, -2 nothing; an empty first batch is never
    // acknowledged; a field the local table lacks fails before anything is.
    m_peer.Locked([&] {
        m_peer.IgnoreAcks = false;
        m_peer.CountOverride[kVenda] = -1;
    });
    hq.ClearLog();
    hq.Run();
    EXPECT_EQ(hq.LogSteps(), QStringList({"ListaProvidersRemoto@TBVENDA"}));
    m_peer.Locked([&] { m_peer.CountOverride[kVenda] = -2; });
    hq.ClearLog();
    m_peer.ClearCalls();
    hq.Run();
    m_peer.Put(kVenda, Packet(fields, {}));
    m_peer.Locked([&] { m_peer.CountOverride[kVenda] = 4; });
    hq.Run();
    TFieldDefs extra = fields;
    extra.append(ParseFieldList(u"NOVACOLUNA int"));
    m_peer.Put(kVenda, Packet(extra, {sale(4, 4000)}));
    hq.Run();
    EXPECT_EQ(m_peer.Methods().filter("Exclui_No_Servidor"), QStringList());
    EXPECT_EQ(hq.LogSteps(), QStringList({"ImportaRegistrosRemoto@TBVENDA"}));
    EXPECT_TRUE(hq.Log()[0].Message.contains("NOVACOLUNA")) << hq.Log()[0].Message.toStdString();

    // A table name no statement or file name may take: a clear entry, nothing acknowledged.
    m_peer.Locked([&] { m_peer.CountOverride.clear(); });
    m_peer.Put(kVenda, Packet(fields, {}));
    m_peer.Offer("DspX", "../TBVENDA");
    m_peer.Put("../TBVENDA", Packet(fields, {sale(5, 5000)}));
    hq.ClearLog();
    m_peer.ClearCalls();
    hq.Run();
    EXPECT_EQ(hq.LogSteps(), QStringList({"ImportaRegistrosRemoto@"}));
    EXPECT_TRUE(hq.Log()[0].Message.contains("'../TBVENDA'")) << hq.Log()[0].Message.toStdString();
    EXPECT_EQ(m_peer.Methods().filter("Exclui_No_Servidor"), QStringList());
    EXPECT_EQ(QueryRows(hq.Admin, "SELECT COUNT(*) FROM TBVENDA"), QStringList({"3"})); // 1, 2 and 3 from before
}

TEST_F(MovMChannel, BranchTypeAndServerAnswersDecideHowARunEnds)
{
    TMovMInstallation branch(TRole::Branch);
    const auto run = [&](const TMovMInstallation::TConfig& config) {
        branch.WriteConfig(m_peer.Port(), config);
        branch.ClearLog();
        m_peer.ClearCalls();
        branch.Run();
    };

    // No TPFILIAL: -1, checked only after the server accepted the connection.
    // The entry carries the label's initial text, as in the other channels.
    branch.Label.SetCaption(QStringLiteral("..."));
    run({});
    EXPECT_EQ(m_peer.Methods(), QStringList({"Conecta_No_Banco"}));
    ASSERT_EQ(branch.Log().size(), 1);
    EXPECT_EQ(branch.Log()[0].Step, QStringLiteral("InicialReplicacaoMovimentoM"));
    EXPECT_EQ(branch.Log()[0].Table, QStringLiteral("..."));
    EXPECT_EQ(branch.Log()[0].Message, QStringLiteral("Tipo de Filial Inválido. Verifique no Arquivo Config.ini na "
                                                      "Chave [FILIAL] o Parametro TPFILIAL."));
    EXPECT_TRUE(branch.MovMClient.LastRun().Tables.isEmpty());

    // A branch with nothing marked visits every table and calls the server only to connect.
    run({QStringLiteral("1")});
    EXPECT_EQ(m_peer.Methods(), QStringList({"Conecta_No_Banco"}));
    EXPECT_EQ(branch.MovMClient.LastRun().Tables.size(), 50);
    EXPECT_EQ(branch.LogSteps(), QStringList());

    // Refused: the identity the server wrote back stands in the entry.
    m_peer.Locked([&] {
        m_peer.ConnectAnswer = false;
        m_peer.RewriteUF = QStringLiteral("VIVO_XX");
    });
    run({QStringLiteral("1")});
    EXPECT_EQ(branch.LogSteps(), QStringList({"InicialReplicacaoMovimentoM@TBOSADICIONAIS"}));
    EXPECT_EQ(branch.Log()[0].UF, QStringLiteral("VIVO_XX"));
    EXPECT_EQ(branch.Log()[0].Message, ServerFailure(m_peer.Port()));
    m_peer.Locked([&] {
        m_peer.ConnectAnswer = true;
        m_peer.RewriteUF.clear();
    });

    // Headquarters and a server listing no providers.
    run({QStringLiteral("0")});
    EXPECT_EQ(m_peer.Methods(), QStringList({"Conecta_No_Banco", "Get_ProvidersCount"}));
    EXPECT_EQ(branch.LogSteps(), QStringList());

    // Monitoring on with no log database: the run ends before the server is asked anything.
    run({QStringLiteral("1"), 1000, /*monitoring=*/true});
    EXPECT_EQ(m_peer.Methods(), QStringList());
    EXPECT_EQ(branch.LogSteps(), QStringList({"InicialReplicacaoMovimentoM@TBOSADICIONAIS"}));
    EXPECT_FALSE(branch.CbAgente.Connected());
}
