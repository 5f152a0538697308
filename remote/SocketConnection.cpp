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

void TSocketConnection::Open()
{
    if (Connected())
        return;
    const QString endpoint = EffectiveEndpoint();
    auto socket = std::make_unique<QTcpSocket>();
    socket->connectToHost(endpoint, quint16(m_port));
    if (m_port <= 0 || m_port > 65535 || !socket->waitForConnected(m_connectTimeout)) {
        const QString why = m_port <= 0 || m_port > 65535 ? QStringLiteral("invalid port") : socket->errorString();
        throw Exception(QStringLiteral("Cannot connect to %1:%2: %3").arg(endpoint).arg(m_port).arg(why));
    }
    m_socket = std::move(socket);
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
