#pragma once

#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>

class QNetworkAccessManager;
class QNetworkReply;
class QSaveFile;
class QTimer;

// The HTTP downloader of the self-update (the main window's `httpFile`): one
// GET at a time with the user agent "JEDI-VCL" and the system's proxy
// settings. The transfer itself runs on the network stack's own thread; both
// handlers run on the thread that owns the downloader (the user-interface
// thread).
//
// A transfer ends in exactly one of the two handlers:
// - DoneFile: the server sent a success status and the whole body, which was
//   written to the output file (an existing file replaced), with the body size;
// - Failed: no connection, an error status, a connection lost before the end of
//   the body, or no data for StallTimeout; the output file is left as it was.
//   So do a redirect anywhere but an http:// address on the same host and port,
//   a success answer with neither a length nor chunks, a body larger than
//   SizeLimit and a transfer still running after Deadline.
class THttpDownloader : public QObject
{
    Q_OBJECT
public:
    using TDoneFile = std::function<void(const QString& fileName, qint32 size, const QString& url)>;
    using TFailed = std::function<void(const QString& url, const QString& message)>;

    static constexpr int kDefaultStallTimeout = 60000;
    static constexpr int kDefaultDeadline = 60 * 60 * 1000;
    static constexpr qint64 kDefaultSizeLimit = qint64(512) * 1024 * 1024;
    static constexpr int kMaxRedirects = 5;

    explicit THttpDownloader(QObject* parent = nullptr);
    ~THttpDownloader() override;

    const QString& Url() const { return m_url; }
    void SetUrl(const QString& url) { m_url = url; }
    const QString& OutputFile() const { return m_outputFile; }
    void SetOutputFile(const QString& path) { m_outputFile = path; }
    // Milliseconds without any data that end a transfer as failed.
    int StallTimeout() const { return m_stallTimeout; }
    void SetStallTimeout(int ms) { m_stallTimeout = ms; }
    // Milliseconds a whole transfer may take, however steadily it delivers.
    int Deadline() const { return m_deadline; }
    void SetDeadline(int ms) { m_deadline = ms; }
    // Bytes of body accepted; a larger one ends the transfer as failed.
    qint64 SizeLimit() const { return m_sizeLimit; }
    void SetSizeLimit(qint64 bytes) { m_sizeLimit = bytes; }

    // Exactly the addresses whose first seven characters are "http://" in any case.
    static bool CanHandle(const QString& url);

    void SetOnDoneFile(TDoneFile handler) { m_onDoneFile = std::move(handler); }
    void SetOnFailed(TFailed handler) { m_onFailed = std::move(handler); }
    // The handlers are the ones of `owner` (any tag): forgetting them only when
    // they still belong to it lets the owner detach without undoing a newer one.
    void SetHandlerOwner(const void* owner) { m_handlerOwner = owner; }
    const void* HandlerOwner() const { return m_handlerOwner; }
    void ClearHandlers();

    // Starts the GET of Url into OutputFile; a transfer under way is abandoned
    // first. An address the downloader cannot handle or an output file that
    // cannot be created fails at once (through Failed, from the event loop).
    void Execute();
    bool Busy() const { return m_reply != nullptr; }
    // The message of the last failed transfer.
    const QString& ErrorString() const { return m_error; }

private:
    void Arm();
    void Receive();
    void CheckHeaders();
    void Refuse(const QString& reason);
    void Finish();
    void Report(const QString& url, const QString& message);
    void Abandon();

    QString m_url;
    QString m_transferUrl; // the address of the transfer under way
    QUrl m_hop;            // the address its last request went to
    QString m_outputFile;
    int m_stallTimeout = kDefaultStallTimeout;
    int m_deadline = kDefaultDeadline;
    qint64 m_sizeLimit = kDefaultSizeLimit;
    TDoneFile m_onDoneFile;
    TFailed m_onFailed;
    const void* m_handlerOwner = nullptr;
    QNetworkAccessManager* m_manager;
    QTimer* m_stall;
    QTimer* m_overall;
    QNetworkReply* m_reply = nullptr;
    std::unique_ptr<QSaveFile> m_file;
    qint64 m_size = 0;
    QString m_refusal; // why the downloader itself ended the transfer
    QString m_error;
};
