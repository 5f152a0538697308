#pragma once

#include "platform/data/AppServer.h"

#include <QJsonArray>
#include <QJsonValue>
#include <QString>

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

    // Calls a method of the server object with all its arguments in order. On
    // return `args` holds the final value of every argument as the server sent
    // it; the result is the method's value. Raises Exception on an error answer
    // (its message), a lost connection, a time-out or a malformed frame; the
    // connection is closed after a transport failure.
    QJsonValue Call(const QString& method, QJsonArray& args);

    // IAppServer: the remote providers of the server object.
    TParams AS_GetParams(const QString& providerName) override;
    QByteArray AS_GetRecords(const QString& providerName, int count, const TParams& params) override;

private:
    QJsonObject Exchange(const QString& method, const QJsonValue& params);

    TSocketConnection* m_connection = nullptr;
    qint64 m_nextId = 1;
    bool m_open = false;
};
