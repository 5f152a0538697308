// Test support of the stand-in server's tests: a raw wire-protocol client that
// turns the event loop while it waits, and a fixture with a server in process.
#pragma once

#include "tools/appserver/StandInServer.h"
#include "tools/appserver/ServerStore.h"

#include "platform/types/DataPacket.h"
#include "platform/types/Exception.h"
#include "remote/wire/WireProtocol.h"
#include "tests/support/TestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTcpSocket>
#include <QTimer>

#include <gtest/gtest.h>

namespace appserver_test {

inline QCoreApplication& App()
{
    static int argc = 1;
    static char name[] = "test_appserver";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

// Turns the event loop until `done` or the time is up.
template <class F> bool WaitFor(F done, int ms = 10000)
{
    App();
    QTimer tick;
    tick.start(10);
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

inline QString Message(const QJsonObject& answer)
{
    return answer["error"].toObject()["message"].toString();
}

inline TInstallation Installation(const QString& contrato, qint32 filial)
{
    TInstallation i;
    i.CdContrato = contrato;
    i.PkEmpresa = 1;
    i.PkFilial = filial;
    i.UF = "SP";
    return i;
}

class TRawClient
{
public:
    explicit TRawClient(quint16 port)
    {
        m_socket.connectToHost(QHostAddress::LocalHost, port);
        if (!WaitFor([&] { return m_socket.state() == QAbstractSocket::ConnectedState; }))
            throw std::runtime_error("cannot connect");
    }

    QJsonObject Request(const QString& method, const QJsonValue& params)
    {
        m_socket.write(wire::EncodeFrame(wire::Request(m_nextId++, method, params)));
        return Receive();
    }
    QJsonObject Open(const QString& server)
    {
        return Request("open", QJsonObject{{"server", server}, {"guid", ""}, {"protocol", 1}});
    }
    // The "result" of a method call; fails the test on an error answer.
    QJsonObject Call(const QString& method, const QJsonArray& args)
    {
        const QJsonObject answer = Request(method, args);
        EXPECT_FALSE(answer.contains("error")) << method.toStdString() << ": " << Message(answer).toStdString();
        return answer["result"].toObject();
    }
    QString ErrorOf(const QString& method, const QJsonArray& args) { return Message(Request(method, args)); }
    QJsonObject Receive()
    {
        std::optional<QJsonObject> message;
        WaitFor([&] {
            m_reader.Append(m_socket.readAll());
            message = m_reader.Next();
            return message || m_socket.state() != QAbstractSocket::ConnectedState;
        });
        if (!message)
            throw std::runtime_error("no answer");
        return *message;
    }
    void WriteRaw(const QByteArray& bytes) { m_socket.write(bytes); }
    bool WaitClosed()
    {
        return WaitFor([&] {
            m_socket.readAll();
            return m_socket.state() == QAbstractSocket::UnconnectedState;
        });
    }

private:
    QTcpSocket m_socket;
    wire::TFrameReader m_reader;
    qint64 m_nextId = 1;
};

inline QJsonArray Identity(qint32 filial, const QString& uf = "SP", const QString& contrato = "C1")
{
    return QJsonArray{contrato, 1, filial, uf};
}

inline QJsonArray Concat(QJsonArray a, const QJsonArray& b)
{
    for (const auto& v : b)
        a.append(v);
    return a;
}

inline QJsonArray Params(qint32 filial, qint64 pkUltimo = 0)
{
    const auto p = [](const char* name, const char* type, QJsonValue v) {
        return QJsonObject{{"name", name}, {"type", type}, {"value", v}};
    };
    return QJsonArray{p("PCDCONTRATO", "string", "C1"), p("PPKEMPRESA", "integer", 1),
                      p("PPKFILIAL", "integer", filial), p("PUF", "string", "SP"), p("PPKULTIMO", "integer", pkUltimo)};
}

inline TDataPacket Packet(const QString& fields, const QList<QList<QVariant>>& rows)
{
    TDataPacket p(ParseFieldList(fields));
    for (const auto& r : rows)
        p.AppendRow(r);
    return p;
}

inline TDataPacket Aliquotas(const QList<int>& keys, const QString& name = "Aliquota")
{
    QList<QList<QVariant>> rows;
    for (int k : keys)
        rows.append({k, QStringLiteral("%1 %2").arg(name).arg(k)});
    return Packet("PKALIQUOTA int K; NMALIQUOTA str 60", rows);
}

inline QList<int> Keys(const QJsonObject& result)
{
    const TDataPacket p = TDataPacket::FromXml(result["value"].toString().toUtf8());
    QList<int> keys;
    for (int r = 0; r < p.RowCount(); ++r)
        keys << p.Value(r, 0).toInt();
    return keys;
}

class StandInServerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        App();
        Start();
    }
    void Start()
    {
        m_store = std::make_unique<TServerStore>(m_dir.File("server.fdb"));
        m_server = std::make_unique<TStandInServer>(*m_store);
        m_server->SetQuiet(true);
        ASSERT_TRUE(m_server->Listen(QHostAddress::LocalHost, 0));
    }
    void Stop()
    {
        m_server.reset();
        m_store.reset();
    }
    // A client with `object` open and installation `filial` accepted.
    std::unique_ptr<TRawClient> Connect(const char* object, qint32 filial)
    {
        auto c = std::make_unique<TRawClient>(m_server->Port());
        c->Open(object);
        EXPECT_EQ(c->Call("Conecta_No_Banco", Identity(filial))["value"], true);
        return c;
    }
    std::unique_ptr<TRawClient> Store(qint32 filial) { return Connect(TStandInServer::CadServerName, filial); }
    qint64 Pending(TRawClient& c, const QString& table, qint32 filial, qint64 pkUltimo = 0)
    {
        return c.Call("NrRegistros_AImportar", Concat(QJsonArray{table}, Identity(filial)) << pkUltimo)["value"]
            .toInteger();
    }
    QJsonObject Records(TRawClient& c, const QString& provider, int count, qint32 filial, qint64 pkUltimo = 0)
    {
        return c.Call("AS_GetRecords", QJsonArray{provider, count, Params(filial, pkUltimo)});
    }
    QJsonValue Acknowledge(TRawClient& c, const QString& table, const QByteArray& packet, qint32 filial)
    {
        return c.Call("Exclui_No_Servidor",
                      Concat(QJsonArray{table, QString::fromUtf8(packet)}, Identity(filial)))["value"];
    }
    void Install(qint32 filial) { m_store->AddInstallation(Installation("C1", filial)); }

    TTempFolder m_dir;
    std::unique_ptr<TServerStore> m_store;
    std::unique_ptr<TStandInServer> m_server;
};

} // namespace appserver_test
