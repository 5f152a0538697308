#include "HttpDownloader.h"

#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>
#include <QTimer>
#include <QUrl>

#include <limits>

namespace {

// The system's proxy configuration for this manager only (environment
// variables here, the Internet settings on Windows), without changing the
// application-wide factory that other network users rely on.
class TSystemProxyFactory : public QNetworkProxyFactory
{
public:
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery& query) override
    {
        return systemProxyForQuery(query);
    }
};

const QByteArray kUserAgent = QByteArrayLiteral("JEDI-VCL");

} // namespace

THttpDownloader::THttpDownloader(QObject* parent)
    : QObject(parent), m_manager(new QNetworkAccessManager(this)), m_stall(new QTimer(this))
{
    m_manager->setProxyFactory(new TSystemProxyFactory); // the manager owns it
    m_stall->setSingleShot(true);
    connect(m_stall, &QTimer::timeout, this, [this] {
        if (!m_reply)
            return;
        m_stalled = true;
        m_reply->abort(); // ends in Finish with the reason recorded
    });
}

THttpDownloader::~THttpDownloader()
{
    Abandon();
}

bool THttpDownloader::CanHandle(const QString& url)
{
    return url.left(7).compare(QLatin1String("http://"), Qt::CaseInsensitive) == 0;
}

void THttpDownloader::ClearHandlers()
{
    m_onDoneFile = nullptr;
    m_onFailed = nullptr;
    m_handlerOwner = nullptr;
}

void THttpDownloader::Execute()
{
    Abandon();
    m_error.clear();
    m_size = 0;
    m_stalled = false;
    const QString url = m_url;
    // Failures found before the transfer starts are reported from the event
    // loop too, so the caller always sees the end after it started waiting.
    const auto failLater = [this, url](const QString& message) {
        QMetaObject::invokeMethod(
            this, [this, url, message] { Report(url, message); }, Qt::QueuedConnection);
    };
    if (!CanHandle(url)) {
        failLater(QStringLiteral("Not an http:// address: %1").arg(url));
        return;
    }
    m_file = std::make_unique<QSaveFile>(m_outputFile);
    if (!m_file->open(QIODevice::WriteOnly)) {
        const QString message = QStringLiteral("Cannot create %1: %2").arg(m_outputFile, m_file->errorString());
        m_file.reset();
        failLater(message);
        return;
    }
    QNetworkRequest request{QUrl(url)};
    request.setHeader(QNetworkRequest::UserAgentHeader, kUserAgent);
    m_reply = m_manager->get(request);
    m_reply->setProperty("keltUrl", url);
    connect(m_reply, &QNetworkReply::readyRead, this, &THttpDownloader::Receive);
    connect(m_reply, &QNetworkReply::downloadProgress, this, &THttpDownloader::Arm);
    connect(m_reply, &QNetworkReply::metaDataChanged, this, &THttpDownloader::Arm);
    connect(m_reply, &QNetworkReply::finished, this, &THttpDownloader::Finish);
    Arm();
}

void THttpDownloader::Arm()
{
    if (m_reply)
        m_stall->start(m_stallTimeout);
}

void THttpDownloader::Receive()
{
    if (!m_reply || !m_file || !m_reply->isOpen()) // an aborted reply is closed
        return;
    const QByteArray chunk = m_reply->readAll();
    m_size += chunk.size();
    m_file->write(chunk); // a write error surfaces at commit
    Arm();
}

void THttpDownloader::Finish()
{
    if (!m_reply)
        return;
    Receive();
    QNetworkReply* reply = m_reply;
    m_reply = nullptr;
    m_stall->stop();
    reply->deleteLater();
    const QString url = reply->property("keltUrl").toString();
    std::unique_ptr<QSaveFile> file = std::move(m_file);

    QString failure;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (m_stalled)
        failure = QStringLiteral("No data from %1 for %2 ms").arg(url).arg(m_stallTimeout);
    else if (reply->error() != QNetworkReply::NoError)
        failure = reply->errorString();
    else if (status < 200 || status > 299)
        failure = QStringLiteral("%1 answered HTTP status %2").arg(url).arg(status);
    if (!failure.isEmpty()) {
        file->cancelWriting();
        Report(url, failure);
        return;
    }
    if (!file->commit()) {
        Report(url, QStringLiteral("Cannot write %1: %2").arg(m_outputFile, file->errorString()));
        return;
    }
    const qint32 size = qint32(std::min<qint64>(m_size, std::numeric_limits<qint32>::max()));
    if (const TDoneFile handler = m_onDoneFile)
        handler(m_outputFile, size, url);
}

void THttpDownloader::Report(const QString& url, const QString& message)
{
    m_error = message;
    if (const TFailed handler = m_onFailed)
        handler(url, message);
}

void THttpDownloader::Abandon()
{
    m_stall->stop();
    if (QNetworkReply* reply = std::exchange(m_reply, nullptr)) {
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
    if (m_file) {
        m_file->cancelWriting();
        m_file.reset();
    }
}
