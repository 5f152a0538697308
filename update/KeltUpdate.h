#pragma once

#include "replication/core/cl_Funcoes.h"
#include "update/HttpDownloader.h"

#include <QPointer>
#include <QString>

class ITrayIcon;

// The answer of the update server.
struct TUpdateInfo
{
    // 1 a newer version exists, 0 the running one is the newest, anything else
    // a failed check (-1: no answer, or a status text that is not an integer).
    qint32 Status = -1;
    QString Url; // the installer's address, used only with Status 1
};

// One self-update attempt: asks "KeltInternoServer.coKeltInternoServer" whether
// a newer client exists, downloads the installer it names into the program
// folder and, when asked to, starts it and ends the client. Created for one
// attempt and freed afterwards.
class TKeltUpdate : public TKeltBaseClient
{
public:
    static constexpr const char* UpdateServerName = "KeltInternoServer.coKeltInternoServer";
    // The executable name the update server is asked about.
    static constexpr const char* ExecutableName = "keltappclient_paf.exe";
    static constexpr const char* VersionFormat = "%.2d%.2d%.2d%.2d";
    // Where Config.ini names the publisher's key when none is built in.
    static constexpr const char* KeySection = "ATUALIZACAO";
    static constexpr const char* KeyName = "ChavePublica";

    TKeltUpdate();
    // The downloader is shared: this client is its completion handler only
    // while its own Download waits.
    explicit TKeltUpdate(THttpDownloader* grabber);
    ~TKeltUpdate() override;

    const QString& FileName() const { return m_fileName; }
    bool Busy() const { return m_busy; }
    THttpDownloader* Grabber() const { return m_grabber.data(); }
    bool Downloaded() const { return m_downloaded; }
    ITrayIcon* TrayIcon() const { return m_trayIcon; }
    // Whether the last Install started the updater.
    bool UpdaterStarted() const { return m_updaterStarted; }

    void SetFileName(const QString& fileName) { m_fileName = fileName; }
    void SetTrayIcon(ITrayIcon* trayIcon) { m_trayIcon = trayIcon; } // borrowed; may be null

    // Configuration, then the socket connection pointed at the update server.
    // Raises Exception when no socket connection is wired.
    void PrepareConnection();
    // True when a new installer was downloaded. With `install` it is then
    // started and the client ended (Install). While another attempt uses the
    // downloader it returns false at once, asking nothing.
    bool CheckForUpdate(bool install);
    // The server's answer. Failures are logged ("TemAtualizacao"), not raised;
    // the broker is disconnected however it ends.
    void QueryUpdate(TUpdateInfo& info);

    // The running executable's version; when its file cannot be read (replaced
    // while it runs) the one of the running image.
    QString OwnVersion() const;
    static QString FileVersionText(const QString& path, const QString& format);

    // Saves the installer at `url` as TargetFile and waits, processing window
    // messages, until the transfer has ended. Only "http://" addresses; nothing
    // while another attempt uses the downloader.
    void Download(const QString& url);
    // The publisher's key that installers must be signed with, as base64: the
    // one built in (KELT_UPDATE_PUBLIC_KEY), else [ATUALIZACAO] ChavePublica;
    // empty when neither names one and installers run unsigned.
    QString PublicKeyText() const;
    // With a key known: fetches `url` + ".sig" and checks the downloaded
    // installer against it. A refused installer is deleted, logged ("Install",
    // with the reason) and the failed-check balloon shown; false then.
    bool Authenticate(const QString& url);
    // Completion handler of the downloader.
    void GrabberDoneFile(const QString& fileName, qint32 size, const QString& url);
    // The downloader's end of a failed or stalled transfer: the wait ends,
    // Downloaded keeps its value.
    void GrabberFailed(const QString& url, const QString& message);
    QString TargetFile() const;
    void Notify(const QString& text);

    // Starts the updater (TargetFile "/silent"); with `close`, then ends every
    // process of the client's executable, this one last. When the updater
    // cannot be started the failure is shown and logged ("Install") and the
    // client keeps running, so that the next cycle tries again.
    void Install(bool close);
    // Starts the file; on failure shows "Não foi possível executar o programa."
    // and the path, and returns false.
    bool RunProgram(const QString& file, const QString& parameters, bool wait, bool maximised);
    // Ends every process whose executable matches `name` (ProcessNameMatches),
    // the running one last; true when the last termination tried succeeded.
    bool KillProcess(const QString& name);

private:
    // Another attempt's transfer runs, or is about to report its end.
    bool DownloaderInUse() const;
    // The program folder read by ReadConfiguration, else the running one.
    QString Folder() const;
    void Log(const QString& step, const QString& message);
    // Runs one GET on the shared downloader into `file` and waits for its end;
    // `done` is the completion handler.
    void Transfer(const QString& url, const QString& file, THttpDownloader::TDoneFile done);
    void Refuse(const QString& url, const QString& reason);

    QString m_fileName;
    bool m_busy = false;
    QPointer<THttpDownloader> m_grabber; // borrowed; the main window owns it
    bool m_downloaded = false;
    ITrayIcon* m_trayIcon = nullptr;
    bool m_updaterStarted = false;
    QString m_runError; // why RunProgram could not start its file
};
