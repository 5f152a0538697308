// The program as operators start it: the real executable on the offscreen
// platform, over an installation with an embedded database.
#include "tests/app/ShellFixture.h"

#include "platform/os/InstallationLock.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>

#include <csignal>

namespace {

class ProgramTest : public ShellTest
{
protected:
    std::unique_ptr<QProcess> Start(const QString& program = QStringLiteral(KELT_APP_EXE))
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_runtime.Path());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home.Path());
        env.insert(QStringLiteral("KELT_PROGRAM_FOLDER"), m_installation.Path());
        env.insert(QStringLiteral("KELT_LEGACY_CONFIG"), m_home.File(QStringLiteral("legacy.ini")));
        env.remove(QStringLiteral("KELT_DB_SERVICE_COMMAND"));
        auto p = std::make_unique<QProcess>();
        p->setProcessEnvironment(env);
        p->start(program, {});
        EXPECT_TRUE(p->waitForStarted(10000));
        return p;
    }

    static void Stop(QProcess& p)
    {
        p.kill();
        p.waitForFinished(10000);
    }

    // Waits until `file` exists; false after `ms`.
    static bool WaitFor(const QString& file, int ms)
    {
        const QDeadlineTimer deadline(ms);
        while (!QFile::exists(file) && !deadline.hasExpired())
            QThread::msleep(50);
        return QFile::exists(file);
    }

    TTempFolder m_runtime;
};

} // namespace

TEST_F(ProgramTest, ASecondStartEndsAtOnceAndTheFirstRunsItsCycle)
{
    WriteConfig(QStringLiteral("2"));
    std::unique_ptr<QProcess> first = Start();
    // The autostart entry is written after the instance lock is taken.
    ASSERT_TRUE(WaitFor(m_home.File(QStringLiteral("autostart/KeltAppClient.desktop")), 30000));

    std::unique_ptr<QProcess> second = Start();
    ASSERT_TRUE(second->waitForFinished(10000));
    EXPECT_EQ(second->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second->exitCode(), 0);
    EXPECT_TRUE(second->readAll().isEmpty());
    EXPECT_EQ(first->state(), QProcess::Running);

    // About a second after the loop starts, the first cycle: the self-update
    // and the store-carrier channel, neither of which finds a server here.
    const QDeadlineTimer deadline(60000);
    QStringList steps;
    while (steps.size() < 2 && !deadline.hasExpired()) {
        QThread::msleep(200);
        steps += TakeLoggedSteps();
    }
    steps.sort(); // within the same second the files do not tell their order
    EXPECT_EQ(steps, QStringList({"InicialReplicacaoCadastro", "TemAtualizacao"}));
    EXPECT_EQ(first->state(), QProcess::Running);
    Stop(*first);
    const QString output = QString::fromLocal8Bit(first->readAllStandardError());
    // No notification area offscreen: the balloon went to standard error.
    EXPECT_TRUE(output.contains(QStringLiteral("Não foi possível verificar se existe nova versão do replicador.")))
        << qPrintable(output);

    // The lock went with the process: the next start runs normally.
    std::unique_ptr<QProcess> third = Start();
    EXPECT_FALSE(third->waitForFinished(2000));
    Stop(*third);
}

// A logout, systemctl or an operator's kill: SIGTERM (and Ctrl+C's SIGINT)
// end the program as "Fechar" does, exit code 0, the lock released.
TEST_F(ProgramTest, SigtermAndSigintEndTheProgramAndANewStartRunsNormally)
{
    WriteConfig(QStringLiteral("2"));
    for (const int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        QFile::remove(m_home.File(QStringLiteral("autostart/KeltAppClient.desktop")));
        std::unique_ptr<QProcess> p = Start();
        ASSERT_TRUE(WaitFor(m_home.File(QStringLiteral("autostart/KeltAppClient.desktop")), 30000));
        // Once during the start-up (its sleeps), once with the loop running.
        if (signal == SIGINT)
            QThread::msleep(10000);
        ::kill(pid_t(p->processId()), signal);
        // The start-up's sleeps (8 s) come first when it arrives during them.
        const bool ended = p->waitForFinished(15000);
        EXPECT_TRUE(ended);
        if (!ended) {
            Stop(*p);
            continue;
        }
        EXPECT_EQ(p->exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(p->exitCode(), 0);
    }
    std::unique_ptr<QProcess> next = Start();
    EXPECT_FALSE(next->waitForFinished(2000));
    Stop(*next);
}

// The tray menu's "Fechar" with the window open ("Abrir") ends the loop and the
// process; the next start runs normally, the lock having gone with it.
TEST_F(ProgramTest, FecharWithTheWindowOpenEndsTheProgramAndANewStartRunsNormally)
{
    WriteConfig(QStringLiteral("2"));
    std::unique_ptr<QProcess> driven = Start(QStringLiteral(KELT_FECHAR_EXE));
    // After the start-up's sleeps (8 s) the loop starts and "Fechar" is chosen.
    const bool ended = driven->waitForFinished(30000);
    EXPECT_TRUE(ended);
    if (!ended)
        Stop(*driven);
    EXPECT_EQ(driven->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(driven->exitCode(), 0);

    std::unique_ptr<QProcess> next = Start();
    EXPECT_FALSE(next->waitForFinished(2000));
    EXPECT_EQ(next->state(), QProcess::Running);
    Stop(*next);
}

// The installation's lock, shared with kelt-cycle: while a run holds the folder
// the program waits before it opens anything (and says so); once the lock is
// free it starts and holds the lock itself.
TEST_F(ProgramTest, WaitsForAKeltCycleRunHoldingItsFolderThenHoldsTheFolderItself)
{
    WriteConfig(QStringLiteral("2"));
    const QString autostart = m_home.File(QStringLiteral("autostart/KeltAppClient.desktop"));
    std::unique_ptr<QProcess> program;
    {
        TInstallationLock run(m_installation.Path());
        ASSERT_TRUE(run.Acquired());
        program = Start();
        EXPECT_FALSE(WaitFor(autostart, 3000));
        EXPECT_EQ(program->state(), QProcess::Running);
        program->setReadChannel(QProcess::StandardError);
        program->waitForReadyRead(5000);
        EXPECT_TRUE(QString::fromLocal8Bit(program->readAllStandardError()).contains(QStringLiteral("waiting")));
    }
    ASSERT_TRUE(WaitFor(autostart, 30000));
    EXPECT_FALSE(TInstallationLock(m_installation.Path()).Acquired());
    Stop(*program);
    EXPECT_TRUE(TInstallationLock(m_installation.Path()).Acquired());
}
