// kelt-cycle as operators run it: a separate process against the stand-in
// server process, judged by its output and exit status.
#include "tests/store_carrier/StoreCarrierFixture.h"

#include "platform/sql/SQLConnection.h"
#include "platform/sql/SQLDataSet.h"

#include <QDeadlineTimer>
#include <QProcess>
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
};

} // namespace

TEST_F(CycleRunnerTest, ReportsEveryTableAndTellsByItsExitStatusWhetherItLogged)
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

    Fault("NrRegistros_AImportar", QStringLiteral("TBCLASSIFICACAO"), "minus1");
    run = Cycle(QStringLiteral("cad"));
    EXPECT_EQ(run.ExitCode, 1) << qPrintable(run.Output);
    EXPECT_TRUE(run.Output.contains(QStringLiteral("Log files written: 1"))) << qPrintable(run.Output);
    EXPECT_EQ(TakeLogs().size(), 1);

    // A store has no headquarters-branch channel: asked for one by name, the
    // channel runs, refuses the branch type in the log and moves nothing.
    run = Cycle(QStringLiteral("cadm"));
    EXPECT_EQ(run.ExitCode, 1) << qPrintable(run.Output);
    EXPECT_TRUE(run.Output.contains(QStringLiteral("Cadastro Matriz X Filial"))) << qPrintable(run.Output);
    EXPECT_TRUE(run.Output.contains(QStringLiteral("0 row(s) moved"))) << qPrintable(run.Output);
}

TEST_F(CycleRunnerTest, RefusesUsageAndSetUpErrorsWithStatusTwo)
{
    EXPECT_EQ(Cycle(QStringList{}).ExitCode, 2);
    EXPECT_EQ(Cycle(QStringLiteral("everything")).ExitCode, 2);
    EXPECT_EQ(Cycle(QStringList{m_installation.File(QStringLiteral("AGENTE.KELT"))}).ExitCode, 2);

    TTempFolder empty;
    EXPECT_EQ(Cycle(QStringList{empty.Path()}).ExitCode, 2); // no Config.ini
    ASSERT_TRUE(QDir(m_installation.File(QStringLiteral("Log"))).removeRecursively());
    const TCycle noLog = Cycle(QStringLiteral("cad"));
    EXPECT_EQ(noLog.ExitCode, 2);
    EXPECT_TRUE(noLog.Output.contains(QStringLiteral("no Log folder"))) << qPrintable(noLog.Output);
    EXPECT_EQ(Calls("Conecta_No_Banco"), 0); // nothing was run
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
