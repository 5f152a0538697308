#include "platform/types/Exception.h"
#include "platform/os/MessageBox.h"
#include "platform/os/ProgramFolder.h"
#include "platform/sql/SQLConnection.h"
#include "platform/sql/SQLDataSet.h"
#include "replication/core/ServerEndpoints.h"
#include "replication/core/cl_Funcoes.h"
#include "tests/platform/os/EnvScope.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <tuple>

#include <sys/resource.h>

namespace {

struct TUpkeepClient : TKeltTarefa
{
    using TKeltBaseClient::ColumnExists;
};

QString Scalar(TSQLConnection& connection, const QString& sql)
{
    TSQLDataSet ds(&connection);
    ds.SetCommandText(sql);
    ds.Open();
    const QString value = ds.IsEmpty() ? QStringLiteral("<none>") : ds.Fields(0).AsString().trimmed();
    ds.Close();
    return value;
}

QStringList Ports(const QString& list)
{
    static const QRegularExpression entry(QStringLiteral("^[A-Za-z0-9-]+(\\.[A-Za-z0-9-]+)*:(\\d+)$"));
    QStringList ports;
    for (const QString& item : list.split(u';')) {
        const auto match = entry.match(item);
        ports << (match.hasMatch() ? match.captured(2) : QStringLiteral("bad entry '%1'").arg(item));
    }
    return ports;
}

const QByteArray kLegacyWrong = "; replicador antigo\r\n[SOCKET]\r\nAddress=10.0.0.1\r\nPort=211\r\n[OUTRA]\r\nX=1\r\n";

class LocalEnvironmentTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_local.Exec("CREATE DOMAIN DMN_INTEGER AS INTEGER");
        m_local.Exec("CREATE TABLE TBVENDA (PKVENDA INTEGER NOT NULL PRIMARY KEY, VLVENDA NUMERIC(15,2))");
        m_local.Exec("INSERT INTO TBFILIAL VALUES (7, 'SE')");
        m_local.Exec("INSERT INTO TBFILIAL VALUES (8, 'BA')");
        for (int question : {40, 41, 200})
            m_local.Exec(QStringLiteral("INSERT INTO TBRESPOSTA VALUES (%1, 'antiga')").arg(question));
        m_paf.Exec("INSERT INTO TBVERIFICAVERSAO VALUES (1, '1.0')");
        WriteConfig("VIVO_BA", 7, m_local.Path());
        m_program.Write("ConfigKeltPAF.ini", DbSection(m_paf.Path()));
        SetProgramFolderOverride(m_program.Path());
        SetShowMessageHook([this](const QString& text) { m_messages << text; });
        m_client.SetLocalConnection(&m_localConnection);
        m_client.SetPafConnection(&m_pafConnection);
        m_client.SetLookupDataSet(&m_lookup);
    }

    void TearDown() override
    {
        m_lookup.Close();
        m_localConnection.Close();
        m_pafConnection.Close();
        SetShowMessageHook({});
        SetProgramFolderOverride({});
    }

    static QByteArray DbSection(const QString& database)
    {
        return "[DB]\r\nDataBase=" + database.toUtf8()
               + "\r\nUser_Name=SYSDBA\r\nPassword=quillbent\r\nServerCharSet=ISO8859_1\r\nSQLDialect=3\r\n";
    }

    void WriteConfig(const QByteArray& uf, int pkFilial, const QString& database)
    {
        m_program.Write("Config.ini", "[FILIAL]\r\nCDCONTRATO=1234\r\nPKFILIAL=" + QByteArray::number(pkFilial)
                                          + "\r\nUF=" + uf + "\r\n; fim da filial\r\n" + DbSection(database));
    }

    QString Local(const QString& sql) { return Scalar(m_local.Connection(), sql); }
    QString Legacy() const { return m_legacyFolder.File("Replica/Config.ini"); }
    void WriteLegacy(const QByteArray& text)
    {
        ASSERT_TRUE(QDir().mkpath(QFileInfo(Legacy()).absolutePath()));
        m_legacyFolder.Write("Replica/Config.ini", text);
    }

    TTestDatabase m_local{ParseSchemaText("TBRESPOSTA (PKPERGUNTA): PKPERGUNTA int K; RESPOSTA str 500\n"
                                          "TBFILIAL (PKFILIAL): PKFILIAL int K; SGESTADO char 2\n")};
    TTestDatabase m_paf{ParseSchemaText("TBVERIFICAVERSAO (PKVERIFICA): PKVERIFICA int K; NRVERSAO str 20\n")};
    TTempFolder m_program;
    TTempFolder m_legacyFolder;
    TEnvScope m_legacyEnv{"KELT_LEGACY_CONFIG", Legacy().toLocal8Bit()};
    QStringList m_messages;
    TSQLConnection m_localConnection;
    TSQLConnection m_pafConnection;
    TSQLDataSet m_lookup{&m_localConnection};
    TUpkeepClient m_client;
};

} // namespace

TEST_F(LocalEnvironmentTest, FullUpkeepThenAnIdleSecondStart)
{
    WriteLegacy(kLegacyWrong);
    m_client.PrepareLocalEnvironment();

    const QString host = Local("SELECT RESPOSTA FROM TBRESPOSTA WHERE PKPERGUNTA = 40");
    EXPECT_FALSE(host.isEmpty());
    EXPECT_FALSE(host.contains(u':'));
    EXPECT_EQ(Ports(Local("SELECT RESPOSTA FROM TBRESPOSTA WHERE PKPERGUNTA = 200")),
              QStringList({"10311", "10311", "311", "10311", "311", "400", "10400"}));
    EXPECT_EQ(Local("SELECT RESPOSTA FROM TBRESPOSTA WHERE PKPERGUNTA = 41"), "antiga");
    EXPECT_EQ(Local("SELECT RESPOSTA FROM TBRESPOSTA WHERE PKPERGUNTA = 262"), "<none>"); // not created

    // Only the two values of the legacy file change.
    const QByteArray rewritten = m_legacyFolder.Read("Replica/Config.ini");
    EXPECT_EQ(rewritten, QByteArray(kLegacyWrong)
                             .replace("Address=10.0.0.1", "Address=" + host.toLatin1())
                             .replace("Port=211", "Port=10211"));

    EXPECT_EQ(Scalar(m_paf.Connection(), "SELECT COUNT(*) FROM TBVERIFICAVERSAO"), "0");
    EXPECT_EQ(Local("SELECT RDB$FIELD_SOURCE FROM RDB$RELATION_FIELDS WHERE RDB$RELATION_NAME = 'TBVENDA' "
                    "AND RDB$FIELD_NAME = 'FINANCEIROPENDENTE'"),
              "DMN_INTEGER");
    EXPECT_TRUE(m_program.Read("Config.ini").contains("\r\nUF=VIVO_SE\r\n; fim da filial\r\n"));
    EXPECT_TRUE(m_messages.isEmpty());

    // The second start finds everything in place: the column is not added
    // again (the database would refuse it) and the legacy file keeps its bytes.
    const QDateTime stamp = QFileInfo(Legacy()).lastModified();
    m_local.Exec("INSERT INTO TBRESPOSTA VALUES (262, 'antiga')");
    m_client.PrepareLocalEnvironment();
    EXPECT_EQ(Ports(Local("SELECT RESPOSTA FROM TBRESPOSTA WHERE PKPERGUNTA = 262")),
              QStringList({"10211", "10211", "211", "10211", "211"}));
    EXPECT_EQ(m_legacyFolder.Read("Replica/Config.ini"), rewritten);
    EXPECT_EQ(QFileInfo(Legacy()).lastModified(), stamp);
    EXPECT_TRUE(m_messages.isEmpty());

    // The column check takes names in any case and keeps quotes in a name inert.
    EXPECT_TRUE(m_client.ColumnExists("tbVenda", "financeiroPendente"));
    EXPECT_TRUE(m_client.ColumnExists("TBFILIAL", "sgestado"));
    EXPECT_FALSE(m_client.ColumnExists("TBFILIAL", "FINANCEIROPENDENTE"));
    EXPECT_FALSE(m_client.ColumnExists("TBVENDA", "X' OR '1' = '1"));
}

TEST_F(LocalEnvironmentTest, RegionFixOnlyForVivoBaInSergipe)
{
    // UF in the file, branch (7 in SE, 8 in BA, 99 without row), UF afterwards.
    const std::tuple<QByteArray, int, QByteArray> cases[] = {
        {"VIVO_BA", 7, "VIVO_SE"}, {"VIVO_BA", 8, "VIVO_BA"}, {"VIVO_SE", 7, "VIVO_SE"},
        {"VIVO_BA", 99, "VIVO_BA"}, {"vivo_ba", 7, "vivo_ba"}, {"MG", 7, "MG"}, // no CLARO_MG reading here
    };
    m_client.ReadConfiguration();
    for (const auto& [uf, pkFilial, after] : cases) {
        WriteConfig(uf, pkFilial, m_local.Path());
        const QByteArray before = m_program.Read("Config.ini");
        m_client.AdjustVivoUf();
        EXPECT_EQ(m_program.Read("Config.ini"), QByteArray(before).replace("UF=" + uf + "\r\n", "UF=" + after + "\r\n"))
            << uf.constData() << " " << pkFilial;
    }
    EXPECT_EQ(m_client.BranchState(8), "BA");
    EXPECT_EQ(m_client.BranchState(99), "");
    EXPECT_EQ(m_lookup.CommandText(), "SELECT SGESTADO FROM TBFILIAL WHERE PKFILIAL = 99");
    EXPECT_TRUE(m_lookup.Active());
}

TEST_F(LocalEnvironmentTest, LegacyFileNeverCreatedAndLeftAloneWhenRightWithTheFiscalDatabaseAway)
{
    m_program.Write("ConfigKeltPAF.ini", DbSection(m_program.File("nao-existe.kelt")));
    m_client.PrepareLocalEnvironment();
    EXPECT_FALSE(QFileInfo::exists(QFileInfo(Legacy()).absolutePath()));

    // Right already, in a spelling the profile functions read as the same values.
    const QByteArray right = "[socket]\nAddress = \"" + QByteArray(Resposta40Host) + "\"\nport=10211\n";
    WriteLegacy(right);
    m_client.PrepareLocalEnvironment();
    EXPECT_EQ(m_legacyFolder.Read("Replica/Config.ini"), right);

    // Port only wrong: only the port line changes.
    const QByteArray address = "Address = " + QByteArray(Resposta40Host) + " \n";
    WriteLegacy("[SOCKET]\n" + address + "Port=211\n");
    m_client.UpdateServerLists();
    EXPECT_EQ(m_legacyFolder.Read("Replica/Config.ini"), "[SOCKET]\n" + address + "Port=10211\n");
    EXPECT_TRUE(m_messages.isEmpty());
}

TEST_F(LocalEnvironmentTest, LocalFailuresEndTheUpkeepAtTheirStep)
{
    // Local database missing: the region step fails first, nothing later runs.
    WriteLegacy(kLegacyWrong);
    WriteConfig("VIVO_BA", 7, m_program.File("nao-existe.kelt"));
    EXPECT_THROW(m_client.PrepareLocalEnvironment(), EDatabaseError);
    EXPECT_EQ(m_legacyFolder.Read("Replica/Config.ini"), kLegacyWrong);
    EXPECT_EQ(Scalar(m_paf.Connection(), "SELECT COUNT(*) FROM TBVERIFICAVERSAO"), "1");

    // tbResposta missing: the legacy file was fixed, the column is not added.
    WriteConfig("VIVO_BA", 7, m_local.Path());
    m_local.Exec("DROP TABLE TBRESPOSTA");
    EXPECT_THROW(m_client.PrepareLocalEnvironment(), EDatabaseError);
    EXPECT_NE(m_legacyFolder.Read("Replica/Config.ini"), kLegacyWrong);
    EXPECT_EQ(Local("SELECT COUNT(*) FROM RDB$RELATION_FIELDS WHERE RDB$FIELD_NAME = 'FINANCEIROPENDENTE'"), "0");
}

TEST_F(LocalEnvironmentTest, AnUnwritableLegacyFileIsReportedAndTheUpkeepGoesOn)
{
    WriteLegacy(kLegacyWrong);
    m_client.ReadConfiguration();
    m_client.SetLocalConnection(nullptr); // the step after the file then fails at once
    // No file can be opened while the limit is 0 (root ignores permissions).
    rlimit old{};
    getrlimit(RLIMIT_NOFILE, &old);
    rlimit none = old;
    none.rlim_cur = 0;
    setrlimit(RLIMIT_NOFILE, &none);
    bool reachedNextStep = false;
    try {
        m_client.UpdateServerLists();
    } catch (const EDatabaseError&) {
        reachedNextStep = true;
    }
    setrlimit(RLIMIT_NOFILE, &old);
    EXPECT_TRUE(reachedNextStep);
    EXPECT_EQ(m_messages, QStringList{"Erro ao alterar o arquivo INI do Replicador."});
    EXPECT_EQ(m_legacyFolder.Read("Replica/Config.ini"), kLegacyWrong);
}
