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
#include <QTimer>

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
        Unsized, // 200 without Content-Length, the body, then a clean close
        UnsizedCut, // 200 without Content-Length, part of the body, then a reset
        Trickle, // 200 with the body sent a byte every 50 ms
        Endless, // 200 in chunks, data until the client goes
        Redirect, // 302 to the address given as the body
    };

    TTestHttpServer()
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = m_server.nextPendingConnection()) {
                ++m_connections;
                connect(s, &QTcpSocket::readyRead, this, [this, s] { Serve(s); });
            }
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
    // Connections accepted, whatever was sent on them.
    int Connections() const { return m_connections; }

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
        case TKind::Unsized:
            s->write("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + route.Body);
            s->disconnectFromHost();
            break;
        case TKind::UnsizedCut:
            s->write("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + route.Body);
            s->flush();
            QTimer::singleShot(100, s, [s] { s->abort(); });
            break;
        case TKind::Trickle:
            s->write(headers("200 OK", route.Body.size()));
            Feed(s, route.Body, 50);
            break;
        case TKind::Endless:
            s->write("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n");
            Feed(s, QByteArray(), 5, true);
            break;
        case TKind::Redirect:
            s->write("HTTP/1.1 302 Found\r\nLocation: " + route.Body
                     + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            s->disconnectFromHost();
            break;
        }
    }

    // Writes `rest` a byte every `ms` and then closes; `endless` writes a
    // chunk of 64 KiB every `ms` instead, for as long as the client stays.
    void Feed(QTcpSocket* s, QByteArray rest, int ms, bool endless = false)
    {
        QTimer::singleShot(ms, s, [this, s, rest, ms, endless] {
            if (s->state() != QAbstractSocket::ConnectedState)
                return;
            if (!endless && rest.isEmpty()) {
                s->disconnectFromHost();
                return;
            }
            s->write(endless ? "10000\r\n" + QByteArray(64 * 1024, 'x') + "\r\n" : rest.left(1));
            Feed(s, rest.mid(1), ms, endless);
        });
    }

    QTcpServer m_server;
    QHash<QString, TRoute> m_routes;
    QHash<QTcpSocket*, QByteArray> m_pending;
    QStringList m_requests;
    QStringList m_agents;
    int m_connections = 0;
};
