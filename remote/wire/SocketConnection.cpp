#include "SocketConnection.h"

#include "platform/types/Exception.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpSocket>

#include <openssl/x509.h>

TSocketConnection::TSocketConnection() = default;

TSocketConnection::~TSocketConnection() { Close(); }

void TSocketConnection::SetHost(const QString& host)
{
    m_host = host;
    if (!host.isEmpty())
        m_address.clear();
}

void TSocketConnection::SetServerName(const QString& name)
{
    m_serverName = name;
    // No class is registered on this machine for any name: the GUID goes empty
    // and the name alone identifies the object to the remote side.
    m_serverGuid.clear();
}

QString TSocketConnection::EffectiveEndpoint() const
{
    if (!m_host.isEmpty())
        return m_host;
    if (!m_address.isEmpty())
        return m_address;
    throw Exception(QStringLiteral("No address specified"));
}

QString TSocketConnection::EndpointText() const
{
    const QString host = !m_host.isEmpty() ? m_host : m_address;
    return QStringLiteral("%1:%2").arg(host.isEmpty() ? QStringLiteral("(no address)") : host).arg(m_port);
}

void TSocketConnection::Open()
{
    if (Connected())
        return;
    Close();
    const QString endpoint = EffectiveEndpoint();
    if (m_port <= 0 || m_port > 65535)
        throw Exception(QStringLiteral("Cannot connect to %1:%2: invalid port").arg(endpoint).arg(m_port));
    std::unique_ptr<QTcpSocket> socket;
    if (m_tls.Enabled) {
        socket = OpenTls(endpoint);
    } else {
        socket = std::make_unique<QTcpSocket>();
        socket->connectToHost(endpoint, quint16(m_port));
        if (!socket->waitForConnected(m_connectTimeout)) {
            const QString why = socket->error() == QAbstractSocket::SocketTimeoutError
                                    ? QStringLiteral("no answer after %1 ms").arg(m_connectTimeout)
                                    : socket->errorString();
            socket->abort();
            throw Exception(QStringLiteral("Cannot connect to %1:%2: %3").arg(endpoint).arg(m_port).arg(why));
        }
    }
    // Requests and answers are small and strictly alternate: Nagle's delay
    // would cost every call a round trip.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    m_socket = std::move(socket);
    ++m_session;
}

void TSocketConnection::Close()
{
    if (!m_socket)
        return;
    m_socket->abort();
    m_socket.reset();
}

bool TSocketConnection::Connected() const
{
    return m_socket && m_socket->state() == QAbstractSocket::ConnectedState;
}

std::unique_ptr<QTcpSocket> TSocketConnection::OpenTls(const QString& endpoint)
{
    const auto refused = [&](const QString& why) {
        return Exception(QStringLiteral("Cannot connect to %1:%2: TLS: %3").arg(endpoint).arg(m_port).arg(why));
    };
    if (!QSslSocket::supportsSsl())
        throw refused(QStringLiteral("no TLS backend is available on this machine (OpenSSL 3 is required)"));
    QByteArray pin;
    if (!m_tls.Fingerprint.trimmed().isEmpty()) {
        pin = ParseFingerprint(m_tls.Fingerprint);
        if (pin.isEmpty())
            throw refused(QStringLiteral("Fingerprint \"%1\" is not a SHA-256 in hex (64 hex digits, colons allowed)")
                              .arg(m_tls.Fingerprint));
    }

    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setProtocol(QSsl::TlsV1_2OrLater);
    if (!pin.isEmpty()) {
        // The pin is checked below, once the handshake has shown the
        // certificate and before a byte of the protocol is sent.
        config.setPeerVerifyMode(QSslSocket::VerifyNone);
    } else {
        config.setPeerVerifyMode(QSslSocket::VerifyPeer);
        if (!m_tls.CAFile.isEmpty()) {
            const QList<QSslCertificate> authorities = QSslCertificate::fromPath(m_tls.CAFile, QSsl::Pem);
            if (authorities.isEmpty())
                throw refused(QStringLiteral("cannot read a PEM certificate from CAFile %1").arg(m_tls.CAFile));
            config.setCaCertificates(authorities);
        }
    }

    auto socket = std::make_unique<QSslSocket>();
    socket->setSslConfiguration(config);
    bool reached = false;
    QObject::connect(socket.get(), &QSslSocket::connected, [&reached] { reached = true; });
    socket->connectToHostEncrypted(endpoint, quint16(m_port));
    if (!socket->waitForEncrypted(m_connectTimeout)) {
        const QAbstractSocket::SocketError error = socket->error();
        QStringList reasons;
        for (const QSslError& e : socket->sslHandshakeErrors())
            reasons.append(e.errorString());
        const QString detail = reasons.isEmpty() ? socket->errorString() : reasons.join(QStringLiteral("; "));
        socket->abort();
        if (!reached) // the TCP connection itself failed: today's message
            throw Exception(QStringLiteral("Cannot connect to %1:%2: %3")
                                .arg(endpoint)
                                .arg(m_port)
                                .arg(error == QAbstractSocket::SocketTimeoutError
                                         ? QStringLiteral("no answer after %1 ms").arg(m_connectTimeout)
                                         : detail));
        if (error == QAbstractSocket::SocketTimeoutError)
            throw refused(QStringLiteral("no handshake within %1 ms (does the server serve TLS?)").arg(m_connectTimeout));
        if (error == QAbstractSocket::RemoteHostClosedError)
            throw refused(QStringLiteral("the server closed the connection during the handshake "
                                         "(does it serve TLS 1.2 or newer?)"));
        throw refused(QStringLiteral("the server's certificate is not trusted: %1").arg(detail));
    }
    if (!pin.isEmpty()) {
        const QByteArray served = PublicKeyPin(socket->peerCertificate());
        if (served != pin) {
            socket->abort();
            throw refused(QStringLiteral("the server's certificate does not match the Fingerprint of the "
                                         "configuration (its public key has SHA-256 %1)")
                              .arg(PinText(served)));
        }
    }
    return socket;
}

QByteArray TSocketConnection::PublicKeyPin(const QSslCertificate& certificate)
{
    const QByteArray der = certificate.toDer();
    auto* bytes = reinterpret_cast<const unsigned char*>(der.constData());
    X509* x509 = d2i_X509(nullptr, &bytes, long(der.size()));
    if (!x509)
        return {};
    unsigned char* spki = nullptr;
    const int length = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(x509), &spki);
    QByteArray pin;
    if (length > 0)
        pin = QCryptographicHash::hash(QByteArrayView(spki, length), QCryptographicHash::Sha256);
    OPENSSL_free(spki);
    X509_free(x509);
    return pin;
}

QByteArray TSocketConnection::ParseFingerprint(const QString& text)
{
    QByteArray hex;
    for (const QChar c : text) {
        if (c == u':' || c.isSpace())
            continue;
        const char16_t u = c.unicode();
        if (!((u >= u'0' && u <= u'9') || (u >= u'a' && u <= u'f') || (u >= u'A' && u <= u'F')))
            return {};
        hex.append(char(c.unicode()));
    }
    if (hex.size() != 64)
        return {};
    return QByteArray::fromHex(hex);
}

QString TSocketConnection::PinText(const QByteArray& pin)
{
    return QString::fromLatin1(pin.toHex(':'));
}

qint64 TSocketConnection::Unsent(QTcpSocket* socket)
{
    const auto* tls = qobject_cast<QSslSocket*>(socket);
    return socket->bytesToWrite() + (tls ? tls->encryptedBytesToWrite() : 0);
}
