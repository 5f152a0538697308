// The main window on the offscreen platform: start-up, layout, selection and
// the tray behaviour, over a real embedded database.
#include "tests/app/ShellFixture.h"

#include "app/ShellServices.h"
#include "platform/os/Autostart.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QThread>
#include <QFile>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>

#ifdef Q_OS_LINUX
#include <csignal>
#include <pthread.h>
#endif

namespace {

QColor PanelColor(const QWidget* panel) { return panel->palette().color(QPalette::Window); }

} // namespace

TEST_F(ShellTest, StartUpLaysOutThePanelsByBranchTypeAndArmsTheFirstTick)
{
    struct Case
    {
        QString TpFilial;
        int Height;
        bool OthersVisible;
    };
    for (const Case& c : {Case{"0", 322, true}, Case{"1", 322, true}, Case{"2", 160, false}, Case{"3", 322, true},
                          Case{"", 322, true}}) {
        SCOPED_TRACE(c.TpFilial.toStdString());
        WriteConfig(c.TpFilial);
        m_clock.Slept.clear();
        TFMenu& menu = Create();
        EXPECT_TRUE(m_errorBoxes.isEmpty()) << qPrintable(m_errorBoxes.join(u'\n'));
        EXPECT_EQ(menu.height() + TFMenu::FrameHeight, c.Height); // the outer height of the design
        // Centred at that height, the store's smaller window too.
        const QPoint centre = QGuiApplication::primaryScreen()->availableGeometry().center();
        // (within the few pixels a window frame may add on one side)
        EXPECT_LE((menu.geometry().center() - centre).manhattanLength(), 4)
            << menu.geometry().center().y() << " against " << centre.y();
        EXPECT_TRUE(menu.pnCadastro->isVisible());
        EXPECT_EQ(menu.pnCadastroM->isVisible(), c.OthersVisible);
        EXPECT_EQ(menu.pnMovimentoM->isVisible(), c.OthersVisible);
        EXPECT_TRUE(menu.pnBotoes->isVisible());
        EXPECT_EQ(menu.SelectedChannel, 0);
        EXPECT_EQ(PanelColor(menu.pnCadastro), QColor(0xED, 0xE7, 0x6D));
        EXPECT_EQ(PanelColor(menu.pnCadastroM), menu.NormalPanelColor);
        // Armed with the design interval; the cycle sets the configured one.
        EXPECT_TRUE(menu.Timer1Enabled());
        EXPECT_EQ(menu.Timer1.interval(), 1000);
        EXPECT_EQ(m_clock.Slept, QList<int>({5000, 3000}));
        EXPECT_EQ(menu.DadosFilial.TpFilial, c.TpFilial.isEmpty() ? -1 : c.TpFilial.toInt());
    }
    // The upkeep ran on the local database: the column stayed, the autostart entry exists.
    EXPECT_TRUE(m_fdm->TableExists(QStringLiteral("tbvenda")));
    EXPECT_FALSE(m_fdm->TableExists(QStringLiteral("TBVENDA' OR 'A'='A")));
    EXPECT_TRUE(QFile::exists(m_home.File(QStringLiteral("autostart/KeltAppClient.desktop"))));
}

TEST_F(ShellTest, StartUpRunsTheServiceCommandBeforeTheUpkeepAndStopsAtAnUnreachableDatabase)
{
    WriteConfig(QStringLiteral("2"), QStringLiteral("1234"), m_installation.File(QStringLiteral("NOWHERE.KELT")));
    m_fdm = std::make_unique<TFDM>();
    m_commands.clear();
    m_menu = std::make_unique<TFMenu>(*m_fdm, m_services);
    EXPECT_EQ(m_commands, QStringList({"kelt-db-service start"}));
    ASSERT_EQ(m_errorBoxes.size(), 1);
    EXPECT_TRUE(m_errorBoxes[0].endsWith(u'.')) << qPrintable(m_errorBoxes[0]);
    // The steps after the upkeep are skipped: design layout, no second sleep, no timer.
    EXPECT_EQ(m_menu->height() + TFMenu::FrameHeight, 322);
    EXPECT_EQ(m_clock.Slept, QList<int>({5000}));
    EXPECT_FALSE(m_menu->Timer1Enabled());
    EXPECT_FALSE(m_menu->Timer1.isActive());
    EXPECT_THROW(m_fdm->TableExists(QStringLiteral("TBVENDA")), std::exception);
}

TEST_F(ShellTest, SelectingAPanelHighlightsItAloneAndSelectsItsChannel)
{
    WriteConfig(QStringLiteral("1"));
    TFMenu& menu = Create();
    menu.btSelecionarCadM->click();
    EXPECT_EQ(menu.SelectedChannel, 1);
    EXPECT_EQ(PanelColor(menu.pnCadastroM), QColor(0xED, 0xE7, 0x6D));
    for (const QWidget* panel : {static_cast<QWidget*>(menu.pnCadastro), static_cast<QWidget*>(menu.pnMovimentoM),
                                 static_cast<QWidget*>(menu.pnBotoes)})
        EXPECT_EQ(PanelColor(panel), QApplication::palette().color(QPalette::Button));
    menu.btSelecionarMovM->click();
    EXPECT_EQ(menu.SelectedChannel, 2);
    EXPECT_EQ(PanelColor(menu.pnCadastroM), menu.NormalPanelColor);
}

TEST_F(ShellTest, ClosingAndMinimisingHideInTheTrayAndOnlyFecharEndsTheProgram)
{
    WriteConfig(QStringLiteral("0"));
    TFMenu& menu = Create();
    menu.PbStatusCadM->setValue(40);
    EXPECT_FALSE(menu.close()); // refused
    EXPECT_FALSE(menu.isVisible());
    EXPECT_EQ(menu.PbStatusCadM->maximum(), 1);
    EXPECT_EQ(menu.PbStatusCadM->value(), 0);

    menu.Abrir1->trigger();
    EXPECT_TRUE(menu.isVisible());
    menu.btFechar->click();
    EXPECT_FALSE(menu.isVisible());
    menu.Abrir1->trigger();
    menu.showMinimized();
    QApplication::processEvents();
    EXPECT_FALSE(menu.isVisible());
    EXPECT_EQ(m_quits, 0);

    EXPECT_EQ(menu.JvTrayIcon1->DropDownMenu(), menu.JvPopupMenu1);
    menu.Fechar1->trigger();
    EXPECT_EQ(m_quits, 1);
}

TEST_F(ShellTest, WithoutANotificationAreaTheWindowStaysOnTheTaskbar)
{
    m_trayAvailable = false;
    WriteConfig(QStringLiteral("2"));
    TFMenu& menu = Create();
    menu.close();
    EXPECT_TRUE(menu.isVisible());
    EXPECT_TRUE(menu.isMinimized());
    EXPECT_TRUE(menu.InTray());
    menu.JvTrayIcon1->ShowBalloon(QStringLiteral("KeltUpdate"), QStringLiteral("texto"),
                                  ITrayIcon::TBalloonIcon::Information, 5000);
    ASSERT_EQ(menu.JvTrayIcon1->Balloons().size(), 1);
    menu.Abrir1->trigger();
    EXPECT_FALSE(menu.isMinimized());
}

TEST(ShellTexts, ErrorBoxAndTitleRules)
{
    EXPECT_EQ(ApplicationTitle(QStringLiteral("/opt/kelt/KeltAppClient")), QStringLiteral("Keltappclient"));
    EXPECT_EQ(ApplicationTitle(QStringLiteral("C:/x/KELTAPP.client.exe")), QStringLiteral("Keltapp"));
    EXPECT_EQ(ErrorBoxText(QString()), QString());
    EXPECT_EQ(ErrorBoxText(QStringLiteral("Falhou")), QStringLiteral("Falhou."));
    EXPECT_EQ(ErrorBoxText(QStringLiteral("Falhou.")), QStringLiteral("Falhou."));
    EXPECT_EQ(ErrorBoxText(QStringLiteral("Falhou!")), QStringLiteral("Falhou!"));
    EXPECT_EQ(ErrorBoxText(QStringLiteral("arquivo /tmp/")), QStringLiteral("arquivo /tmp/."));
}

TEST(ShellCommands, RunCommandStartsAndWaitsButNeverReadsTheExitCode)
{
    TTempFolder folder;
    const QString marker = folder.File(QStringLiteral("done"));
    EXPECT_TRUE(StartCommandLine(QStringLiteral("sh -c \"sleep 0.2; touch '%1'; exit 3\"").arg(marker), 1, true));
    EXPECT_TRUE(QFile::exists(marker));
    EXPECT_FALSE(StartCommandLine(QStringLiteral("/nonexistent/kelt-service start"), 1, true));
    EXPECT_FALSE(StartCommandLine(QString(), 1, true));
}

#ifdef Q_OS_LINUX
// The program blocks SIGTERM and SIGINT for itself; what it starts (the
// database service command, the updater, waited for or not) must still be
// stoppable by them. `cp` copies its own status: the shell would reset the mask.
TEST(ShellCommands, StartedProgramsDoNotInheritTheBlockedStopSignals)
{
    TTempFolder folder;
    sigset_t set, old;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    const auto blockedIn = [&](const QString& name) {
        QFile file(folder.File(name));
        const QDeadlineTimer deadline(10000);
        while (!(file.exists() && file.size() > 0) && !deadline.hasExpired())
            QThread::msleep(20);
        EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << qPrintable(name);
        const QByteArray text = file.readAll();
        const qsizetype at = text.indexOf("SigBlk:");
        bool ok = false;
        const qulonglong mask = text.mid(at + 7, text.indexOf('\n', at) - at - 7).trimmed().toULongLong(&ok, 16);
        EXPECT_TRUE(at >= 0 && ok) << text.constData();
        return mask & ((1ULL << (SIGTERM - 1)) | (1ULL << (SIGINT - 1)));
    };
    TShellProcesses processes;
    QString error;
    pthread_sigmask(SIG_BLOCK, &set, &old);
    const bool command = StartCommandLine(QStringLiteral("cp /proc/self/status \"%1\"").arg(folder.File("command")), 1, true);
    const bool waited = processes.Start(QStringLiteral("cp"), {QStringLiteral("/proc/self/status"), folder.File("waited")},
                                        true, false, error);
    const bool detached = processes.Start(QStringLiteral("cp"), {QStringLiteral("/proc/self/status"), folder.File("detached")},
                                          false, false, error);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    ASSERT_TRUE(command && waited && detached) << qPrintable(error);
    EXPECT_EQ(blockedIn(QStringLiteral("command")), 0ULL);
    EXPECT_EQ(blockedIn(QStringLiteral("waited")), 0ULL);
    EXPECT_EQ(blockedIn(QStringLiteral("detached")), 0ULL);
    EXPECT_FALSE(processes.Start(QStringLiteral("/nonexistent/kelt-updater"), {}, false, false, error));
    EXPECT_FALSE(error.isEmpty());
}
#endif

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
