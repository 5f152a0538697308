// The stand-in application server, spoken to over the wire protocol by a raw
// client, in process (one thread, the event loop turned while waiting) and as a
// process of its own.
#include "tests/tools/appserver/AppServerTestSupport.h"

#include <QProcess>

namespace {

using namespace appserver_test;

TEST_F(StandInServerTest, OpensTheKnownServerObjectsOnly)
{
    TRawClient c(m_server->Port());
    EXPECT_TRUE(c.ErrorOf("Get_ProvidersCount", {}).contains("\"open\" comes first"));
    EXPECT_EQ(Message(c.Open("KeltNada.coKeltNada")), "Unknown server object KeltNada.coKeltNada");

    EXPECT_TRUE(c.Open("KeltInternoServer.coKeltInternoServer").contains("result"));
    // Nothing published: up to date (the update check itself is tested in tests/update).
    EXPECT_EQ(c.Call("ProcuraAtualizacao", {"keltappclient_paf.exe", "01000000"})["value"], "0");
    EXPECT_EQ(Message(c.Open("cadm")), "Unknown server object cadm");

    EXPECT_EQ(c.Open(TStandInServer::CadServerName)["result"], QJsonObject());
    EXPECT_TRUE(c.ErrorOf("Inventado", {}).contains("has no method Inventado"));
}

TEST_F(StandInServerTest, AcceptsKnownInstallationsAndRewritesTheirIdentity)
{
    Install(5);
    TInstallation moved = Installation("C2", 6);
    moved.NewUF = "RJ";
    moved.NewPkEmpresa = 9;
    m_store->AddInstallation(moved);

    TRawClient c(m_server->Port());
    c.Open(TStandInServer::CadServerName);
    EXPECT_TRUE(c.ErrorOf("Get_ProvidersCount", {}).contains("Conecta_No_Banco comes first"));

    QJsonObject r = c.Call("Conecta_No_Banco", Identity(5));
    EXPECT_EQ(r["value"], true);
    EXPECT_EQ(r["args"].toArray(), Identity(5));
    // Known means contract code and PKFILIAL together.
    EXPECT_EQ(c.Call("Conecta_No_Banco", Identity(6))["value"], false);
    EXPECT_EQ(c.Call("Conecta_No_Banco", Identity(5, "SP", "C9"))["value"], false);
    EXPECT_TRUE(c.ErrorOf("Get_ProvidersCount", {}).contains("Conecta_No_Banco comes first"));

    r = c.Call("Conecta_No_Banco", Identity(6, "SP", "C2"));
    EXPECT_EQ(r["value"], true);
    EXPECT_EQ(r["args"].toArray(), (QJsonArray{"C2", 9, 6, "RJ"}));
}

TEST_F(StandInServerTest, ServesPendingRowsAndTakesAcknowledgementsPerStore)
{
    Install(5);
    m_store->LoadPacket("TBALIQUOTA", {}, Aliquotas({3, 1, 2}), 0);
    m_store->LoadPacket("TBALIQUOTA", {}, Aliquotas({4}), 5);
    m_store->LoadPacket("TBALIQUOTA", {}, Aliquotas({9}), 6);
    auto c = Store(5);

    EXPECT_EQ(c->Call("Get_ProvidersCount", {})["value"], 1);
    EXPECT_EQ(c->Call("Get_Providers", {0, "", ""})["args"].toArray(), (QJsonArray{0, "DspAliquota", "TBALIQUOTA"}));
    EXPECT_TRUE(c->ErrorOf("Get_Providers", {1, "", ""}).contains("out of range"));
    EXPECT_EQ(c->Call("ReplicaTabela", {1, "TBALIQUOTA"})["value"], true);
    EXPECT_EQ(c->Call("ReplicaTabela", {1, "TBNADA"})["value"], false);
    EXPECT_EQ(Pending(*c, "TBALIQUOTA", 5), 4);
    EXPECT_EQ(Pending(*c, "TBALIQUOTA", 6), 4);
    EXPECT_EQ(Pending(*c, "TBNADA", 5), -1);

    QStringList names;
    for (const auto& p : c->Call("AS_GetParams", {"DspAliquota"})["value"].toArray())
        names << p.toObject()["name"].toString();
    EXPECT_EQ(names, QStringList({"PCDCONTRATO", "PPKEMPRESA", "PPKFILIAL", "PUF", "PPKULTIMO"}));

    const QJsonObject batch = Records(*c, "DspAliquota", 2, 5);
    EXPECT_EQ(Keys(batch), QList<int>({1, 2}));
    const TDataPacket packet = TDataPacket::FromXml(batch["value"].toString().toUtf8());
    EXPECT_TRUE(packet.Fields()[0].Required);
    EXPECT_EQ(packet.Fields()[0].ProviderFlags, 7);
    EXPECT_EQ(packet.Fields()[1].ProviderFlags, 0);
    EXPECT_EQ(Keys(Records(*c, "DspAliquota", 0, 5)), QList<int>());
    EXPECT_EQ(Keys(Records(*c, "DspAliquota", -1, 5)), QList<int>({1, 2, 3, 4}));
    EXPECT_TRUE(c->ErrorOf("AS_GetRecords", {"DspNada", 1, Params(5)}).contains("Unknown provider DspNada"));

    // The acknowledgement of store 5 leaves store 6 untouched.
    EXPECT_EQ(Acknowledge(*c, "TBALIQUOTA", packet.ToXml(), 5), true);
    EXPECT_EQ(Pending(*c, "TBALIQUOTA", 5), 2);
    EXPECT_EQ(Keys(Records(*c, "DspAliquota", 1000, 5)), QList<int>({3, 4}));
    EXPECT_EQ(Keys(Records(*c, "DspAliquota", 1000, 6)), QList<int>({1, 2, 3, 9}));

    // A bad acknowledgement is refused whole and marks nothing.
    QByteArray broken = Aliquotas({3}).ToXml();
    broken.replace("PKALIQUOTA=\"3\"", "PKALIQUOTA=\"tres\"");
    EXPECT_TRUE(c->ErrorOf("Exclui_No_Servidor", Concat({"TBALIQUOTA", QString::fromUtf8(broken)}, Identity(5)))
                    .contains("tres"));
    const QByteArray keyless = Packet("NMALIQUOTA str 60", {{"x"}}).ToXml();
    EXPECT_TRUE(c->ErrorOf("Exclui_No_Servidor", Concat({"TBALIQUOTA", QString::fromUtf8(keyless)}, Identity(5)))
                    .contains("no field PKALIQUOTA"));
    EXPECT_EQ(Pending(*c, "TBALIQUOTA", 5), 2);

    // A row delivered again is pending again, with its new values.
    m_store->LoadPacket("TBALIQUOTA", {}, Aliquotas({1}, "Nova"), 0);
    const TDataPacket again = TDataPacket::FromXml(Records(*c, "DspAliquota", 1, 5)["value"].toString().toUtf8());
    EXPECT_EQ(again.Value(0, 1).toString(), "Nova 1");
    EXPECT_EQ(Pending(*c, "TBALIQUOTA", 5), 3);
}

TEST_F(StandInServerTest, PagedTablesServeOnlyKeysAbovePkUltimo)
{
    Install(5);
    m_store->LoadPacket(
        "TBPROMOCAO", {},
        Packet("PKPROMOCAO int K; NMPROMOCAO str 30", {{1, "a"}, {2, "b"}, {3, "c"}, {4, "d"}, {5, "e"}}), 0);
    m_store->LoadPacket("TBALIQUOTA", {}, Aliquotas({1, 2, 3, 4}), 0);
    auto c = Store(5);
    EXPECT_EQ(Pending(*c, "TBPROMOCAO", 5, 3), 2);
    EXPECT_EQ(Keys(Records(*c, "DspPromocao", 1, 5, 3)), QList<int>({4}));
    EXPECT_EQ(Keys(Records(*c, "DspPromocao", -1, 5, 5)), QList<int>());
    // Other tables do not page: PPKULTIMO is ignored.
    EXPECT_EQ(Pending(*c, "TBALIQUOTA", 5, 3), 4);
    EXPECT_EQ(Keys(Records(*c, "DspAliquota", -1, 5, 3)), QList<int>({1, 2, 3, 4}));
}

TEST_F(StandInServerTest, RefusesPacketsItCannotKeep)
{
    EXPECT_THROW(m_store->LoadPacket("TB ALIQUOTA", {}, Aliquotas({1}), 0), EInvalidIdentifier);
    EXPECT_THROW(m_store->LoadPacket("TBX", {}, Packet("NMX str 10", {{"a"}}), 0), EDatabaseError);
    EXPECT_THROW(m_store->LoadPacket("TBX", {}, Packet("PKX int F; NMX str 10", {{QVariant(), "a"}}), 0),
                 EDatabaseError);
    m_store->LoadPacket("TBALIQUOTA", {}, Aliquotas({1}), 0);
    EXPECT_THROW(m_store->LoadPacket("TBALIQUOTA", {}, Packet("PKALIQUOTA int K", {{2}}), 0), EDatabaseError);
    EXPECT_EQ(m_store->Tables().size(), 1);
    EXPECT_EQ(m_store->ExecSql("SELECT COUNT(*) AS N FROM TBALIQUOTA"), "N\n1\n");
}

TEST_F(StandInServerTest, KeepsEverythingAcrossARestart)
{
    {
        TRawClient admin(m_server->Port());
        admin.Open(TStandInServer::AdminName);
        admin.Call("AddInstallation", {"C1", 1, 5, "SP", QJsonObject{{"UF", "MG"}}});
        EXPECT_EQ(admin.Call("LoadPacket", {"TBALIQUOTA", QString::fromUtf8(Aliquotas({1, 2, 3}).ToXml()), 0})["value"],
                  3);
        admin.Call("SetFault", {QJsonObject{{"method", "ReplicaTabela"}, {"kind", "false"}}});
        auto c = Store(5);
        Acknowledge(*c, "TBALIQUOTA", Aliquotas({1}).ToXml(), 5);
    }
    Stop();
    Start();
    auto c = Store(5);
    EXPECT_EQ(c->Call("Conecta_No_Banco", Identity(5))["args"][3], "MG");
    EXPECT_EQ(Pending(*c, "TBALIQUOTA", 5), 2);
    EXPECT_EQ(c->Call("ReplicaTabela", {1, "TBALIQUOTA"})["value"], false);
}

TEST_F(StandInServerTest, FaultSwitchesFireAtTheChosenCall)
{
    Install(5);
    m_store->LoadPacket("TBALIQUOTA", {}, Aliquotas({1, 2, 3}), 0);
    TRawClient admin(m_server->Port());
    admin.Open(TStandInServer::AdminName);
    const auto fault = [&](QJsonObject spec) { admin.Call("SetFault", {spec}); };
    fault(
        {{"method", "NrRegistros_AImportar"}, {"table", "TBALIQUOTA"}, {"at", 2}, {"once", true}, {"kind", "minus1"}});
    fault({{"method", "NrRegistros_AImportar"}, {"table", "TBOUTRA"}, {"kind", "value"}, {"value", -5}});
    fault({{"method", "Get_ProvidersCount"}, {"kind", "raise"}});
    EXPECT_TRUE(admin.ErrorOf("SetFault", {QJsonObject{{"method", "Get_Providers"}, {"kind", "hostile"}}})
                    .contains("AS_GetRecords only"));

    auto c = Store(5);
    EXPECT_EQ(Pending(*c, "TBALIQUOTA", 5), 3);
    EXPECT_EQ(Pending(*c, "TBALIQUOTA", 5), -1);
    EXPECT_EQ(Pending(*c, "TBALIQUOTA", 5), 3);
    EXPECT_EQ(Pending(*c, "TBOUTRA", 5), -5);
    EXPECT_EQ(c->ErrorOf("Get_ProvidersCount", {}), "Fault injected into Get_ProvidersCount");

    // Packet switches: not well-formed, a hostile field name, the same batch again.
    fault({{"method", "AS_GetRecords"}, {"once", true}, {"kind", "malformed"}});
    EXPECT_THROW(TDataPacket::FromXml(Records(*c, "DspAliquota", 2, 5)["value"].toString().toUtf8()), EPacketError);
    fault({{"method", "AS_GetRecords"}, {"once", true}, {"kind", "hostile"}});
    const TDataPacket hostile = TDataPacket::FromXml(Records(*c, "DspAliquota", 2, 5)["value"].toString().toUtf8());
    EXPECT_FALSE(IsPlainIdentifier(hostile.Fields()[1].Name));
    EXPECT_EQ(hostile.RowCount(), 2);
    Acknowledge(*c, "TBALIQUOTA", Aliquotas({1, 2}).ToXml(), 5);
    fault({{"method", "AS_GetRecords"}, {"kind", "repeat"}});
    EXPECT_EQ(Keys(Records(*c, "DspAliquota", 2, 5)), QList<int>({1, 2}));
    EXPECT_EQ(Keys(Records(*c, "DspAliquota", 2, 5)), QList<int>({1, 2}));

    // A dropped acknowledgement closes the connection unanswered and marks nothing.
    admin.Call("ClearFaults", {});
    fault({{"method", "Exclui_No_Servidor"}, {"kind", "drop"}});
    c->WriteRaw(wire::EncodeFrame(wire::Request(
        99, "Exclui_No_Servidor", Concat({"TBALIQUOTA", QString::fromUtf8(Aliquotas({3}).ToXml())}, Identity(5)))));
    EXPECT_TRUE(c->WaitClosed());
    admin.Call("ClearFaults", {});
    EXPECT_EQ(Pending(*Store(5), "TBALIQUOTA", 5), 1);

    QStringList outcomes;
    for (const auto& r : admin.Call("CallLog", {0})["value"].toArray())
        outcomes << r.toObject()["method"].toString() + " " + r.toObject()["outcome"].toString();
    EXPECT_TRUE(outcomes.contains("NrRegistros_AImportar fault minus1"));
    EXPECT_TRUE(outcomes.contains("Exclui_No_Servidor connection dropped (fault)"));
}

TEST_F(StandInServerTest, FramingErrorsCloseThatConnectionOnly)
{
    Install(5);
    auto good = Store(5);

    TRawClient oversized(m_server->Port());
    oversized.WriteRaw(QByteArray("\xff\xff\xff\xff", 4));
    EXPECT_TRUE(oversized.WaitClosed());

    TRawClient garbage(m_server->Port());
    garbage.WriteRaw(QByteArray("\0\0\0\x08not json", 12));
    EXPECT_TRUE(garbage.WaitClosed());

    {
        TRawClient truncated(m_server->Port());
        truncated.WriteRaw(wire::EncodeFrame(wire::Request(1, "open", QJsonObject())).left(10));
    }
    EXPECT_EQ(good->Call("Get_ProvidersCount", {})["value"], 0);
    EXPECT_EQ(Store(5)->Call("Get_ProvidersCount", {})["value"], 0);
}

TEST_F(StandInServerTest, ServesTwoInstallationsAtOnceEachWithItsOwnTables)
{
    Install(5);
    Install(6);
    m_store->LoadPacket("TBALIQUOTA", {}, Aliquotas({1}), 5);
    m_store->LoadPacket("TBALIQUOTA", {}, Aliquotas({2, 3}), 6);
    m_store->LoadPacket("TBPLANO", {}, Packet("PKPLANO int K", {{1}}), 6);
    auto a = Store(5);
    auto b = Store(6);
    // A table with rows for store 6 only is not offered to store 5.
    EXPECT_EQ(a->Call("Get_ProvidersCount", {})["value"], 1);
    EXPECT_EQ(b->Call("Get_ProvidersCount", {})["value"], 2);
    EXPECT_EQ(b->Call("Get_Providers", {1, "", ""})["args"][2], "TBPLANO");
    // Both requests are in flight before either answer is read.
    a->WriteRaw(wire::EncodeFrame(wire::Request(7, "AS_GetRecords", QJsonArray{"DspAliquota", -1, Params(5)})));
    b->WriteRaw(wire::EncodeFrame(wire::Request(7, "AS_GetRecords", QJsonArray{"DspAliquota", -1, Params(6)})));
    EXPECT_EQ(Keys(b->Receive()["result"].toObject()), QList<int>({2, 3}));
    EXPECT_EQ(Keys(a->Receive()["result"].toObject()), QList<int>({1}));
}

// The executable as the end-to-end tests use it: admin commands on a stopped
// server, then a server on an ephemeral port announced in a port file.
TEST(StandInServerProcess, RunsOnAnEphemeralPortAndStopsCleanly)
{
    App();
    TTempFolder dir;
    const QString exe = QStringLiteral(KELT_APPSERVER_EXE);
    const QString db = dir.File("server.fdb");
    const auto admin = [&](const QStringList& args) {
        QProcess p;
        p.start(exe, QStringList{"admin", "--database", db} + args);
        EXPECT_TRUE(p.waitForFinished(60000));
        return p.exitCode();
    };
    dir.Write("aliq.xml", Aliquotas({1, 2}).ToXml());
    EXPECT_EQ(admin({"add-installation", "C1", "1", "5", "SP", "--rewrite-uf", "RJ"}), 0);
    EXPECT_EQ(admin({"load", "--table", "TBALIQUOTA", "--for-store", "5", dir.File("aliq.xml")}), 0);
    EXPECT_EQ(admin({"fault", "NrRegistros_AImportar", "--once", "value", "-7"}), 0);
    EXPECT_EQ(admin({"fault", "NrRegistros_AImportar", "explode"}), 1);
    EXPECT_EQ(admin({"add-installation", "C1"}), 2);

    QProcess server;
    server.start(
        exe, {"--database", db, "--port", "0", "--port-file", dir.File("port"), "--log-file", dir.File("server.log")});
    ASSERT_TRUE(WaitFor([&] { return QFile::exists(dir.File("port")); }, 30000));
    const quint16 port = quint16(dir.Read("port").trimmed().toUInt());
    {
        TRawClient c(port);
        c.Open(TStandInServer::CadServerName);
        EXPECT_EQ(c.Call("Conecta_No_Banco", Identity(5))["args"][3], "RJ");
        const QJsonArray count = Concat(QJsonArray{"TBALIQUOTA"}, Identity(5)) << 0;
        EXPECT_EQ(c.Call("NrRegistros_AImportar", count)["value"], -7);
        EXPECT_EQ(c.Call("NrRegistros_AImportar", count)["value"], 2);
    }
    server.terminate();
    ASSERT_TRUE(server.waitForFinished(30000));
    EXPECT_EQ(server.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(server.exitCode(), 0);
    EXPECT_TRUE(dir.Read("server.log").contains("NrRegistros_AImportar TBALIQUOTA -> 2"));
    // The database is free again for the operator.
    EXPECT_EQ(admin({"status"}), 0);
}

} // namespace
