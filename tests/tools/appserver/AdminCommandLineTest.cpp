// The command lines of kelt-appserver and kelt-schema as an operator types
// them, run as processes; the admin commands against a stopped server's
// database and, with --connect, against a running server over real TCP.
#include "tests/tools/appserver/AppServerTestSupport.h"

#include "platform/os/FileVersion.h"
#include "tools/appserver/AdminService.h"

#include <QNetworkInterface>
#include <QProcess>

namespace {

using namespace appserver_test;

struct TRun
{
    int Code = -1;
    QString Out;
    QString Err;
};

TRun RunTool(const QString& exe, const QStringList& args)
{
    QProcess p;
    p.start(exe, args);
    EXPECT_TRUE(p.waitForFinished(60000)) << exe.toStdString();
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

TRun Admin(const QStringList& args)
{
    return RunTool(QStringLiteral(KELT_APPSERVER_EXE), QStringList{"admin"} + args);
}

TEST(ToolCommandLine, HelpVersionAndUnknownOptionsOnBothTools)
{
    App();
    for (const QString& exe : {QStringLiteral(KELT_APPSERVER_EXE), QStringLiteral(KELT_SCHEMA_EXE)}) {
        SCOPED_TRACE(exe.toStdString());
        const QString name = QFileInfo(exe).fileName();
        const QString version = FileVersionText(exe, "%u.%u.%u.%u");
        EXPECT_TRUE(version.startsWith(QStringLiteral(KELT_PROJECT_VERSION "."))) << version.toStdString();

        const TRun v = RunTool(exe, {"--version"});
        EXPECT_EQ(v.Code, 0);
        EXPECT_EQ(v.Out.trimmed(), name + u' ' + version);

        const TRun h = RunTool(exe, {"--help"});
        EXPECT_EQ(h.Code, 0);
        EXPECT_TRUE(h.Out.contains("--database")) << h.Out.toStdString();

        const TRun u = RunTool(exe, {"--database", "x.fdb", "--bogus"});
        EXPECT_EQ(u.Code, 2);
        EXPECT_TRUE(u.Err.contains("bogus")) << u.Err.toStdString();
        EXPECT_FALSE(QFile::exists("x.fdb"));
    }
    // kelt-schema takes --opt=value (its parser always did; kept so).
    TTempFolder dir;
    dir.Write("t.def", "TBX (PKX): PKX int K\n");
    const TRun s = RunTool(QStringLiteral(KELT_SCHEMA_EXE), {"--database=" + dir.File("s.fdb"), dir.File("t.def")});
    EXPECT_EQ(s.Code, 0) << s.Err.toStdString();
    EXPECT_TRUE(QFile::exists(dir.File("s.fdb")));
}

// A typing error in the database path of a command that only reads used to
// leave a new, empty database behind and report it as empty.
TEST(AdminCommandLine, OptionValuesWithEqualsAndReadOnlyCommandsRefuseAMissingDatabase)
{
    App();
    TTempFolder dir;
    const QString db = dir.File("server.fdb");
    const QString typo = dir.File("typo.fdb");
    for (const QStringList& command :
         {QStringList{"status"}, {"rows", "--object=cadm", "--table=TBALIQUOTA"}, {"faults"}, {"clear-faults"}}) {
        SCOPED_TRACE(command.join(' ').toStdString());
        const TRun r = Admin(QStringList{"--database", typo} + command);
        EXPECT_EQ(r.Code, 1);
        EXPECT_TRUE(r.Err.contains("No database " + typo)) << r.Err.toStdString();
    }
    EXPECT_EQ(QDir(dir.Path()).entryList(QDir::Files), QStringList());

    // Set-up commands create it, as before; --opt=value anywhere an option goes.
    TRun r = Admin({"--database=" + db, "add-installation", "C1", "1", "5", "SP", "--rewrite-uf=RJ"});
    EXPECT_EQ(r.Code, 0) << r.Err.toStdString();
    r = Admin({"--database=" + db, "fault", "ReplicaTabela", "--table=TBX", "--at=2", "false"});
    EXPECT_EQ(r.Code, 0) << r.Err.toStdString();
    r = Admin({"--database", db, "status"});
    EXPECT_EQ(r.Code, 0);
    EXPECT_TRUE(r.Out.contains("installation C1 PKEMPRESA=1 PKFILIAL=5 UF=SP (rewrites UF to RJ)")) << r.Out.toStdString();
    EXPECT_TRUE(r.Out.contains("\"at\":2")) << r.Out.toStdString();
    EXPECT_TRUE(r.Out.contains("\"table\":\"TBX\"")) << r.Out.toStdString();
    EXPECT_EQ(Admin({"--database=", "status"}).Code, 1); // an empty path is no database either
    EXPECT_EQ(Admin({"--database", db, "status", "--bogus=1"}).Code, 2);
}

// A local address other than loopback, to reach a server as another machine
// would; empty when the machine has none.
QString OtherLocalAddress()
{
    for (const QHostAddress& a : QNetworkInterface::allAddresses())
        if (a.protocol() == QAbstractSocket::IPv4Protocol && !a.isLoopback() && !a.isLinkLocal())
            return a.toString();
    return {};
}

TEST(AdminConnect, DrivesARunningServerAndRefusesPeersWithoutTheToken)
{
    App();
    TTempFolder dir;
    const QString exe = QStringLiteral(KELT_APPSERVER_EXE);
    const QString db = dir.File("server.fdb");
    dir.Write("aliq.xml", Aliquotas({1, 2}).ToXml());
    ASSERT_EQ(Admin({"--database", db, "add-installation", "C1", "1", "5", "SP"}).Code, 0);
    ASSERT_EQ(Admin({"--database", db, "load", "--table", "TBALIQUOTA", dir.File("aliq.xml")}).Code, 0);

    // Every interface, so that the same server is reached from loopback and from another address.
    QProcess server;
    server.start(exe, {"--database", db, "--listen=0.0.0.0", "--port=0", "--port-file=" + dir.File("port"),
                       "--admin-token=s3cret", "--quiet"});
    ASSERT_TRUE(WaitFor([&] { return QFile::exists(dir.File("port")); }, 30000));
    const QString port = QString::fromUtf8(dir.Read("port").trimmed());
    const QString local = "127.0.0.1:" + port;

    TRun r = Admin({"--connect", local, "status"});
    EXPECT_EQ(r.Code, 0) << r.Err.toStdString();
    EXPECT_TRUE(r.Out.contains("installation C1 PKEMPRESA=1 PKFILIAL=5 UF=SP")) << r.Out.toStdString();
    EXPECT_TRUE(r.Out.contains("KeltCadServer.coKeltCadServer table TBALIQUOTA provider DspAliquota"));

    // A fault set from the command line reaches the clients at once.
    r = Admin({"--connect=" + local, "fault", "NrRegistros_AImportar", "--once", "value", "-7"});
    EXPECT_EQ(r.Code, 0) << r.Err.toStdString();
    EXPECT_TRUE(Admin({"--connect", local, "faults"}).Out.contains("\"value\":-7"));
    r = Admin({"--connect", local, "publish", "2.1.0.16", "http://updates.example/upd.exe"});
    EXPECT_EQ(r.Code, 0) << r.Err.toStdString();
    EXPECT_EQ(r.Out, "Published 2.1.0.16 at http://updates.example/upd.exe\n");
    {
        TRawClient c(quint16(port.toUInt()));
        c.Open(TStandInServer::CadServerName);
        EXPECT_EQ(c.Call("Conecta_No_Banco", Identity(5))["value"], true);
        const QJsonArray count = Concat(QJsonArray{"TBALIQUOTA"}, Identity(5)) << 0;
        EXPECT_EQ(c.Call("NrRegistros_AImportar", count)["value"], -7);
        EXPECT_EQ(c.Call("NrRegistros_AImportar", count)["value"], 2);
        c.Open("KeltInternoServer.coKeltInternoServer");
        EXPECT_EQ(c.Call("ProcuraAtualizacao", {"keltappclient.exe", "02010015"})["value"],
                  "1|http://updates.example/upd.exe");
    }
    r = Admin({"--connect", local, "rows", "--table", "TBALIQUOTA"});
    EXPECT_EQ(r.Code, 0) << r.Err.toStdString();
    EXPECT_EQ(TDataPacket::FromXml(r.Out.toUtf8()).RowCount(), 2);

    r = Admin({"--connect", local, "--token", "guess", "status"});
    EXPECT_EQ(r.Code, 1);
    EXPECT_TRUE(r.Err.contains("Admin refused: wrong token")) << r.Err.toStdString();

    const QString other = OtherLocalAddress();
    if (!other.isEmpty()) {
        r = Admin({"--connect", other + ':' + port, "status"});
        EXPECT_EQ(r.Code, 1);
        EXPECT_TRUE(r.Err.contains("Admin refused: a token is required from " + other)) << r.Err.toStdString();
        r = Admin({"--connect", other + ':' + port, "--token=s3cret", "clear-faults"});
        EXPECT_EQ(r.Code, 0) << r.Err.toStdString();
    } else {
        std::puts("no address other than loopback here: the peer rule is checked by AdminRefusalRules only");
    }
    server.terminate();
    ASSERT_TRUE(server.waitForFinished(30000));
    EXPECT_EQ(server.exitCode(), 0);
    EXPECT_EQ(Admin({"--connect", local, "status"}).Code, 1); // nothing listens: a clear error, no hang
}

TEST(AdminConnect, AdminRefusalRules)
{
    const QHostAddress remote("192.0.2.77");
    EXPECT_EQ(AdminRefusal(QHostAddress::LocalHost, "", std::nullopt), "");
    EXPECT_EQ(AdminRefusal(QHostAddress("::ffff:127.0.0.1"), "", std::nullopt), ""); // a dual-stack listener
    EXPECT_EQ(AdminRefusal(QHostAddress::LocalHostIPv6, "t", std::nullopt), "");
    EXPECT_TRUE(AdminRefusal(remote, "", std::nullopt).contains("started without an admin token"));
    EXPECT_TRUE(AdminRefusal(remote, "", QString("t")).contains("started without an admin token"));
    EXPECT_TRUE(AdminRefusal(remote, "t", std::nullopt).contains("a token is required"));
    EXPECT_EQ(AdminRefusal(remote, "t", QString("t")), "");
    EXPECT_EQ(AdminRefusal(QHostAddress::LocalHost, "t", QString("T")), "Admin refused: wrong token");
}

// A refused open leaves the connection with nothing open, even after the
// admin object was open on it, and the connection goes on.
TEST_F(StandInServerTest, ARefusedAdminOpenLeavesNothingOpen)
{
    m_server->SetAdminToken("s3cret");
    TRawClient c(m_server->Port());
    EXPECT_TRUE(c.Open(TStandInServer::AdminName).contains("result"));
    const QJsonObject refused = c.Request(
        "open", QJsonObject{{"server", TStandInServer::AdminName}, {"guid", ""}, {"protocol", 1}, {"token", 7}});
    EXPECT_EQ(Message(refused), "Admin refused: wrong token");
    EXPECT_TRUE(c.ErrorOf("Faults", {}).contains("\"open\" comes first"));
    EXPECT_TRUE(c.Open(TStandInServer::CadServerName).contains("result"));
}

} // namespace
