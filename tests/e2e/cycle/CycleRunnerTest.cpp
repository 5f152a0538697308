// kelt-cycle as operators run it: a separate process against the stand-in
// server process, judged by its output and exit status.
#include "tests/replication/store_carrier/StoreCarrierFixture.h"

#include "platform/os/InstallationLock.h"
#include "replication/core/CycleJournal.h"
#include "platform/sql/SQLConnection.h"
#include "platform/sql/SQLDataSet.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QTcpServer>
#include <QThread>

#include <csignal>

namespace {

struct TCycle
{
    int ExitCode = -1;
    QString Output;
};

class CycleRunnerTest : public StoreCarrierTest
{
protected:
    TCycle Cycle(const QStringList& args)
    {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(QStringLiteral(KELT_CYCLE_EXE), args);
        EXPECT_TRUE(p.waitForFinished(120000));
        return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromLocal8Bit(p.readAll())};
    }
    TCycle Cycle(const QString& channel = {})
    {
        QStringList args{m_installation.Path()};
        if (!channel.isEmpty())
            args << QStringLiteral("--channel") << channel;
        return Cycle(args);
    }
    // stdout and stderr apart, for the lines that must go to one of them.
    TCycle CycleErr(const QStringList& args, QString& errors)
    {
        QProcess p;
        p.start(QStringLiteral(KELT_CYCLE_EXE), args);
        EXPECT_TRUE(p.waitForFinished(120000));
        errors = QString::fromLocal8Bit(p.readAllStandardError());
        return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
                QString::fromLocal8Bit(p.readAllStandardOutput())};
    }
    // A loopback port nothing listens on.
    static int ClosedPort()
    {
        QTcpServer probe;
        EXPECT_TRUE(probe.listen(QHostAddress::LocalHost));
        const int port = probe.serverPort();
        probe.close();
        return port;
    }
};

} // namespace

TEST_F(CycleRunnerTest, ReportsEveryTableAndTellsByItsExitStatusHowTheRunWent)
{
    m_admin->LoadPacket(QStringLiteral("TBALIQUOTA"), Aliquotas(1, 3, QStringLiteral("a")));
    m_admin->LoadPacket(QStringLiteral("TBCLASSIFICACAO"),
                        Named(u"PKCLASSIFICACAO int K; NMCLASSIFICACAO str 50", 1, 1, QStringLiteral("c")));

    TCycle run = Cycle(QStringLiteral("cad"));
    EXPECT_EQ(run.ExitCode, 0) << qPrintable(run.Output);
    EXPECT_TRUE(run.Output.contains(QRegularExpression(QStringLiteral("TBALIQUOTA +3 row\\(s\\)  done"))))
        << qPrintable(run.Output);
    EXPECT_TRUE(run.Output.contains(QStringLiteral("2 table(s), 4 row(s) written, 0 row(s) not written")))
        << qPrintable(run.Output);
    EXPECT_EQ(Query("SELECT COUNT(*) FROM TBALIQUOTA"), QStringList({"3"}));

    // The default runs what the cycle runs for a store: the same channel.
    run = Cycle();
    EXPECT_EQ(run.ExitCode, 0) << qPrintable(run.Output);
    EXPECT_TRUE(run.Output.contains(QRegularExpression(QStringLiteral("TBALIQUOTA +0 row\\(s\\)  nothing pending"))))
        << qPrintable(run.Output);

    // One table failed: status 1; --quiet shows that table and why, nothing else of the channel.
    Fault("NrRegistros_AImportar", QStringLiteral("TBCLASSIFICACAO"), "minus1");
    run = Cycle(QStringList{m_installation.Path(), QStringLiteral("--channel=cad"), QStringLiteral("--quiet")});
    EXPECT_EQ(run.ExitCode, 1) << qPrintable(run.Output);
    QList<TLogEntry> logs = TakeLogs();
    ASSERT_EQ(logs.size(), 1);
    const QString reason = QStringLiteral("logged: %1 TBCLASSIFICACAO: %2 (Log/%3)")
                               .arg(logs[0].Step, logs[0].Message.section(QStringLiteral("\r\n"), 0, 0), logs[0].File);
    EXPECT_TRUE(run.Output.contains(reason)) << qPrintable(reason) << "\n" << qPrintable(run.Output);
    EXPECT_TRUE(run.Output.contains(QRegularExpression(QStringLiteral("TBCLASSIFICACAO +0 row\\(s\\)  count failed"))))
        << qPrintable(run.Output);
    EXPECT_FALSE(run.Output.contains(QStringLiteral("TBALIQUOTA"))) << qPrintable(run.Output);
    EXPECT_TRUE(run.Output.contains(QStringLiteral("1 table(s) failed, 0 channel(s) could not run"))) << qPrintable(run.Output);

    // The server down: the channel could not run at all.
    WriteConfig(1000, QStringLiteral("K1"), ClosedPort());
    run = Cycle(QStringLiteral("cad"));
    EXPECT_EQ(run.ExitCode, 4) << qPrintable(run.Output);
    logs = TakeLogs();
    ASSERT_FALSE(logs.isEmpty());
    EXPECT_TRUE(run.Output.contains(QStringLiteral("logged: ") + logs.last().Step)) << qPrintable(run.Output);
    WriteConfig();
    // The local database missing: the same, once.
    m_admin->LoadPacket(QStringLiteral("TBALIQUOTA"), Aliquotas(1, 3, QStringLiteral("b")));
    m_installation.Write(QStringLiteral("Config.ini"),
                         m_installation.Read(QStringLiteral("Config.ini")).replace("AGENTE.KELT", "FALTA.KELT"));
    run = Cycle(QStringLiteral("cad"));
    EXPECT_EQ(run.ExitCode, 4) << qPrintable(run.Output);
    EXPECT_EQ(TakeLogs().size(), 1) << qPrintable(run.Output);
    WriteConfig();

    // A store has no headquarters-branch channel: asked for one by name, the
    // channel runs, refuses the branch type in the log and moves nothing: the
    // server took the run, so it counts as a failure of the run, not of the channel.
    run = Cycle(QStringLiteral("cadm"));
    EXPECT_EQ(run.ExitCode, 1) << qPrintable(run.Output);
    EXPECT_TRUE(run.Output.contains(QStringLiteral("Cadastro Matriz X Filial"))) << qPrintable(run.Output);
    EXPECT_TRUE(run.Output.contains(QStringLiteral("0 row(s) moved"))) << qPrintable(run.Output);
}

TEST_F(CycleRunnerTest, RefusesUsageAndSetUpErrorsWithStatusTwo)
{
    EXPECT_EQ(Cycle(QStringList{}).ExitCode, 2);
    EXPECT_EQ(Cycle(QStringLiteral("everything")).ExitCode, 2);
    EXPECT_EQ(Cycle(QStringList{m_installation.Path(), QStringLiteral("--chanel=cad")}).ExitCode, 2);
    EXPECT_EQ(Cycle(QStringList{QStringLiteral("--status"), m_installation.Path(), QStringLiteral("--quiet")}).ExitCode, 2);
    const TCycle version = Cycle(QStringList{QStringLiteral("--version")});
    EXPECT_EQ(version.ExitCode, 0);
    EXPECT_TRUE(version.Output.contains(QRegularExpression(QStringLiteral("^kelt-cycle \\d+\\.\\d+\\.\\d+\\.\\d+\n$"))))
        << qPrintable(version.Output);
    EXPECT_EQ(Cycle(QStringList{m_installation.File(QStringLiteral("AGENTE.KELT"))}).ExitCode, 2);

    TTempFolder empty;
    EXPECT_EQ(Cycle(QStringList{empty.Path()}).ExitCode, 2); // no Config.ini
    ASSERT_TRUE(QDir(m_installation.File(QStringLiteral("Log"))).removeRecursively());
    const TCycle noLog = Cycle(QStringLiteral("cad"));
    EXPECT_EQ(noLog.ExitCode, 2);
    EXPECT_TRUE(noLog.Output.contains(QStringLiteral("no Log folder"))) << qPrintable(noLog.Output);
    EXPECT_EQ(Calls("Conecta_No_Banco"), 0); // nothing was run
}

// The installation's lock, taken here through a link to the folder: kelt-cycle
// names the folder on stderr and ends with status 5 without running anything;
// once the lock is released it runs.
TEST_F(CycleRunnerTest, ABusyInstallationIsLeftAloneWithStatusFive)
{
    m_admin->LoadPacket(QStringLiteral("TBALIQUOTA"), Aliquotas(1, 3, QStringLiteral("a")));
    TTempFolder links;
    const QString link = links.File(QStringLiteral("loja"));
    ASSERT_TRUE(QFile::link(QDir(m_installation.Path()).absolutePath(), link));
    QString errors;
    {
        TInstallationLock held(link);
        ASSERT_TRUE(held.Acquired());
        const TCycle busy = CycleErr({m_installation.Path()}, errors);
        EXPECT_EQ(busy.ExitCode, 5) << qPrintable(busy.Output + errors);
        EXPECT_EQ(errors.count(u'\n'), 1) << qPrintable(errors);
        EXPECT_TRUE(errors.contains(QDir(m_installation.Path()).canonicalPath())) << qPrintable(errors);
        EXPECT_TRUE(errors.contains(QStringLiteral("the desktop program or another kelt-cycle"))) << qPrintable(errors);
        EXPECT_EQ(Calls(QStringLiteral("Conecta_No_Banco")), 0);
    }
    const TCycle free = CycleErr({m_installation.Path()}, errors);
    EXPECT_EQ(free.ExitCode, 0) << qPrintable(free.Output + errors);
    EXPECT_EQ(Query("SELECT COUNT(*) FROM TBALIQUOTA"), QStringList({"3"}));
}

// --status against the installation and the running stand-in server: the
// configuration key by key, the endpoints, the pending rows, read-only; an
// endpoint that does not answer is named and makes the status 1.
TEST_F(CycleRunnerTest, StatusShowsConfigurationReachabilityAndPendingRowsWithoutChangingAnything)
{
    Exec(QStringLiteral("CREATE TABLE TBCEC (NMTABELA VARCHAR(31), PKTABELA INTEGER, PKTABELA2 INTEGER, "
                        "PKTABELA3 INTEGER, PKEMPRESA INTEGER, PKFILIAL INTEGER)"));
    Exec(QStringLiteral("CREATE TABLE TBCEMM (NMTABELA VARCHAR(31), PKTABELA INTEGER, PKTABELA2 INTEGER, "
                        "PKTABELA3 INTEGER)"));
    Exec(QStringLiteral("CREATE TABLE TBITUSUARIO (PKITUSUARIO INTEGER NOT NULL PRIMARY KEY)"));
    Exec(QStringLiteral("CREATE TABLE TBITUSUARIOBAIXADA (PKITUSUARIO INTEGER, PKFILIAL INTEGER)"));
    for (const char* row : {"'TBALIQUOTA', 1, 0, 0, 1, 5", "'TBALIQUOTA', 2, 0, 0, 1, 5", "'TBEMPRESA', 1, 0, 0, 1, 7"})
        Exec(QStringLiteral("INSERT INTO TBCEC VALUES (%1)").arg(QLatin1String(row)));
    for (const char* row : {"'TBVENDA', 1, 0, 0", "'TBVENDA', 2, 0, 0", "'TBITVENDA', 1, 1, 0"})
        Exec(QStringLiteral("INSERT INTO TBCEMM VALUES (%1)").arg(QLatin1String(row)));
    for (int k = 1; k <= 3; ++k)
        Exec(QStringLiteral("INSERT INTO TBITUSUARIO VALUES (%1)").arg(k));
    Exec(QStringLiteral("INSERT INTO TBITUSUARIOBAIXADA VALUES (2, 12)"));
    m_installation.Write(QStringLiteral("Config.ini"),
                         m_installation.Read(QStringLiteral("Config.ini")) + "TransacaoPorLote=um\n");

    // Two runs of the store channel: a success, then a failure.
    const QDateTime ok(QDate(2026, 3, 2), QTime(9, 0, 0)), bad(QDate(2026, 3, 2), QTime(10, 0, 0));
    ASSERT_TRUE(TCycleJournal(m_installation.File(QStringLiteral("Log")))
                    .Append({{ok, QStringLiteral("cad"), QStringLiteral("TBALIQUOTA"), 3, QStringLiteral("done")},
                             {bad, QStringLiteral("cad"), QStringLiteral("-"), 0, QStringLiteral("failed"),
                              QStringLiteral("Log_1.ini"), QStringLiteral("Cannot connect")}}));
    const QByteArray journal = m_installation.Read(QStringLiteral("Log/ciclos.log"));

    // Read-only: it runs beside a holder of the installation's lock.
    TInstallationLock held(m_installation.Path());
    ASSERT_TRUE(held.Acquired());
    QByteArray config = m_installation.Read(QStringLiteral("Config.ini"));
    QString errors;
    TCycle status = CycleErr({QStringLiteral("--status"), m_installation.Path()}, errors);
    EXPECT_EQ(status.ExitCode, 0) << qPrintable(status.Output + errors);
    const QString& out = status.Output;
    const auto has = [&](const QString& pattern) {
        EXPECT_TRUE(out.contains(QRegularExpression(pattern))) << qPrintable(pattern) << "\n" << qPrintable(out);
    };
    has(QStringLiteral("\\[FILIAL\\] PKFILIAL +12\n"));
    has(QStringLiteral("\\[FILIAL\\] CDCOMTA +MISSING, default empty"));
    has(QStringLiteral("\\[CLIENTDATASET\\] TransacaoPorLote +UNREADABLE 'um', default 0"));
    has(QStringLiteral("\\[DB\\] Password +\\(set\\)"));
    has(QStringLiteral("\\[SOCKET\\] +127\\.0\\.0\\.1:%1 +reachable").arg(m_server->Port()));
    has(QStringLiteral("\\[DB\\] +\\S+ reachable"));
    has(QStringLiteral("TBCEC \\(master data, by destination branch\\): 3 row\\(s\\)"));
    has(QStringLiteral("branch +5 TBALIQUOTA +2\n"));
    has(QStringLiteral("branch +7 TBEMPRESA +1\n"));
    has(QStringLiteral("TBCEMM \\(transactions, by table\\): 3 row\\(s\\)"));
    has(QStringLiteral("TBITVENDA +1\n"));
    has(QStringLiteral("TBVENDA +2\n"));
    has(QStringLiteral("TBITUSUARIO +2\n"));
    has(QStringLiteral("cad +last run 2026-03-02 10:00:00 \\(FAILED\\), last success 2026-03-02 09:00:00\n"
                       " +2026-03-02 10:00:00 - failed: Cannot connect \\(Log/Log_1.ini\\)\n"));
    // Nothing was called on the server, nothing written into the installation.
    EXPECT_EQ(Calls(QStringLiteral("Conecta_No_Banco")), 0);
    EXPECT_EQ(QDir(m_installation.File(QStringLiteral("Log"))).entryList(QDir::Files | QDir::NoDotAndDotDot),
              QStringList{QStringLiteral("ciclos.log")});
    EXPECT_EQ(m_installation.Read(QStringLiteral("Log/ciclos.log")), journal);
    EXPECT_EQ(m_installation.Read(QStringLiteral("Config.ini")), config);

    // A second endpoint that does not answer, and a missing database.
    const int closed = ClosedPort();
    m_installation.Write(QStringLiteral("Config.ini"),
                         config + QStringLiteral("[SOCKET_PROPRIO]\nAddress=127.0.0.1\nPort=%1\n").arg(closed).toUtf8());
    status = CycleErr({QStringLiteral("--status"), m_installation.Path()}, errors);
    EXPECT_EQ(status.ExitCode, 1) << qPrintable(status.Output + errors);
    EXPECT_TRUE(status.Output.contains(QRegularExpression(
        QStringLiteral("\\[SOCKET_PROPRIO\\] +127\\.0\\.0\\.1:%1 +UNREACHABLE").arg(closed))))
        << qPrintable(status.Output);
    EXPECT_TRUE(status.Output.contains(QRegularExpression(QStringLiteral("\\[SOCKET\\] +\\S+ +reachable"))))
        << qPrintable(status.Output);

    m_installation.Write(QStringLiteral("Config.ini"), config.replace("AGENTE.KELT", "FALTA.KELT"));
    status = CycleErr({QStringLiteral("--status"), m_installation.Path()}, errors);
    EXPECT_EQ(status.ExitCode, 1) << qPrintable(status.Output + errors);
    EXPECT_TRUE(status.Output.contains(QRegularExpression(QStringLiteral("\\[DB\\] +\\S+FALTA.KELT UNREACHABLE: \\S"))))
        << qPrintable(status.Output);
    EXPECT_EQ(m_installation.Read(QStringLiteral("Log/ciclos.log")), journal);
}

namespace {

// The store's database on the Firebird server, so that the test can hold a
// lock in it while kelt-cycle works.
class BatchTransactionTest : public CycleRunnerTest
{
protected:
    void SetUp() override
    {
        KELT_REQUIRE_FB_SERVER();
        qputenv("KELT_TEST_DATABASE_TIER", "server");
        CycleRunnerTest::SetUp();
        m_setUp = true;
    }
    void TearDown() override
    {
        if (m_setUp)
            CycleRunnerTest::TearDown();
    }
    bool m_setUp = false;
};

} // namespace

// With TransacaoPorLote=1 a process killed in the middle of a batch leaves no
// row of it written and the batch unacknowledged; the next run brings it whole.
TEST_F(BatchTransactionTest, AProcessKilledInTheMiddleOfABatchLeavesNothingOfIt)
{
    m_admin->LoadPacket(QStringLiteral("TBALIQUOTA"), Aliquotas(1, 300, QStringLiteral("a")));
    m_installation.Write(QStringLiteral("Config.ini"),
                         m_installation.Read(QStringLiteral("Config.ini")) + "TransacaoPorLote=1\n");
    // Row 150 waits for a row this test holds locked.
    Exec(QStringLiteral("INSERT INTO TBSERVICO (PKSERVICO, DSSERVICO) VALUES (1, 'trava')"));
    Exec(QStringLiteral("CREATE TRIGGER TR_ESPERA FOR TBALIQUOTA BEFORE INSERT AS BEGIN IF (NEW.PKALIQUOTA = 150) THEN "
                        "UPDATE TBSERVICO SET DSSERVICO = 'espera' WHERE PKSERVICO = 1; END"));
    TSQLConnection holder;
    holder.Params().Add(QStringLiteral("DataBase"), LocalDatabase());
    holder.Params().Add(QStringLiteral("User_Name"), QStringLiteral("SYSDBA"));
    holder.Params().Add(QStringLiteral("Password"), QStringLiteral("quillbent"));
    holder.StartTransaction(TIsolation::ReadCommitted);
    {
        TSQLDataSet lock(&holder);
        lock.SetCommandText(QStringLiteral("UPDATE TBSERVICO SET DSSERVICO = 'presa' WHERE PKSERVICO = 1"));
        lock.ExecSQL();
    }

    QProcess cycle;
    cycle.start(QStringLiteral(KELT_CYCLE_EXE), {m_installation.Path(), QStringLiteral("--channel"), QStringLiteral("cad")});
    ASSERT_TRUE(cycle.waitForStarted());
    const QDeadlineTimer served(30000);
    while (Calls(QStringLiteral("AS_GetRecords"), QStringLiteral("TBALIQUOTA")) == 0 && !served.hasExpired())
        QThread::msleep(20);
    // Rows 1 to 149 take well under a second; the wait at row 150 lasts until
    // the lock times out.
    QThread::msleep(2500);
    ASSERT_EQ(cycle.state(), QProcess::Running);
    ::kill(pid_t(cycle.processId()), SIGKILL);
    cycle.waitForFinished();
    holder.Rollback();
    holder.Close();

    EXPECT_EQ(Query("SELECT COUNT(*) FROM TBALIQUOTA"), QStringList({"0"}));
    EXPECT_EQ(Calls(QStringLiteral("Exclui_No_Servidor")), 0);

    Exec(QStringLiteral("DROP TRIGGER TR_ESPERA"));
    const TCycle again = Cycle(QStringLiteral("cad"));
    EXPECT_EQ(again.ExitCode, 0) << qPrintable(again.Output);
    EXPECT_EQ(Query("SELECT COUNT(*) FROM TBALIQUOTA"), QStringList({"300"}));
    EXPECT_EQ(Calls(QStringLiteral("Exclui_No_Servidor"), QStringLiteral("TBALIQUOTA")), 1);
}

// SIGTERM or SIGINT while the server holds an answer: the run stops at the next
// safe point with status 3, well before the call's time-out, and the next run
// brings the table whole.
TEST_F(CycleRunnerTest, SigtermAndSigintStopTheRunAtItsNextSafePoint)
{
    m_admin->LoadPacket(QStringLiteral("TBALIQUOTA"), Aliquotas(1, 3, QStringLiteral("a")));
    for (const int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        Fault(QStringLiteral("AS_GetRecords"), QStringLiteral("TBALIQUOTA"), QStringLiteral("stall"), true, 1, 60000);
        const int served = Calls(QStringLiteral("AS_GetRecords"), QStringLiteral("TBALIQUOTA"));
        QProcess cycle;
        cycle.setProcessChannelMode(QProcess::MergedChannels);
        cycle.start(QStringLiteral(KELT_CYCLE_EXE), {m_installation.Path(), QStringLiteral("--channel"), QStringLiteral("cad")});
        ASSERT_TRUE(cycle.waitForStarted());
        const QDeadlineTimer asked(30000);
        while (Calls(QStringLiteral("AS_GetRecords"), QStringLiteral("TBALIQUOTA")) == served && !asked.hasExpired())
            QThread::msleep(20);
        QThread::msleep(300);
        ASSERT_EQ(cycle.state(), QProcess::Running);
        ::kill(pid_t(cycle.processId()), signal);
        const bool ended = cycle.waitForFinished(10000);
        EXPECT_TRUE(ended);
        if (!ended) {
            cycle.kill();
            cycle.waitForFinished();
            continue;
        }
        const QString output = QString::fromLocal8Bit(cycle.readAll());
        EXPECT_EQ(cycle.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(cycle.exitCode(), 3) << qPrintable(output);
        EXPECT_EQ(Query("SELECT COUNT(*) FROM TBALIQUOTA"), QStringList({"0"}));
    }
    const TCycle again = Cycle(QStringLiteral("cad"));
    EXPECT_EQ(again.ExitCode, 0) << qPrintable(again.Output);
    EXPECT_EQ(Query("SELECT COUNT(*) FROM TBALIQUOTA"), QStringList({"3"}));
}
