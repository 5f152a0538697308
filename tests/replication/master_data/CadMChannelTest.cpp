// The master-data channel against embedded headquarters and branch databases
// and a peer speaking the wire protocol on loopback, wired as the connection
// data module wires it for a run.
#include "tests/replication/master_data/CadMPeer.h"

#include "platform/data/ClientDataSet.h"
#include "platform/data/DataSetProvider.h"
#include "platform/types/Exception.h"
#include "platform/data/LocalConnection.h"
#include "tests/support/TestClocks.h"
#include "platform/os/ProgramFolder.h"
#include "platform/sql/SQLConnection.h"
#include "platform/sql/SQLDataSet.h"
#include "remote/ConnectionBroker.h"
#include "remote/wire/SocketConnection.h"
#include "tools/channel_schemas/CadastroMSchema.h"
#include "replication/master_data/KeltCadMClient.h"
#include "replication/master_data/uDM_CadastroM.h"
#include "tests/support/TestSupport.h"

#include <QDir>

#include <algorithm>

#include <gtest/gtest.h>

#include <ostream>

inline void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }

namespace {

const QString kAliquota = QStringLiteral("TBALIQUOTA");
const QString kSerial = QStringLiteral("TBPRECOSERIAL");
const QString kInseri = QStringLiteral("Inseri_No_Servidor");
const QString kExclui = QStringLiteral("Exclui_No_Servidor");


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

struct TLogEntry
{
    QString Step, Table, CdContrato, Message;
};

// The components of the connection data module a master-data run uses.
struct TWiring
{
    TSQLConnection SqlCAgente{QStringLiteral("Agente")};
    TSocketConnection ScAgente;
    TConnectionBroker CbAgente{&ScAgente};
    TSQLDataSet SqlExecuta{&SqlCAgente};
    TSQLDataSet SqlBusca{&SqlCAgente};
    TSQLDataSet SqlGenerico{&SqlCAgente};
    TDataSetProvider DspGenerico{QStringLiteral("DspGenerico"), &SqlGenerico, {}};
    TClientDataSet CdsTabela;
    TClientDataSet CdsGenerico;
    TFDM_CadastroM FDM_CadastroM{&SqlCAgente};
    TKeltCadMClient CadMClient;
};

class CadMChannelTest : public ::testing::Test
{
protected:
    void Install(const TTableDefs& tables, int tpFilial, qint32 pkFilial)
    {
        SetClock(&m_clock);
        // The database's folder is the program folder of the installation.
        m_db = std::make_unique<TTestDatabase>(tables);
        ASSERT_TRUE(QDir(m_db->Folder().Path()).mkdir(QStringLiteral("Log")));
        m_pkFilial = pkFilial;
        WriteConfig(tpFilial);
        SetProgramFolderOverride(m_db->Folder().Path());
        m_w.ScAgente.SetCallTimeout(30000);
    }

    void TearDown() override
    {
        SetProgramFolderOverride({});
        SetClock(nullptr);
    }

    // `ownSocket`: the peer is reachable only through [SOCKET_PROPRIO].
    void WriteConfig(int tpFilial, int packetSize = 1000, bool ownSocket = false)
    {
        const QString socket = ownSocket ? QStringLiteral("[SOCKET]\nAddress=127.0.0.1\nPort=1\n[SOCKET_PROPRIO]\n")
                                         : QStringLiteral("[SOCKET]\n");
        m_db->Folder().Write(QStringLiteral("Config.ini"),
                       (QStringLiteral("[FILIAL]\nCDCONTRATO=K1\nPKEMPRESA=1\nPKFILIAL=%1\nUF=VIVO_BA\nTPFILIAL=%2\n")
                        + socket
                        + QStringLiteral("Address=127.0.0.1\nPort=%3\n"
                                         "[DB]\nDataBase=%4\nUser_Name=SYSDBA\nPassword=quillbent\n"
                                         "ServerCharSet=ISO8859_1\nSQLDialect=3\n[CLIENTDATASET]\nPackedRecord=%5\n"))
                           .arg(m_pkFilial)
                           .arg(tpFilial)
                           .arg(m_peer.Port())
                           .arg(m_db->Path())
                           .arg(packetSize)
                           .toUtf8());
    }

    // One run as RunCadMChannel makes it: wiring, the run, the teardown.
    TRunResult Run()
    {
        TKeltCadMClient& c = m_w.CadMClient;
        c.SetLocalConnection(&m_w.SqlCAgente);
        c.SetSocketConnection(&m_w.ScAgente);
        c.SetBroker(&m_w.CbAgente);
        c.SetClientDataSet(&m_w.CdsTabela);
        c.SetLookupDataSet(&m_w.SqlBusca);
        c.SetExecDataSet(&m_w.SqlExecuta);
        c.SetProgressBar(&m_bar);
        c.SetTableLabel(&m_label);
        c.SetGenericDataSet(&m_w.CdsGenerico);
        c.SetLocalProviderConnection(&m_w.FDM_CadastroM.LcAgente());
        c.InicialReplicacaoCadastroM();
        m_w.CdsTabela.Close();
        m_w.CdsGenerico.Close();
        m_w.CbAgente.Close();
        m_w.ScAgente.Close();
        return c.LastRun();
    }

    static const TTableResult& Table(const TRunResult& run, const QString& table)
    {
        for (const TTableResult& t : run.Tables)
            if (t.Table == table)
                return t;
        throw std::runtime_error("no result for " + table.toStdString());
    }

    // Rows of a query on a connection of its own, values joined by '|'.
    QStringList Query(const QString& sql)
    {
        TSQLConnection c;
        c.Params().Add(QStringLiteral("DataBase"), m_db->Path());
        QStringList rows;
        {
            TSQLDataSet ds(&c);
            ds.SetCommandText(sql);
            for (ds.Open(); !ds.Eof(); ds.Next()) {
                QStringList values;
                for (int i = 0; i < ds.FieldCount(); ++i)
                    values.append(ds.Fields(i).AsString());
                rows.append(values.join(u'|'));
            }
        }
        c.Close();
        return rows;
    }

    void Exec(const QString& sql) { m_db->Exec(sql); }

    void Track(const QString& table, qint32 k1, qint32 k2, qint32 company, qint32 branch)
    {
        Exec(QStringLiteral("INSERT INTO TBCEC (NMTABELA, PKTABELA, PKTABELA2, PKTABELA3, PKEMPRESA, PKFILIAL) "
                            "VALUES ('%1', %2, %3, 0, %4, %5)")
                 .arg(table)
                 .arg(k1)
                 .arg(k2)
                 .arg(company)
                 .arg(branch));
    }

    // The log files written since the last call; they are removed.
    QList<TLogEntry> TakeLogs()
    {
        QList<TLogEntry> entries;
        QDir dir(m_db->Folder().File(QStringLiteral("Log")));
        QStringList names = dir.entryList({QStringLiteral("Log_*.ini")}, QDir::Files);
        // In the order written: the names end in the time of day.
        std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) { return a.right(12) < b.right(12); });
        for (const QString& name : names) {
            const QStringList lines = QString::fromLocal8Bit(m_db->Folder().Read(QStringLiteral("Log/") + name))
                                          .split(QStringLiteral("\r\n"));
            const auto after = [&](int i) { return lines.value(i).mid(lines.value(i).indexOf(u':') + 2); };
            entries.append({after(0), after(1), after(2), lines.mid(6).join(QStringLiteral("\r\n")).trimmed()});
            dir.remove(name);
        }
        return entries;
    }

    QString ServerFailureText() const
    {
        return QStringLiteral("Verificar log de erro no servidor. Servidor: 127.0.0.1 Porta: %1 Servico: "
                              "KeltCadMServer5.coKeltCadMServer5")
            .arg(m_peer.Port());
    }

    TTickingClock m_clock;
    std::unique_ptr<TTestDatabase> m_db;
    TCadMPeer m_peer;
    TWiring m_w;
    TTextHolder m_label{QStringLiteral("...")};
    TRecordingBar m_bar;
    qint32 m_pkFilial = 0;
};

class HeadquartersTest : public CadMChannelTest
{
protected:
    void SetUp() override
    {
        Install(CadastroMExportingTables(), 0, 1);
        Exec(QStringLiteral("INSERT INTO TBEMPRESA (PKEMPRESA, CDOPERADORA, CDCONTRATO) VALUES (1, 'OP', 'K1')"));
    }

    // Keys first..last (up to 2,500), from a join of two recursive counts.
    static QString Keys(int first, int last)
    {
        return QStringLiteral("WITH RECURSIVE R AS (SELECT 0 AS D FROM RDB$DATABASE UNION ALL SELECT D + 1 FROM R "
                              "WHERE D < 49), N AS (SELECT A.D * 50 + B.D + 1 AS K FROM R A CROSS JOIN R B) "
                              "SELECT K FROM N WHERE K BETWEEN %1 AND %2")
            .arg(first)
            .arg(last);
    }

    // Rates of branch 1 and their tracking rows for branch 5 of company 1.
    void Aliquotas(int first, int last)
    {
        Exec(QStringLiteral("INSERT INTO TBALIQUOTA (PKALIQUOTA, PKFILIAL, NMALIQUOTA, PEALIQUOTA, EXCLUIDO) "
                            "SELECT K, 1, 'Aliquota ' || K, 1.5, 0 FROM (%1)")
                 .arg(Keys(first, last)));
        Retrack(first, last);
    }
    void Retrack(int first, int last)
    {
        Exec(QStringLiteral("INSERT INTO TBCEC (NMTABELA, PKTABELA, PKTABELA2, PKTABELA3, PKEMPRESA, PKFILIAL) "
                            "SELECT 'TBALIQUOTA', K, 1, 0, 1, 5 FROM (%1)")
                 .arg(Keys(first, last)));
    }
};

class BranchTest : public CadMChannelTest
{
protected:
    void SetUp() override { Install(CadastroMReceivingTables(), 1, 5); }

    // Rows offered for the branch; `rows` as "PKALIQUOTA|NMALIQUOTA|PKFILIALDESTINO".
    static TDataPacket AliquotaPacket(const QStringList& rows)
    {
        TDataPacket p(ParseFieldList(CadastroMTables()[0].FieldList));
        for (const QString& r : rows) {
            const QStringList v = r.split(u'|');
            p.AppendRow({v[0].toInt(), 1, v[1], QStringLiteral("1.50"), 0, QStringLiteral("K1"), v[2].toInt()});
        }
        return p;
    }
};

} // namespace

TEST(CadMStatements, CountAndSettlingTexts)
{
    EXPECT_EQ(CadMPendingCountStatement(kAliquota, 0),
              "SELECT COUNT(*) FROM TBALIQUOTA TAB INNER JOIN TBCEC CEC ON (    TAB.PKALIQUOTA = CEC.PKTABELA  AND "
              "TAB.PKFILIAL = CEC.PKTABELA2 ) WHERE CEC.NMTABELA =  'TBALIQUOTA'");
    EXPECT_EQ(CadMSettleStatement(kAliquota),
              "DELETE FROM TBCEC WHERE PKTABELA = :PPKTABELA  AND PKTABELA2 = :PPKTABELA2 AND NMTABELA = :PNMTABELA  "
              "AND PKEMPRESA = :PKEMPRESA  AND PKFILIAL = :PKFILIAL");
    // The key rules give the price ranges no second key.
    EXPECT_EQ(CadMSettleStatement(QStringLiteral("TBFAIXAPRECO")),
              "DELETE FROM TBCEC WHERE PKTABELA = :PPKTABELA  AND NMTABELA = :PNMTABELA  AND PKEMPRESA = :PKEMPRESA  "
              "AND PKFILIAL = :PKFILIAL");
    EXPECT_EQ(CadMPendingCountStatement(kSerial, 100000007),
              "SELECT COUNT(PKPRECOSERIAL) FROM TBPRECOSERIAL WHERE PKPRECOSERIAL > 100000007");
    EXPECT_THROW(CadMPendingCountStatement(QStringLiteral("TBX WHERE 1=1 --"), 0), EInvalidIdentifier);
}

TEST_F(HeadquartersTest, ExportsInPassesOfThePacketSizeAndSettlesEachAcceptedBatch)
{
    Aliquotas(1, 2500);
    QList<QString> trackingAtInsert;
    m_peer.State().OnInsert = [&](const QString&) {
        trackingAtInsert.append(Query(QStringLiteral("SELECT COUNT(*) FROM TBCEC")).value(0));
    };

    TRunResult run = Run();
    ASSERT_TRUE(run.Accepted);
    EXPECT_EQ(run.Tables.size(), CadastroMTables().size());
    const TTableResult& t = Table(run, kAliquota);
    EXPECT_EQ(t.Outcome, TTableOutcome::Done);
    EXPECT_EQ(t.Pending, 2500);
    EXPECT_EQ(t.Passes, 4); // the fourth finds nothing
    EXPECT_EQ(m_peer.State().Rows(kInseri, kAliquota), QList<int>({1000, 1000, 500}));
    EXPECT_EQ(m_peer.State().Count(kInseri), 3);
    EXPECT_EQ(trackingAtInsert, QList<QString>({"2500", "1500", "500"})); // each batch settled before the next
    EXPECT_EQ(Query(QStringLiteral("SELECT COUNT(*) FROM TBCEC")), QStringList({"0"}));
    EXPECT_EQ(m_bar.Highest, 2500);
    EXPECT_EQ(m_bar.Position(), 0);
    const TDataPacket& first = m_peer.State().Stored[kAliquota][0];
    EXPECT_EQ(first.Value(0, 5).toString(), QStringLiteral("K1")); // CDCONTRATO
    EXPECT_EQ(first.Value(0, 6).toInt(), 5);                       // PKFILIALDESTINO
    EXPECT_TRUE(TakeLogs().isEmpty());
    m_peer.State().OnInsert = nullptr;

    // -1: every pending row in one batch; 0: the count is positive, nothing is read.
    Retrack(1, 3);
    WriteConfig(0, -1);
    Run();
    EXPECT_EQ(m_peer.State().Rows(kInseri, kAliquota), QList<int>({1000, 1000, 500, 3}));
    Retrack(4, 4);
    WriteConfig(0, 0);
    run = Run();
    EXPECT_EQ(Table(run, kAliquota).Pending, 1);
    EXPECT_EQ(m_peer.State().Count(kInseri), 4);
    EXPECT_EQ(Query(QStringLiteral("SELECT COUNT(*) FROM TBCEC")), QStringList({"1"}));
    EXPECT_TRUE(TakeLogs().isEmpty());
}

TEST_F(HeadquartersTest, SettlesEachDestinationOfTheRunsCompanyOnce)
{
    Exec("INSERT INTO TBALIQUOTA (PKALIQUOTA, PKFILIAL, NMALIQUOTA) VALUES (7, 1, 'Sete')");
    Exec("INSERT INTO TBALIQUOTA (PKALIQUOTA, PKFILIAL, NMALIQUOTA) VALUES (8, 1, 'Oito')");
    for (qint32 branch : {5, 6, 7})
        Track(kAliquota, 7, 1, 1, branch);
    Track(kAliquota, 8, 1, 99, 5); // another company's
    Exec("INSERT INTO TBFAIXAPRECO (PKFAIXAPRECO, PKOPERADORA, DSFAIXAPRECO) VALUES (3, 2, 'Faixa')");
    Track(QStringLiteral("TBFAIXAPRECO"), 3, 2, 1, 5);
    Exec("INSERT INTO TBPRECOSWAP (PKPRECOSWAP, PKFPHABIL, VLVENDA) VALUES (11, 1, 9.9)");
    Exec("INSERT INTO TBPRECOACESSORIO (PKPRODUTO, PKFPRODUTO, PKFILIAL, VLATUAL) VALUES (4, 1, 9, 2.5)");
    // Read by its first key alone, counted and settled by both: once the table
    // counts a row, a tracking row whose second key is not the row's is sent
    // with it but never settled.
    Exec("INSERT INTO TBCONTADOR (PKCONTADOR, PKFILIAL) VALUES (9, 1)");
    Exec("INSERT INTO TBCONTADOR (PKCONTADOR, PKFILIAL) VALUES (10, 1)");
    Track(QStringLiteral("TBCONTADOR"), 9, 2, 1, 5);
    Track(QStringLiteral("TBCONTADOR"), 10, 1, 1, 5);

    TRunResult run = Run();
    EXPECT_EQ(m_peer.State().Rows(kInseri, QStringLiteral("TBCONTADOR")), QList<int>({2}));
    EXPECT_EQ(Table(run, QStringLiteral("TBCONTADOR")).Outcome, TTableOutcome::NoProgress);
    EXPECT_EQ(m_peer.State().Rows(kInseri, kAliquota), QList<int>({4}));
    QStringList destinations; // key / PKFILIALDESTINO
    const TDataPacket& sent = m_peer.State().Stored[kAliquota][0];
    for (int r = 0; r < sent.RowCount(); ++r)
        destinations.append(sent.Value(r, 0).toString() + u'/' + sent.Value(r, 6).toString());
    destinations.sort();
    EXPECT_EQ(destinations, QStringList({"7/5", "7/6", "7/7", "8/5"}));
    // Only the other company's tracking row is left (and the mismatched one);
    // the next pass would only repeat it.
    EXPECT_EQ(Query("SELECT NMTABELA, PKTABELA, PKEMPRESA FROM TBCEC ORDER BY 1"),
              QStringList({"TBALIQUOTA|8|99", "TBCONTADOR|9|1"}));
    EXPECT_EQ(Table(run, kAliquota).Outcome, TTableOutcome::NoProgress);
    EXPECT_EQ(Table(run, QStringLiteral("TBFAIXAPRECO")).Outcome, TTableOutcome::Done);
    EXPECT_EQ(Query("SELECT PKPRECOSWAP, PKFILIAL FROM TBPRECOSWAPBAIXADA"), QStringList({"11|1"}));
    EXPECT_EQ(Query("SELECT PKPRODUTO, PKFPRODUTO, PKFILIAL FROM TBPRECOACESSORIOBAIXADA"), QStringList({"4|1|9"}));
    QList<TLogEntry> logs = TakeLogs();
    ASSERT_EQ(logs.size(), 2);
    EXPECT_EQ(logs[0].Step, kStepExportSemProgresso);
    EXPECT_EQ(QStringList({logs[0].Table, logs[1].Table}), QStringList({kAliquota, "TBCONTADOR"}));

    // Tried again in the next run, and bounded again.
    run = Run();
    EXPECT_EQ(m_peer.State().Rows(kInseri, kAliquota), QList<int>({4, 1}));
    EXPECT_EQ(m_peer.State().Count(kInseri), 6);
    EXPECT_EQ(TakeLogs().size(), 1);
}

TEST_F(HeadquartersTest, RefusedAndUnsettledRowsStayPending)
{
    for (int k = 1; k <= 3; ++k) {
        Exec(QStringLiteral("INSERT INTO TBALIQUOTA (PKALIQUOTA, PKFILIAL) VALUES (%1, 1)").arg(k));
        Track(kAliquota, k, 1, 1, 5);
        Exec(QStringLiteral("INSERT INTO TBMARCA (PKMARCA, PKFILIAL) VALUES (%1, 1)").arg(k));
        Track(QStringLiteral("TBMARCA"), k, 1, 1, 5);
        Exec(QStringLiteral("INSERT INTO TBPRECOSERIAL (PKPRECOSERIAL, VLVENDA) VALUES (%1, 1)").arg(100000000 + k));
    }
    // Settling the second TBMARCA row fails in the database.
    Exec("CREATE EXCEPTION E_BLOQUEADO 'baixa bloqueada'");
    Exec("CREATE TRIGGER TR_BLOQUEIO FOR TBCEC BEFORE DELETE AS BEGIN "
         "IF (OLD.NMTABELA = 'TBMARCA' AND OLD.PKTABELA = 2) THEN EXCEPTION E_BLOQUEADO; END");
    m_peer.State().RefuseInsert = {kAliquota};
    m_peer.State().FixedPkUltimo = 100000000; // the server never moves its last key

    TRunResult run = Run();
    EXPECT_EQ(Table(run, kAliquota).Outcome, TTableOutcome::Refused);
    EXPECT_EQ(Table(run, QStringLiteral("TBMARCA")).Outcome, TTableOutcome::SettleFailed);
    EXPECT_EQ(Table(run, kSerial).Outcome, TTableOutcome::NoProgress);
    // A batch whose settling fails stays pending as a whole, its first row too.
    EXPECT_EQ(Query("SELECT NMTABELA, PKTABELA FROM TBCEC ORDER BY 1, 2"),
              QStringList({"TBALIQUOTA|1", "TBALIQUOTA|2", "TBALIQUOTA|3", "TBMARCA|1", "TBMARCA|2", "TBMARCA|3"}));
    EXPECT_EQ(m_peer.State().Rows(kInseri, kSerial), QList<int>({3}));

    const QList<TLogEntry> logs = TakeLogs();
    ASSERT_EQ(logs.size(), 3);
    EXPECT_EQ(logs[0].Step, QStringLiteral("Inserir_No_Servidor"));
    EXPECT_EQ(logs[0].Table, kAliquota);
    EXPECT_EQ(logs[0].Message, ServerFailureText());
    EXPECT_EQ(logs[1].Step, QStringLiteral("Exclui_No_Servidor"));
    EXPECT_TRUE(logs[1].Message.contains(QStringLiteral("baixa bloqueada")));
    EXPECT_TRUE(logs[1].Message.endsWith(QStringLiteral("\r\n") + CadMSettleStatement(QStringLiteral("TBMARCA"))));
    EXPECT_EQ(logs[2].Step, kStepExportSemProgresso);
    EXPECT_EQ(logs[2].Table, kSerial);

    // A server whose last key follows what it stored pages on until nothing is left.
    m_peer.State().FixedPkUltimo.reset();
    m_peer.State().Stored.remove(kSerial);
    run = Run();
    EXPECT_EQ(Table(run, kSerial).Outcome, TTableOutcome::Done);
    EXPECT_EQ(Table(run, kSerial).Passes, 2);
}

// Another program commits while a batch is at the server, the moment between
// reading a batch and settling it: a changed row, or its mark rewritten in
// place, keeps the whole batch pending until a batch carries the change.
TEST_F(HeadquartersTest, ChangesCommittedWhileABatchIsAtTheServerAreSentAgain)
{
    Aliquotas(1, 4);
    std::function<void()> writer;
    m_peer.State().OnInsert = [&](const QString&) {
        if (writer)
            std::exchange(writer, nullptr)();
    };
    const auto names = [&] {
        QStringList sent;
        for (const TDataPacket& p : m_peer.State().Stored[kAliquota])
            for (int r = 0; r < p.RowCount(); ++r)
                sent.append(p.Value(r, 0).toString() + u'=' + p.Value(r, 2).toString());
        m_peer.State().Stored.remove(kAliquota);
        return sent;
    };
    TRunResult run;

    // The row changed by a program that marks only rows without a mark, then a
    // mark rewritten in place (UPDATE OR INSERT): the batch stays pending.
    for (const QString& change :
         {QStringLiteral("UPDATE TBALIQUOTA SET NMALIQUOTA = 'Nova 1' WHERE PKALIQUOTA = 1"),
          QStringLiteral("UPDATE OR INSERT INTO TBCEC (NMTABELA, PKTABELA, PKTABELA2, PKTABELA3, PKEMPRESA, PKFILIAL) "
                         "VALUES ('TBALIQUOTA', 2, 1, 0, 1, 5) MATCHING (NMTABELA, PKTABELA, PKTABELA2, PKFILIAL)")}) {
        SCOPED_TRACE(change.toStdString());
        writer = [&] { Exec(change); };
        run = Run();
        EXPECT_EQ(Table(run, kAliquota).Outcome, TTableOutcome::SettleFailed);
        EXPECT_EQ(Query(QStringLiteral("SELECT COUNT(*) FROM TBCEC")), QStringList({"4"}));
        const QList<TLogEntry> logs = TakeLogs();
        ASSERT_EQ(logs.size(), 1);
        EXPECT_EQ(logs[0].Step, QStringLiteral("Exclui_No_Servidor"));
        EXPECT_TRUE(logs[0].Message.contains(QStringLiteral("update conflicts with concurrent update")))
            << logs[0].Message.toStdString();
        names();
    }

    run = Run();
    EXPECT_EQ(Table(run, kAliquota).Outcome, TTableOutcome::Done);
    EXPECT_EQ(names(), QStringList({"1=Nova 1", "2=Aliquota 2", "3=Aliquota 3", "4=Aliquota 4"}));
    EXPECT_EQ(Query(QStringLiteral("SELECT COUNT(*) FROM TBCEC")), QStringList({"0"}));
    EXPECT_TRUE(TakeLogs().isEmpty());
    m_peer.State().OnInsert = nullptr;
}

TEST_F(BranchTest, ImportsAndAcknowledgesEveryTableItCanWrite)
{
    // The third row repeats the first's table key for another destination.
    m_peer.State().Providers = {{"DspAliquota", kAliquota}, {"DspBanco", "TBBANCO"}, {"DspPrecoSerial", kSerial}};
    m_peer.State().Waiting[kAliquota] = AliquotaPacket({"1|Um|5", "2|Dois|5", "1|Um bis|6"});
    TDataPacket bancos(ParseFieldList(CadastroMTables()[1].FieldList));
    bancos.AppendRow({1, 1, QVariant(), QVariant(), QStringLiteral("Banco"), QVariant(), QVariant(), 0, "K1", 5});
    m_peer.State().Waiting["TBBANCO"] = bancos;
    TDataPacket serials(ParseFieldList(CadastroMTables()[45].FieldList));
    serials.AppendRow({5, QVariant(), QVariant(), QVariant(), QVariant(), QVariant(), "1.000", 0, "K1", 0});
    serials.AppendRow({100000002, QVariant(), QVariant(), QVariant(), QVariant(), QVariant(), "1.000", 0, "K1", 0});
    m_peer.State().Waiting[kSerial] = serials;

    // The same rows, entries and acknowledgements whether each statement takes
    // effect on its own or each batch is one transaction.
    TRunResult run;
    for (const char* perBatch : {"1", "0"}) {
        SCOPED_TRACE(perBatch);
        m_db->Folder().Write(QStringLiteral("Config.ini"), m_db->Folder().Read(QStringLiteral("Config.ini"))
                                                             + "TransacaoPorLote=" + perBatch + "\n");
        for (const char* table : {"TBALIQUOTA", "TBBANCO", "TBPRECOSERIAL"})
            Exec(QStringLiteral("DELETE FROM %1").arg(QLatin1String(table)));
        m_peer.State().Calls.clear();
        run = Run();
        EXPECT_EQ(Query("SELECT PKALIQUOTA, NMALIQUOTA, PKFILIALDESTINO FROM TBALIQUOTA ORDER BY 1"),
                  QStringList({"1|Um|5", "2|Dois|5"}));
        EXPECT_EQ(m_peer.State().Count(kExclui, kAliquota), 0);
        EXPECT_EQ(Table(run, "TBBANCO").Outcome, TTableOutcome::Done);
        EXPECT_EQ(Query("SELECT NMBANCO FROM TBBANCO"), QStringList({"Banco"}));
        EXPECT_EQ(m_peer.State().Count(kExclui, "TBBANCO"), 1);
        // Serial prices: paged by the local last key, never acknowledged.
        EXPECT_EQ(Table(run, kSerial).Outcome, TTableOutcome::Done);
        EXPECT_EQ(Query("SELECT PKPRECOSERIAL FROM TBPRECOSERIAL ORDER BY 1"), QStringList({"5", "100000002"}));
        EXPECT_EQ(m_peer.State().Count(kExclui, kSerial), 0);
        EXPECT_EQ(m_bar.Position(), 0);
        QList<TLogEntry> logs = TakeLogs();
        ASSERT_EQ(logs.size(), 1);
        EXPECT_EQ(logs[0].Step, QStringLiteral("ImportaRegistrosRemoto"));
        EXPECT_EQ(logs[0].Table, kAliquota);
        m_peer.State().Waiting["TBBANCO"] = bancos;
    }

    // Fields with neither a key flag nor a required mark give a lookup without a
    // condition, which the database refuses: nothing written, nothing acknowledged.
    TDataPacket unkeyed(ParseFieldList(u"PKBANCO int; PKFILIAL int; NMBANCO str 60; CDCONTRATO str 20"));
    unkeyed.AppendRow({7, 1, QStringLiteral("Sem chave"), QStringLiteral("K1")});
    m_peer.State().Providers = {{"DspBanco", "TBBANCO"}};
    m_peer.State().Waiting["TBBANCO"] = unkeyed;
    m_peer.State().Calls.clear();
    run = Run();
    EXPECT_EQ(Table(run, "TBBANCO").Outcome, TTableOutcome::Failed);
    EXPECT_EQ(m_peer.State().Count(kExclui, "TBBANCO"), 0);
    const QList<TLogEntry> unkeyedLogs = TakeLogs();
    ASSERT_EQ(unkeyedLogs.size(), 1);
    EXPECT_EQ(unkeyedLogs[0].Step, QStringLiteral("ImportaRegistrosRemoto"));
    EXPECT_EQ(unkeyedLogs[0].Table, QStringLiteral("TBBANCO"));

    // A server that offers acknowledged rows again, and serial prices that do
    // not raise the last key: each table stops after one repeated pass.
    m_peer.State().Providers = {{"DspBanco", "TBBANCO"}, {"DspPrecoSerial", kSerial}};
    m_peer.State().Waiting["TBBANCO"] = bancos;
    m_peer.State().DropOnAck = false;
    serials.AppendRow({100000005, QVariant(), QVariant(), QVariant(), QVariant(), QVariant(), "0.000", 0, "K1", 0});
    m_peer.State().Waiting[kSerial] = serials;
    run = Run();
    EXPECT_EQ(Table(run, "TBBANCO").Outcome, TTableOutcome::NoProgress);
    EXPECT_EQ(Table(run, "TBBANCO").Passes, 2);
    EXPECT_EQ(Table(run, kSerial).Outcome, TTableOutcome::NoProgress);
    EXPECT_EQ(Table(run, kSerial).Passes, 1);
    QList<TLogEntry> logs = TakeLogs();
    ASSERT_EQ(logs.size(), 2);
    EXPECT_EQ(logs[0].Step, kStepImportSemProgresso);
    EXPECT_EQ(logs[1].Step, kStepImportSemProgresso);
    EXPECT_EQ(logs[1].Table, kSerial);
}

TEST_F(BranchTest, RunsEndWithoutTouchingTablesWhenThereIsNothingToDo)
{
    // A server that lists no providers.
    TRunResult run = Run();
    EXPECT_TRUE(run.Accepted);
    EXPECT_EQ(m_peer.State().Methods(), QStringList({"open", "Conecta_No_Banco", "Get_ProvidersCount"}));
    EXPECT_EQ(m_label.Caption(), QStringLiteral("..."));
    EXPECT_TRUE(TakeLogs().isEmpty());
    EXPECT_FALSE(m_w.ScAgente.Connected());

    // An invalid branch type: one entry under the label's earlier text, no table read.
    m_peer.State().Calls.clear();
    m_peer.State().Providers = {{"DspAliquota", kAliquota}};
    WriteConfig(-1);
    Run();
    EXPECT_EQ(m_peer.State().Methods(), QStringList({"open", "Conecta_No_Banco"}));
    QList<TLogEntry> logs = TakeLogs();
    ASSERT_EQ(logs.size(), 1);
    EXPECT_EQ(logs[0].Step, QStringLiteral("InicialReplicacaoCadastroM"));
    EXPECT_EQ(logs[0].Table, QStringLiteral("..."));
    EXPECT_EQ(logs[0].Message, QStringLiteral("Tipo de Filial Inválido. Verifique no Arquivo Config.ini na Chave "
                                              "[FILIAL] o Parametro TPFILIAL."));

    // A refused connection: logged with the server error text.
    m_peer.State().ConectaAnswer = false;
    run = Run();
    EXPECT_FALSE(run.Accepted);
    logs = TakeLogs();
    ASSERT_EQ(logs.size(), 1);
    EXPECT_EQ(logs[0].Step, QStringLiteral("Conecta_No_Banco"));
    EXPECT_EQ(logs[0].Message, ServerFailureText());
}

TEST_F(HeadquartersTest, AnIdentityRewrittenByTheServerServesTheRestOfTheRun)
{
    Aliquotas(1, 2);
    m_peer.State().RewriteContrato = QStringLiteral("NOVO");
    m_peer.State().RefuseInsert = {kAliquota};
    Run();
    for (const TPeerCall& call : m_peer.State().Calls) {
        if (call.Method == kInseri) {
            EXPECT_EQ(call.CdContrato, QStringLiteral("NOVO"));
        }
    }
    EXPECT_EQ(m_peer.State().Count(kInseri, kAliquota), 1);
    const QList<TLogEntry> logs = TakeLogs();
    ASSERT_EQ(logs.size(), 1);
    EXPECT_EQ(logs[0].Step, QStringLiteral("Inserir_No_Servidor"));
    EXPECT_EQ(logs[0].CdContrato, QStringLiteral("NOVO"));
}

TEST_F(BranchTest, AnIdentityRewrittenByTheServerServesTheRestOfTheRun)
{
    WriteConfig(1, 1000, /*ownSocket=*/true);
    m_peer.State().RewriteContrato = QStringLiteral("NOVO");
    m_peer.State().Providers = {{"DspAliquota", kAliquota}, {"DspMarca", "TBMARCA"}};
    m_peer.State().Waiting[kAliquota] = AliquotaPacket({"1|Um|5"});
    m_peer.State().CountOverride["TBMARCA"] = -1;
    Run();
    for (const TPeerCall& call : m_peer.State().Calls) {
        if (call.Method == "Conecta_No_Banco") {
            EXPECT_EQ(call.CdContrato, QStringLiteral("K1"));
        } else if (call.Method == "NrRegistros_AImportar" || call.Method == "AS_GetRecords" || call.Method == kExclui) {
            EXPECT_EQ(call.CdContrato, QStringLiteral("NOVO")) << call.Method.toStdString();
        }
    }
    EXPECT_EQ(m_peer.State().Count(kExclui, kAliquota), 1);
    const QList<TLogEntry> logs = TakeLogs();
    ASSERT_EQ(logs.size(), 1);
    EXPECT_EQ(logs[0].Step, QStringLiteral("ListaProvidersRemoto"));
    EXPECT_EQ(logs[0].CdContrato, QStringLiteral("NOVO"));

    // The next run starts again from the configured code.
    m_peer.State().Calls.clear();
    Run();
    EXPECT_EQ(m_peer.State().Calls.value(1).CdContrato, QStringLiteral("K1"));
}
