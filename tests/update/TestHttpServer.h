#pragma once

// A small HTTP/1.1 server on loopback for the downloads of the self-update
// tests: each path answers in its own way, including the ways a transfer
// goes wrong. It runs on the test's thread, served while the client waits.

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>

class TTestHttpServer : public QObject
{
public:
    enum class TKind
    {
        Body,    // 200 with the body
        Missing, // 404 with a short page
        Drop,    // the connection closed without an answer
        Cut,     // the headers promise more than is sent, then the connection closes
        Stall,   // the headers and part of the body, then silence
    };

    TTestHttpServer()
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = m_server.nextPendingConnection())
                connect(s, &QTcpSocket::readyRead, this, [this, s] { Serve(s); });
        });
    }

    void Route(const QString& path, TKind kind, const QByteArray& body = {}) { m_routes[path] = {kind, body}; }
    QString Url(const QString& path) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(m_server.serverPort()).arg(path);
    }
    // "GET /path" of every request, and the user agent each one named.
    const QStringList& Requests() const { return m_requests; }
    const QStringList& UserAgents() const { return m_agents; }

private:
    struct TRoute
    {
        TKind Kind = TKind::Missing;
        QByteArray Body;
    };

    void Serve(QTcpSocket* s)
    {
        QByteArray& pending = m_pending[s];
        pending += s->readAll();
        const qsizetype end = pending.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        const QList<QByteArray> lines = pending.left(end).split('\n');
        pending.clear();
        const QList<QByteArray> request = lines.value(0).trimmed().split(' ');
        const QString path = QString::fromLatin1(request.value(1));
        m_requests << QString::fromLatin1(request.value(0)) + u' ' + path;
        for (const QByteArray& line : lines)
            if (line.toLower().startsWith("user-agent:"))
                m_agents << QString::fromLatin1(line.mid(11).trimmed());
        const TRoute route = m_routes.value(path);
        const auto headers = [](const char* status, qint64 length) {
            return QByteArray("HTTP/1.1 ") + status + "\r\nContent-Type: application/octet-stream\r\nContent-Length: "
                   + QByteArray::number(length) + "\r\nConnection: close\r\n\r\n";
        };
        switch (route.Kind) {
        case TKind::Body:
            s->write(headers("200 OK", route.Body.size()) + route.Body);
            s->disconnectFromHost();
            break;
        case TKind::Missing:
            s->write(headers("404 Not Found", 9) + "Not found");
            s->disconnectFromHost();
            break;
        case TKind::Drop: s->abort(); break;
        case TKind::Cut:
            s->write(headers("200 OK", 100000) + QByteArray(10, 'x'));
            s->disconnectFromHost();
            break;
        case TKind::Stall: s->write(headers("200 OK", 100000) + QByteArray(10, 'x')); break;
        }
    }

    QTcpServer m_server;
    QHash<QString, TRoute> m_routes;
    QHash<QTcpSocket*, QByteArray> m_pending;
    QStringList m_requests;
    QStringList m_agents;
};
