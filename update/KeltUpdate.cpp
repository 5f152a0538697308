#include "KeltUpdate.h"

#include "update/InstallerSignature.h"
#include "update/TrayIcon.h"

#include "config/IniFile.h"

#include "platform/types/Exception.h"
#include "platform/os/FileVersion.h"
#include "platform/os/MessageBox.h"
#include "platform/os/ProgramFolder.h"
#include "platform/os/Processes.h"
#include "remote/ConnectionBroker.h"
#include "remote/ServerObjects.h"
#include "remote/wire/SocketConnection.h"
#include "replication/core/ProcessMessages.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTimer>

namespace {

const QString kBalloonTitle = QStringLiteral("Auto-Update");
constexpr int kBalloonMs = 5000;
const QString kCheckFailed = QStringLiteral("Não foi possível verificar se existe nova versão do replicador.");

// Set at build time; empty when the build names no key.
const QString kBuiltInKey = QStringLiteral(KELT_UPDATE_PUBLIC_KEY);

// Gives the downloader its usual size cap back however the fetch ends.
struct TSizeLimitGuard
{
    THttpDownloader* Grabber;
    qint64 Saved;
    ~TSizeLimitGuard() { Grabber->SetSizeLimit(Saved); }
};

// Disconnects the broker however the query ends.
struct TBrokerGuard
{
    TConnectionBroker* Broker;
    ~TBrokerGuard()
    {
        if (Broker)
            Broker->Close();
    }
};

} // namespace

TKeltUpdate::TKeltUpdate() = default;

TKeltUpdate::TKeltUpdate(THttpDownloader* grabber) : m_grabber(grabber) {}

TKeltUpdate::~TKeltUpdate()
{
    if (m_grabber && m_grabber->HandlerOwner() == this)
        m_grabber->ClearHandlers();
}

QString TKeltUpdate::Folder() const
{
    return m_programFolder.isEmpty() ? ::ProgramFolder() : m_programFolder;
}

void TKeltUpdate::Log(const QString& step, const QString& message)
{
    m_serverClient->WriteLog(Folder(), step, QString(), m_dadosFilial.CdContrato, m_dadosFilial.PkEmpresa,
                             m_dadosFilial.PkFilial, m_dadosFilial.UF, message);
}

void TKeltUpdate::PrepareConnection()
{
    ReadConfiguration();
    if (!m_socketConnection)
        throw Exception(QStringLiteral("The self-update has no socket connection"));
    m_socketConnection->SetServerName(QLatin1String(UpdateServerName));
    ProcessMessages();
}

bool TKeltUpdate::DownloaderInUse() const
{
    return m_grabber && (m_grabber->Busy() || (m_grabber->HandlerOwner() && m_grabber->HandlerOwner() != this));
}

bool TKeltUpdate::CheckForUpdate(bool install)
{
    // "Atualizar" during another attempt's download: that one goes on alone.
    if (DownloaderInUse())
        return false;
    TUpdateInfo info;
    QueryUpdate(info);
    if (info.Status == 1) {
        Notify(QStringLiteral("Nova versão do replicador encontrada, iniciando download..."));
        Download(info.Url);
        // Nothing unsigned is marked executable, let alone run.
        if (m_downloaded && !Authenticate(info.Url))
            m_downloaded = false;
        if (m_downloaded) {
            Notify(QStringLiteral("Nova versão do replicador baixada."));
            if (install) {
                Notify(QStringLiteral("Iniciando instalação..."));
                Install(true);
            }
        }
        return m_downloaded;
    }
    if (info.Status == 0)
        Notify(QStringLiteral("Versão mais atual do replicador já instalada."));
    else
        Notify(kCheckFailed);
    return false;
}

void TKeltUpdate::QueryUpdate(TUpdateInfo& info)
{
    info.Status = -1;
    info.Url.clear();
    const TBrokerGuard guard{m_broker};
    try {
        if (!m_broker)
            throw Exception(QStringLiteral("The self-update has no connection broker"));
        m_broker->Open();
        const QString version = OwnVersion();
        TKeltInternoServer server(*m_broker);
        const QString answer = server.ProcuraAtualizacao(QLatin1String(ExecutableName), version);
        // "status|url"; without a bar the whole text is both.
        const qsizetype bar = answer.indexOf(u'|');
        const QString statusText = bar < 0 ? answer : answer.left(bar);
        bool ok = false;
        const qint32 status = statusText.toInt(&ok, 10);
        if (!ok)
            throw Exception(QStringLiteral("'%1' is not a valid integer value").arg(statusText));
        info.Status = status;
        info.Url = bar < 0 ? answer : answer.mid(bar + 1);
    } catch (const std::exception& e) {
        Log(QStringLiteral("TemAtualizacao"), ErrorText(e));
    }
}

QString TKeltUpdate::OwnVersion() const
{
    const QString version = FileVersionText(OwnExecutablePath(), QLatin1String(VersionFormat));
    if (!version.isEmpty())
        return version;
    // The file replaced or removed while the client runs: the running image
    // still carries the version it was built with.
    return FileVersionText(OwnExecutableImage(), QLatin1String(VersionFormat));
}

QString TKeltUpdate::FileVersionText(const QString& path, const QString& format)
{
    return ::FileVersionText(path, format);
}

QString TKeltUpdate::TargetFile() const
{
    return Folder() + (m_fileName.trimmed().isEmpty() ? QStringLiteral("temp.exe") : m_fileName);
}

void TKeltUpdate::Download(const QString& url)
{
    if (!m_grabber || !THttpDownloader::CanHandle(url) || DownloaderInUse())
        return;
    Transfer(url, TargetFile(),
             [this](const QString& fileName, qint32 size, const QString& url) { GrabberDoneFile(fileName, size, url); });
}

void TKeltUpdate::Transfer(const QString& url, const QString& file, THttpDownloader::TDoneFile done)
{
    // The handlers are this attempt's only while it waits: taking over another
    // attempt's transfer would leave that one waiting for ever.
    m_grabber->SetOnDoneFile(std::move(done));
    m_grabber->SetOnFailed([this](const QString& url, const QString& message) { GrabberFailed(url, message); });
    m_grabber->SetHandlerOwner(this);
    m_busy = true;
    m_grabber->SetUrl(url);
    m_grabber->SetOutputFile(file);
    m_grabber->Execute();
    // The downloader's stall time-out guarantees an end. Between the window
    // message passes the thread sleeps until an event arrives; the tick bounds
    // that sleep so the passes go on at a steady pace.
    QTimer tick;
    tick.start(100);
    // A downloader freed meanwhile (the window closing) ends the wait too.
    while (m_busy && m_grabber) {
        ProcessMessages();
        if (m_busy && QCoreApplication::instance())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    m_busy = false;
    if (m_grabber && m_grabber->HandlerOwner() == this)
        m_grabber->ClearHandlers();
}

QString TKeltUpdate::PublicKeyText() const
{
    // A key built in cannot be swapped by whoever can edit Config.ini.
    if (!kBuiltInKey.isEmpty())
        return kBuiltInKey;
    return TIniFile(Folder() + ConfigIniName).ReadString(QString::fromLatin1(KeySection), QString::fromLatin1(KeyName), QString());
}

bool TKeltUpdate::Authenticate(const QString& url)
{
    using namespace InstallerSignature;
    const QString keyText = PublicKeyText();
    if (keyText.isEmpty())
        return true;
    // A key that was meant to be set but cannot be read refuses everything:
    // running unsigned installers is what the key is there to stop.
    const QByteArray key = DecodePublicKey(keyText);
    if (key.isEmpty()) {
        Refuse(url, QStringLiteral("chave pública inválida em [%1] %2: \"%3\"")
                        .arg(QLatin1String(KeySection), QLatin1String(KeyName), keyText));
        return false;
    }
    const QString sigUrl = url + QStringLiteral(".sig");
    const QString sigFile = TargetFile() + QStringLiteral(".sig");
    qint64 sigSize = -1;
    if (m_grabber) {
        const TSizeLimitGuard limit{m_grabber, m_grabber->SizeLimit()};
        m_grabber->SetSizeLimit(kMaxSignatureFile);
        Transfer(sigUrl, sigFile, [this, &sigSize](const QString&, qint32 size, const QString&) {
            m_busy = false;
            sigSize = size;
        });
    }
    if (sigSize < 0) {
        QFile::remove(sigFile);
        Refuse(url, QStringLiteral("assinatura ausente: não foi possível baixar %1 (%2)")
                        .arg(sigUrl, m_grabber ? m_grabber->ErrorString() : QString()));
        return false;
    }
    QFile file(sigFile);
    const QByteArray line = file.open(QIODevice::ReadOnly) ? file.read(kMaxSignatureFile) : QByteArray();
    file.close();
    QFile::remove(sigFile);
    QString detail;
    switch (Verify(TargetFile(), line, key, &detail)) {
    case TVerdict::Valid: return true;
    case TVerdict::Malformed:
        Refuse(url, QStringLiteral("assinatura ilegível: %1 não é uma assinatura do kelt-sign").arg(sigUrl));
        break;
    case TVerdict::OtherKey:
        Refuse(url, QStringLiteral("assinatura de outra chave: assinado com %1, esperada %2").arg(detail, keyText.trimmed()));
        break;
    case TVerdict::Altered:
        Refuse(url, QStringLiteral("assinatura inválida: o instalador foi alterado depois de assinado"));
        break;
    case TVerdict::Unreadable:
        Refuse(url, QStringLiteral("não foi possível ler o instalador baixado: %1").arg(detail));
        break;
    }
    return false;
}

void TKeltUpdate::Refuse(const QString& url, const QString& reason)
{
    QFile::remove(TargetFile());
    Log(QStringLiteral("Install"), QStringLiteral("Atualização recusada, nada foi instalado: %1.\r\n%2").arg(reason, url));
    Notify(kCheckFailed);
}

void TKeltUpdate::GrabberDoneFile(const QString& fileName, qint32 size, const QString& url)
{
    m_busy = false;
    m_downloaded = size > 0;
}

void TKeltUpdate::GrabberFailed(const QString& url, const QString& message)
{
    m_busy = false;
}

void TKeltUpdate::Notify(const QString& text)
{
    if (m_trayIcon)
        m_trayIcon->ShowBalloon(kBalloonTitle, text, ITrayIcon::TBalloonIcon::None, kBalloonMs);
}

void TKeltUpdate::Install(bool close)
{
    const QString file = TargetFile();
    // Windows runs any .exe; a file fresh from the network has no execute
    // permission here.
    if (QFileInfo::exists(file))
        QFile::setPermissions(file, QFile::permissions(file) | QFile::ExeOwner | QFile::ExeUser);
    m_updaterStarted = RunProgram(file, QStringLiteral("/silent"), false, false);
    if (!m_updaterStarted) {
        // Ending the client now would leave the installation without
        // replication until the next logon; the next cycle tries again.
        Log(QStringLiteral("Install"),
            QStringLiteral("Não foi possível executar o programa.\r\n%1\r\n%2").arg(file, m_runError));
        return;
    }
    if (!close)
        return;
    if (m_trayIcon)
        m_trayIcon->HideBalloon();
    KillProcess(QFileInfo(OwnExecutablePath()).fileName());
}

bool TKeltUpdate::RunProgram(const QString& file, const QString& parameters, bool wait, bool maximised)
{
    m_runError.clear();
    if (Processes().Start(file, QProcess::splitCommand(parameters), wait, maximised, m_runError))
        return true;
    ShowMessage(QStringLiteral("Não foi possível executar o programa.\r\n") + file);
    return false;
}

bool TKeltUpdate::KillProcess(const QString& name)
{
    IProcesses& processes = Processes();
    const qint64 own = OwnProcessId();
    bool result = false;
    bool self = false;
    for (const TProcessEntry& p : processes.Snapshot()) {
        if (!ProcessNameMatches(p.ExeName, name))
            continue;
        // Ending itself ends the loop too: the others go first.
        if (p.Pid == own) {
            self = true;
            continue;
        }
        result = processes.Terminate(p.Pid);
    }
    if (self)
        result = processes.Terminate(own);
    return result;
}
