#pragma once

#include "app/ShellServices.h"
#include "app/WidgetAdapters.h"
#include "config/Settings.h"

#include <QColor>
#include <QMainWindow>
#include <QStringList>
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
// Closing or minimising hides it in the tray; only the tray menu's "Fechar"
// ends the program.
class TFMenu : public QMainWindow
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
    bool CycleHidden = false;

    // Timer1 as the cycle sees it: enabled or not. An enabled timer with an
    // interval of 0 never fires (QTimer would fire continuously).
    bool Timer1Enabled() const { return m_timer1Enabled; }
    void SetTimer1Enabled(bool on);

    // Handlers. They raise what they do not handle; connected to their widgets
    // they end in the error box.
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
    void RunSelectedChannel();
    bool MayReplicate();
    void HighlightPanel(QWidget* panel);
    void SelectChannel(QWidget* widget);
    void ResetProgressBars();
    bool RunCommand(const QString& commandLine, quint16 showMode, bool wait);
    void HideToTray();
    void ShowFromTray();
    void RunSelfUpdate();
    // True when the local database (FDM's SqlCAgente) has a table of that name.
    bool TableExists(const QString& name);

    // Whether the window is in the tray: hidden, or minimised where no tray exists.
    bool InTray() const;

    // The tray icon's tooltip: the program and its version, the installation,
    // the time of the last cycle and how it ended, and the channels that could
    // not run in it.
    QString TrayToolTip() const;
    // The captions of the channels that could not run in the last cycle
    // (connection, server or local database failure), in cycle order.
    const QStringList& FailedChannels() const { return m_failedChannels; }
    // The tray image between cycles: idle, or the warning after a failed cycle.
    int RestingIcon() const { return m_failedChannels.isEmpty() ? kTrayImageIdle : kTrayImageFailed; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    QFrame* ChannelPanel(int tag, const QString& name, const QString& title, QPushButton*& select, QLabel*& caption,
                         QProgressBar*& bar, QLabel*& status);
    void BuildWidgets();
    void BuildTray();
    void AttachTrayMenu(bool attach);
    void CentreOnScreen();
    void ShowLastCycle(const QString& outcome);
    // The tray's failure state after a cycle: one balloon when the failure
    // begins or changes, none while the same failure lasts; cleared by a cycle
    // in which every channel could run.
    void ShowCycleFailures(const QStringList& failed);

    TFDM& m_fdm;
    TShellServices m_services;
    bool m_timer1Enabled = false;
    QString m_lastCycle = QStringLiteral("nenhum ainda");
    QString m_version;
    QStringList m_failedChannels;
    QStringList m_warnedChannels; // the failure the last balloon reported
    std::unique_ptr<TLabelAdapter> m_lbTabelaCad, m_lbTabelaCadM, m_lbTabelaMovM;
    std::unique_ptr<TProgressBarAdapter> m_pbStatusCad, m_pbStatusCadM, m_pbStatusMovM;
};
