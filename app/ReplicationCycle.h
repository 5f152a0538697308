#pragma once

#include "app/ShellServices.h"
#include "config/Settings.h"

#include <QString>
#include <QStringList>

class IProgressBar;
class ITableLabel;
class ITrayIcon;
class QTimer;
class TFDM;
class THttpDownloader;

// The caption of a channel's panel, by its tag (0 store-carrier, 1 master
// data, 2 transactions); the tray names a failed channel by it too.
QString ChannelCaption(int channel);

// What the replication cycle needs of the main window: its start buttons, its
// timer, its tray icon and menu, and the channel panels. The cycle decides;
// the window only shows.
class ICycleWindow
{
public:
    virtual ~ICycleWindow() = default;

    // "Iniciar Selecionado" and "Iniciar Todos".
    virtual void SetStartButtonsEnabled(bool enabled) = 0;
    // The hourglass over the whole application while a channel runs.
    virtual void SetWaitCursor(bool on) = 0;
    // Timer1, which fires the cycle; the cycle reads its interval into it.
    virtual QTimer& CycleTimer() = 0;
    virtual void SetTimer1Enabled(bool on) = 0;
    // The tray menu, detached while a cycle runs.
    virtual void AttachTrayMenu(bool attach) = 0;
    virtual ITrayIcon& CycleTrayIcon() = 0;
    virtual THttpDownloader* UpdateDownloader() = 0;
    // Highlights the panel of `channel` alone and makes it the selected one.
    virtual void SelectChannelPanel(int channel) = 0;
    // The tag of the selected panel.
    virtual int SelectedChannelTag() const = 0;
    // The widgets of a channel's panel as the channel writes to them.
    virtual IProgressBar* ChannelProgressBar(int channel) = 0;
    virtual ITableLabel* ChannelStatusLabel(int channel) = 0;
    virtual void ResetProgressBars() = 0;
    virtual void HideToTray() = 0;
    virtual void ShowFromTray() = 0;
    // The last cycle's outcome or failed channels changed: the tray's tooltip follows.
    virtual void CycleOutcomeChanged() = 0;
};

// The replication cycle behind the main window: what a timer tick, "Iniciar
// Todos", "Iniciar Selecionado" and the tray's "Atualizar" run, in which order,
// what the window shows meanwhile, and what every run leaves behind however it
// ends (buttons enabled, timer armed, tray menu back).
class TReplicationCycle
{
public:
    // `dadosFilial` and `programFolder`: the installation as the window read it
    // at start-up (borrowed, read at each run). `services` completed.
    TReplicationCycle(TFDM& fdm, ICycleWindow& window, TShellServices services, const TDadosFilial& dadosFilial,
                      const QString& programFolder);

    // Whether a cycle leaves the window in the tray or shows it: false until the
    // first cycle that gets past the confirmation ends.
    bool CycleHidden = false;

    // One full cycle; `withSelfUpdate` when the timer fired it.
    void RunCycle(bool withSelfUpdate);
    // "Iniciar Todos": one cycle without the self-update, with the window shown.
    void RunAllNow();
    // "Iniciar Selecionado": the selected channel once, the timer stopped meanwhile.
    void RunSelectedNow();
    // "Atualizar": one self-update attempt, the timer stopped meanwhile.
    void UpdateNow();

    // Runs the channel of the selected panel once.
    void RunSelectedChannel();
    // True when the cycle may run; asks the operator where required. Never raises.
    bool MayReplicate();
    // One self-update attempt; reports in balloons and never raises.
    void RunSelfUpdate();
    // The database service command (when there is one), then 5 s for the service
    // to come up: before the start-up upkeep and before each cycle.
    void StartDatabaseService();

    // When the last cycle ended and how ("nenhum ainda" before the first).
    const QString& LastCycle() const { return m_lastCycle; }
    // The captions of the channels that could not run in the last cycle
    // (connection, server or local database failure), in cycle order.
    const QStringList& FailedChannels() const { return m_failedChannels; }
    // The tray image between runs: idle, or the warning after a failed cycle.
    int RestingIcon() const;

private:
    // Starts the command line (show mode, waiting for its end when `wait`);
    // true when the process was started.
    bool RunCommand(const QString& commandLine, quint16 showMode, bool wait);
    void ShowOrHideWindow();
    void RunChannels();
    void RunCycleChannel(int channel, QStringList& failed);
    // The end of every cycle that got past the confirmation, however its
    // channels ended: timer armed, first panel selected, resting image, tray
    // menu back, window in the tray, bars reset.
    void Rearm();
    void ShowLastCycle(const QString& outcome);
    // The tray's failure state after a cycle: one balloon when the failure
    // begins or changes, none while the same failure lasts; cleared by a cycle
    // in which every channel could run.
    void ShowCycleFailures(const QStringList& failed);

    TFDM& m_fdm;
    ICycleWindow& m_window;
    TShellServices m_services;
    const TDadosFilial& m_dadosFilial;
    const QString& m_programFolder;
    QString m_lastCycle = QStringLiteral("nenhum ainda");
    QStringList m_failedChannels;
    QStringList m_warnedChannels; // the failure the last balloon reported
};
