#include "platform/data/ClientDataSet.h"
#include "platform/sql/SQLConnection.h"
#include "remote/wire/SocketConnection.h"
#include "replication/core/cl_Funcoes.h"
#include "tests/support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

QStringList Codes(const TArrayCdComta& codes)
{
    QStringList list;
    for (const TDadosCdComta& c : codes)
        list << c.Codigo;
    return list;
}

QStringList Pairs(const TSQLConnection& c)
{
    QStringList list;
    for (int i = 0; i < c.Params().Count(); ++i)
        list << c.Params().NameAt(i) + "=" + c.Params().ValueAt(i);
    return list;
}

} // namespace

TEST(ReadDadosFilial, ReadsTheIdentityAndMapsMg)
{
    TTempFolder dir;
    const TKeltBaseServerClient sc;
    dir.Write("Config.ini",
              "[filial]\r\ncdcontrato=C-77\r\nPKEMPRESA=3\r\nPKFILIAL=-12\r\nUF=MG\r\nTPFILIAL=1\r\nCDCOMTA=A1,B2,\r\n");
    TDadosFilial d;
    d.CdComta = {{"old"}};
    sc.ReadDadosFilial(dir.Path(), "Config.ini", d);
    EXPECT_EQ(d.CdContrato, "C-77");
    EXPECT_EQ(d.PkEmpresa, 3);
    EXPECT_EQ(d.PkFilial, -12);
    EXPECT_EQ(d.UF, "CLARO_MG");
    EXPECT_EQ(d.TpFilial, 1);
    EXPECT_EQ(Codes(d.CdComta), QStringList({"A1", "B2"}));

    // Only the exact upper-case "MG" is mapped. The file is read anew every time.
    for (const char* uf : {"mg", "CLARO_MG", "VIVO_BA", " MG "}) {
        dir.Write("Config.ini", QByteArray("[FILIAL]\nUF=") + uf + "\n");
        sc.ReadDadosFilial(dir.Path(), "Config.ini", d);
        const QString expected = QString::fromLatin1(uf).trimmed() == "MG" ? "CLARO_MG" : QString::fromLatin1(uf);
        EXPECT_EQ(d.UF, expected) << uf;
        EXPECT_EQ(d.TpFilial, -1); // missing type is -1, not 0
        EXPECT_EQ(d.PkFilial, 0);
        EXPECT_TRUE(d.CdComta.isEmpty());
    }

    // No file at all: every field takes its default.
    d = {"x", 1, 2, "y", 3, {{"z"}}};
    sc.ReadDadosFilial(dir.Path(), "Missing.ini", d);
    EXPECT_EQ(d, (TDadosFilial{"", 0, 0, "", -1, {}}));

    // A bad integer yields the key's default.
    dir.Write("Config.ini", "[FILIAL]\nPKFILIAL=12a\nTPFILIAL=zero\n");
    sc.ReadDadosFilial(dir.Path(), "Config.ini", d);
    EXPECT_EQ(d.PkFilial, 0);
    EXPECT_EQ(d.TpFilial, -1);
}

TEST(SplitCdComta, KeepsOnlyCodesFollowedByAComma)
{
    const TKeltBaseServerClient sc;
    TArrayCdComta codes{{"stale"}};
    sc.SplitCdComta("", codes);
    EXPECT_TRUE(codes.isEmpty());
    sc.SplitCdComta("A,B,", codes);
    EXPECT_EQ(Codes(codes), QStringList({"A", "B"}));
    sc.SplitCdComta("A,B", codes);
    EXPECT_EQ(Codes(codes), QStringList({"A"}));
    sc.SplitCdComta("ONE", codes);
    EXPECT_TRUE(codes.isEmpty());
    sc.SplitCdComta(",,", codes);
    EXPECT_EQ(Codes(codes), QStringList({"", ""}));
    sc.SplitCdComta(" x ,", codes);
    EXPECT_EQ(Codes(codes), QStringList({" x "}));
}

TEST(ReadSyncInterval, StopsTheTimerAndSetsMinutes)
{
    int argc = 1;
    char name[] = "test";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    TTempFolder dir;
    const TKeltBaseServerClient sc;
    QTimer timer;
    timer.start(5000);

    sc.ReadSyncInterval(dir.Path(), "Config.ini", timer);
    EXPECT_FALSE(timer.isActive());
    EXPECT_EQ(timer.interval(), 3600000);

    const std::pair<const char*, int> cases[] = {
        {"1", 60000}, {"0", 0}, {"-5", 0}, {"abc", 3600000}, {"1000000", std::numeric_limits<int>::max()}};
    for (const auto& [value, ms] : cases) {
        dir.Write("Config.ini", QByteArray("[SINCRONIZACAO]\ntemposincronizacao=") + value + "\n");
        timer.start(5000);
        sc.ReadSyncInterval(dir.Path(), "Config.ini", timer);
        EXPECT_FALSE(timer.isActive()) << value;
        EXPECT_EQ(timer.interval(), ms) << value;
    }
}

TEST(ReadMonitoring, OnlyOneSwitchesMonitoringOn)
{
    TTempFolder dir;
    const TKeltBaseServerClient sc;
    TDadosMonitoramentoReplicacao m{true, "stale"};
    sc.ReadMonitoring(dir.Path(), "Config.ini", m);
    EXPECT_EQ(m, (TDadosMonitoramentoReplicacao{false, ""}));

    dir.Write("Config.ini", "[LOG]\nMonitorarReplicacao=1\nDataBase=/data/LOG.KELT\n");
    sc.ReadMonitoring(dir.Path(), "Config.ini", m);
    EXPECT_EQ(m, (TDadosMonitoramentoReplicacao{true, "/data/LOG.KELT"}));

    dir.Write("Config.ini", "[LOG]\nMonitorarReplicacao=2\n");
    sc.ReadMonitoring(dir.Path(), "Config.ini", m);
    EXPECT_FALSE(m.MonitorarReplicacao);
}

TEST(ReadPacketRecords, ClosesTheDataSetAndSetsThePacketSize)
{
    TTempFolder dir;
    const TKeltBaseServerClient sc;
    TClientDataSet cds;
    TDataPacket packet(ParseFieldList(u"PK int K"));
    packet.AppendRow({1});
    cds.SetPacket(packet);
    ASSERT_TRUE(cds.Active());

    sc.ReadPacketRecords(dir.Path(), "Config.ini", cds);
    EXPECT_FALSE(cds.Active());
    EXPECT_EQ(cds.PacketRecords(), 1000);

    dir.Write("Config.ini", "[ClientDataSet]\nPackedRecord=50\n");
    sc.ReadPacketRecords(dir.Path(), "Config.ini", cds);
    EXPECT_EQ(cds.PacketRecords(), 50);
}

TEST(ReadSocket, EndpointFromSocketOrOwnSocketSection)
{
    TTempFolder dir;
    const TKeltBaseServerClient sc;
    TSocketConnection socket;

    // A missing port is 0, not the connection's own 211.
    dir.Write("Config.ini", "[SOCKET]\nAddress=srv.example\n[SOCKET_PROPRIO]\n\n[FILIAL]\nPKFILIAL=1\n");
    sc.ReadSocket(dir.Path(), "Config.ini", socket);
    EXPECT_EQ(socket.Host(), "srv.example");
    EXPECT_EQ(socket.Port(), 0);
    // A header without keys does not count: [SOCKET] applies.
    socket.SetHost("other");
    sc.ReadOwnSocket(dir.Path(), "Config.ini", socket);
    EXPECT_EQ(socket.Host(), "srv.example");
    EXPECT_EQ(socket.Port(), 0);

    dir.Write("Config.ini", "[SOCKET]\nAddress=srv.example\nPort=211\n[socket_proprio]\nPort=9000\n");
    sc.ReadOwnSocket(dir.Path(), "Config.ini", socket);
    EXPECT_EQ(socket.Host(), "");
    EXPECT_EQ(socket.Port(), 9000);
    sc.ReadSocket(dir.Path(), "Config.ini", socket);
    EXPECT_EQ(socket.Host(), "srv.example");
    EXPECT_EQ(socket.Port(), 211);

    sc.ReadSocket(dir.Path(), "Missing.ini", socket);
    EXPECT_EQ(socket.Host(), "");
    EXPECT_EQ(socket.Port(), 0);
}

// The TLS keys travel with the endpoint: the section in use says all of them,
// so a [SOCKET_PROPRIO] without TLS is plain even when [SOCKET] has TLS on.
TEST(ReadSocket, TlsKeysComeFromTheSectionInUse)
{
    TTempFolder dir;
    const TKeltBaseServerClient sc;
    TSocketConnection socket;
    dir.Write("Config.ini", "[SOCKET]\nAddress=a\nPort=1\nTLS=1\nFingerprint= AB:cd \nCAFile=certs/ca.pem\n"
                            "[SOCKET_PROPRIO]\nAddress=b\nPort=2\nCAFile=/etc/ca.pem\n");
    sc.ReadSocket(dir.Path(), "Config.ini", socket);
    EXPECT_EQ(socket.Tls(), (TTlsSettings{true, "AB:cd", QDir(dir.Path()).absoluteFilePath("certs/ca.pem")}));
    sc.ReadOwnSocket(dir.Path(), "Config.ini", socket);
    EXPECT_EQ(socket.Tls(), (TTlsSettings{false, "", "/etc/ca.pem"}));
    // Only 1 switches it on.
    dir.Write("Config.ini", "[SOCKET]\nAddress=a\nPort=1\nTLS=yes\n");
    sc.ReadOwnSocket(dir.Path(), "Config.ini", socket);
    EXPECT_EQ(socket.Tls(), TTlsSettings{});
}

TEST(ReadDatabase, ReplacesAllParametersByTheFiveOfTheFile)
{
    TTempFolder dir;
    const TKeltBaseServerClient sc;
    TSQLConnection c;
    c.SetLoginPrompt(true);
    c.Params().Add("DataBase", "design.kelt");
    c.Params().Add("Password", "quillbent");
    c.Params().Add("BlobSize", "-1");

    dir.Write("Config.ini",
              "[DB]\nSQLDialect=3\nDataBase=/data/AGENTE.KELT\nUser_Name=sysdba\nPassword=\nServerCharSet=WIN1252\n"
              "[LOG]\nDataBase=/data/LOG.KELT\n");
    sc.ReadDatabase(dir.Path(), "Config.ini", c);
    EXPECT_FALSE(c.LoginPrompt());
    EXPECT_EQ(Pairs(c), QStringList({"DataBase=/data/AGENTE.KELT", "User_Name=sysdba", "Password=",
                                     "ServerCharSet=WIN1252", "SQLDialect=3"}));

    sc.ReadDatabase(dir.Path(), "ConfigKeltPAF.ini", c); // missing file: five empty values
    EXPECT_EQ(Pairs(c), QStringList({"DataBase=", "User_Name=", "Password=", "ServerCharSet=", "SQLDialect="}));

    // The log database has its own fixed login whatever [DB] says.
    c.SetLoginPrompt(true);
    sc.ReadLogDatabase(dir.Path(), "Config.ini", c);
    EXPECT_FALSE(c.LoginPrompt());
    EXPECT_EQ(Pairs(c), QStringList({"DataBase=/data/LOG.KELT", "User_Name=SYSDBA", "Password=quillbent",
                                     "ServerCharSet=ISO8859_1", "SQLDialect=3"}));
}
