#include "app/ReplicationCycle.h"

#include "app/WidgetAdapters.h"
#include "connections/uDM.h"
#include "platform/os/Clock.h"
#include "replication/core/ProcessMessages.h"
#include "replication/core/cl_Funcoes.h"
#include "update/KeltUpdate.h"

#include <QFile>

#include <exception>
#include <utility>

namespace {

const QString kUpdaterFile = QStringLiteral("keltappclient_upd.exe");

// Runs its step when the scope ends, however it ends. The step must not raise:
// it may run while an error unwinds.
template <class Step>
class [[nodiscard]] TScopeExit
{
public:
    explicit TScopeExit(Step step) : m_step(std::move(step)) {}
    ~TScopeExit() { m_step(); }
    TScopeExit(const TScopeExit&) = delete;
    TScopeExit& operator=(const TScopeExit&) = delete;

private:
    Step m_step;
};

// The start buttons off while a run goes on (with the hourglass, when asked),
// on again however the run ends.
class [[nodiscard]] TStartButtonsOff
{
public:
    explicit TStartButtonsOff(ICycleWindow& window, bool waitCursor = false) : m_window(window), m_waitCursor(waitCursor)
    {
        m_window.SetStartButtonsEnabled(false);
        if (m_waitCursor)
            m_window.SetWaitCursor(true);
    }
    ~TStartButtonsOff()
    {
        m_window.SetStartButtonsEnabled(true);
        if (m_waitCursor)
            m_window.SetWaitCursor(false);
    }
    TStartButtonsOff(const TStartButtonsOff&) = delete;
    TStartButtonsOff& operator=(const TStartButtonsOff&) = delete;

private:
    ICycleWindow& m_window;
    bool m_waitCursor;
};

// Timer1 stopped during a manual run and armed again however it ends, so that
// no tick starts a cycle over it.
class [[nodiscard]] TTimer1Stopped
{
public:
    explicit TTimer1Stopped(ICycleWindow& window) : m_window(window) { m_window.SetTimer1Enabled(false); }
    ~TTimer1Stopped() { m_window.SetTimer1Enabled(true); }
    TTimer1Stopped(const TTimer1Stopped&) = delete;
    TTimer1Stopped& operator=(const TTimer1Stopped&) = delete;

private:
    ICycleWindow& m_window;
};

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

QString ChannelCaption(int channel)
{
    switch (channel) {
    case 0: return QStringLiteral("Cadastro Loja X Operadora");
    case 1: return QStringLiteral("Cadastro Matriz X Filial");
    default: return QStringLiteral("Movimento Matriz x Filial");
    }
}

TReplicationCycle::TReplicationCycle(TFDM& fdm, ICycleWindow& window, TShellServices services,
                                     const TDadosFilial& dadosFilial, const QString& programFolder)
    : m_fdm(fdm), m_window(window), m_services(std::move(services)), m_dadosFilial(dadosFilial),
      m_programFolder(programFolder)
{
}

int TReplicationCycle::RestingIcon() const
{
    return m_failedChannels.isEmpty() ? kTrayImageIdle : kTrayImageFailed;
}

void TReplicationCycle::StartDatabaseService()
{
    const QString service = DatabaseServiceCommand();
    if (!service.isEmpty())
        RunCommand(service, 1, true);
    Clock().Sleep(5000);
}

bool TReplicationCycle::RunCommand(const QString& commandLine, quint16 showMode, bool wait)
{
    return m_services.StartProcess(commandLine, showMode, wait);
}

void TReplicationCycle::ShowOrHideWindow() { CycleHidden ? m_window.HideToTray() : m_window.ShowFromTray(); }

// --- the runs the window starts -------------------------------------------

void TReplicationCycle::RunCycle(bool withSelfUpdate)
{
    const TStartButtonsOff buttons(m_window);
    m_window.SetTimer1Enabled(false);
    {
        TKeltBaseServerClient serverClient;
        // Leaves the timer stopped, with the configured interval from now on.
        serverClient.ReadSyncInterval(m_programFolder, ConfigIniName, m_window.CycleTimer());
    }
    m_window.AttachTrayMenu(false);

    if (!MayReplicate()) {
        // Refused: the timer stays stopped until the operator starts a run.
        m_window.ResetProgressBars();
        m_window.AttachTrayMenu(true);
        ShowOrHideWindow();
        ProcessMessages();
        return;
    }

    StartDatabaseService();
    ShowOrHideWindow();

    if (withSelfUpdate)
        RunSelfUpdate();
    m_window.CycleTrayIcon().SetIconIndex(1);
    ProcessMessages();

    // The end steps are no scope guard: they end at a safe point, where a stop
    // request still raises and must win over the error ending the cycle (run
    // while that error unwinds, the safe point raises nothing, and the error
    // box would come up during the shutdown).
    std::exception_ptr error;
    try {
        RunChannels();
    } catch (...) {
        error = std::current_exception();
    }
    Rearm();
    if (error)
        std::rethrow_exception(error);
}

void TReplicationCycle::RunAllNow()
{
    CycleHidden = false;
    const TScopeExit hideAfter([this] { CycleHidden = true; });
    RunCycle(/*withSelfUpdate=*/false);
}

void TReplicationCycle::RunSelectedNow()
{
    const TTimer1Stopped stopped(m_window);
    RunSelectedChannel();
}

void TReplicationCycle::UpdateNow()
{
    const TTimer1Stopped stopped(m_window);
    RunSelfUpdate();
}

// --- the steps of a cycle -------------------------------------------------

void TReplicationCycle::RunSelectedChannel()
{
    const TStartButtonsOff running(m_window, /*waitCursor=*/true);
    const int channel = m_window.SelectedChannelTag();
    if (channel < 0 || channel > 2)
        return; // no channel of that tag
    m_fdm.SetChannelProgressBar(m_window.ChannelProgressBar(channel));
    m_fdm.SetChannelLabel(m_window.ChannelStatusLabel(channel));
    switch (channel) {
    case 0: m_fdm.RunCadChannel(); break;
    case 1: m_fdm.RunCadMChannel(); break;
    default: m_fdm.RunMovMChannel(); break;
    }
}

bool TReplicationCycle::MayReplicate()
{
    try {
        const QString workgroup = AsciiUpper(m_services.Workgroup());
        if (workgroup == QLatin1String("ZELVOMARTIS") && m_dadosFilial.CdContrato != QLatin1String("2999")) {
            const QString text =
                QStringLiteral("Deseja iniciar replicação para o código de contrato: %1?\r\n"
                               "ATENÇÃO: Selecionando [SIM] dados inválidos podem ser replicados para o cliente.\r\n"
                               "Caso tenha alguma dúvida, clique em [NÃO]")
                    .arg(m_dadosFilial.CdContrato);
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

void TReplicationCycle::RunChannels()
{
    QStringList failed;
    try {
        TFDM::RunCycle(m_dadosFilial.TpFilial, [this, &failed](int channel) { RunCycleChannel(channel, failed); });
    } catch (const std::exception& e) {
        ShowCycleFailures(failed);
        ShowLastCycle(QStringLiteral("erro: ") + ErrorText(e));
        throw;
    }
    ShowCycleFailures(failed);
    ShowLastCycle(failed.isEmpty() ? QStringLiteral("concluído") : QStringLiteral("com erro"));
}

void TReplicationCycle::RunCycleChannel(int channel, QStringList& failed)
{
    m_window.SelectChannelPanel(channel);
    {
        // Also when its error ends the cycle: the tray names it all the same.
        const TScopeExit record([&] {
            if (m_fdm.LastChannelState(channel) == TChannelState::ChannelFailed)
                failed.append(ChannelCaption(channel));
        });
        RunSelectedChannel();
    }
    ProcessMessages();
}

void TReplicationCycle::Rearm()
{
    // The next tick comes one interval after this moment.
    m_window.SetTimer1Enabled(true);
    m_window.SelectChannelPanel(0);
    m_window.CycleTrayIcon().SetIconIndex(RestingIcon());
    m_window.AttachTrayMenu(true);
    m_window.HideToTray();
    m_window.ResetProgressBars();
    CycleHidden = true;
    ProcessMessages();
}

void TReplicationCycle::ShowLastCycle(const QString& outcome)
{
    m_lastCycle = QStringLiteral("%1 %2, %3")
                      .arg(Clock().CurrentDate().toString(QStringLiteral("dd/MM/yyyy")),
                           Clock().CurrentTime().toString(QStringLiteral("HH:mm")), outcome);
    m_window.CycleOutcomeChanged();
}

void TReplicationCycle::ShowCycleFailures(const QStringList& failed)
{
    m_failedChannels = failed;
    if (failed.isEmpty()) {
        m_warnedChannels.clear();
        return;
    }
    if (failed == m_warnedChannels)
        return;
    m_warnedChannels = failed;
    m_window.CycleTrayIcon().ShowBalloon(QStringLiteral("Controle de Replicação"),
                                         QStringLiteral("Replicação com erro: ") + failed.join(QStringLiteral(", ")),
                                         ITrayIcon::TBalloonIcon::Warning, 10000);
}

// --- the self-update --------------------------------------------------------

void TReplicationCycle::RunSelfUpdate()
{
    const QString balloonTitle = QStringLiteral("KeltUpdate");
    ITrayIcon& tray = m_window.CycleTrayIcon();
    try {
        TKeltUpdate update(m_window.UpdateDownloader());
        const TScopeExit restingIcon([&] { tray.SetIconIndex(RestingIcon()); });
        tray.SetIconIndex(2);
        // A copy left by an earlier attempt; a failed deletion is not reported.
        const QString updater = m_programFolder + kUpdaterFile;
        if (QFile::exists(updater))
            QFile::remove(updater);
        update.SetFileName(kUpdaterFile);
        update.SetSocketConnection(&m_fdm.ScAgente);
        update.SetBroker(&m_fdm.CbAgente);
        update.SetTrayIcon(&tray);
        update.PrepareConnection();
        // Only its failure matters: an unreachable local database ends the attempt.
        m_fdm.TableExists(QStringLiteral("TBCANCELAMENTO"));
        // An updater that could not be started was reported already and
        // leaves the client running for the next attempt: nothing is installing.
        if (update.CheckForUpdate(true) && update.UpdaterStarted())
            tray.ShowBalloon(balloonTitle, QStringLiteral("Instalando nova versão do replicador..."),
                             ITrayIcon::TBalloonIcon::Information, 5000);
    } catch (const std::exception& e) {
        tray.ShowBalloon(balloonTitle, QStringLiteral("Não foi possível atualizar replicador... Erro: ") + ErrorText(e),
                         ITrayIcon::TBalloonIcon::Information, 5000);
    }
}
