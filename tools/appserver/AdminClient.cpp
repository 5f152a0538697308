#include "AdminClient.h"

#include "AdminService.h"

#include "platform/types/Exception.h"

#include <QDeadlineTimer>
#include <QTcpSocket>

TAdminClient::TAdminClient(const QString& host, quint16 port, const std::optional<QString>& token,
                           int connectTimeoutMs, int callTimeoutMs, const TTlsSettings& tls)
    : m_timeoutMs(callTimeoutMs), m_endpoint(QStringLiteral("%1:%2").arg(host).arg(port))
{
    m_connection.SetHost(host);
    m_connection.SetPort(port);
    m_connection.SetConnectTimeout(connectTimeoutMs);
    m_connection.SetTls(tls);
    m_connection.Open();
    m_socket = m_connection.Socket();
    QJsonObject open{{"server", TAdminService::ObjectName}, {"guid", ""}, {"protocol", 1}};
    if (token)
        open["token"] = *token;
    Exchange(QStringLiteral("open"), open);
}

QJsonValue TAdminClient::Call(const QString& method, const QJsonArray& args)
{
    return Exchange(method, args).value("value");
}

QJsonObject TAdminClient::Exchange(const QString& method, const QJsonValue& params)
{
    const qint64 id = m_nextId++;
    m_socket->write(wire::EncodeFrame(wire::Request(id, method, params)));
    m_socket->flush();
    const QDeadlineTimer deadline(m_timeoutMs);
    while (true) {
        if (const std::optional<QJsonObject> answer = m_reader.Next()) {
            if (answer->value("id").toInteger() != id)
                throw Exception(QStringLiteral("%1 answered another request than %2").arg(m_endpoint, method));
            if (answer->contains("error"))
                throw Exception(answer->value("error").toObject().value("message").toString());
            return answer->value("result").toObject();
        }
        if (m_socket->state() != QAbstractSocket::ConnectedState && m_socket->bytesAvailable() == 0)
            throw Exception(QStringLiteral("%1 closed the connection during %2").arg(m_endpoint, method));
        if (deadline.hasExpired())
            throw Exception(QStringLiteral("%1 did not answer %2 within %3 ms").arg(m_endpoint, method).arg(m_timeoutMs));
        m_socket->waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
        m_reader.Append(m_socket->readAll());
    }
}
