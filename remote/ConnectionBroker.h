#pragma once

#include "platform/data/AppServer.h"
#include "remote/wire/WireProtocol.h"

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonValue>
#include <QString>

#include <functional>

class QTcpSocket;
class TSocketConnection;

// The broker over a socket connection: connecting it opens the socket and the
// server object named by the connection's ServerName (and GUID); it is the
// remote server of client data sets (IAppServer) and the target of late-bound
// method calls. One request in flight at a time; calls wait for their answer up
// to the connection's CallTimeout, keeping the user interface alive.
class TConnectionBroker : public IAppServer
{
public:
    explicit TConnectionBroker(TSocketConnection* connection = nullptr);
    ~TConnectionBroker() override;
    TConnectionBroker(const TConnectionBroker&) = delete;
    TConnectionBroker& operator=(const TConnectionBroker&) = delete;

    TSocketConnection* Connection() const { return m_connection; }
    void SetConnection(TSocketConnection* connection) { m_connection = connection; } // borrowed

    // Opens the socket and the server object; raises Exception (protocol,
    // network or the server's own error text) on failure, leaving it closed.
    void Open();
    // Closes the server object and the socket. Never raises.
    void Close();
    bool Connected() const;

    // Runs between the slices of waiting for an answer (the program passes
    // its processing of pending window messages). Empty by default. It must
    // not start another call on this broker; one that does raises.
    void SetIdleHook(std::function<void()> hook) { m_idle = std::move(hook); }

    // Calls a method of the server object with all its arguments in order. On
    // return `args` holds the final value of every argument as the server sent
    // it; the result is the method's value. Raises Exception on an error answer
    // (its message), a lost connection, a time-out or a malformed frame; the
    // connection is closed after a transport failure. Strings among the
    // returned arguments marked in `unusedArgs` (bit i: argument i) are not
    // decoded and come back as null: the caller ignores them (a packet passed by value).
    // With `valueUtf8`, a string value comes back there as UTF-8 bytes (and the
    // result reads as null), without a detour through QString. Arguments in
    // `utf8Args` go out as strings of that UTF-8 text the same way (their places
    // in `args` hold anything meanwhile).
    QJsonValue Call(const QString& method, QJsonArray& args, quint64 unusedArgs = 0,
                    std::optional<QByteArray>* valueUtf8 = nullptr, const wire::TUtf8Args& utf8Args = {});

    // IAppServer: the remote providers of the server object.
    TParams AS_GetParams(const QString& providerName) override;
    QByteArray AS_GetRecords(const QString& providerName, int count, const TParams& params) override;

private:
    QJsonObject Exchange(const QString& method, const QJsonValue& params, quint64 unusedArgs = 0,
                         std::optional<QByteArray>* valueUtf8 = nullptr, const wire::TUtf8Args& utf8Args = {});
    // The socket of the session this broker opened, when still connected.
    QTcpSocket* LiveSocket() const;
    void Transmit(QTcpSocket* socket, const QByteArray& frame, const QString& method, const QDeadlineTimer& deadline);
    QJsonObject Receive(const QString& method, const QDeadlineTimer& deadline, quint64 unusedArgs,
                        std::optional<QByteArray>* valueUtf8);
    void CloseTransport();

    TSocketConnection* m_connection = nullptr;
    qint64 m_nextId = 1;
    bool m_open = false;
    quint64 m_session = 0;
    QString m_openedServer; // name and GUID of the open server object
    bool m_inCall = false;
    wire::TFrameReader m_reader;
    std::function<void()> m_idle;
};
