#pragma once

// One cell of the fault matrix: a remote call of a channel and the way the
// stand-in server fails it (or a local fault), with the log steps the client
// must write for it. Free of the channel fixtures, which each define their own
// log entry and clock, so that every channel's matrix can include this.

#include "platform/types/DataPacket.h"
#include "remote/ConnectionBroker.h"
#include "remote/ServerObjects.h"
#include "remote/wire/SocketConnection.h"

#include <QJsonObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <gtest/gtest.h>

#include <ostream>
#include <string>

struct TFaultCase
{
    std::string Call;   // the remote method, or the local fault ("LocalDatabaseMissing")
    std::string Kind;   // a server fault kind, or "local"
    QString Table;      // the table the switch is bound to; empty: any
    int At = 1;         // the matching call it fires on (a later batch mid-table)
    QStringList Steps;  // log steps of the faulted run, in the order written
    std::string Role = {}; // the installation that runs into it, where the channel has two

    bool Local() const { return Kind == "local"; }
};

inline void PrintTo(const TFaultCase& c, std::ostream* os)
{
    *os << c.Role << (c.Role.empty() ? "" : " ") << c.Call << " " << c.Kind << (c.Table.isEmpty() ? "" : " " + c.Table.toStdString()) << " at " << c.At;
}

// "Exclui_No_Servidor_dropafter": the test's name in the list.
inline std::string FaultCaseName(const ::testing::TestParamInfo<TFaultCase>& info)
{
    return (info.param.Role.empty() ? "" : info.param.Role + "_") + info.param.Call + "_" + info.param.Kind;
}

// The client's call time-out in the stall cases, and how long the server holds
// the answer: well past it. The time-out holds for every call of the run, and
// under the sanitizers a busy machine takes seconds for an ordinary batch.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kCallTimeoutMs = 6000;
constexpr int kStallMs = 12000;
#else
constexpr int kCallTimeoutMs = 2000;
constexpr int kStallMs = 5000;
#endif

inline QJsonObject FaultSpec(const TFaultCase& c)
{
    QJsonObject spec{{"method", QString::fromStdString(c.Call)},
                     {"kind", QString::fromStdString(c.Kind)},
                     {"at", c.At},
                     {"once", true}};
    if (!c.Table.isEmpty())
        spec["table"] = c.Table;
    if (c.Kind == "stall")
        spec["value"] = kStallMs;
    return spec;
}

// Rows of a data packet as the values of `fields` joined by '|', as a set.
inline QSet<QString> PacketKeys(const TDataPacket& packet, const QStringList& fields)
{
    QSet<QString> keys;
    for (int r = 0; r < packet.RowCount(); ++r) {
        QStringList values;
        for (const QString& f : fields)
            values << packet.Value(r, IndexOfField(packet.Fields(), f)).toString();
        keys.insert(values.join(u'|'));
    }
    return keys;
}

// A reader's view of a catalogue object on its own connection: what the server
// still holds pending for an installation, without taking anything off.
class TServerPeek
{
public:
    TServerPeek(int port, const char* serverObject, QString cdContrato, qint32 pkFilial, QString uf)
        : m_broker(&m_socket), m_cdContrato(std::move(cdContrato)), m_pkFilial(pkFilial), m_uf(std::move(uf))
    {
        m_socket.SetHost(QStringLiteral("127.0.0.1"));
        m_socket.SetPort(port);
        m_socket.SetServerName(QString::fromLatin1(serverObject));
        m_broker.Open();
        QJsonArray args{m_cdContrato, 1, m_pkFilial, m_uf};
        if (!m_broker.Call(QStringLiteral("Conecta_No_Banco"), args).toBool())
            throw std::runtime_error("the server does not accept the peeking installation");
    }
    ~TServerPeek()
    {
        m_broker.Close();
        m_socket.Close();
    }

    // Every pending row of the provider (keys above `pkUltimo` for paged tables).
    TDataPacket Pending(const QString& provider, qint32 pkUltimo = 0)
    {
        TParams params = m_broker.AS_GetParams(provider);
        const auto set = [&](QStringView name, const QVariant& v) {
            if (TParam* p = params.FindParam(name))
                p->Value = v;
        };
        set(u"PCDCONTRATO", m_cdContrato);
        set(u"PPKEMPRESA", 1);
        set(u"PPKFILIAL", m_pkFilial);
        set(u"PUF", m_uf);
        set(u"PPKULTIMO", pkUltimo);
        return TDataPacket::FromXml(m_broker.AS_GetRecords(provider, -1, params));
    }

private:
    TSocketConnection m_socket;
    TConnectionBroker m_broker;
    QString m_cdContrato;
    qint32 m_pkFilial;
    QString m_uf;
};
