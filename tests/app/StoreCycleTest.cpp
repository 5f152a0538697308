// A store's cycle from the main window against the stand-in server process:
// the window's own label and progress bar carry the channel's progress.
#include "app/uMenu.h"
#include "replication/core/ProcessMessages.h"
#include "replication/master_data/uDM_CadastroM.h"
#include "replication/transactions/uDM_MovimentoM.h"
#include "platform/os/MessageBox.h"
#include "update/KeltUpdate.h"
#include "platform/os/Processes.h"
#include "tests/replication/store_carrier/StoreCarrierFixture.h"
#include "tests/update/TestHttpServer.h"
#include "tools/appserver/UpdateService.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QLabel>
#include <QProcess>
#include <QThread>
#include <QProgressBar>
#include <QPushButton>
#include <QSet>
#include <QTcpServer>

#include <csignal>

namespace {

class TNoDialogs : public IShellDialogs
{
public:
    TAnswer ConfirmReplication(const QString&) override { return TAnswer::Yes; }
    void ShowReplicationError(const QString&) override {}
};

class StoreCycleTest : public StoreCarrierTest
{
protected:
    void SetUp() override
    {
        StoreCarrierTest::SetUp();
        qputenv("XDG_CONFIG_HOME", m_home.Path().toLocal8Bit());
        qputenv("KELT_LEGACY_CONFIG", m_home.File(QStringLiteral("legacy.ini")).toLocal8Bit());
        // What the start-up upkeep needs of the local database.
        Exec(QStringLiteral("CREATE TABLE TBFILIAL (PKFILIAL INTEGER NOT NULL PRIMARY KEY, SGESTADO VARCHAR(2))"));
        Exec(QStringLiteral("CREATE TABLE TBRESPOSTA (PKPERGUNTA INTEGER NOT NULL PRIMARY KEY, RESPOSTA VARCHAR(500))"));
        Exec(QStringLiteral("CREATE TABLE TBVENDA (PKVENDA INTEGER NOT NULL PRIMARY KEY, FINANCEIROPENDENTE INTEGER)"));
    }
    void TearDown() override
    {
        SetProcessMessagesHook({});
        m_menu.reset();
        m_cadastro.reset();
        m_movimento.reset();
        StoreCarrierTest::TearDown();
    }

    // The program's modules and window, in its creation order, with a tray.
    TFMenu& CreateMenu()
    {
        m_dm = std::make_unique<TFDM>();
        m_movimento = std::make_unique<TFDM_MovimentoM>(&m_dm->SqlCAgente);
        m_cadastro = std::make_unique<TFDM_CadastroM>(&m_dm->SqlCAgente);
        m_dm->SetMovimentoMModule(m_movimento.get());
        m_dm->SetCadastroMModule(m_cadastro.get());
        TShellServices services;
        services.Dialogs = std::make_shared<TNoDialogs>();
        services.Workgroup = [] { return QString(); };
        services.TrayAvailable = [] { return true; };
        m_menu = std::make_unique<TFMenu>(*m_dm, services);
        return *m_menu;
    }

    TTempFolder m_home;
    std::unique_ptr<TFDM_MovimentoM> m_movimento;
    std::unique_ptr<TFDM_CadastroM> m_cadastro;
    std::unique_ptr<TFMenu> m_menu;
};

// An updater that cannot be started: nothing else of the system is touched.
class TUnstartableProcesses : public IProcesses
{
public:
    QList<TProcessEntry> Snapshot() override { return m_system.Snapshot(); }
    bool Terminate(qint64 pid) override
    {
        Ended << pid;
        return true;
    }
    bool Start(const QString&, const QStringList&, bool, bool, QString& error) override
    {
        error = QStringLiteral("Permission denied");
        return false;
    }
    QList<qint64> Ended;

private:
    TSystemProcesses m_system;
};

} // namespace

TEST_F(StoreCycleTest, AtualizarWithAnUpdaterThatCannotStartKeepsTheClientRunning)
{
    TTestHttpServer http;
    http.Route(QStringLiteral("/setup"), TTestHttpServer::TKind::Body, QByteArray("#!/bin/sh\n"));
    TUpdateService(TUpdateService::FileFor(m_server->DatabasePath())).Publish(QStringLiteral("99.0.0.1"), http.Url(QStringLiteral("/setup")));
    TUnstartableProcesses processes;
    SetProcesses(&processes);
    QStringList messages;
    SetShowMessageHook([&](const QString& text) { messages << text; });

    TFMenu& menu = CreateMenu();
    menu.Atualizarreplicador1Click();
    SetProcesses(nullptr);
    SetShowMessageHook({});

    const QString updater = m_installation.File(QStringLiteral("keltappclient_upd.exe"));
    EXPECT_TRUE(QFile::exists(updater)); // downloaded
    EXPECT_EQ(messages, QStringList{QStringLiteral("Não foi possível executar o programa.\r\n") + updater});
    EXPECT_TRUE(processes.Ended.isEmpty()); // the client keeps running for the next attempt
    QStringList balloons;
    for (const auto& balloon : menu.JvTrayIcon1->Balloons())
        balloons << balloon.Text;
    EXPECT_FALSE(balloons.contains(QStringLiteral("Instalando nova versão do replicador...")));
    EXPECT_TRUE(balloons.contains(QStringLiteral("Nova versão do replicador baixada.")));
    EXPECT_EQ(menu.JvTrayIcon1->IconIndex(), 0);
    EXPECT_TRUE(menu.Timer1Enabled());
}

TEST(Program, CarriesTheProjectVersionForTheSelfUpdate)
{
    const QStringList parts = QStringLiteral(KELT_APP_VERSION_TEXT).split(u'.');
    ASSERT_EQ(parts.size(), 4);
    QString expected;
    for (const QString& part : parts)
        expected += QStringLiteral("%1").arg(part.toInt(), 2, 10, QLatin1Char('0'));
    EXPECT_EQ(TKeltUpdate::FileVersionText(QStringLiteral(KELT_APP_EXE), QStringLiteral("%.2d%.2d%.2d%.2d")), expected);
}

// --help and --version answer without a display or an installation; any other
// option is refused with exit code 2.
TEST(Program, AnswersHelpAndVersionAndRefusesUnknownOptions)
{
    const auto run = [](const QStringList& args, int& code) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(KELT_APP_EXE), args);
        EXPECT_TRUE(p.waitForFinished(10000));
        code = p.exitCode();
        return QString::fromLocal8Bit(p.readAllStandardOutput() + p.readAllStandardError());
    };
    int code = -1;
    EXPECT_EQ(run({QStringLiteral("--version")}, code), QStringLiteral("KeltAppClient %1\n").arg(KELT_APP_VERSION_TEXT));
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(run({QStringLiteral("--help")}, code).startsWith(QStringLiteral("Usage: KeltAppClient")));
    EXPECT_EQ(code, 0);
    for (const QStringList& args : {QStringList{"--verbose"}, QStringList{"-x"}, QStringList{"extra"},
                                    QStringList{"-style"}}) {
        const QString out = run(args, code);
        EXPECT_EQ(code, 2) << qPrintable(args.join(u' '));
        EXPECT_TRUE(out.contains(QStringLiteral("Usage: KeltAppClient"))) << qPrintable(out);
    }
}

// A cycle whose channel cannot reach its server: the tray rests on the warning
// image, the tooltip names the channel and one balloon says so; the same
// failure in the next cycle shows no new balloon; a cycle in which the channel
// runs clears it all, and a failure after that is announced again.
TEST_F(StoreCycleTest, AFailedCycleShowsTheWarningStateAndOneBalloonUntilACycleRunsAgain)
{
    QTcpServer closed; // a port nobody listens on once it is closed again
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost));
    const int deadPort = closed.serverPort();
    closed.close();
    TFMenu& menu = CreateMenu();
    // The program's version stands in the tooltip's first line.
    EXPECT_EQ(menu.TrayToolTip().section(u'\n', 0, 0), QStringLiteral("Controle de Replicação 1.0.0.5"));
    const QString channel = QStringLiteral("Cadastro Loja X Operadora");
    const auto warnings = [&] {
        QStringList texts;
        for (const auto& balloon : menu.JvTrayIcon1->Balloons()) {
            EXPECT_EQ(balloon.Title, QStringLiteral("Controle de Replicação"));
            EXPECT_EQ(balloon.Icon, ITrayIcon::TBalloonIcon::Warning);
            texts << balloon.Text;
        }
        return texts;
    };

    WriteConfig(1000, QStringLiteral("K1"), deadPort);
    menu.btIniciarTodos->click();
    EXPECT_EQ(menu.JvTrayIcon1->IconIndex(), kTrayImageFailed);
    EXPECT_EQ(menu.Cycle().FailedChannels(), QStringList({channel}));
    EXPECT_TRUE(menu.TrayToolTip().endsWith(QStringLiteral(", com erro\nCanais com erro: ") + channel))
        << qPrintable(menu.TrayToolTip());
    EXPECT_EQ(warnings(), QStringList({QStringLiteral("Replicação com erro: ") + channel}));

    menu.btIniciarTodos->click();
    EXPECT_EQ(menu.JvTrayIcon1->IconIndex(), kTrayImageFailed);
    EXPECT_EQ(warnings().size(), 1);

    WriteConfig();
    menu.btIniciarTodos->click();
    EXPECT_EQ(menu.JvTrayIcon1->IconIndex(), kTrayImageIdle);
    EXPECT_TRUE(menu.Cycle().FailedChannels().isEmpty());
    EXPECT_TRUE(menu.TrayToolTip().endsWith(QStringLiteral(", concluído"))) << qPrintable(menu.TrayToolTip());
    EXPECT_EQ(warnings().size(), 1);

    WriteConfig(1000, QStringLiteral("K1"), deadPort);
    menu.btIniciarTodos->click();
    EXPECT_EQ(warnings().size(), 2);
    EXPECT_EQ(menu.JvTrayIcon1->IconIndex(), kTrayImageFailed);
    TakeLogs();
}

TEST_F(StoreCycleTest, IniciarTodosImportsThroughTheWindowsPanelAndKeepsTheLastTableShown)
{
    m_admin->LoadPacket(QStringLiteral("TBALIQUOTA"), Aliquotas(1, 3, QStringLiteral("a")));
    TFMenu& menu = CreateMenu();
    ASSERT_TRUE(menu.Timer1Enabled());

    QSet<QString> shown;
    QSet<int> aliquotaMax;
    SetProcessMessagesHook([&] {
        shown.insert(menu.lbTabelaCad->text());
        if (menu.lbTabelaCad->text() == QLatin1String("TBALIQUOTA"))
            aliquotaMax.insert(menu.PbStatusCad->maximum());
    });
    menu.btIniciarTodos->click();

    EXPECT_EQ(Query("SELECT COUNT(*) FROM TBALIQUOTA"), QStringList({"3"}));
    EXPECT_TRUE(shown.contains(QStringLiteral("TBALIQUOTA")));
    EXPECT_TRUE(aliquotaMax.contains(3)); // its pending rows
    // The bars are reset at the end; the label keeps the last table.
    EXPECT_EQ(menu.PbStatusCad->maximum(), 1);
    EXPECT_NE(menu.lbTabelaCad->text(), QStringLiteral("..."));
    for (const TLogEntry& log : TakeLogs())
        ADD_FAILURE() << qPrintable(log.File + u' ' + log.Step + u' ' + log.Table + u' ' + log.Message);
    EXPECT_TRUE(menu.Timer1Enabled());
}

// SIGTERM to the program while its store-carrier channel waits for the
// server's answer: the channel stops at its next safe point (well before the
// call's time-out and the 5 s backstop), the process ends with exit code 0
// and nothing of the table is written or logged; the next run brings it whole.
TEST_F(StoreCycleTest, SigtermDuringAChannelStopsItAtItsNextSafePoint)
{
    m_admin->LoadPacket(QStringLiteral("TBALIQUOTA"), Aliquotas(1, 3, QStringLiteral("a")));
    Fault(QStringLiteral("AS_GetRecords"), QStringLiteral("TBALIQUOTA"), QStringLiteral("stall"), true, 1, 60000);
    TTempFolder runtime;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.Path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home.Path());
    env.insert(QStringLiteral("KELT_PROGRAM_FOLDER"), m_installation.Path());
    env.insert(QStringLiteral("KELT_LEGACY_CONFIG"), m_home.File(QStringLiteral("legacy.ini")));
    env.remove(QStringLiteral("KELT_DB_SERVICE_COMMAND"));
    QProcess program;
    program.setProcessEnvironment(env);
    program.start(QStringLiteral(KELT_APP_EXE), {});
    ASSERT_TRUE(program.waitForStarted(10000));
    // The start-up sleeps 8 s, the first cycle follows a second later.
    const QDeadlineTimer asked(60000);
    while (Calls(QStringLiteral("AS_GetRecords"), QStringLiteral("TBALIQUOTA")) == 0 && !asked.hasExpired()
           && program.state() == QProcess::Running)
        QThread::msleep(50);
    QThread::msleep(300);
    ASSERT_EQ(program.state(), QProcess::Running);
    QElapsedTimer stopping;
    stopping.start();
    ::kill(pid_t(program.processId()), SIGTERM);
    const bool ended = program.waitForFinished(15000);
    EXPECT_TRUE(ended);
    if (!ended) {
        program.kill();
        program.waitForFinished();
        return;
    }
    EXPECT_LT(stopping.elapsed(), 4000);
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0);
    EXPECT_EQ(Query("SELECT COUNT(*) FROM TBALIQUOTA"), QStringList({"0"}));
    for (const TLogEntry& log : TakeLogs())
        ADD_FAILURE() << qPrintable(log.File + u' ' + log.Step + u' ' + log.Table + u' ' + log.Message);

    // The next run, in-process here, converges.
    m_dm = std::make_unique<TFDM>();
    m_dm->RunCadChannel();
    EXPECT_EQ(Query("SELECT COUNT(*) FROM TBALIQUOTA"), QStringList({"3"}));
}
