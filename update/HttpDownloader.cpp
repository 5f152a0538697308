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
    : QObject(parent), m_manager(new QNetworkAccessManager(this)), m_stall(new QTimer(this)),
      m_overall(new QTimer(this))
{
    m_manager->setProxyFactory(new TSystemProxyFactory); // the manager owns it
    m_stall->setSingleShot(true);
    connect(m_stall, &QTimer::timeout, this, [this] {
        Refuse(QStringLiteral("No data from %1 for %2 ms").arg(m_transferUrl).arg(m_stallTimeout));
    });
    m_overall->setSingleShot(true);
    connect(m_overall, &QTimer::timeout, this, [this] {
        Refuse(QStringLiteral("%1 did not end within %2 ms").arg(m_transferUrl).arg(m_deadline));
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
    m_refusal.clear();
    const QString url = m_url;
    m_transferUrl = url;
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
    m_hop = QUrl(url);
    QNetworkRequest request{m_hop};
    request.setHeader(QNetworkRequest::UserAgentHeader, kUserAgent);
    // Each redirect is checked below: Qt's default would follow one to https
    // or to another server.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::UserVerifiedRedirectPolicy);
    request.setMaximumRedirectsAllowed(kMaxRedirects);
    m_reply = m_manager->get(request);
    m_reply->setProperty("keltUrl", url);
    connect(m_reply, &QNetworkReply::redirected, this, [this](const QUrl& to) {
        if (!m_reply)
            return;
        // The reply already names the new address: compare with the one asked.
        const QUrl from = m_hop;
        const QUrl next = from.resolved(to);
        if (next.scheme().compare(QLatin1String("http"), Qt::CaseInsensitive) == 0
            && next.host().compare(from.host(), Qt::CaseInsensitive) == 0 && next.port(80) == from.port(80)) {
            m_hop = next;
            emit m_reply->redirectAllowed();
        } else {
            Refuse(QStringLiteral("Redirect from %1 to %2 refused").arg(from.toString(), next.toString()));
        }
    });
    connect(m_reply, &QNetworkReply::readyRead, this, &THttpDownloader::Receive);
    connect(m_reply, &QNetworkReply::downloadProgress, this, &THttpDownloader::Arm);
    connect(m_reply, &QNetworkReply::metaDataChanged, this, &THttpDownloader::Arm);
    connect(m_reply, &QNetworkReply::metaDataChanged, this, &THttpDownloader::CheckHeaders);
    connect(m_reply, &QNetworkReply::finished, this, &THttpDownloader::Finish);
    m_overall->start(m_deadline);
    Arm();
}

void THttpDownloader::CheckHeaders()
{
    if (!m_reply)
        return;
    const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status < 200 || status > 299)
        return;
    const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
    const bool chunked = m_reply->rawHeader("Transfer-Encoding").toLower().contains("chunked");
    // Without either the body ends where the connection does, and a reset
    // reaches us as the same end as an orderly close: a cut installer would pass.
    if (!length.isValid() && !chunked)
        Refuse(QStringLiteral("%1 sent a body of unknown length").arg(m_transferUrl));
    else if (length.isValid() && length.toLongLong() > m_sizeLimit)
        Refuse(QStringLiteral("%1 sent more than %2 bytes").arg(m_transferUrl).arg(m_sizeLimit));
}

void THttpDownloader::Refuse(const QString& reason)
{
    if (!m_reply || !m_refusal.isEmpty())
        return;
    m_refusal = reason;
    m_reply->abort(); // ends in Finish with the reason recorded
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
    if (m_size > m_sizeLimit) {
        Refuse(QStringLiteral("%1 sent more than %2 bytes").arg(m_transferUrl).arg(m_sizeLimit));
        return;
    }
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
    m_overall->stop();
    reply->deleteLater();
    const QString url = reply->property("keltUrl").toString();
    std::unique_ptr<QSaveFile> file = std::move(m_file);

    QString failure;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (!m_refusal.isEmpty())
        failure = m_refusal;
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
    m_overall->stop();
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
