#pragma once

#include "app/ReplicationCycle.h"
#include "app/ShellServices.h"
#include "app/WidgetAdapters.h"
#include "config/Settings.h"

#include <QColor>
#include <QMainWindow>
#include <QTimer>

#include <memory>

class QAction;
class QFrame;
class QLabel;
class QMenu;
class QProgressBar;
class QPushButton;
class TFDM;
class THttpDownloader;

// The main window "Controle de Replicação": three channel panels, the command
// buttons, the tray icon with its menu, and the timer of the replication cycle.
// It shows; its buttons, timer and tray menu hand the runs to the replication
// cycle (Cycle()). Closing or minimising hides it in the tray; only the tray
// menu's "Fechar" ends the program.
class TFMenu : public QMainWindow, private ICycleWindow
{
    Q_OBJECT
public:
    // The design gives the window's outer height (322, or 160 for a store);
    // Qt sizes the client area, which must hold exactly the three 81-pixel
    // panels and the 45-pixel button panel. This is what a standard caption
    // and borders take of the outer height.
    static constexpr int FrameHeight = 34;

    // `fdm`: the connection data module (borrowed). Creation runs FormCreate;
    // an error there is shown in the error box and the window is still created.
    explicit TFMenu(TFDM& fdm, TShellServices services = {}, QWidget* parent = nullptr);
    ~TFMenu() override;

    // Widgets, named as the window designer names them.
    QFrame* pnCadastro;
    QFrame* pnCadastroM;
    QFrame* pnMovimentoM;
    QFrame* pnBotoes;
    QPushButton* btSelecionarCad;
    QPushButton* btSelecionarCadM;
    QPushButton* btSelecionarMovM;
    QLabel* JvLabel1;
    QLabel* JvLabel2;
    QLabel* JvLabel3;
    QProgressBar* PbStatusCad;
    QProgressBar* PbStatusCadM;
    QProgressBar* PbStatusMovM;
    QLabel* lbTabelaCad;
    QLabel* lbTabelaCadM;
    QLabel* lbTabelaMovM;
    QPushButton* btIniciarSelecionado;
    QPushButton* btIniciarTodos;
    QPushButton* btFechar;
    TTrayIcon* JvTrayIcon1;
    QMenu* JvPopupMenu1;
    QAction* Atualizarreplicador1;
    QAction* N1;
    QAction* Abrir1;
    QAction* Fechar1;
    QTimer Timer1;
    THttpDownloader* httpFile; // handed to each self-update attempt

    // Own fields.
    QColor NormalPanelColor;
    QColor SelectedPanelColor;
    qint32 SelectedChannel = 0;
    QString ProgramFolder;
    TDadosFilial DadosFilial;

    // The runs the window starts and what the last cycle left.
    TReplicationCycle& Cycle() { return m_cycle; }

    // Timer1 as the cycle sees it: enabled or not. An enabled timer with an
    // interval of 0 never fires (QTimer would fire continuously).
    bool Timer1Enabled() const { return m_timer1Enabled; }
    void SetTimer1Enabled(bool on) override;

    // Handlers. They raise what they do not handle; connected to their widgets
    // they end in the error box. The runs themselves are the cycle's.
    void FormCreate();
    void btFecharClick();
    void btSelecionarCadClick(QWidget* button);
    void Abrir1Click();
    void Fechar1Click();
    void Atualizarreplicador1Click();
    // One replication cycle; `sender` a push button (Iniciar Todos) skips the self-update.
    void Timer1Timer(QObject* sender);
    void btIniciarTodosClick();
    void btIniciarSelecionadoClick();

    // Operations.
    void HighlightPanel(QWidget* panel);
    void SelectChannel(QWidget* widget);
    void ResetProgressBars() override;
    void HideToTray() override;
    void ShowFromTray() override;

    // Whether the window is in the tray: hidden, or minimised where no tray exists.
    bool InTray() const;

    // The tray icon's tooltip: the program and its version, the installation,
    // the time of the last cycle and how it ended, and the channels that could
    // not run in it.
    QString TrayToolTip() const;

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    QFrame* ChannelPanel(int tag, const QString& name, const QString& title, QPushButton*& select, QLabel*& caption,
                         QProgressBar*& bar, QLabel*& status);
    void BuildWidgets();
    void BuildTray();
    void CentreOnScreen();
    QFrame* PanelOf(int channel) const;

    // The window as the cycle drives it.
    void SetStartButtonsEnabled(bool enabled) override;
    void SetWaitCursor(bool on) override;
    QTimer& CycleTimer() override { return Timer1; }
    void AttachTrayMenu(bool attach) override;
    ITrayIcon& CycleTrayIcon() override { return *JvTrayIcon1; }
    THttpDownloader* UpdateDownloader() override { return httpFile; }
    void SelectChannelPanel(int channel) override;
    int SelectedChannelTag() const override { return SelectedChannel; }
    IProgressBar* ChannelProgressBar(int channel) override;
    ITableLabel* ChannelStatusLabel(int channel) override;
    void CycleOutcomeChanged() override;

    TFDM& m_fdm;
    TShellServices m_services;
    TReplicationCycle m_cycle;
    bool m_timer1Enabled = false;
    QString m_version;
    std::unique_ptr<TLabelAdapter> m_lbTabelaCad, m_lbTabelaCadM, m_lbTabelaMovM;
    std::unique_ptr<TProgressBarAdapter> m_pbStatusCad, m_pbStatusCadM, m_pbStatusMovM;
};
