// Headquarters exports, the branch imports, both through TFDM::RunCadMChannel,
// with the stand-in server as its own process on loopback in between.
#include "connections/uDM.h"
#include "platform/types/Decimal.h"
#include "platform/os/ProgramFolder.h"
#include "platform/sql/SQLConnection.h"
#include "platform/sql/SQLDataSet.h"
#include "replication/core/ProgressWidgets.h"
#include "tools/channel_schemas/CadastroMSchema.h"
#include "replication/master_data/uDM_CadastroM.h"
#include "tests/replication/master_data/CadMConfig.h"
#include "tests/replication/store_carrier/AppServerProcess.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TlsCertificate.h"

#include <QDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>

inline void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }

namespace {

constexpr qint32 kHq = 1;
constexpr qint32 kBranch = 5;
constexpr qint32 kOtherBranch = 7;

class TRecordingBar : public TPlainProgressBar
{
public:
    void SetPosition(int value) override
    {
        TPlainProgressBar::SetPosition(value);
        Highest = qMax(Highest, value);
    }
    int Highest = 0;
};

// One installation: its folder (Config.ini, Log/) and its database.
struct TInstallation
{
    TInstallation(const TTableDefs& tables, qint32 pkFilial, int tpFilial)
        : Db(tables), PkFilial(pkFilial), TpFilial(tpFilial)
    {
        QDir(Db.Folder().Path()).mkdir(QStringLiteral("Log"));
    }

    void WriteConfig(int port, int packetSize = 1000, const QString& socketKeys = {})
    {
        Db.Folder().Write(QStringLiteral("Config.ini"),
                          CadMConfigText(PkFilial, TpFilial, port, Db.Path(), packetSize, socketKeys));
    }

    // One run as the program makes it, with the installation as program folder.
    TRunResult Run()
    {
        SetProgramFolderOverride(Db.Folder().Path());
        TFDM dm;
        TFDM_CadastroM cadastro(&dm.SqlCAgente);
        dm.SetCadastroMModule(&cadastro);
        TTextHolder label;
        dm.SetChannelLabel(&label);
        dm.SetChannelProgressBar(&Bar);
        dm.RunCadMChannel();
        EXPECT_FALSE(dm.CbAgente.Connected());
        const TRunResult run = dm.CadMClient->LastRun();
        dm.SqlCAgente.Close();
        SetProgramFolderOverride({});
        return run;
    }

    // Rows of a query, each as its values joined by '|' (blobs in hex), sorted.
    QStringList Query(const QString& sql)
    {
        TSQLConnection c;
        c.Params().Add(QStringLiteral("DataBase"), Db.Path());
        c.Params().Add(QStringLiteral("User_Name"), QStringLiteral("SYSDBA"));
        c.Params().Add(QStringLiteral("Password"), QStringLiteral("quillbent"));
        QStringList rows;
        {
            TSQLDataSet ds(&c);
            ds.SetCommandText(sql);
            for (ds.Open(); !ds.Eof(); ds.Next()) {
                QStringList values;
                for (int i = 0; i < ds.FieldCount(); ++i) {
                    const TField f = ds.Fields(i);
                    values.append(f.IsNull() ? QStringLiteral("<null>")
                                  : f.Value().typeId() == QMetaType::QByteArray
                                      ? QStringLiteral("0x") + QString::fromLatin1(f.Value().toByteArray().toHex())
                                      : f.AsString());
                }
                rows.append(values.join(u'|'));
            }
        }
        c.Close();
        rows.sort();
        return rows;
    }

    // The log entries of the runs so far, as "step | table | message".
    QStringList Logs()
    {
        QStringList entries;
        QDir dir(Db.Folder().File(QStringLiteral("Log")));
        for (const QString& name : dir.entryList({QStringLiteral("Log_*.ini")}, QDir::Files, QDir::Name))
            entries.append(QString::fromLocal8Bit(Db.Folder().Read(QStringLiteral("Log/") + name)).simplified());
        return entries;
    }

    TTestDatabase Db;
    qint32 PkFilial;
    int TpFilial;
    TRecordingBar Bar;
};

const TCadastroMTable& Catalogue(const QString& table)
{
    for (const TCadastroMTable& t : CadastroMTables())
        if (t.TableName() == table)
            return t;
    throw std::runtime_error("not in the catalogue: " + table.toStdString());
}

const TTableResult* Result(const TRunResult& run, const QString& table)
{
    for (const TTableResult& t : run.Tables)
        if (t.Table == table)
            return &t;
    return nullptr;
}

class MasterDataE2ETest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_server = std::make_unique<TAppServerProcess>(QStringLiteral(KELT_APPSERVER_EXE), m_serverFolder.Path());
        QString socketKeys;
        if (m_tls) {
            m_certificate = std::make_unique<TTlsCertificate>(m_serverFolder.Path(), QStringLiteral("server"));
            m_server->SetTls(m_certificate->CertificateFile(), m_certificate->KeyFile());
            socketKeys = QStringLiteral("TLS=1\nFingerprint=%1\n").arg(m_certificate->Fingerprint());
        }
        m_server->Start();
        m_admin = std::make_unique<TAppServerAdmin>(m_server->Port(), m_tls ? m_certificate->Fingerprint() : QString());
        for (qint32 store : {kHq, kBranch, kOtherBranch})
            m_admin->AddInstallation(QStringLiteral("K1"), 1, store, QStringLiteral("VIVO_BA"));
        m_hq.WriteConfig(m_server->Port(), 1000, socketKeys);
        m_branch.WriteConfig(m_server->Port(), 1000, socketKeys);
        m_hq.Db.Exec(QStringLiteral("INSERT INTO TBEMPRESA (PKEMPRESA, CDOPERADORA, CDCONTRATO) VALUES (1, 'OP1', 'K1')"));
    }

    void TearDown() override
    {
        m_admin.reset();
        m_server->Stop();
    }

    void Track(const QString& table, qint32 k1, qint32 k2, qint32 branch)
    {
        m_hq.Db.Exec(QStringLiteral("INSERT INTO TBCEC (NMTABELA, PKTABELA, PKTABELA2, PKTABELA3, PKEMPRESA, PKFILIAL) "
                                    "VALUES ('%1', %2, %3, 0, 1, %4)")
                         .arg(table)
                         .arg(k1)
                         .arg(k2)
                         .arg(branch));
    }

    // What headquarters' query of `table` sends to the branch, in the columns of
    // its packet: the expected end state of the branch's table.
    QStringList Sent(const QString& table)
    {
        const TCadastroMTable& t = Catalogue(table);
        const QString query = CadastroMCommandText(t)
                                  .replace(QStringLiteral(":PPKEMPRESA"), QStringLiteral("1"))
                                  .replace(QStringLiteral(":PPKULTIMO"), QStringLiteral("0"));
        return m_hq.Query(QStringLiteral("SELECT %1 FROM (%2) Q WHERE Q.PKFILIALDESTINO IN (0, %3)")
                              .arg(Columns(t), query)
                              .arg(kBranch));
    }
    QStringList Received(const QString& table)
    {
        return m_branch.Query(QStringLiteral("SELECT %1 FROM %2").arg(Columns(Catalogue(table)), table));
    }
    static QString Columns(const TCadastroMTable& t)
    {
        QStringList names;
        for (const TFieldDef& f : ParseFieldList(t.FieldList))
            names.append(f.Name);
        return names.join(QStringLiteral(", "));
    }

    void BranchEndsWithWhatHeadquartersSent();

    bool m_tls = false; // set by the TLS fixture before SetUp
    std::unique_ptr<TTlsCertificate> m_certificate;
    TTempFolder m_serverFolder;
    std::unique_ptr<TAppServerProcess> m_server;
    std::unique_ptr<TAppServerAdmin> m_admin;
    TInstallation m_hq{CadastroMExportingTables(), kHq, 0};
    TInstallation m_branch{CadastroMReceivingTables(), kBranch, 1};
};

class MasterDataE2EOverTls : public MasterDataE2ETest
{
protected:
    MasterDataE2EOverTls() { m_tls = true; }
};

// A representative table of every way rows are found pending, keyed and
// addressed, through both runs; a second round sends nothing again.
TEST_F(MasterDataE2ETest, BranchEndsWithWhatHeadquartersSent)
{
    BranchEndsWithWhatHeadquartersSent();
}

// The same round over TLS: the server serves a certificate made for the test
// and both installations pin it.
TEST_F(MasterDataE2EOverTls, BranchEndsWithWhatHeadquartersSent)
{
    BranchEndsWithWhatHeadquartersSent();
}

void MasterDataE2ETest::BranchEndsWithWhatHeadquartersSent()
{
    auto& hq = m_hq.Db;
    // Two-key TBCEC table: rows for the branch, for another branch and for both.
    hq.Exec(QStringLiteral("INSERT INTO TBALIQUOTA (PKALIQUOTA, PKFILIAL, NMALIQUOTA, PEALIQUOTA, EXCLUIDO) "
                           "SELECT 10 + RDB$RELATION_ID, 1, 'Aliquota ' || RDB$RELATION_ID, 17.5, 0 "
                           "FROM RDB$RELATIONS WHERE RDB$RELATION_ID < 4"));
    for (int k : {10, 11, 12})
        Track(QStringLiteral("TBALIQUOTA"), k, 1, kBranch);
    Track(QStringLiteral("TBALIQUOTA"), 12, 1, kOtherBranch);
    Track(QStringLiteral("TBALIQUOTA"), 13, 1, kOtherBranch);
    // Joined on two columns, settled on one.
    hq.Exec(QStringLiteral("INSERT INTO TBFAIXAPRECO (PKFAIXAPRECO, PKOPERADORA, DSFAIXAPRECO, VLINICIAL, VLFINAL, "
                           "EXCLUIDO) VALUES (3, 2, 'Até R$ 500', 0.001, 500, 0)"));
    hq.Exec(QStringLiteral("INSERT INTO TBFAIXAPRECO (PKFAIXAPRECO, PKOPERADORA, DSFAIXAPRECO, VLINICIAL, VLFINAL, "
                           "EXCLUIDO) VALUES (4, 2, 'Acima', 500.001, 99999, 1)"));
    Track(QStringLiteral("TBFAIXAPRECO"), 3, 2, kBranch);
    Track(QStringLiteral("TBFAIXAPRECO"), 4, 2, kBranch);
    // Query of its own.
    Track(QStringLiteral("TBEMPRESA"), 1, 0, kBranch);
    // Blob and dates.
    hq.Exec(QStringLiteral("INSERT INTO TBFUNCIONARIO (PKFUNCIONARIO, PKFILIAL, NMFUNCIONARIO, DTNASCIMENTO, FOTO, "
                           "EXCLUIDO) VALUES (21, 1, 'João Conceição', DATE '1990-02-28', x'FFD8FF00E0104A46', 0)"));
    hq.Exec(QStringLiteral("INSERT INTO TBFUNCIONARIO (PKFUNCIONARIO, PKFILIAL, NMFUNCIONARIO, EXCLUIDO) "
                           "VALUES (22, 1, 'Sem foto', 0)"));
    Track(QStringLiteral("TBFUNCIONARIO"), 21, 1, kBranch);
    Track(QStringLiteral("TBFUNCIONARIO"), 22, 1, kBranch);
    // Marker tables: one addressed by its PKFILIAL, one for every branch with
    // the contract of its PKFPHABIL, one for every branch with a single key.
    hq.Exec(QStringLiteral("INSERT INTO TBPRECOACESSORIO (PKPRODUTO, PKFPRODUTO, PKFILIAL, PKUSUARIO, PKFUSUARIO, "
                           "VLANTERIOR, VLATUAL, DTALTERACAO, EXCLUIDO) VALUES (100, 1, %1, 1, 1, 9.9, 10.5, "
                           "DATE '2024-03-01', 0)")
                .arg(kBranch));
    hq.Exec(QStringLiteral("INSERT INTO TBPRECOACESSORIO (PKPRODUTO, PKFPRODUTO, PKFILIAL, PKUSUARIO, PKFUSUARIO, "
                           "VLANTERIOR, VLATUAL, DTALTERACAO, EXCLUIDO) VALUES (100, 1, %1, 1, 1, 9.9, 11, "
                           "DATE '2024-03-01', 0)")
                .arg(kOtherBranch));
    hq.Exec(QStringLiteral("INSERT INTO TBPRECOSWAP (PKPRECOSWAP, PKPHABIL, PKFPHABIL, PKPRODUTO, PKFPRODUTO, VLVENDA, "
                           "EXCLUIDO) VALUES (31, 2, 1, 100, 1, 49.9, 0)"));
    hq.Exec(QStringLiteral("INSERT INTO TBPRECOSWAP (PKPRECOSWAP, PKPHABIL, PKFPHABIL, PKPRODUTO, PKFPRODUTO, VLVENDA, "
                           "EXCLUIDO) VALUES (32, 2, 1, 101, 1, 0, 0)")); // no price: never sent
    hq.Exec(QStringLiteral("INSERT INTO TBITUSUARIO (PKITUSUARIO, PKUSUARIO, PKFUSUARIO, NMMENU, NMTELA, EXCLUIDO, "
                           "PKMENU) VALUES (41, 1, 1, 'mnVendas', 'FrmVenda', 0, 8)"));
    // Serial prices: keys above the server's last one and above 99999999.
    hq.Exec(QStringLiteral("INSERT INTO TBPRECOSERIAL (PKPRECOSERIAL, PKPROMOCAO, PKPHABIL, PKFPHABIL, PKPRODUTO, "
                           "PKFPRODUTO, VLVENDA, EXCLUIDO) VALUES (100000001, 1, 2, 1, 100, 1, 199.9, 0)"));
    hq.Exec(QStringLiteral("INSERT INTO TBPRECOSERIAL (PKPRECOSERIAL, PKPROMOCAO, PKPHABIL, PKFPHABIL, PKPRODUTO, "
                           "PKFPRODUTO, VLVENDA, EXCLUIDO) VALUES (100000002, 1, 2, 1, 101, 1, 99.5, 0)"));
    hq.Exec(QStringLiteral("INSERT INTO TBPRECOSERIAL (PKPRECOSERIAL, PKPROMOCAO, PKPHABIL, PKFPHABIL, PKPRODUTO, "
                           "PKFPRODUTO, VLVENDA, EXCLUIDO) VALUES (99999999, 1, 2, 1, 102, 1, 5, 0)"));

    const QStringList tables{QStringLiteral("TBALIQUOTA"),      QStringLiteral("TBFAIXAPRECO"),
                             QStringLiteral("TBEMPRESA"),       QStringLiteral("TBFUNCIONARIO"),
                             QStringLiteral("TBPRECOACESSORIO"), QStringLiteral("TBPRECOSWAP"),
                             QStringLiteral("TBITUSUARIO"),     QStringLiteral("TBPRECOSERIAL")};
    QMap<QString, QStringList> sent;
    for (const QString& t : tables)
        sent[t] = Sent(t);
    ASSERT_EQ(sent["TBALIQUOTA"].size(), 3);
    ASSERT_EQ(sent["TBPRECOSWAP"].size(), 1);
    ASSERT_EQ(sent["TBPRECOSERIAL"].size(), 2);
    ASSERT_TRUE(sent["TBFUNCIONARIO"].join(u' ').contains(QStringLiteral("0xffd8ff00e0104a46")));

    const TRunResult exported = m_hq.Run();
    ASSERT_TRUE(exported.Accepted) << m_hq.Logs().join(u'\n').toStdString();
    for (const QString& t : tables) {
        const TTableResult* r = Result(exported, t);
        ASSERT_NE(r, nullptr) << t.toStdString();
        EXPECT_EQ(r->Outcome, TTableOutcome::Done) << t.toStdString() << " " << m_hq.Logs().join(u'\n').toStdString();
    }
    // Every tracking row of a sent row is gone, the other branches' rows are
    // gone too (the server keeps them for those branches); the markers are in.
    EXPECT_EQ(m_hq.Query(QStringLiteral("SELECT COUNT(*) FROM TBCEC")), QStringList{QStringLiteral("0")});
    EXPECT_EQ(m_hq.Query(QStringLiteral("SELECT PKPRODUTO, PKFPRODUTO, PKFILIAL FROM TBPRECOACESSORIOBAIXADA")),
              (QStringList{QStringLiteral("100|1|5"), QStringLiteral("100|1|7")}));
    EXPECT_EQ(m_hq.Query(QStringLiteral("SELECT PKPRECOSWAP FROM TBPRECOSWAPBAIXADA")), QStringList{QStringLiteral("31")});
    EXPECT_EQ(m_hq.Query(QStringLiteral("SELECT PKITUSUARIO FROM TBITUSUARIOBAIXADA")), QStringList{QStringLiteral("41")});
    EXPECT_TRUE(m_hq.Logs().isEmpty()) << m_hq.Logs().join(u'\n').toStdString();

    const TRunResult imported = m_branch.Run();
    ASSERT_TRUE(imported.Accepted) << m_branch.Logs().join(u'\n').toStdString();
    EXPECT_TRUE(m_branch.Logs().isEmpty()) << m_branch.Logs().join(u'\n').toStdString();
    for (const QString& t : tables)
        EXPECT_EQ(Received(t), sent[t]) << t.toStdString();

    // Nothing is pending any more on either side: a second round moves no row.
    const TRunResult again = m_hq.Run();
    for (const TTableResult& r : again.Tables)
        EXPECT_EQ(r.Rows, 0) << r.Table.toStdString();
    const TRunResult againBranch = m_branch.Run();
    for (const TTableResult& r : againBranch.Tables)
        EXPECT_EQ(r.Rows, 0) << r.Table.toStdString();
    for (const QString& t : tables)
        EXPECT_EQ(Received(t), sent[t]) << t.toStdString();

    // A row changed at headquarters and tracked again replaces the branch's copy.
    hq.Exec(QStringLiteral("UPDATE TBALIQUOTA SET PEALIQUOTA = 12, NMALIQUOTA = 'Reduzida' WHERE PKALIQUOTA = 11"));
    Track(QStringLiteral("TBALIQUOTA"), 11, 1, kBranch);
    const QStringList changed = Sent(QStringLiteral("TBALIQUOTA"));
    m_hq.Run();
    const TRunResult update = m_branch.Run();
    ASSERT_NE(Result(update, QStringLiteral("TBALIQUOTA")), nullptr);
    EXPECT_EQ(Result(update, QStringLiteral("TBALIQUOTA"))->Rows, 1);
    ASSERT_EQ(changed.size(), 1);
    EXPECT_TRUE(changed[0].startsWith(QStringLiteral("11|1|Reduzida|12.00|")));
    QStringList expected = sent["TBALIQUOTA"];
    expected[1] = changed[0];
    EXPECT_EQ(Received(QStringLiteral("TBALIQUOTA")), expected);
}

// 2,500 pending rows at packet size 1000: passes of 1000, 1000, 500 and an
// empty one on both sides, progress reaching 2,500.
TEST_F(MasterDataE2ETest, ManyRowsInPacketsOfAThousand)
{
    m_hq.Db.Exec(QStringLiteral(
        "INSERT INTO TBALIQUOTA (PKALIQUOTA, PKFILIAL, NMALIQUOTA, PEALIQUOTA, EXCLUIDO) "
        "WITH RECURSIVE R AS (SELECT 0 AS D FROM RDB$DATABASE UNION ALL SELECT D + 1 FROM R WHERE D < 49) "
        "SELECT A.D * 50 + B.D + 1, 1, 'Aliquota ' || (A.D * 50 + B.D + 1), 1.5, 0 FROM R A CROSS JOIN R B"));
    m_hq.Db.Exec(QStringLiteral("INSERT INTO TBCEC (NMTABELA, PKTABELA, PKTABELA2, PKTABELA3, PKEMPRESA, PKFILIAL) "
                                "SELECT 'TBALIQUOTA', PKALIQUOTA, 1, 0, 1, %1 FROM TBALIQUOTA")
                     .arg(kBranch));
    const QStringList sent = Sent(QStringLiteral("TBALIQUOTA"));
    ASSERT_EQ(sent.size(), 2500);

    const TRunResult exported = m_hq.Run();
    const TTableResult* out = Result(exported, QStringLiteral("TBALIQUOTA"));
    ASSERT_NE(out, nullptr) << m_hq.Logs().join(u'\n').toStdString();
    EXPECT_EQ(out->Outcome, TTableOutcome::Done);
    EXPECT_EQ(out->Pending, 2500);
    EXPECT_EQ(out->Batches, 3);
    EXPECT_EQ(out->Passes, 4);
    EXPECT_EQ(out->Rows, 2500);
    EXPECT_EQ(out->Settled, 2500);
    EXPECT_EQ(m_hq.Bar.Highest, 2500);
    EXPECT_EQ(m_hq.Query(QStringLiteral("SELECT COUNT(*) FROM TBCEC")), QStringList{QStringLiteral("0")});

    const TRunResult imported = m_branch.Run();
    const TTableResult* in = Result(imported, QStringLiteral("TBALIQUOTA"));
    ASSERT_NE(in, nullptr) << m_branch.Logs().join(u'\n').toStdString();
    EXPECT_EQ(in->Outcome, TTableOutcome::Done);
    EXPECT_EQ(in->Pending, 2500);
    EXPECT_EQ(in->Batches, 3);
    EXPECT_EQ(in->Passes, 4);
    EXPECT_EQ(in->Rows, 2500);
    EXPECT_EQ(in->Acknowledged, 3);
    EXPECT_EQ(m_branch.Bar.Highest, 2500);
    EXPECT_EQ(Received(QStringLiteral("TBALIQUOTA")), sent);
    EXPECT_TRUE(m_branch.Logs().isEmpty()) << m_branch.Logs().join(u'\n').toStdString();
}

// A row tracked for three branches goes once per branch and settles each
// tracking row; a batch the server refuses leaves its tracking rows for the
// next run, and the branch then still gets exactly what was sent.
TEST_F(MasterDataE2ETest, SeveralDestinationsAndARefusedBatch)
{
    auto& hq = m_hq.Db;
    hq.Exec(QStringLiteral("INSERT INTO TBALIQUOTA (PKALIQUOTA, PKFILIAL, NMALIQUOTA, PEALIQUOTA, EXCLUIDO) "
                           "VALUES (10, 1, 'Geral', 18, 0)"));
    for (qint32 branch : {kBranch, kOtherBranch, 9})
        Track(QStringLiteral("TBALIQUOTA"), 10, 1, branch);
    hq.Exec(QStringLiteral("INSERT INTO TBMARCA (PKMARCA, PKFILIAL, NMMARCA, EXCLUIDO) VALUES (3, 1, 'Marca', 0)"));
    Track(QStringLiteral("TBMARCA"), 3, 1, kBranch);
    const QStringList marcas = Sent(QStringLiteral("TBMARCA"));
    m_admin->SetFault(QJsonObject{{"method", "Inseri_No_Servidor"}, {"table", "TBMARCA"}, {"kind", "false"},
                                  {"once", true}});

    const TRunResult first = m_hq.Run();
    const TTableResult* aliquota = Result(first, QStringLiteral("TBALIQUOTA"));
    ASSERT_NE(aliquota, nullptr);
    EXPECT_EQ(aliquota->Rows, 3);
    EXPECT_EQ(aliquota->Settled, 3);
    const TTableResult* marca = Result(first, QStringLiteral("TBMARCA"));
    ASSERT_NE(marca, nullptr);
    EXPECT_EQ(marca->Outcome, TTableOutcome::Refused);
    EXPECT_EQ(m_hq.Query(QStringLiteral("SELECT NMTABELA, PKTABELA, PKFILIAL FROM TBCEC")),
              QStringList{QStringLiteral("TBMARCA|3|5")});
    EXPECT_EQ(m_hq.Logs().size(), 1);

    const TRunResult second = m_hq.Run();
    ASSERT_NE(Result(second, QStringLiteral("TBMARCA")), nullptr);
    EXPECT_EQ(Result(second, QStringLiteral("TBMARCA"))->Outcome, TTableOutcome::Done);
    EXPECT_EQ(m_hq.Query(QStringLiteral("SELECT COUNT(*) FROM TBCEC")), QStringList{QStringLiteral("0")});

    const TRunResult imported = m_branch.Run();
    EXPECT_EQ(Result(imported, QStringLiteral("TBALIQUOTA"))->Rows, 1);
    EXPECT_EQ(Received(QStringLiteral("TBMARCA")), marcas);
    EXPECT_EQ(m_branch.Query(QStringLiteral("SELECT PKALIQUOTA, PKFILIALDESTINO FROM TBALIQUOTA")),
              QStringList{QStringLiteral("10|5")});
}

} // namespace

// Another program keeps changing rates at headquarters, each change its own
// transaction, marking them by rewriting the tracking row in place or only when
// the row has none yet, while headquarters sends: once it stops and everything
// is sent, the branch holds every rate's last value. Headquarters' database is
// on the Firebird server, shared with the writer's process.
TEST_F(MasterDataE2ETest, NoChangeIsLostWhileAnotherProgramKeepsWriting)
{
    KELT_REQUIRE_FB_SERVER();
    qputenv("KELT_TEST_DATABASE_TIER", "server");
    constexpr int kRates = 3000;
    constexpr int kChanges = 2500;
    for (const QString& mark :
         {QStringLiteral("UPDATE OR INSERT INTO TBCEC (NMTABELA, PKTABELA, PKTABELA2, PKTABELA3, PKEMPRESA, PKFILIAL) "
                         "VALUES ('TBALIQUOTA', %1, 1, 0, 1, 5) MATCHING (NMTABELA, PKTABELA, PKTABELA2, PKTABELA3, "
                         "PKEMPRESA, PKFILIAL)"),
          QStringLiteral("INSERT INTO TBCEC (NMTABELA, PKTABELA, PKTABELA2, PKTABELA3, PKEMPRESA, PKFILIAL) SELECT "
                         "'TBALIQUOTA', %1, 1, 0, 1, 5 FROM RDB$DATABASE WHERE NOT EXISTS (SELECT 1 FROM TBCEC WHERE "
                         "NMTABELA = 'TBALIQUOTA' AND PKTABELA = %1 AND PKTABELA2 = 1 AND PKFILIAL = 5)")}) {
        SCOPED_TRACE(mark.toStdString());
        TInstallation hq(CadastroMExportingTables(), kHq, 0);
        hq.WriteConfig(m_server->Port(), 100);
        hq.Db.Exec(QStringLiteral("INSERT INTO TBEMPRESA (PKEMPRESA, CDOPERADORA, CDCONTRATO) VALUES (1, 'OP1', 'K1')"));
        hq.Db.Exec(QStringLiteral("INSERT INTO TBALIQUOTA (PKALIQUOTA, PKFILIAL, NMALIQUOTA, PEALIQUOTA, EXCLUIDO) "
                                  "SELECT FIRST %1 ROW_NUMBER() OVER (), 1, 'v0', 1.5, 0 FROM RDB$FIELDS A CROSS JOIN "
                                  "RDB$FIELDS B")
                       .arg(kRates));
        hq.Db.Exec(QStringLiteral("INSERT INTO TBCEC (NMTABELA, PKTABELA, PKTABELA2, PKTABELA3, PKEMPRESA, PKFILIAL) "
                                  "SELECT 'TBALIQUOTA', PKALIQUOTA, 1, 0, 1, 5 FROM TBALIQUOTA"));

        // A change that meets the settling of the same row may fail and is then not made.
        QList<QStringList> changes;
        for (int i = 1; i <= kChanges; ++i) {
            const int k = 1 + (i * 7919) % kRates;
            changes.append(
                {QStringLiteral("UPDATE TBALIQUOTA SET NMALIQUOTA = 'v%1' WHERE PKALIQUOTA = %2 AND PKFILIAL = 1")
                     .arg(i)
                     .arg(k),
                 mark.arg(k)});
        }
        TConcurrentWriter writer(hq.Db.Path(), changes);
        while (writer.Running())
            hq.Run();
        QString output;
        EXPECT_LT(writer.Finish(&output), kChanges / 20) << output.left(2000).toStdString();
        for (int run = 0; run < 10 && hq.Query(QStringLiteral("SELECT COUNT(*) FROM TBCEC")) != QStringList{"0"}; ++run)
            hq.Run();
        EXPECT_EQ(hq.Query(QStringLiteral("SELECT COUNT(*) FROM TBCEC")), QStringList{QStringLiteral("0")});

        TInstallation branch(CadastroMReceivingTables(), kBranch, 1);
        branch.WriteConfig(m_server->Port());
        for (int run = 0; run < 5; ++run)
            branch.Run();
        const QString rates = QStringLiteral("SELECT PKALIQUOTA, NMALIQUOTA FROM TBALIQUOTA");
        const QStringList expected = hq.Query(rates);
        const QStringList received = branch.Query(rates);
        ASSERT_EQ(received.size(), kRates);
        int lost = 0;
        for (int i = 0; i < kRates; ++i)
            lost += expected[i] != received[i] ? 1 : 0;
        EXPECT_EQ(lost, 0) << "changes lost under a concurrent writer";
    }
}

namespace {

// A value of the column's type for a sample row, at most its width.
QVariant MasterSample(const TFieldDef& f)
{
    switch (f.DataType) {
    case TFieldType::ftSmallint:
    case TFieldType::ftInteger:
    case TFieldType::ftLargeint: return 1;
    case TFieldType::ftString: return (f.Name + QStringLiteral(" ação")).left(f.Size);
    case TFieldType::ftFixedChar: return QString(f.Size, u'S');
    case TFieldType::ftFMTBcd: return QVariant::fromValue(Decimal(15, f.Scale));
    case TFieldType::ftDate: return QDate(2024, 3, 1);
    case TFieldType::ftTime: return QTime(10, 20, 30);
    case TFieldType::ftTimeStamp: return QDateTime(QDate(2024, 3, 1), QTime(10, 20, 30));
    case TFieldType::ftMemo: return QStringLiteral("Observação");
    case TFieldType::ftBlob: return QByteArray("\xff\xd8\x00\x01", 4);
    default: return {};
    }
}

} // namespace

// A row of every master table for three branches: tracked rows once per
// branch, rows addressed by their own PKFILIAL one per branch, rows for every
// branch once. Each branch gets its own copy, also where the packet flags the
// destination as no key (TBIMPOSTONCM).
TEST_F(MasterDataE2ETest, ARowOfEveryTableForThreeBranches)
{
    constexpr qint32 kThird = 9;
    m_admin->AddInstallation(QStringLiteral("K1"), 1, kThird, QStringLiteral("VIVO_BA"));
    const QList<qint32> branches{kBranch, kOtherBranch, kThird};
    TTableDefs defs = CadastroMExportingTables();
    const auto def = [&](const QString& name) {
        const auto it = std::find_if(defs.cbegin(), defs.cend(), [&](const TTableDef& d) { return d.Name == name; });
        if (it == defs.cend())
            throw std::runtime_error("no table " + name.toStdString());
        return *it;
    };
    const auto insert = [&](const TCadastroMTable& t, int key, qint32 pkFilial) {
        const TTableDef d = def(t.TableName());
        QStringList names, marks;
        for (const TFieldDef& f : d.Columns) {
            names << f.Name;
            marks << QStringLiteral(":P%1").arg(marks.size());
        }
        TSQLDataSet ds(&m_hq.Db.Connection());
        ds.SetCommandText(QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)").arg(d.Name, names.join(u','), marks.join(u',')));
        for (int i = 0; i < d.Columns.size(); ++i) {
            const QString& n = d.Columns[i].Name;
            ds.Params()[i].Value = n.compare(t.JoinColumns.value(0, t.KeyColumns.value(0)), Qt::CaseInsensitive) == 0
                                       ? QVariant(key)
                                   : n == QLatin1String("PKFILIAL")                    ? QVariant(pkFilial)
                                                                                       : MasterSample(d.Columns[i]);
        }
        ds.ExecSQL();
    };
    int key = 10;
    for (const TCadastroMTable& t : CadastroMTables()) {
        ++key;
        const QString table = t.TableName();
        if (table == QLatin1String("TBEMPRESA")) {
            for (qint32 b : branches)
                Track(table, 1, 0, b);
        } else if (table == QLatin1String("TBPRECOACESSORIO") || table == QLatin1String("TBQTDMINIMA")) {
            for (qint32 b : branches)
                insert(t, key, b);
        } else if (t.PendingBy != TPendingBy::Cec) {
            insert(t, table == QLatin1String("TBPRECOSERIAL") ? 100000000 + key : key, 1);
        } else {
            insert(t, key, 1);
            const bool twoKeys = t.JoinColumns.size() > 1 || t.KeyColumns.size() > 1;
            for (qint32 b : branches)
                Track(table, key, twoKeys ? 1 : 0, b);
        }
    }
    const auto sentTo = [&](const TCadastroMTable& t, qint32 branch) {
        const QString query = CadastroMCommandText(t)
                                  .replace(QStringLiteral(":PPKEMPRESA"), QStringLiteral("1"))
                                  .replace(QStringLiteral(":PPKULTIMO"), QStringLiteral("0"));
        return m_hq.Query(QStringLiteral("SELECT %1 FROM (%2) Q WHERE Q.PKFILIALDESTINO IN (0, %3)")
                              .arg(Columns(t), query)
                              .arg(branch));
    };
    QMap<QString, QStringList> forBranch, forOther;
    for (const TCadastroMTable& t : CadastroMTables()) {
        forBranch[t.TableName()] = sentTo(t, kBranch);
        forOther[t.TableName()] = sentTo(t, kOtherBranch);
        ASSERT_EQ(forBranch[t.TableName()].size(), 1) << t.TableName().toStdString();
    }

    const TRunResult exported = m_hq.Run();
    ASSERT_TRUE(exported.Accepted);
    EXPECT_TRUE(m_hq.Logs().isEmpty()) << m_hq.Logs().join(u'\n').toStdString();
    EXPECT_EQ(m_hq.Query(QStringLiteral("SELECT COUNT(*) FROM TBCEC")), QStringList{QStringLiteral("0")});

    TInstallation other(CadastroMReceivingTables(), kOtherBranch, 1);
    other.WriteConfig(m_server->Port());
    for (TInstallation* branch : {&m_branch, &other}) {
        const TRunResult imported = branch->Run();
        ASSERT_TRUE(imported.Accepted);
        EXPECT_TRUE(branch->Logs().isEmpty()) << branch->Logs().join(u'\n').toStdString();
        for (const TCadastroMTable& t : CadastroMTables())
            EXPECT_EQ(branch->Query(QStringLiteral("SELECT %1 FROM %2").arg(Columns(t), t.TableName())),
                      (branch == &m_branch ? forBranch : forOther)[t.TableName()])
                << branch->PkFilial << " " << t.TableName().toStdString();
    }
}
