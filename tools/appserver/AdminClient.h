#pragma once

#include "remote/wire/SocketConnection.h"
#include "remote/wire/WireProtocol.h"

#include <QJsonArray>
#include <QJsonValue>
#include <QString>

#include <optional>

// The admin object of a running stand-in server, over the server's own port
// and wire protocol: `kelt-appserver admin --connect HOST:PORT`. Calls block;
// the command has nothing else to do meanwhile.
class TAdminClient
{
public:
    // Connects and opens "KeltAppServer.Admin", with the token when one is
    // given. Raises Exception when it cannot connect or the server refuses.
    // A call may take long (loading a large packet): it waits `callTimeoutMs`.
    // With `tls` enabled it speaks TLS as the client does (a server started
    // with --tls-cert).
    TAdminClient(const QString& host, quint16 port, const std::optional<QString>& token,
                 int connectTimeoutMs = 15000, int callTimeoutMs = 300000, const TTlsSettings& tls = {});

    // The value of a method of the admin object; raises Exception with the
    // server's message on an error answer, or when the connection fails.
    QJsonValue Call(const QString& method, const QJsonArray& args = {});

private:
    QJsonObject Exchange(const QString& method, const QJsonValue& params);

    TSocketConnection m_connection;
    QTcpSocket* m_socket = nullptr; // the connection's, open
    wire::TFrameReader m_reader;
    qint64 m_nextId = 1;
    int m_timeoutMs; // of a call
    QString m_endpoint;
};
