#include "uMenu.h"

#include "app/ErrorBox.h"
#include "connections/uDM.h"
#include "platform/types/FieldDefs.h"
#include "platform/os/Clock.h"
#include "platform/os/FileVersion.h"
#include "platform/os/ProgramFolder.h"
#include "platform/sql/SQLDataSet.h"
#include "replication/core/ProcessMessages.h"
#include "replication/core/cl_Funcoes.h"
#include "update/HttpDownloader.h"
#include "update/KeltUpdate.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QFrame>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QVBoxLayout>

namespace {

const char kTag[] = "Tag";
const QString kProgramName = QStringLiteral("KeltAppClient");
const QString kUpdaterFile = QStringLiteral("keltappclient_upd.exe");

// Runs `body`, then `cleanup` however `body` ends; an error of `body` goes on.
template <class Body, class Cleanup>
void TryFinally(Body&& body, Cleanup&& cleanup)
{
    try {
        body();
    } catch (...) {
        cleanup();
        throw;
    }
    cleanup();
}

// The caption of a channel's panel, by its tag.
QString ChannelCaption(int channel)
{
    switch (channel) {
    case 0: return QStringLiteral("Cadastro Loja X Operadora");
    case 1: return QStringLiteral("Cadastro Matriz X Filial");
    default: return QStringLiteral("Movimento Matriz x Filial");
    }
}

// Letters a to z only, as the workgroup comparison wants.
QString AsciiUpper(const QString& text)
{
    QString upper = text;
    for (QChar& c : upper)
        if (c >= u'a' && c <= u'z')
            c = QChar(c.unicode() - 'a' + 'A');
    return upper;
}

} // namespace

TFMenu::TFMenu(TFDM& fdm, TShellServices services, QWidget* parent)
    : QMainWindow(parent), m_fdm(fdm), m_services(services.Completed())
{
    BuildWidgets();
    BuildTray();
    // An error of FormCreate ends it where it happened; the window still comes up.
    HandleErrors([this] { FormCreate(); });
}

TFMenu::~TFMenu() = default;

QFrame* TFMenu::ChannelPanel(int tag, const QString& name, const QString& title, QPushButton*& select,
                             QLabel*& caption, QProgressBar*& bar, QLabel*& status)
{
    auto* panel = new QFrame;
    panel->setObjectName(name);
    panel->setProperty(kTag, tag);
    panel->setFixedHeight(81);
    panel->setFrameShape(QFrame::Panel);
    panel->setFrameShadow(QFrame::Raised);
    panel->setAutoFillBackground(true);

    select = new QPushButton(QStringLiteral("&Selecionar"), panel);
    select->move(24, 28);
    select->resize(75, 25);
    caption = new QLabel(title, panel);
    caption->move(128, 9);
    caption->adjustSize();
    bar = new QProgressBar(panel);
    bar->setGeometry(128, 32, 289, 17);
    bar->setRange(0, 100);
    bar->setValue(0);
    bar->setTextVisible(false);
    status = new QLabel(QStringLiteral("..."), panel);
    status->setGeometry(128, 55, 150, 13);
    connect(select, &QPushButton::clicked, this, [this, select] { HandleErrors([&] { btSelecionarCadClick(select); }); });
    return panel;
}

void TFMenu::BuildWidgets()
{
    setWindowTitle(QStringLiteral("Controle de Replicação"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint
                   | Qt::WindowCloseButtonHint);
    setFont(QFont(QStringLiteral("Tahoma"), 8));
    resize(460, 322 - FrameHeight);

    NormalPanelColor = QApplication::palette().color(QPalette::Button);
    SelectedPanelColor = QColor(0xED, 0xE7, 0x6D);

    auto* client = new QWidget;
    auto* layout = new QVBoxLayout(client);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    pnCadastro = ChannelPanel(0, QStringLiteral("pnCadastro"), ChannelCaption(0), btSelecionarCad, JvLabel1,
                              PbStatusCad, lbTabelaCad);
    pnCadastroM = ChannelPanel(1, QStringLiteral("pnCadastroM"), ChannelCaption(1), btSelecionarCadM, JvLabel2,
                               PbStatusCadM, lbTabelaCadM);
    pnMovimentoM = ChannelPanel(2, QStringLiteral("pnMovimentoM"), ChannelCaption(2), btSelecionarMovM, JvLabel3,
                                PbStatusMovM, lbTabelaMovM);
    btSelecionarCad->setObjectName(QStringLiteral("btSelecionarCad"));
    btSelecionarCadM->setObjectName(QStringLiteral("btSelecionarCadM"));
    btSelecionarMovM->setObjectName(QStringLiteral("btSelecionarMovM"));
    JvLabel1->setObjectName(QStringLiteral("JvLabel1"));
    JvLabel2->setObjectName(QStringLiteral("JvLabel2"));
    JvLabel3->setObjectName(QStringLiteral("JvLabel3"));
    PbStatusCad->setObjectName(QStringLiteral("PbStatusCad"));
    PbStatusCadM->setObjectName(QStringLiteral("PbStatusCadM"));
    PbStatusMovM->setObjectName(QStringLiteral("PbStatusMovM"));
    lbTabelaCad->setObjectName(QStringLiteral("lbTabelaCad"));
    lbTabelaCadM->setObjectName(QStringLiteral("lbTabelaCadM"));
    lbTabelaMovM->setObjectName(QStringLiteral("lbTabelaMovM"));

    pnBotoes = new QFrame;
    pnBotoes->setObjectName(QStringLiteral("pnBotoes"));
    pnBotoes->setFixedHeight(45);
    pnBotoes->setFrameShape(QFrame::Panel);
    pnBotoes->setFrameShadow(QFrame::Raised);
    pnBotoes->setAutoFillBackground(true);
    btIniciarSelecionado = new QPushButton(QStringLiteral("Iniciar &Selecionado"), pnBotoes);
    btIniciarSelecionado->setObjectName(QStringLiteral("btIniciarSelecionado"));
    btIniciarSelecionado->setGeometry(126, 14, 107, 25);
    btIniciarTodos = new QPushButton(QStringLiteral("Iniciar &Todos"), pnBotoes);
    btIniciarTodos->setObjectName(QStringLiteral("btIniciarTodos"));
    btIniciarTodos->setGeometry(239, 14, 107, 25);
    btFechar = new QPushButton(QStringLiteral("&Fechar"), pnBotoes);
    btFechar->setObjectName(QStringLiteral("btFechar"));
    btFechar->setGeometry(352, 14, 75, 25);
    QWidget::setTabOrder(btIniciarSelecionado, btFechar);
    QWidget::setTabOrder(btFechar, btIniciarTodos);
    connect(btIniciarSelecionado, &QPushButton::clicked, this, [this] { HandleErrors([this] { btIniciarSelecionadoClick(); }); });
    connect(btIniciarTodos, &QPushButton::clicked, this, [this] { HandleErrors([this] { btIniciarTodosClick(); }); });
    connect(btFechar, &QPushButton::clicked, this, [this] { HandleErrors([this] { btFecharClick(); }); });

    layout->addWidget(pnCadastro);
    layout->addWidget(pnCadastroM);
    layout->addWidget(pnMovimentoM);
    layout->addStretch(1);
    layout->addWidget(pnBotoes);
    setCentralWidget(client);

    // The first panel shows as selected even before FormCreate paints the panels.
    for (QFrame* panel : {pnCadastro, pnCadastroM, pnMovimentoM, pnBotoes}) {
        QPalette palette = panel->palette();
        palette.setColor(QPalette::Window, panel == pnCadastro ? SelectedPanelColor : NormalPanelColor);
        panel->setPalette(palette);
    }

    m_lbTabelaCad = std::make_unique<TLabelAdapter>(lbTabelaCad);
    m_lbTabelaCadM = std::make_unique<TLabelAdapter>(lbTabelaCadM);
    m_lbTabelaMovM = std::make_unique<TLabelAdapter>(lbTabelaMovM);
    m_pbStatusCad = std::make_unique<TProgressBarAdapter>(PbStatusCad);
    m_pbStatusCadM = std::make_unique<TProgressBarAdapter>(PbStatusCadM);
    m_pbStatusMovM = std::make_unique<TProgressBarAdapter>(PbStatusMovM);

    // Disabled at creation; FormCreate arms it with the design interval, the
    // cycle then sets the configured one.
    Timer1.setObjectName(QStringLiteral("Timer1"));
    Timer1.setInterval(1000);
    connect(&Timer1, &QTimer::timeout, this, [this] { HandleErrors([this] { Timer1Timer(&Timer1); }); });

    CentreOnScreen();
}

void TFMenu::CentreOnScreen()
{
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

void TFMenu::BuildTray()
{
    JvPopupMenu1 = new QMenu(this);
    JvPopupMenu1->setObjectName(QStringLiteral("JvPopupMenu1"));
    Atualizarreplicador1 = JvPopupMenu1->addAction(QStringLiteral("Atualizar"));
    Atualizarreplicador1->setObjectName(QStringLiteral("Atualizarreplicador1"));
    N1 = JvPopupMenu1->addSeparator();
    N1->setObjectName(QStringLiteral("N1"));
    Abrir1 = JvPopupMenu1->addAction(QStringLiteral("Abrir"));
    Abrir1->setObjectName(QStringLiteral("Abrir1"));
    Fechar1 = JvPopupMenu1->addAction(QStringLiteral("Fechar"));
    Fechar1->setObjectName(QStringLiteral("Fechar1"));
    connect(Atualizarreplicador1, &QAction::triggered, this, [this] { HandleErrors([this] { Atualizarreplicador1Click(); }); });
    connect(Abrir1, &QAction::triggered, this, [this] { HandleErrors([this] { Abrir1Click(); }); });
    connect(Fechar1, &QAction::triggered, this, [this] { HandleErrors([this] { Fechar1Click(); }); });

    httpFile = new THttpDownloader(this);
    httpFile->setObjectName(QStringLiteral("httpFile"));

    // Shown as soon as the window's members exist, before FormCreate.
    JvTrayIcon1 = new TTrayIcon(m_services.TrayAvailable(), this);
    JvTrayIcon1->setObjectName(QStringLiteral("JvTrayIcon1"));
    AttachTrayMenu(true);
}

void TFMenu::AttachTrayMenu(bool attach)
{
    JvTrayIcon1->SetPopupMenu(attach ? JvPopupMenu1 : nullptr);
    JvTrayIcon1->SetDropDownMenu(attach ? JvPopupMenu1 : nullptr);
}

void TFMenu::SetTimer1Enabled(bool on)
{
    m_timer1Enabled = on;
    if (on && Timer1.interval() > 0)
        Timer1.start();
    else
        Timer1.stop();
}

// --- start-up ------------------------------------------------------------

void TFMenu::FormCreate()
{
    NormalPanelColor = QApplication::palette().color(QPalette::Button);
    SelectedPanelColor = QColor(0xED, 0xE7, 0x6D);
    CycleHidden = false;
    // Qt paints double-buffered on every platform; nothing to switch on.

    ProgramFolder = ::ProgramFolder();
    m_version = FileVersionText(QCoreApplication::applicationFilePath(), QStringLiteral("%d.%d.%d.%d"));

    {
        TKeltBaseServerClient serverClient;
        serverClient.RegisterAutostart(kProgramName, QCoreApplication::applicationFilePath());
        serverClient.ReadDadosFilial(ProgramFolder, ConfigIniName, DadosFilial);
    }
    JvTrayIcon1->Icon()->setToolTip(TrayToolTip());

    const QString service = DatabaseServiceCommand();
    if (!service.isEmpty())
        RunCommand(service, 1, true);
    Clock().Sleep(5000);

    {
        TKeltTarefa tarefa;
        tarefa.SetLocalConnection(&m_fdm.SqlCAgente);
        tarefa.SetPafConnection(&m_fdm.SqlCKeltPAF);
        tarefa.SetLookupDataSet(&m_fdm.SqlBusca);
        tarefa.PrepareLocalEnvironment();
    }

    switch (DadosFilial.TpFilial) {
    case 0:
    case 1:
        pnCadastro->setVisible(true);
        pnCadastroM->setVisible(true);
        pnMovimentoM->setVisible(true);
        resize(width(), 322 - FrameHeight);
        CentreOnScreen();
        HighlightPanel(pnCadastro);
        SelectChannel(pnCadastro);
        break;
    case 2:
        pnCadastro->setVisible(true);
        pnCadastroM->setVisible(false);
        pnMovimentoM->setVisible(false);
        resize(width(), height() - 162);
        CentreOnScreen(); // at its final size, not the designed one
        HighlightPanel(pnCadastro);
        SelectChannel(pnCadastro);
        break;
    default: // the designed layout stays
        break;
    }

    Clock().Sleep(3000);
    SetTimer1Enabled(true);
}

// --- window handlers ----------------------------------------------------

void TFMenu::closeEvent(QCloseEvent* event)
{
    // Closing only hides the window; "Fechar" in the tray menu ends the program.
    event->ignore();
    HandleErrors([this] {
        ResetProgressBars();
        HideToTray();
    });
}

void TFMenu::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && isMinimized() && JvTrayIcon1->Available()) {
        // Hiding inside the state change confuses some window managers.
        QTimer::singleShot(0, this, [this] {
            if (isMinimized())
                HideToTray();
        });
    }
}

void TFMenu::btFecharClick() { HideToTray(); }

void TFMenu::btSelecionarCadClick(QWidget* button)
{
    QWidget* panel = button->parentWidget();
    HighlightPanel(panel);
    SelectChannel(panel);
}

void TFMenu::Abrir1Click()
{
    ShowFromTray();
    PbStatusCad->repaint();
    ProcessMessages();
}

void TFMenu::Fechar1Click() { m_services.Quit(); }

void TFMenu::HideToTray()
{
    if (JvTrayIcon1->Available()) {
        hide();
        return;
    }
    // Without a notification area the window stays reachable from the taskbar.
    if (!isVisible())
        show();
    showMinimized();
}

void TFMenu::ShowFromTray()
{
    showNormal();
    raise();
    activateWindow();
}

bool TFMenu::InTray() const { return JvTrayIcon1->Available() ? !isVisible() : isMinimized(); }

// --- operations ---------------------------------------------------------

void TFMenu::HighlightPanel(QWidget* panel)
{
    for (QFrame* p : {pnCadastro, pnCadastroM, pnMovimentoM, pnBotoes}) {
        QPalette palette = p->palette();
        palette.setColor(QPalette::Window, NormalPanelColor);
        p->setPalette(palette);
    }
    QPalette palette = panel->palette();
    palette.setColor(QPalette::Window, SelectedPanelColor);
    panel->setPalette(palette);
}

void TFMenu::SelectChannel(QWidget* widget) { SelectedChannel = widget->property(kTag).toInt(); }

void TFMenu::ResetProgressBars()
{
    for (IProgressBar* bar : {static_cast<IProgressBar*>(m_pbStatusCad.get()), static_cast<IProgressBar*>(m_pbStatusCadM.get()),
                              static_cast<IProgressBar*>(m_pbStatusMovM.get())}) {
        bar->SetMax(1);
        bar->SetPosition(0);
    }
}

bool TFMenu::RunCommand(const QString& commandLine, quint16 showMode, bool wait)
{
    return m_services.StartProcess(commandLine, showMode, wait);
}

bool TFMenu::TableExists(const QString& name)
{
    TSQLDataSet query(&m_fdm.SqlCAgente);
    query.Close();
    query.SetCommandText(QStringLiteral("SELECT COUNT(*) FROM RDB$RELATIONS WHERE RDB$RELATION_NAME = ")
                         + QuotedSqlString(name.toUpper()));
    query.Open();
    return query.Fields(0).AsInteger() > 0;
}

// --- the replication cycle ----------------------------------------------

void TFMenu::RunSelectedChannel()
{
    btIniciarSelecionado->setEnabled(false);
    btIniciarTodos->setEnabled(false);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    TryFinally(
        [this] {
            switch (SelectedChannel) {
            case 0:
                m_fdm.SetChannelProgressBar(m_pbStatusCad.get());
                m_fdm.SetChannelLabel(m_lbTabelaCad.get());
                m_fdm.RunCadChannel();
                break;
            case 1:
                m_fdm.SetChannelProgressBar(m_pbStatusCadM.get());
                m_fdm.SetChannelLabel(m_lbTabelaCadM.get());
                m_fdm.RunCadMChannel();
                break;
            case 2:
                m_fdm.SetChannelProgressBar(m_pbStatusMovM.get());
                m_fdm.SetChannelLabel(m_lbTabelaMovM.get());
                m_fdm.RunMovMChannel();
                break;
            default: // no channel of that tag
                break;
            }
        },
        [this] {
            btIniciarSelecionado->setEnabled(true);
            btIniciarTodos->setEnabled(true);
            QApplication::restoreOverrideCursor();
        });
}

bool TFMenu::MayReplicate()
{
    try {
        const QString workgroup = AsciiUpper(m_services.Workgroup());
        if (workgroup == QLatin1String("ZELVOMARTIS") && DadosFilial.CdContrato != QLatin1String("2999")) {
            const QString text =
                QStringLiteral("Deseja iniciar replicação para o código de contrato: %1?\r\n"
                               "ATENÇÃO: Selecionando [SIM] dados inválidos podem ser replicados para o cliente.\r\n"
                               "Caso tenha alguma dúvida, clique em [NÃO]")
                    .arg(DadosFilial.CdContrato);
            // Closing the box through its title bar counts as consent.
            return m_services.Dialogs->ConfirmReplication(text) != IShellDialogs::TAnswer::No;
        }
        return true;
    } catch (const std::exception& e) {
        m_services.Dialogs->ShowReplicationError(QStringLiteral("Não foi possível verificar se pode replicar. Erro:")
                                                 + ErrorText(e));
        return false;
    }
}

void TFMenu::Timer1Timer(QObject* sender)
{
    btIniciarSelecionado->setEnabled(false);
    btIniciarTodos->setEnabled(false);
    TryFinally(
        [&] {
            SetTimer1Enabled(false);
            {
                TKeltBaseServerClient serverClient;
                serverClient.ReadSyncInterval(ProgramFolder, ConfigIniName, Timer1);
                m_timer1Enabled = false;
            }
            AttachTrayMenu(false);

            if (!MayReplicate()) {
                // Refused: the timer stays stopped until the operator starts a run.
                ResetProgressBars();
                AttachTrayMenu(true);
                CycleHidden ? HideToTray() : ShowFromTray();
                ProcessMessages();
                return;
            }

            const QString service = DatabaseServiceCommand();
            if (!service.isEmpty())
                RunCommand(service, 1, true);
            Clock().Sleep(5000);
            CycleHidden ? HideToTray() : ShowFromTray();

            if (!qobject_cast<QPushButton*>(sender))
                RunSelfUpdate();
            JvTrayIcon1->SetIconIndex(1);
            ProcessMessages();

            TryFinally(
                [this] {
                    QStringList failed;
                    try {
                        TFDM::RunCycle(DadosFilial.TpFilial, [this, &failed](int channel) {
                            QFrame* panel = channel == 0 ? pnCadastro : channel == 1 ? pnCadastroM : pnMovimentoM;
                            HighlightPanel(panel);
                            SelectChannel(panel);
                            TryFinally([this] { RunSelectedChannel(); },
                                       [&] {
                                           if (m_fdm.LastChannelState(channel) == TChannelState::ChannelFailed)
                                               failed.append(ChannelCaption(channel));
                                       });
                            ProcessMessages();
                        });
                    } catch (const std::exception& e) {
                        ShowCycleFailures(failed);
                        ShowLastCycle(QStringLiteral("erro: ") + ErrorText(e));
                        throw;
                    }
                    ShowCycleFailures(failed);
                    ShowLastCycle(failed.isEmpty() ? QStringLiteral("concluído") : QStringLiteral("com erro"));
                },
                [this] {
                    // The next tick comes one interval after this moment.
                    SetTimer1Enabled(true);
                    HighlightPanel(pnCadastro);
                    SelectChannel(pnCadastro);
                    JvTrayIcon1->SetIconIndex(RestingIcon());
                    AttachTrayMenu(true);
                    HideToTray();
                    ResetProgressBars();
                    CycleHidden = true;
                    ProcessMessages();
                });
        },
        [this] {
            btIniciarSelecionado->setEnabled(true);
            btIniciarTodos->setEnabled(true);
        });
}

void TFMenu::ShowLastCycle(const QString& outcome)
{
    m_lastCycle = QStringLiteral("%1 %2, %3")
                      .arg(Clock().CurrentDate().toString(QStringLiteral("dd/MM/yyyy")),
                           Clock().CurrentTime().toString(QStringLiteral("HH:mm")), outcome);
    JvTrayIcon1->Icon()->setToolTip(TrayToolTip());
}

void TFMenu::ShowCycleFailures(const QStringList& failed)
{
    m_failedChannels = failed;
    if (failed.isEmpty()) {
        m_warnedChannels.clear();
        return;
    }
    if (failed == m_warnedChannels)
        return;
    m_warnedChannels = failed;
    JvTrayIcon1->ShowBalloon(QStringLiteral("Controle de Replicação"),
                             QStringLiteral("Replicação com erro: ") + failed.join(QStringLiteral(", ")),
                             ITrayIcon::TBalloonIcon::Warning, 10000);
}

QString TFMenu::TrayToolTip() const
{
    // Windows shows at most 127 characters of it, so the error text goes last.
    QString tip = QStringLiteral("Controle de Replicação");
    if (!m_version.isEmpty())
        tip += u' ' + m_version;
    tip += QStringLiteral("\nContrato %1, filial %2 (%3)\nÚltimo ciclo: %4")
               .arg(DadosFilial.CdContrato)
               .arg(DadosFilial.PkFilial)
               .arg(DadosFilial.UF, m_lastCycle);
    if (!m_failedChannels.isEmpty())
        tip += QStringLiteral("\nCanais com erro: ") + m_failedChannels.join(QStringLiteral(", "));
    return tip;
}

void TFMenu::btIniciarTodosClick()
{
    CycleHidden = false;
    TryFinally([this] { Timer1Timer(btIniciarTodos); }, [this] { CycleHidden = true; });
}

void TFMenu::btIniciarSelecionadoClick()
{
    SetTimer1Enabled(false);
    TryFinally([this] { RunSelectedChannel(); }, [this] { SetTimer1Enabled(true); });
}

void TFMenu::Atualizarreplicador1Click()
{
    SetTimer1Enabled(false);
    TryFinally([this] { RunSelfUpdate(); }, [this] { SetTimer1Enabled(true); });
}

void TFMenu::RunSelfUpdate()
{
    const QString balloonTitle = QStringLiteral("KeltUpdate");
    try {
        TKeltUpdate update(httpFile);
        TryFinally(
            [&] {
                JvTrayIcon1->SetIconIndex(2);
                // A copy left by an earlier attempt; a failed deletion is not reported.
                const QString updater = ProgramFolder + kUpdaterFile;
                if (QFile::exists(updater))
                    QFile::remove(updater);
                update.SetFileName(kUpdaterFile);
                update.SetSocketConnection(&m_fdm.ScAgente);
                update.SetBroker(&m_fdm.CbAgente);
                update.SetTrayIcon(JvTrayIcon1);
                update.PrepareConnection();
                // Only its failure matters: an unreachable local database ends the attempt.
                TableExists(QStringLiteral("TBCANCELAMENTO"));
                // An updater that could not be started was reported already and
                // leaves the client running for the next attempt: nothing is installing.
                if (update.CheckForUpdate(true) && update.UpdaterStarted())
                    JvTrayIcon1->ShowBalloon(balloonTitle, QStringLiteral("Instalando nova versão do replicador..."),
                                             ITrayIcon::TBalloonIcon::Information, 5000);
            },
            [this] { JvTrayIcon1->SetIconIndex(RestingIcon()); });
    } catch (const std::exception& e) {
        JvTrayIcon1->ShowBalloon(balloonTitle, QStringLiteral("Não foi possível atualizar replicador... Erro: ") + ErrorText(e),
                                 ITrayIcon::TBalloonIcon::Information, 5000);
    }
}
