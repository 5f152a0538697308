#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

class QSslCertificate;
class QTcpSocket;

// TLS on the connection to the application server. Off: plain TCP. On: TLS 1.2
// or newer around the unchanged wire protocol, and the server is accepted when
// its certificate's public key matches Fingerprint (the pin alone decides:
// neither the CA chain nor the host name is checked) or, without a pin, when
// its certificate chains to CAFile (or to the system's trusted CAs when CAFile
// is empty) and names the host.
struct TTlsSettings
{
    bool Enabled = false;
    QString Fingerprint; // as written: SHA-256 of the SubjectPublicKeyInfo in hex, colons allowed
    QString CAFile;      // absolute path, or empty
    friend bool operator==(const TTlsSettings&, const TTlsSettings&) = default;
};

// The transport to a remote application server: endpoint, server name and GUID.
//
// Endpoint rules: Host (a name) and Address (numeric) are two properties;
// setting a non-empty Host empties Address. The Address starts as "127.0.0.1".
// Connecting uses Host when set, else Address; with neither it fails with
// "No address specified".
class TSocketConnection
{
public:
    TSocketConnection();
    ~TSocketConnection();
    TSocketConnection(const TSocketConnection&) = delete;
    TSocketConnection& operator=(const TSocketConnection&) = delete;

    const QString& Host() const { return m_host; }
    void SetHost(const QString& host);
    const QString& Address() const { return m_address; }
    void SetAddress(const QString& address) { m_address = address; }
    int Port() const { return m_port; }
    void SetPort(int port) { m_port = port; }
    const QString& ServerName() const { return m_serverName; }
    // Naming a server replaces the GUID: no class is registered locally, so the
    // name itself identifies the object to the remote side.
    void SetServerName(const QString& name);
    const QString& ServerGUID() const { return m_serverGuid; }
    void SetServerGUID(const QString& guid) { m_serverGuid = guid; }

    const TTlsSettings& Tls() const { return m_tls; }
    void SetTls(const TTlsSettings& tls) { m_tls = tls; }

    // The pin of a certificate: SHA-256 of its DER SubjectPublicKeyInfo (32
    // bytes), what `openssl pkey -pubin -outform der | openssl dgst -sha256`
    // prints for its public key.
    static QByteArray PublicKeyPin(const QSslCertificate& certificate);
    // A Fingerprint as written in Config.ini: 64 hex digits, upper or lower
    // case, with or without colons or spaces between them. Empty when it is
    // not one.
    static QByteArray ParseFingerprint(const QString& text);
    // The pin as lower-case hex pairs joined by colons, for messages.
    static QString PinText(const QByteArray& pin);
    // Bytes written to a socket but not yet handed to the system. Over TLS
    // the encrypted ones wait apart from the plain text, which bytesToWrite
    // alone counts: a writer that waits for its answer to leave needs both.
    static qint64 Unsent(QTcpSocket* socket);

    // Timeouts in milliseconds.
    int ConnectTimeout() const { return m_connectTimeout; }
    void SetConnectTimeout(int ms) { m_connectTimeout = ms; }
    int CallTimeout() const { return m_callTimeout; }
    void SetCallTimeout(int ms) { m_callTimeout = ms; }

    // The endpoint a connection attempt would use; raises Exception
    // "No address specified" when there is none.
    QString EffectiveEndpoint() const;
    // "HOST:PORT" for messages; never raises.
    QString EndpointText() const;

    // Opens the TCP connection (and with TLS on, completes the handshake and
    // checks the server's certificate), waiting up to ConnectTimeout; raises
    // Exception with a clear message on failure. Does nothing when already
    // connected.
    void Open();
    // Closes the TCP connection. Never raises.
    void Close();
    bool Connected() const;

    // The open socket, for the broker's wire codec; nullptr when closed.
    QTcpSocket* Socket() const { return m_socket.get(); }
    // Counts the sockets opened so far: a broker tells its own session from a
    // later one opened behind its back.
    quint64 Session() const { return m_session; }

private:
    std::unique_ptr<QTcpSocket> OpenTls(const QString& endpoint);

    QString m_host;
    QString m_address = QStringLiteral("127.0.0.1");
    int m_port = 211;
    QString m_serverName = QStringLiteral("KeltCadMServer5.coKeltCadMServer5");
    QString m_serverGuid = QStringLiteral("{FBCB2217-6183-4530-A946-3874E1AFEBF1}");
    int m_connectTimeout = 15000;
    int m_callTimeout = 300000;
    TTlsSettings m_tls;
    std::unique_ptr<QTcpSocket> m_socket;
    quint64 m_session = 0;
};
