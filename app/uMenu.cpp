#include "uMenu.h"

#include "app/ErrorBox.h"
#include "connections/uDM.h"
#include "platform/os/Clock.h"
#include "platform/os/FileVersion.h"
#include "platform/os/ProgramFolder.h"
#include "replication/core/ProcessMessages.h"
#include "replication/core/cl_Funcoes.h"
#include "update/HttpDownloader.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
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

} // namespace

TFMenu::TFMenu(TFDM& fdm, TShellServices services, QWidget* parent)
    : QMainWindow(parent), m_fdm(fdm), m_services(services.Completed()),
      m_cycle(fdm, *this, m_services, DadosFilial, ProgramFolder)
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
    m_cycle.CycleHidden = false;
    // Qt paints double-buffered on every platform; nothing to switch on.

    ProgramFolder = ::ProgramFolder();
    m_version = FileVersionText(QCoreApplication::applicationFilePath(), QStringLiteral("%d.%d.%d.%d"));

    {
        TKeltBaseServerClient serverClient;
        serverClient.RegisterAutostart(kProgramName, QCoreApplication::applicationFilePath());
        serverClient.ReadDadosFilial(ProgramFolder, ConfigIniName, DadosFilial);
    }
    JvTrayIcon1->Icon()->setToolTip(TrayToolTip());

    m_cycle.StartDatabaseService();
    m_fdm.PrepareLocalEnvironment();

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

// --- the window as the cycle drives it --------------------------------------

QFrame* TFMenu::PanelOf(int channel) const
{
    return channel == 0 ? pnCadastro : channel == 1 ? pnCadastroM : pnMovimentoM;
}

void TFMenu::SetStartButtonsEnabled(bool enabled)
{
    btIniciarSelecionado->setEnabled(enabled);
    btIniciarTodos->setEnabled(enabled);
}

void TFMenu::SetWaitCursor(bool on)
{
    if (on)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QApplication::restoreOverrideCursor();
}

void TFMenu::SelectChannelPanel(int channel)
{
    QFrame* panel = PanelOf(channel);
    HighlightPanel(panel);
    SelectChannel(panel);
}

IProgressBar* TFMenu::ChannelProgressBar(int channel)
{
    return channel == 0 ? m_pbStatusCad.get() : channel == 1 ? m_pbStatusCadM.get() : m_pbStatusMovM.get();
}

ITableLabel* TFMenu::ChannelStatusLabel(int channel)
{
    return channel == 0 ? m_lbTabelaCad.get() : channel == 1 ? m_lbTabelaCadM.get() : m_lbTabelaMovM.get();
}

void TFMenu::CycleOutcomeChanged() { JvTrayIcon1->Icon()->setToolTip(TrayToolTip()); }

QString TFMenu::TrayToolTip() const
{
    // Windows shows at most 127 characters of it, so the error text goes last.
    QString tip = QStringLiteral("Controle de Replicação");
    if (!m_version.isEmpty())
        tip += u' ' + m_version;
    tip += QStringLiteral("\nContrato %1, filial %2 (%3)\nÚltimo ciclo: %4")
               .arg(DadosFilial.CdContrato)
               .arg(DadosFilial.PkFilial)
               .arg(DadosFilial.UF, m_cycle.LastCycle());
    if (!m_cycle.FailedChannels().isEmpty())
        tip += QStringLiteral("\nCanais com erro: ") + m_cycle.FailedChannels().join(QStringLiteral(", "));
    return tip;
}

// --- the runs, handed to the cycle -----------------------------------------

void TFMenu::Timer1Timer(QObject* sender) { m_cycle.RunCycle(/*withSelfUpdate=*/!qobject_cast<QPushButton*>(sender)); }

void TFMenu::btIniciarTodosClick() { m_cycle.RunAllNow(); }

void TFMenu::btIniciarSelecionadoClick() { m_cycle.RunSelectedNow(); }

void TFMenu::Atualizarreplicador1Click() { m_cycle.UpdateNow(); }
