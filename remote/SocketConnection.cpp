#include "SocketConnection.h"

#include "platform/data/Exception.h"

#include <QTcpSocket>

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
    auto socket = std::make_unique<QTcpSocket>();
    socket->connectToHost(endpoint, quint16(m_port));
    if (!socket->waitForConnected(m_connectTimeout)) {
        const QString why = socket->error() == QAbstractSocket::SocketTimeoutError
                                ? QStringLiteral("no answer after %1 ms").arg(m_connectTimeout)
                                : socket->errorString();
        socket->abort();
        throw Exception(QStringLiteral("Cannot connect to %1:%2: %3").arg(endpoint).arg(m_port).arg(why));
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
