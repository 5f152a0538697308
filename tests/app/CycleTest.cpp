// The replication cycle of the main window: which channels run, in which
// order, what the window, the tray and the timer show meanwhile, and what
// survives a failure or a refusal.
#include "tests/app/ShellFixture.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QProgressBar>
#include <QPushButton>

namespace {

const QString kCad = QStringLiteral("InicialReplicacaoCadastro");
const QString kCadM = QStringLiteral("InicialReplicacaoCadastroM");
const QString kMovM = QStringLiteral("InicialReplicacaoMovimentoM");
// The self-update of a timer cycle, which finds no update server either.
const QString kUpdate = QStringLiteral("TemAtualizacao");

} // namespace

TEST_F(ShellTest, ATimerCycleRunsTheChannelsOfTheBranchTypeAndEndsHiddenWithTheTimerRearmed)
{
    WriteConfig(QStringLiteral("1"));
    TFMenu& menu = Create();
    menu.PbStatusCad->setValue(50);
    menu.Timer1Timer(&menu.Timer1);

    EXPECT_EQ(TakeLoggedSteps(), QStringList({kUpdate, kCad, kCadM, kMovM}));
    EXPECT_TRUE(m_dialogs->Asked.isEmpty());
    // The tooltip names the installation, when and how the last cycle ended, and
    // the channels that could not run: here none finds a server.
    const QString failed =
        QStringLiteral("Cadastro Loja X Operadora, Cadastro Matriz X Filial, Movimento Matriz x Filial");
    EXPECT_EQ(menu.TrayToolTip().section(u'\n', 1),
              QStringLiteral("Contrato 1234, filial 7 (VIVO_BA)\nÚltimo ciclo: 05/03/2024 %1, com erro\n"
                             "Canais com erro: %2")
                  .arg(m_clock.CurrentTime().addSecs(-1).toString(QStringLiteral("HH:mm")), failed));
    // The service starts with the menu detached and the timer stopped.
    ASSERT_EQ(m_commands, QStringList({"kelt-db-service start"}));
    EXPECT_FALSE(m_atCommand[0].MenuAttached);
    EXPECT_FALSE(m_atCommand[0].TimerEnabled);
    EXPECT_EQ(m_atCommand[0].IconIndex, 0);
    // While the channels run the first cycle shows the window, image 1, no menu,
    // no timer; each channel runs selected.
    // The self-update comes first, under image 2, and ends at image 0.
    ASSERT_FALSE(m_snapshots.isEmpty());
    EXPECT_EQ(m_snapshots.first().IconIndex, 2);
    while (!m_snapshots.isEmpty() && m_snapshots.first().IconIndex == 2)
        m_snapshots.removeFirst();
    ASSERT_EQ(menu.JvTrayIcon1->Balloons().size(), 2);
    EXPECT_EQ(menu.JvTrayIcon1->Balloons()[0].Text,
              QStringLiteral("Não foi possível verificar se existe nova versão do replicador."));
    EXPECT_EQ(menu.JvTrayIcon1->Balloons()[1].Text, QStringLiteral("Replicação com erro: ") + failed);
    QList<int> channels;
    for (const TSnapshot& s : m_snapshots.mid(0, m_snapshots.size() - 1)) {
        EXPECT_EQ(s.IconIndex, 1);
        EXPECT_FALSE(s.MenuAttached);
        EXPECT_FALSE(s.TimerEnabled);
        EXPECT_FALSE(s.InTray);
        if (channels.isEmpty() || channels.last() != s.SelectedChannel)
            channels.append(s.SelectedChannel);
    }
    EXPECT_EQ(channels, QList<int>({0, 1, 2}));
    // At the end: armed with the configured 5 minutes, the failed cycle's image,
    // menu back, hidden, bars reset, first panel selected.
    const TSnapshot end = m_snapshots.last();
    EXPECT_EQ(end.IconIndex, kTrayImageFailed);
    EXPECT_TRUE(end.MenuAttached);
    EXPECT_TRUE(end.TimerEnabled && end.InTray);
    EXPECT_EQ(menu.Timer1.interval(), 5 * 60 * 1000);
    EXPECT_TRUE(menu.Timer1.isActive());
    EXPECT_EQ(menu.SelectedChannel, 0);
    EXPECT_EQ(menu.PbStatusCad->maximum(), 1);
    EXPECT_EQ(menu.PbStatusCad->value(), 0);
    EXPECT_TRUE(menu.Cycle().CycleHidden);
    EXPECT_TRUE(menu.btIniciarTodos->isEnabled() && menu.btIniciarSelecionado->isEnabled());

    // Later cycles never show the window.
    m_snapshots.clear();
    menu.Timer1Timer(&menu.Timer1);
    for (const TSnapshot& s : m_snapshots)
        EXPECT_TRUE(s.InTray);
    EXPECT_EQ(TakeLoggedSteps().size(), 4);

    // An interval of 0 leaves the timer armed but silent: it must never fire.
    m_installation.Write(QStringLiteral("Config.ini"),
                         m_installation.Read(QStringLiteral("Config.ini")).replace("TempoSincronizacao=5", "TempoSincronizacao=0"));
    menu.Timer1Timer(&menu.Timer1);
    EXPECT_TRUE(menu.Timer1Enabled());
    EXPECT_FALSE(menu.Timer1.isActive());
}

TEST_F(ShellTest, StoresAndInvalidBranchTypesRunOnlyTheStoreCarrierChannel)
{
    for (const QString& tp : {QStringLiteral("2"), QStringLiteral("9"), QString()}) {
        WriteConfig(tp);
        TFMenu& menu = Create();
        menu.Timer1Timer(&menu.Timer1);
        EXPECT_EQ(TakeLoggedSteps(), QStringList({kUpdate, kCad})) << qPrintable(tp);
    }
}

TEST_F(ShellTest, AFailingChannelEndsTheCycleInTheErrorBoxWithTheTimerStillArmed)
{
    WriteConfig(QStringLiteral("0"));
    TFMenu& menu = Create(/*withCadastroM=*/false);
    // Fired by the real timer, as in the program.
    menu.Timer1.setInterval(1);
    menu.SetTimer1Enabled(true);
    const QDeadlineTimer deadline(30000);
    while (m_errorBoxes.isEmpty() && !deadline.hasExpired())
        QApplication::processEvents(QEventLoop::AllEvents, 20);

    ASSERT_EQ(m_errorBoxes, QStringList({"The master-data provider module is not created."}));
    EXPECT_TRUE(menu.TrayToolTip().endsWith(QStringLiteral(", erro: The master-data provider module is not created\n"
                                                           "Canais com erro: Cadastro Loja X Operadora, "
                                                           "Cadastro Matriz X Filial")))
        << qPrintable(menu.TrayToolTip());
    EXPECT_EQ(TakeLoggedSteps(), QStringList({kUpdate, kCad})); // the transaction channel waits for the next cycle
    EXPECT_TRUE(menu.Timer1Enabled());
    EXPECT_EQ(menu.Timer1.interval(), 5 * 60 * 1000);
    EXPECT_EQ(menu.JvTrayIcon1->IconIndex(), kTrayImageFailed);
    EXPECT_EQ(menu.JvTrayIcon1->PopupMenu(), menu.JvPopupMenu1);
    EXPECT_TRUE(menu.InTray());
    EXPECT_TRUE(menu.btIniciarTodos->isEnabled());
}

TEST_F(ShellTest, TheContractIsConfirmedOnlyInTheChainsWorkgroup)
{
    WriteConfig(QStringLiteral("2"));
    TFMenu& menu = Create();
    m_workgroup = QStringLiteral("zelvoMartis");
    m_dialogs->Answer = IShellDialogs::TAnswer::No;
    EXPECT_FALSE(menu.Cycle().MayReplicate());
    ASSERT_EQ(m_dialogs->Asked.size(), 1);
    EXPECT_EQ(m_dialogs->Asked[0],
              QStringLiteral("Deseja iniciar replicação para o código de contrato: 1234?\r\n"
                             "ATENÇÃO: Selecionando [SIM] dados inválidos podem ser replicados para o cliente.\r\n"
                             "Caso tenha alguma dúvida, clique em [NÃO]"));
    m_dialogs->Answer = IShellDialogs::TAnswer::Yes;
    EXPECT_TRUE(menu.Cycle().MayReplicate());
    m_dialogs->Answer = IShellDialogs::TAnswer::Closed; // the close box consents
    EXPECT_TRUE(menu.Cycle().MayReplicate());

    m_dialogs->Asked.clear();
    menu.DadosFilial.CdContrato = QStringLiteral("2999");
    EXPECT_TRUE(menu.Cycle().MayReplicate());
    menu.DadosFilial.CdContrato = QStringLiteral("2999 ");
    m_workgroup = QStringLiteral("ZELVOMARTIS-2");
    EXPECT_TRUE(menu.Cycle().MayReplicate());
    EXPECT_TRUE(m_dialogs->Asked.isEmpty());

    m_services.Workgroup = [] () -> QString { throw Exception(QStringLiteral("sem rede")); };
    TFMenu failing(*m_fdm, m_services);
    EXPECT_FALSE(failing.Cycle().MayReplicate());
    EXPECT_EQ(m_dialogs->Errors, QStringList({"Não foi possível verificar se pode replicar. Erro:sem rede"}));
}

TEST_F(ShellTest, ARefusedCycleRunsNothingAndLeavesTheTimerStoppedUntilAManualRun)
{
    WriteConfig(QStringLiteral("2"));
    TFMenu& menu = Create();
    m_workgroup = QStringLiteral("ZELVOMARTIS");
    m_dialogs->Answer = IShellDialogs::TAnswer::No;
    menu.Timer1Timer(&menu.Timer1);

    EXPECT_TRUE(TakeLoggedSteps().isEmpty());
    EXPECT_TRUE(m_commands.isEmpty());
    EXPECT_FALSE(menu.Timer1Enabled());
    EXPECT_FALSE(menu.Timer1.isActive());
    EXPECT_EQ(menu.Timer1.interval(), 5 * 60 * 1000);
    EXPECT_EQ(menu.JvTrayIcon1->PopupMenu(), menu.JvPopupMenu1);
    EXPECT_FALSE(menu.InTray()); // CycleHidden was false: shown
    EXPECT_FALSE(menu.Cycle().CycleHidden);

    menu.btIniciarSelecionado->click();
    EXPECT_TRUE(menu.Timer1Enabled());
    EXPECT_TRUE(menu.Timer1.isActive());
}

TEST_F(ShellTest, IniciarSelecionadoRunsOnlyTheSelectedChannelAndIniciarTodosACycle)
{
    WriteConfig(QStringLiteral("1"));
    TFMenu& menu = Create();
    m_workgroup = QStringLiteral("ZELVOMARTIS");
    menu.btSelecionarCadM->click();
    menu.btIniciarSelecionado->click();
    EXPECT_EQ(TakeLoggedSteps(), QStringList({kCadM}));
    EXPECT_TRUE(m_commands.isEmpty());
    EXPECT_TRUE(m_dialogs->Asked.isEmpty());
    for (const TSnapshot& s : m_snapshots) {
        EXPECT_EQ(s.IconIndex, 0);
        EXPECT_FALSE(s.TimerEnabled);
        EXPECT_FALSE(s.InTray);
    }
    EXPECT_TRUE(menu.Timer1Enabled());
    EXPECT_EQ(menu.Timer1.interval(), 1000);

    // Iniciar Todos after the window went to the tray: shown for its cycle, hidden after.
    menu.HideToTray();
    menu.Cycle().CycleHidden = true;
    m_snapshots.clear();
    menu.btIniciarTodos->click();
    EXPECT_EQ(m_dialogs->Asked.size(), 1);
    EXPECT_EQ(TakeLoggedSteps(), QStringList({kCad, kCadM, kMovM}));
    EXPECT_FALSE(m_snapshots.first().InTray);
    EXPECT_TRUE(menu.InTray());
    EXPECT_TRUE(menu.Cycle().CycleHidden);
    EXPECT_TRUE(m_errorBoxes.isEmpty());
}

TEST_F(ShellTest, AtualizarTriesTheSelfUpdateWithTheTimerStoppedAndReportsInBalloons)
{
    WriteConfig(QStringLiteral("2"));
    TFMenu& menu = Create();
    m_installation.Write(QStringLiteral("keltappclient_upd.exe"), "stale");
    menu.Atualizarreplicador1->trigger();
    EXPECT_FALSE(QFile::exists(m_installation.File(QStringLiteral("keltappclient_upd.exe"))));
    EXPECT_EQ(TakeLoggedSteps(), QStringList({kUpdate}));
    for (const TSnapshot& s : m_snapshots) {
        EXPECT_EQ(s.IconIndex, 2);
        EXPECT_FALSE(s.TimerEnabled);
    }
    EXPECT_EQ(menu.JvTrayIcon1->IconIndex(), 0);
    EXPECT_TRUE(menu.Timer1Enabled());
    ASSERT_EQ(menu.JvTrayIcon1->Balloons().size(), 1);

    // A local database that cannot be reached ends the attempt with the error
    // balloon; the menu handler goes on.
    WriteConfig(QStringLiteral("2"), QStringLiteral("1234"), m_installation.File(QStringLiteral("NOWHERE.KELT")));
    TFMenu& broken = Create();
    m_errorBoxes.clear();
    broken.Atualizarreplicador1->trigger();
    ASSERT_EQ(broken.JvTrayIcon1->Balloons().size(), 1);
    EXPECT_EQ(broken.JvTrayIcon1->Balloons()[0].Title, QStringLiteral("KeltUpdate"));
    EXPECT_TRUE(broken.JvTrayIcon1->Balloons()[0].Text.startsWith(
        QStringLiteral("Não foi possível atualizar replicador... Erro: ")));
    EXPECT_EQ(broken.JvTrayIcon1->IconIndex(), 0);
    EXPECT_TRUE(m_errorBoxes.isEmpty());
    EXPECT_TRUE(broken.Timer1Enabled());
}
