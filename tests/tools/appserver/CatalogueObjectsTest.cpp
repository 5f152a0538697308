// The master-data and transaction objects of the stand-in server over the wire
// protocol: headquarters sends master data for its branches, branches send
// transactions for headquarters.
#include "tests/tools/appserver/AppServerTestSupport.h"

#include "platform/types/Decimal.h"

#include <QProcess>

namespace {

using namespace appserver_test;

const char* const kCadM = TStandInServer::CadMServerName;
const char* const kMovM = TStandInServer::MovMServerName;

// Master-data rows as headquarters sends them: {key, destination branch}.
TDataPacket MasterAliquotas(const QList<QPair<int, int>>& rows, const QString& name = "Aliquota")
{
    QList<QList<QVariant>> values;
    for (const auto& [key, destination] : rows)
        values.append({key, 1, QStringLiteral("%1 %2").arg(name).arg(key), "C1", destination});
    return Packet("PKALIQUOTA int K; PKFILIAL int K; NMALIQUOTA str 60; CDCONTRATO str 20 K; PKFILIALDESTINO int K",
                  values);
}

// Sales as a branch sends them: {PKVENDA, PKFILIAL}.
TDataPacket Vendas(const QList<QPair<int, int>>& rows, const QString& value = "10.00")
{
    QList<QList<QVariant>> values;
    for (const auto& [key, filial] : rows)
        values.append({key, filial, value, "C1"});
    return Packet("PKVENDA int K R; PKFILIAL int K R; VLVENDA dec 15.2; CDCONTRATO str 20 K R", values);
}

TDataPacket PacketOf(const QJsonObject& result)
{
    return TDataPacket::FromXml(result["value"].toString().toUtf8());
}

class CatalogueObjectsTest : public StandInServerTest
{
protected:
    void SetUp() override
    {
        StandInServerTest::SetUp();
        for (qint32 filial : {1, 5, 6})
            Install(filial);
    }
    QJsonObject Send(TRawClient& c, const QString& table, const TDataPacket& packet, qint32 filial)
    {
        return c.Request("Inseri_No_Servidor",
                         Concat(QJsonArray{table, QString::fromUtf8(packet.ToXml())}, Identity(filial)));
    }
    // Transactions are counted without a last key.
    qint64 PendingMovM(TRawClient& c, const QString& table, qint32 filial)
    {
        return c.Call("NrRegistros_AImportar", Concat(QJsonArray{table}, Identity(filial)))["value"].toInteger();
    }
    qint64 PkUltimo(TRawClient& c, const QString& table)
    {
        return c.Call("GetPkUltimo", {table, "C1", false})["value"].toInteger();
    }
    QJsonObject AdminCall(const QString& method, const QJsonArray& args)
    {
        TRawClient admin(m_server->Port());
        admin.Open(TStandInServer::AdminName);
        return admin.Request(method, args);
    }
    // What the object holds for the table, through the admin object.
    TDataPacket Stored(const char* object, const QString& table)
    {
        return PacketOf(AdminCall("Rows", {object, table})["result"].toObject());
    }
};

TEST_F(CatalogueObjectsTest, MasterDataGoesToItsDestinationsAndIsTakenPerBranch)
{
    TRawClient early(m_server->Port());
    early.Open(kCadM);
    EXPECT_TRUE(
        Message(Send(early, "TBALIQUOTA", MasterAliquotas({{9, 5}}), 1)).contains("Conecta_No_Banco comes first"));

    auto hq = Connect(kCadM, 1);
    const TDataPacket sent = MasterAliquotas({{1, 5}, {2, 6}, {3, 0}});
    const QJsonObject stored = Send(*hq, "TBALIQUOTA", sent, 1)["result"].toObject();
    EXPECT_EQ(stored["value"], true);
    EXPECT_EQ(stored["args"][0], "TBALIQUOTA");

    // Destination 0 is every branch.
    auto b5 = Connect(kCadM, 5);
    auto b6 = Connect(kCadM, 6);
    EXPECT_EQ(b5->Call("Get_ProvidersCount", {})["value"], 1);
    EXPECT_EQ(b5->Call("Get_Providers", {0, "", ""})["args"].toArray(), (QJsonArray{0, "DspAliquota", "TBALIQUOTA"}));
    EXPECT_EQ(Pending(*b5, "TBALIQUOTA", 5), 2);
    EXPECT_EQ(Pending(*b6, "TBALIQUOTA", 6), 2);
    EXPECT_EQ(Pending(*b5, "TBNADA", 5), 0);
    const TDataPacket batch = PacketOf(Records(*b5, "DspAliquota", -1, 5));
    EXPECT_EQ(Keys(Records(*b5, "DspAliquota", -1, 5)), QList<int>({1, 3}));
    EXPECT_EQ(batch.Fields(), sent.Fields()); // types, key flags and required marks as sent
    EXPECT_EQ(batch.Value(1, 4).toInt(), 0);

    // Branch 5's acknowledgement leaves the row for every branch pending for branch 6.
    EXPECT_EQ(Acknowledge(*b5, "TBALIQUOTA", batch.ToXml(), 5), true);
    EXPECT_EQ(Pending(*b5, "TBALIQUOTA", 5), 0);
    EXPECT_EQ(b5->Call("Get_ProvidersCount", {})["value"], 0);
    EXPECT_EQ(Keys(Records(*b6, "DspAliquota", -1, 6)), QList<int>({2, 3}));

    // Sent again: replaced, not doubled, and pending again for its destination only.
    Send(*hq, "TBALIQUOTA", MasterAliquotas({{1, 5}}, "Nova"), 1);
    EXPECT_EQ(PacketOf(Records(*b5, "DspAliquota", -1, 5)).Value(0, 2).toString(), "Nova 1");
    EXPECT_EQ(Pending(*b6, "TBALIQUOTA", 6), 2);
    // A key twice in one packet (a row tracked for two companies) is stored once, as last sent.
    TDataPacket twice = MasterAliquotas({{4, 6}}, "Primeira");
    twice.AppendRow({4, 1, "Segunda 4", "C1", 6});
    EXPECT_EQ(Send(*hq, "TBALIQUOTA", twice, 1)["result"].toObject()["value"], true);
    const TDataPacket stored4 = Stored(kCadM, "TBALIQUOTA");
    ASSERT_EQ(stored4.RowCount(), 4);
    EXPECT_EQ(stored4.Value(3, 2).toString(), "Segunda 4");

    // Providers are named as the branch's catalogue names them, else "Dsp" + the name.
    Send(*hq, "TBPACOTEDADOS",
         Packet("PKPACOTEDADOS int K; CDCONTRATO str 20 K; PKFILIALDESTINO int K", {{7, "C1", 6}}), 1);
    Send(*hq, "TBNOVIDADE", Packet("PKNOVIDADE int K; PKFILIALDESTINO int K", {{1, 6}}), 1);
    EXPECT_EQ(b6->Call("Get_ProvidersCount", {})["value"], 3);
    EXPECT_EQ(Pending(*b6, "TBALIQUOTA", 6), 3);
    EXPECT_EQ(b6->Call("Get_Providers", {1, "", ""})["args"][1], "DspPacoteDados");
    EXPECT_EQ(b6->Call("Get_Providers", {2, "", ""})["args"][1], "DspNovidade");
    EXPECT_EQ(b5->Call("Get_ProvidersCount", {})["value"], 1);
}

// Large packets are taken, answered and echoed as their UTF-8 text: what comes
// back is byte for byte what was sent or held, and a long argument that is not
// a packet is still read as text.
TEST_F(CatalogueObjectsTest, LargePacketsAreTakenAndEchoedAsSent)
{
    QList<QPair<int, int>> rows;
    for (int k = 1; k <= 1500; ++k)
        rows.append({k, 5});
    const TDataPacket sent = MasterAliquotas(rows, QStringLiteral("Alíquota \"ç\" &lt; 😀"));
    const QString text = QString::fromUtf8(sent.ToXml());
    ASSERT_GT(text.toUtf8().size(), 2 * 64 * 1024);

    auto hq = Connect(kCadM, 1);
    const QJsonObject stored = hq->Call("Inseri_No_Servidor", Concat(QJsonArray{"TBALIQUOTA", text}, Identity(1)));
    EXPECT_EQ(stored["value"], true);
    EXPECT_EQ(stored["args"].toArray(), Concat(QJsonArray{"TBALIQUOTA", text}, Identity(1)));

    auto b5 = Connect(kCadM, 5);
    const QJsonObject served = Records(*b5, "DspAliquota", -1, 5);
    EXPECT_EQ(PacketOf(served).RowCount(), 1500);
    EXPECT_EQ(PacketOf(served).Value(1499, 2).toString(), QStringLiteral("Alíquota \"ç\" &lt; 😀 1500"));
    // The batch served, sent back whole, is recognised and echoed unchanged.
    const QString back = served["value"].toString();
    const QJsonObject acknowledged = b5->Call("Exclui_No_Servidor", Concat(QJsonArray{"TBALIQUOTA", back}, Identity(5)));
    EXPECT_EQ(acknowledged["value"], true);
    EXPECT_EQ(acknowledged["args"][1], back);
    EXPECT_EQ(Pending(*b5, "TBALIQUOTA", 5), 0);

    // The operator loads one the same way.
    EXPECT_EQ(AdminCall("LoadPacket", {"TBALIQUOTA", text, 6, "", "cadm"})["result"].toObject()["value"], 1500);
    EXPECT_EQ(Stored(kCadM, "TBALIQUOTA").RowCount(), 1500);

    const QString longName = QStringLiteral("TB") + QString(70 * 1024, u'X');
    EXPECT_TRUE(hq->ErrorOf("NrRegistros_AImportar", Concat(QJsonArray{longName}, Identity(1)) << 0).isEmpty());
    EXPECT_TRUE(b5->ErrorOf("Exclui_No_Servidor", Concat(QJsonArray{longName, back}, Identity(5)))
                    .contains(QStringLiteral("Unknown table ") + longName));
    EXPECT_FALSE(hq->ErrorOf("Inseri_No_Servidor", Concat(QJsonArray{"TBALIQUOTA", longName}, Identity(1))).isEmpty());
}

TEST_F(CatalogueObjectsTest, RefusesWholeThePacketsItCannotKeep)
{
    auto hq = Connect(kCadM, 1);
    Send(*hq, "TBALIQUOTA", MasterAliquotas({{1, 5}}), 1);
    const auto refusal = [&](const QString& table, const QString& packet) {
        return Message(hq->Request("Inseri_No_Servidor", Concat({table, packet}, Identity(1))));
    };
    const QString good = QString::fromUtf8(MasterAliquotas({{2, 5}}).ToXml());
    QString cut = good;
    cut.truncate(good.size() / 2);
    EXPECT_FALSE(refusal("TBALIQUOTA", cut).isEmpty());
    EXPECT_TRUE(refusal("TB--ALIQUOTA", good).contains("Invalid table name"));
    const TDataPacket undirected = Packet("PKALIQUOTA int K; NMALIQUOTA str 60", {{2, "x"}});
    EXPECT_TRUE(refusal("TBALIQUOTA", QString::fromUtf8(undirected.ToXml())).contains("PKFILIALDESTINO"));
    // One bad row refuses the whole packet.
    TDataPacket keyless = MasterAliquotas({{3, 5}});
    keyless.AppendRow({4, QVariant(), "sem filial", "C1", 5});
    EXPECT_TRUE(refusal("TBALIQUOTA", QString::fromUtf8(keyless.ToXml())).contains("Row 2"));
    EXPECT_TRUE(refusal("TBALIQUOTA", QString::fromUtf8(
                                          Packet("PKALIQUOTA int K; PKFILIALDESTINO int K", {{5, 5}}).ToXml()))
                    .contains("other fields"));
    EXPECT_EQ(Keys(Records(*Connect(kCadM, 5), "DspAliquota", -1, 5)), QList<int>({1}));

    // An acknowledgement that cannot be read marks nothing.
    auto b5 = Connect(kCadM, 5);
    EXPECT_FALSE(b5->ErrorOf("Exclui_No_Servidor", Concat({"TBALIQUOTA", cut}, Identity(5))).isEmpty());
    EXPECT_TRUE(b5->ErrorOf("Exclui_No_Servidor", Concat({"TBNADA", good}, Identity(5))).contains("Unknown table"));
    EXPECT_EQ(Pending(*b5, "TBALIQUOTA", 5), 1);
}

// Every field type comes back as sent, blobs and wide rows included.
TEST_F(CatalogueObjectsTest, StoresEveryFieldTypeAsSent)
{
    const QString fields = "PKX int K; PKFILIALDESTINO int K; S small; B bigint; N dec 15.3; D date; T time; "
                           "TS timestamp; C char 3; M memo; BL blob; W1 str 700; W2 str 700; W3 str 700";
    QList<QList<QVariant>> rows;
    for (int k = 1; k <= 12; ++k)
        rows.append({k, 0, k % 3, Q_INT64_C(5000000000) + k, QString("%1.125").arg(k), QDate(2024, 2, k),
                     QTime(13, 45, k, 250), QDateTime(QDate(2024, 3, 1), QTime(8, 0, k, 500)), "abc",
                     QString("Memória %1").arg(k), QByteArray("\0\x01\xff", 3) + QByteArray::number(k),
                     QString(700, QChar(u'a' + k)), QString(699, u'ç'), k == 3 ? QVariant() : QVariant("x")});
    const TDataPacket sent = Packet(fields, rows);
    auto hq = Connect(kCadM, 1);
    EXPECT_EQ(Send(*hq, "TBTIPOS", sent, 1)["result"].toObject()["value"], true);
    EXPECT_EQ(Records(*Connect(kCadM, 5), "DspTipos", -1, 5)["value"].toString().toUtf8(), sent.ToXml());
}

TEST_F(CatalogueObjectsTest, SerialPricesArePagedByTheLastKeyTheServerHolds)
{
    auto hq = Connect(kCadM, 1);
    EXPECT_EQ(PkUltimo(*hq, "TBPRECOSERIAL"), 0);
    QList<QList<QVariant>> serials;
    for (int k = 100000001; k <= 100000250; ++k)
        serials.append({k, "9.90", "C1", 0});
    const QString fields = "PKPRECOSERIAL int K; VLVENDA dec 15.3; CDCONTRATO str 20 K; PKFILIALDESTINO int K";
    Send(*hq, "TBPRECOSERIAL", Packet(fields, serials.mid(0, 3)), 1);
    EXPECT_EQ(PkUltimo(*hq, "TBPRECOSERIAL"), 100000003);
    Send(*hq, "TBPRECOSERIAL", Packet(fields, serials.mid(3)), 1);
    const QJsonObject last = hq->Call("GetPkUltimo", {"TBPRECOSERIAL", "C1", false});
    EXPECT_EQ(last["value"], 100000250);
    EXPECT_EQ(last["args"].toArray(), (QJsonArray{"TBPRECOSERIAL", "C1", false}));

    auto b5 = Connect(kCadM, 5);
    EXPECT_EQ(Pending(*b5, "TBPRECOSERIAL", 5, 100000003), 247);
    EXPECT_EQ(Keys(Records(*b5, "DspPrecoSerial", 1, 5, 100000003)), QList<int>({100000004}));
    EXPECT_EQ(Keys(Records(*b5, "DspPrecoSerial", -1, 5, 100000249)), QList<int>({100000250}));
    EXPECT_EQ(Keys(Records(*b5, "DspPrecoSerial", -1, 5, 100000250)), QList<int>());

    // Other master-data tables are acknowledged, not paged: PPKULTIMO is ignored.
    Send(*hq, "TBPROMOCAO", Packet("PKPROMOCAO int K; PKFILIALDESTINO int K", {{1, 0}, {2, 0}, {3, 0}}), 1);
    EXPECT_EQ(Pending(*b5, "TBPROMOCAO", 5, 2), 3);
    EXPECT_EQ(Keys(Records(*b5, "DspPromocao", -1, 5, 2)), QList<int>({1, 2, 3}));
    EXPECT_EQ(PkUltimo(*hq, "TBPROMOCAO"), 0);
}

TEST_F(CatalogueObjectsTest, TransactionsFromBranchesWaitForHeadquarters)
{
    auto s5 = Connect(kMovM, 5);
    auto s6 = Connect(kMovM, 6);
    EXPECT_EQ(Send(*s5, "TBVENDA", Vendas({{1, 5}, {2, 5}}), 5)["result"].toObject()["value"], true);
    Send(*s6, "TBVENDA", Vendas({{1, 6}}), 6);
    Send(*s5, "TBVENDA", Vendas({{2, 5}}, "99.00"), 5); // sent again: replaced

    auto hq = Connect(kMovM, 1);
    EXPECT_EQ(hq->Call("Get_ProvidersCount", {})["value"], 1);
    EXPECT_EQ(hq->Call("Get_Providers", {0, "", ""})["args"].toArray(), (QJsonArray{0, "DspVenda", "TBVENDA"}));
    EXPECT_EQ(PendingMovM(*hq, "TBVENDA", 1), 3);
    EXPECT_EQ(PendingMovM(*hq, "TBNADA", 1), 0);
    const TDataPacket all = PacketOf(Records(*hq, "DspVenda", -1, 1));
    ASSERT_EQ(all.RowCount(), 3);
    EXPECT_EQ(QList<int>({all.Value(0, 1).toInt(), all.Value(1, 1).toInt(), all.Value(2, 1).toInt()}),
              QList<int>({5, 6, 5}));
    EXPECT_EQ(all.Value(2, 2).value<Decimal>().ToString(), "99.00");
    // The sending branch is remembered with each row.
    EXPECT_EQ(AdminCall("ExecSql", {"SELECT PKVENDA, KAS_STORE FROM MM$TBVENDA ORDER BY PKVENDA, PKFILIAL"})["result"]
                  .toObject()["value"],
              "PKVENDA\tKAS_STORE\n1\t5\n1\t6\n2\t5\n");

    // Headquarters' acknowledgement holds for whichever installation receives.
    EXPECT_EQ(Acknowledge(*hq, "TBVENDA", Vendas({{1, 5}, {1, 6}}).ToXml(), 1), true);
    EXPECT_EQ(PendingMovM(*hq, "TBVENDA", 1), 1);
    EXPECT_EQ(PendingMovM(*s6, "TBVENDA", 6), 1);
    EXPECT_EQ(Stored(kMovM, "TBVENDA").RowCount(), 3);
    EXPECT_EQ(hq->Call("LimpaVariaveisItCondiVendaCompra", {})["value"], true);

    // Condition items come header by header, then in key order; batches continue there.
    const QString items = "PKITCONDIVENDA int K; PKFILIAL int K; PKCONDIVENDA int; PKFCONDIVENDA int; NRPARCELA int";
    Send(*s5, "TBITCONDIVENDA", Packet(items, {{1, 5, 20, 5, 1}, {2, 5, 10, 5, 1}, {3, 5, 20, 5, 2}, {4, 5, 10, 5, 2},
                                               {5, 5, 10, 6, 1}}),
         5);
    EXPECT_EQ(Keys(Records(*hq, "DspItcondivenda", 3, 1)), QList<int>({2, 4, 5}));
    const TDataPacket taken = Packet("PKITCONDIVENDA int K; PKFILIAL int K", {{2, 5}, {4, 5}, {5, 5}});
    EXPECT_EQ(Acknowledge(*hq, "TBITCONDIVENDA", taken.ToXml(), 1), true);
    EXPECT_EQ(Keys(Records(*hq, "DspItcondivenda", 3, 1)), QList<int>({1, 3}));
    // Tables of other kinds keep plain key order.
    EXPECT_EQ(Keys(Records(*hq, "DspVenda", -1, 1)), QList<int>({2}));
}

TEST_F(CatalogueObjectsTest, FaultSwitchesApplyToTheNewMethods)
{
    const auto fault = [&](QJsonObject spec) { EXPECT_TRUE(AdminCall("SetFault", {spec}).contains("result")); };
    fault({{"method", "Inseri_No_Servidor"}, {"table", "TBVENDA"}, {"once", true}, {"kind", "false"}});
    fault({{"method", "LimpaVariaveisItCondiVendaCompra"}, {"once", true}, {"kind", "false"}});
    fault({{"method", "GetPkUltimo"}, {"table", "TBPRECOSERIAL"}, {"kind", "value"}, {"value", 77}});
    fault({{"method", "NrRegistros_AImportar"}, {"table", "TBVENDA"}, {"once", true}, {"kind", "minus1"}});

    auto s5 = Connect(kMovM, 5);
    EXPECT_EQ(Send(*s5, "TBVENDA", Vendas({{1, 5}}), 5)["result"].toObject()["value"], false);
    EXPECT_TRUE(Message(AdminCall("Rows", {"movm", "TBVENDA"})).contains("holds no table TBVENDA"));
    EXPECT_EQ(Send(*s5, "TBVENDA", Vendas({{1, 5}}), 5)["result"].toObject()["value"], true);
    auto hq = Connect(kMovM, 1);
    EXPECT_EQ(hq->Call("LimpaVariaveisItCondiVendaCompra", {})["value"], false);
    EXPECT_EQ(hq->Call("LimpaVariaveisItCondiVendaCompra", {})["value"], true);
    EXPECT_EQ(PendingMovM(*hq, "TBVENDA", 1), -1);
    EXPECT_EQ(PendingMovM(*hq, "TBVENDA", 1), 1);
    EXPECT_EQ(PkUltimo(*Connect(kCadM, 1), "TBPRECOSERIAL"), 77);

    // A dropped send closes the connection unanswered and stores nothing.
    fault({{"method", "Inseri_No_Servidor"}, {"table", "TBVENDA"}, {"kind", "drop"}});
    s5->WriteRaw(wire::EncodeFrame(wire::Request(
        99, "Inseri_No_Servidor", Concat({"TBVENDA", QString::fromUtf8(Vendas({{2, 5}}).ToXml())}, Identity(5)))));
    EXPECT_TRUE(s5->WaitClosed());
    EXPECT_EQ(Stored(kMovM, "TBVENDA").RowCount(), 1);

    // Packet switches work on every catalogue object.
    auto cadm = Connect(kCadM, 1);
    Send(*cadm, "TBALIQUOTA", MasterAliquotas({{1, 0}}), 1);
    fault({{"method", "AS_GetRecords"}, {"table", "TBALIQUOTA"}, {"once", true}, {"kind", "malformed"}});
    EXPECT_THROW(PacketOf(Records(*Connect(kCadM, 5), "DspAliquota", -1, 5)), EPacketError);
}

TEST_F(CatalogueObjectsTest, KeepsEachObjectsTablesApartAndAcrossARestart)
{
    // One table name, three objects: carrier rows, master data and transactions apart.
    m_store->LoadPacket("TBALIQUOTA", {}, Aliquotas({1, 2}), 0);
    {
        auto hq = Connect(kCadM, 1);
        Send(*hq, "TBALIQUOTA", MasterAliquotas({{7, 5}, {8, 5}}), 1);
        Send(*hq, "TBPRECOSERIAL", Packet("PKPRECOSERIAL int K; PKFILIALDESTINO int K", {{100000009, 0}}), 1);
        auto b5 = Connect(kCadM, 5);
        Acknowledge(*b5, "TBALIQUOTA", MasterAliquotas({{7, 5}}).ToXml(), 5);
        EXPECT_EQ(AdminCall("LoadPacket", {"TBALIQUOTA", QString::fromUtf8(Vendas({{1, 5}, {2, 5}}).ToXml()), 5, "",
                                           "movm"})["result"].toObject()["value"],
                  2);
        Acknowledge(*Connect(kMovM, 1), "TBALIQUOTA", Vendas({{1, 5}}).ToXml(), 1);
    }
    Stop();
    Start();
    EXPECT_EQ(Pending(*Store(5), "TBALIQUOTA", 5), 2);
    auto b5 = Connect(kCadM, 5);
    EXPECT_EQ(b5->Call("Get_ProvidersCount", {})["value"], 2);
    EXPECT_EQ(Keys(Records(*b5, "DspAliquota", -1, 5)), QList<int>({8}));
    EXPECT_EQ(PkUltimo(*b5, "TBPRECOSERIAL"), 100000009);
    auto hq = Connect(kMovM, 1);
    EXPECT_EQ(PendingMovM(*hq, "TBALIQUOTA", 1), 1);
    EXPECT_EQ(Keys(Records(*hq, "DspAliquota", -1, 1)), QList<int>({2}));
    EXPECT_EQ(Stored(kCadM, "TBALIQUOTA").Fields().size(), 5);
}

// The operator loads and reads master data and transactions with the server stopped.
TEST(StandInServerProcess, LoadsAndShowsEachObjectsRows)
{
    App();
    TTempFolder dir;
    const auto admin = [&](const QStringList& args, QByteArray* out = nullptr) {
        QProcess p;
        p.start(QStringLiteral(KELT_APPSERVER_EXE), QStringList{"admin", "--database", dir.File("server.fdb")} + args);
        EXPECT_TRUE(p.waitForFinished(60000));
        if (out)
            *out = p.readAllStandardOutput();
        return p.exitCode();
    };
    dir.Write("master.xml", MasterAliquotas({{1, 5}, {2, 0}}).ToXml());
    dir.Write("vendas.xml", Vendas({{1, 5}}).ToXml());
    EXPECT_EQ(admin({"load", "--object", "cadm", "--table", "TBALIQUOTA", dir.File("master.xml")}), 0);
    EXPECT_EQ(admin({"load", "--object", "movm", "--table", "TBVENDA", "--for-store", "5", dir.File("vendas.xml")}), 0);
    EXPECT_EQ(admin({"load", "--object", "nada", "--table", "TBVENDA", dir.File("vendas.xml")}), 2);
    EXPECT_EQ(admin({"load", "--object", "cadm", "--table", "TBVENDA", dir.File("vendas.xml")}), 1);
    QByteArray out;
    EXPECT_EQ(admin({"rows", "--object", "cadm", "--table", "TBALIQUOTA"}, &out), 0);
    EXPECT_EQ(TDataPacket::FromXml(out).RowCount(), 2);
    EXPECT_EQ(admin({"rows", "--object", "cad", "--table", "TBALIQUOTA"}), 1);
}

} // namespace


namespace {

// Sent packets are journalled before the answer and written into their table
// afterwards: whatever happens in between, a packet taken is a packet held, in
// the order the packets came, and a packet whose values a column cannot take is
// refused before the answer.
TEST_F(CatalogueObjectsTest, PacketsTakenAreHeldInOrderAcrossARestart)
{
    // Straight on the store, so that nothing is written between the calls.
    const auto master = [](int key, const QString& name) {
        return Packet("PKALIQUOTA int K; NMALIQUOTA str 60; VLALIQUOTA dec 4.2; DTALIQUOTA date; PKFILIALDESTINO int K",
                      {{key, name, "1.50", QDate(2024, 1, 2), 5}});
    };
    auto journal = [&](const TDataPacket& p) {
        return m_store->JournalPacket(TBook::CadM, "TBALIQUOTA", p, p.ToXml(), 1);
    };
    EXPECT_EQ(journal(master(1, "first")), 1);
    EXPECT_EQ(journal(master(1, "second")), 1);
    EXPECT_EQ(journal(master(2, "other")), 1);
    EXPECT_EQ(m_store->ExecSql("SELECT COUNT(*) FROM KAS_STORELOG"), "COUNT\n0\n") << "an operator read applies first";
    EXPECT_EQ(journal(master(2, "again")), 1);

    // Stopped before the journal was written out: the next start writes it.
    Stop();
    Start();
    const TServedTable* t = m_store->FindTable(TBook::CadM, u"TBALIQUOTA");
    ASSERT_NE(t, nullptr);
    const TDataPacket rows = m_store->AllRows(*t);
    ASSERT_EQ(rows.RowCount(), 2);
    EXPECT_EQ(rows.Value(0, 1).toString(), "second");
    EXPECT_EQ(rows.Value(1, 1).toString(), "again");
    EXPECT_EQ(m_store->PendingCount(*t, 5, 0), 2);

    // Written a chunk at a time between calls; a packet taken in the middle of
    // another still comes after it.
    TDataPacket many(master(1, "x").Fields());
    for (int k = 100; k < 350; ++k)
        many.AppendRow({k, QStringLiteral("many %1").arg(k), "1.00", QDate(2024, 1, 2), 5});
    journal(many);
    EXPECT_TRUE(m_store->ApplyStoreLogStep());
    journal(master(300, "last word"));
    EXPECT_EQ(m_store->PendingCount(*m_store->FindTable(TBook::CadM, u"TBALIQUOTA"), 5, 0), 252);
    const TDataPacket after = m_store->AllRows(*m_store->FindTable(TBook::CadM, u"TBALIQUOTA"));
    EXPECT_EQ(after.Value(202, 1).toString(), "last word"); // keys 1, 2, 100, ...: 300 is the 203rd
    EXPECT_FALSE(m_store->ApplyStoreLogStep());

    // More packets taken than the writer keeps at hand: the oldest are read
    // back from the journal, and every one is written in the order it came.
    for (int i = 0; i < 7; ++i)
        journal(master(400 + i % 3, QStringLiteral("round %1").arg(i)));
    const TDataPacket rounds = m_store->AllRows(*m_store->FindTable(TBook::CadM, u"TBALIQUOTA"));
    ASSERT_EQ(rounds.RowCount(), 255);
    EXPECT_EQ(rounds.Value(252, 1).toString(), "round 6"); // key 400: rounds 0, 3, 6
    EXPECT_EQ(rounds.Value(253, 1).toString(), "round 4");
    EXPECT_EQ(rounds.Value(254, 1).toString(), "round 5");

    // NUMERIC(4,2) is kept in 16 bits: 327.67 at most.
    TDataPacket wide = master(3, "wide");
    wide.AppendRow({4, "too wide", "400.00", QDate(2024, 1, 2), 5});
    EXPECT_THROW(journal(wide), EDatabaseError);
    EXPECT_EQ(m_store->AllRows(*m_store->FindTable(TBook::CadM, u"TBALIQUOTA")).RowCount(), 255);
}

} // namespace
