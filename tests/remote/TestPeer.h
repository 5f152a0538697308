#pragma once

#include "remote/wire/WireProtocol.h"

#include <QDeadlineTimer>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <optional>
#include <thread>

// One accepted connection of the scripted peer.
class TPeerSession
{
public:
    explicit TPeerSession(QTcpSocket& socket) : m_socket(socket) {}

    // The next message; empty when the client went away or nothing came in time.
    std::optional<QJsonObject> Read(int ms = 5000)
    {
        QDeadlineTimer deadline(ms);
        for (;;) {
            if (auto m = m_reader.Next()) {
                m_lastId = m->value(QStringLiteral("id")).toInteger();
                return m;
            }
            if (m_socket.bytesAvailable() > 0) {
                m_reader.Append(m_socket.readAll());
                continue;
            }
            if (m_socket.state() != QAbstractSocket::ConnectedState || deadline.hasExpired())
                return std::nullopt;
            m_socket.waitForReadyRead(int(qMin<qint64>(50, qMax<qint64>(1, deadline.remainingTime()))));
        }
    }
    // Waits until the client closes its end (or the time is up).
    bool WaitForClose(int ms = 5000)
    {
        QDeadlineTimer deadline(ms);
        while (m_socket.state() == QAbstractSocket::ConnectedState && !deadline.hasExpired()) {
            m_socket.waitForReadyRead(50);
            m_socket.readAll();
        }
        return m_socket.state() != QAbstractSocket::ConnectedState;
    }
    void SendRaw(const QByteArray& bytes)
    {
        m_socket.write(bytes);
        while (m_socket.bytesToWrite() > 0 && m_socket.waitForBytesWritten(5000)) {
        }
    }
    void Send(const QJsonObject& message) { SendRaw(wire::EncodeFrame(message)); }
    void Reply(const QJsonValue& result) { Send(wire::Result(m_lastId, result)); }
    void ReplyValue(const QJsonValue& value, const QJsonArray& args) { Reply(wire::MethodResult(value, args)); }
    void ReplyError(const QString& message) { Send(wire::Error(m_lastId, message)); }
    // Reads the open request of the server object and accepts it.
    QJsonObject AcceptOpen()
    {
        auto open = Read();
        if (!open) {
            ADD_FAILURE() << "no open request";
            return {};
        }
        Reply(QJsonObject{});
        return open->value(QStringLiteral("params")).toObject();
    }

private:
    QTcpSocket& m_socket;
    wire::TFrameReader m_reader;
    qint64 m_lastId = 0;
};

// A stand-in application server with a script: listens on an ephemeral
// loopback port in a thread of its own, accepts one connection and runs the
// script on it; the connection closes when the script returns.
class TPeer
{
public:
    using Script = std::function<void(TPeerSession&)>;

    explicit TPeer(Script script)
    {
        // Qt takes the first thread that touches it for its main thread; that must be
        // the test's, or the test thread's Qt data is never released.
        QThread::currentThread();
        std::promise<quint16> port;
        auto ready = port.get_future();
        m_thread = std::thread([this, script = std::move(script), port = std::move(port)]() mutable {
            QTcpServer server;
            if (!server.listen(QHostAddress::LocalHost, 0)) {
                port.set_value(0);
                return;
            }
            port.set_value(server.serverPort());
            if (!server.waitForNewConnection(10000))
                return;
            std::unique_ptr<QTcpSocket> socket(server.nextPendingConnection());
            TPeerSession session(*socket);
            try {
                script(session);
            } catch (const std::exception& e) {
                ADD_FAILURE() << "peer script raised: " << e.what();
            }
            socket->disconnectFromHost();
            if (socket->state() != QAbstractSocket::UnconnectedState)
                socket->waitForDisconnected(2000);
        });
        m_port = ready.get();
    }
    ~TPeer() { Join(); }
    TPeer(const TPeer&) = delete;
    TPeer& operator=(const TPeer&) = delete;

    quint16 Port() const { return m_port; }
    // Waits for the script to end; what it recorded may be read afterwards.
    void Join()
    {
        if (m_thread.joinable())
            m_thread.join();
    }

private:
    std::thread m_thread;
    quint16 m_port = 0;
};

// Answers every request with handler(method, params) until the client goes.
inline void Serve(TPeerSession& s, const std::function<void(const QString&, const QJsonValue&)>& handler)
{
    while (auto m = s.Read())
        handler(m->value(QStringLiteral("method")).toString(), m->value(QStringLiteral("params")));
}
