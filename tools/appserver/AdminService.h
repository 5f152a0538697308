#pragma once

#include "remote/wire/WireProtocol.h"

#include <QHostAddress>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QStringList>

#include <optional>

class TFaultBook;
class TServerStore;

// One answer of the operator's controls: its value (a data packet as UTF-8
// text instead, when ValueUtf8 is set) and the text the call log shows.
struct TAdminAnswer
{
    QJsonValue Value;
    QString Outcome;
    std::optional<QByteArray> ValueUtf8 = std::nullopt;
};

// The operator's controls over the server's data: the object
// "KeltAppServer.Admin" of a running server and the admin commands on a
// stopped one answer through the same methods, so both say the same.
class TAdminService
{
public:
    static constexpr const char* ObjectName = "KeltAppServer.Admin";

    // `liveFaults`: the switches in force in a running server, kept in step
    // with the database; null for a stopped one.
    TAdminService(TServerStore& store, TFaultBook* liveFaults) : m_store(store), m_liveFaults(liveFaults) {}

    // Raises Exception for an unknown method, missing arguments or a request
    // the store refuses. `packets`: long packet arguments taken as UTF-8.
    TAdminAnswer Serve(const QString& method, const QJsonArray& args, const wire::TUtf8Strings& packets = {});

    // The lines of the answer of "Status", as the admin command prints them.
    static QStringList StatusLines(const QJsonObject& status);
    // "fault ID {...}" of one entry of the answer of "Faults".
    static QString FaultLine(const QJsonObject& fault);

private:
    QJsonObject Status();

    TServerStore& m_store;
    TFaultBook* m_liveFaults;
};

// Whether a peer may open the admin object: empty when it may, else the
// refusal. Loopback peers may without a token; any other only with the token
// the server was started with. A token given must be the right one, wherever
// it comes from.
QString AdminRefusal(const QHostAddress& peer, const QString& serverToken, const std::optional<QString>& givenToken);
