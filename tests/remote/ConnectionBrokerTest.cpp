#include "TestPeer.h"

#include "remote/ConnectionBroker.h"
#include "remote/ServerObjects.h"
#include "remote/wire/SocketConnection.h"

#include "platform/data/ClientDataSet.h"

#include <QElapsedTimer>
#include <QJsonDocument>

#include <gtest/gtest.h>


using wire::EProtocolError;

namespace {

const QString kCad = QString::fromLatin1(TKeltCadServer::ServerName);

// A connection to the peer's port, named after the store-carrier server object.
struct TClient
{
    explicit TClient(quint16 port, int callTimeout = 5000)
    {
        connection.SetPort(port);
        connection.SetServerName(kCad);
        connection.SetConnectTimeout(5000);
        connection.SetCallTimeout(callTimeout);
    }
    TSocketConnection connection;
    TConnectionBroker broker{&connection};
};

// Runs `call`, expecting Exception whose message contains every fragment.
template <class F>
void ExpectRaises(F&& call, std::initializer_list<QString> fragments)
{
    try {
        call();
        ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
        for (const QString& f : fragments)
            EXPECT_TRUE(e.Message().contains(f)) << e.what() << " lacks " << f.toStdString();
    }
}

quint16 ClosedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

} // namespace

TEST(SocketConnection, EndpointRules)
{
    TSocketConnection c;
    EXPECT_EQ(c.Address(), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(c.EffectiveEndpoint(), QStringLiteral("127.0.0.1"));
    c.SetHost(QString()); // an empty host before any other keeps the address
    EXPECT_EQ(c.EffectiveEndpoint(), QStringLiteral("127.0.0.1"));
    c.SetHost(QStringLiteral("matriz.local"));
    EXPECT_TRUE(c.Address().isEmpty());
    EXPECT_EQ(c.EffectiveEndpoint(), QStringLiteral("matriz.local"));
    c.SetHost(QString());
    ExpectRaises([&] { c.EffectiveEndpoint(); }, {QStringLiteral("No address specified")});

    // The broker surfaces the same failure and stays closed.
    TConnectionBroker broker(&c);
    try {
        broker.Open();
        FAIL();
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("No address specified"));
    }
    EXPECT_FALSE(broker.Connected());

    c.SetServerGUID(QStringLiteral("{FBCB2217-6183-4530-A946-3874E1AFEBF1}"));
    c.SetServerName(kCad);
    EXPECT_TRUE(c.ServerGUID().isEmpty());
}

TEST(SocketConnection, FingerprintIsSixtyFourHexDigitsWithOptionalSeparators)
{
    const QByteArray pin = QByteArray::fromHex("00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff");
    for (const QString& text :
         {QStringLiteral("00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff"),
          QStringLiteral("00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF:00:11:22:33:44:55:66:77:88:99:aa:bb:cc:dd:ee:ff"),
          QStringLiteral(" 0011 2233 4455 6677 8899 aabb ccdd eeff 0011 2233 4455 6677 8899 aabb ccdd eeff ")})
        EXPECT_EQ(TSocketConnection::ParseFingerprint(text), pin) << qPrintable(text);
    // Short, long, not hex, or base64: no pin at all rather than a wrong one.
    for (const QString& text : {QStringLiteral("00112233"), QStringLiteral("00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff00"),
                                QStringLiteral("g0112233445566778899aabbccddeeff00112233445566778899aabbccddeeff"),
                                QStringLiteral("ABEiM0RVZneImaq7zN3u/wARIjNEVWZ3iJmqu8zd7v8=")})
        EXPECT_TRUE(TSocketConnection::ParseFingerprint(text).isEmpty()) << qPrintable(text);
    EXPECT_EQ(TSocketConnection::PinText(pin.left(3)), QStringLiteral("00:11:22"));
}

TEST(ConnectionBroker, RefusedConnectionAndPortZeroRaiseClearly)
{
    TClient client(ClosedPort());
    ExpectRaises([&] { client.broker.Open(); },
                 {QStringLiteral("Cannot connect to 127.0.0.1:%1").arg(client.connection.Port()), QStringLiteral("refused")});
    EXPECT_FALSE(client.broker.Connected());
    client.connection.SetPort(0);
    ExpectRaises([&] { client.broker.Open(); }, {QStringLiteral("127.0.0.1:0"), QStringLiteral("invalid port")});
    QJsonArray none;
    ExpectRaises([&] { client.broker.Call(QStringLiteral("Get_ProvidersCount"), none); },
                 {QStringLiteral("Not connected"), QStringLiteral("Get_ProvidersCount")});
}

TEST(ConnectionBroker, UnknownServerObjectAndErrorAnswersRaiseTheServersMessage)
{
    {
        TPeer peer([](TPeerSession& s) {
            s.Read();
            s.ReplyError(QStringLiteral("Unknown server object Nada.coNada"));
            s.WaitForClose();
        });
        TClient client(peer.Port());
        client.connection.SetServerName(QStringLiteral("Nada.coNada"));
        try {
            client.broker.Open();
            FAIL();
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), QStringLiteral("Unknown server object Nada.coNada"));
        }
        EXPECT_FALSE(client.broker.Connected());
        EXPECT_FALSE(client.connection.Connected());
    }
    // An error answer to a method leaves the connection usable.
    TPeer peer([](TPeerSession& s) {
        s.AcceptOpen();
        s.Read();
        s.ReplyError(QStringLiteral("Tabela TBXYZ inexistente"));
        s.Read();
        s.ReplyValue(5, QJsonArray{});
        s.WaitForClose();
    });
    TClient client(peer.Port());
    client.broker.Open();
    TKeltCadServer server(client.broker);
    ExpectRaises([&] { server.Get_ProvidersCount(); }, {QStringLiteral("Tabela TBXYZ inexistente")});
    EXPECT_TRUE(client.broker.Connected());
    EXPECT_EQ(server.Get_ProvidersCount(), 5);
}

TEST(ServerObjects, OpenTheNamedObjectSendArgumentsInOrderAndWriteBackThoseByReference)
{
    QJsonObject open;
    std::vector<QJsonObject> seen;
    TPeer peer([&](TPeerSession& s) {
        open = s.AcceptOpen();
        Serve(s, [&](const QString& method, const QJsonValue& p) {
            QJsonArray a = p.toArray();
            seen.push_back(QJsonObject{{QStringLiteral("method"), method}, {QStringLiteral("params"), a}});
            if (method == QLatin1String("Conecta_No_Banco")) {
                a[1] = 9;                       // PkEmpresa
                a[3] = QStringLiteral("PR");    // UF
                s.ReplyValue(true, a);
            } else if (method == QLatin1String("Get_Providers")) {
                a[1] = QStringLiteral("DspAliquota");
                a[2] = QStringLiteral("tbaliquota");
                s.ReplyValue(QJsonValue::Null, a);
            } else if (method == QLatin1String("NrRegistros_AImportar")) {
                a[1] = QStringLiteral("C-2"); // the table (index 0) is not by reference
                a[0] = QStringLiteral("OUTRA");
                a[5] = 1234;
                s.ReplyValue(3, a);
            } else if (method == QLatin1String("Exclui_No_Servidor")) {
                a[0] = QStringLiteral("TBALIQUOTA");
                s.ReplyValue(true, a);
            } else if (method == QLatin1String("GetPkUltimo")) {
                a[1] = QStringLiteral("C-3");
                s.ReplyValue(777, a);
            } else {
                s.ReplyError(QStringLiteral("no such method ") + method);
            }
        });
    });
    TClient client(peer.Port());
    client.broker.Open();
    EXPECT_TRUE(client.broker.Connected());
    client.broker.Open(); // already open: no second open request

    QString contrato = QStringLiteral("C-1"), uf = QStringLiteral("SP");
    qint32 empresa = 1, filial = 2, ultimo = 0;
    TIdentityRef identity{contrato, empresa, filial, uf};
    TKeltCadServer cad(client.broker);
    EXPECT_TRUE(cad.Conecta_No_Banco(identity));
    EXPECT_EQ(empresa, 9);
    EXPECT_EQ(uf, QStringLiteral("PR"));
    EXPECT_EQ(filial, 2);

    QString provider, table;
    cad.Get_Providers(4, provider, table);
    EXPECT_EQ(provider, QStringLiteral("DspAliquota"));
    EXPECT_EQ(table, QStringLiteral("tbaliquota"));

    const QString current = QStringLiteral("TBALIQUOTA");
    EXPECT_EQ(cad.NrRegistros_AImportar(current, identity, ultimo), 3);
    EXPECT_EQ(contrato, QStringLiteral("C-2"));
    EXPECT_EQ(ultimo, 1234);

    QString acked = QStringLiteral("tbaliquota");
    EXPECT_TRUE(cad.Exclui_No_Servidor(acked, QByteArray("<DATAPACKET Version=\"2.0\">ç</DATAPACKET>"), identity));
    EXPECT_EQ(acked, QStringLiteral("TBALIQUOTA"));

    TKeltCadMServer cadm(client.broker);
    EXPECT_EQ(cadm.GetPkUltimo(current, contrato), 777);
    EXPECT_EQ(contrato, QStringLiteral("C-3"));
    client.broker.Close();
    EXPECT_FALSE(client.connection.Connected());
    peer.Join();

    EXPECT_EQ(open.value(QStringLiteral("server")).toString(), kCad);
    EXPECT_EQ(open.value(QStringLiteral("guid")).toString(), QString());
    EXPECT_EQ(open.value(QStringLiteral("protocol")).toInt(), 1);
    ASSERT_EQ(seen.size(), 5u);
    const auto params = [&](int i) { return QJsonDocument(seen[i][QStringLiteral("params")].toArray()).toJson(QJsonDocument::Compact); };
    EXPECT_EQ(params(0), QByteArray(R"(["C-1",1,2,"SP"])"));
    EXPECT_EQ(params(1), QByteArray(R"([4,"",""])"));
    EXPECT_EQ(params(2), QByteArray(R"(["TBALIQUOTA","C-1",9,2,"PR",0])"));
    EXPECT_EQ(params(3), QByteArray(R"(["tbaliquota","<DATAPACKET Version=\"2.0\">ç</DATAPACKET>","C-2",9,2,"PR"])"));
    EXPECT_EQ(params(4), QByteArray(R"(["TBALIQUOTA","C-2",false])"));
}

TEST(ServerObjects, OnlyJsonTrueIsSuccessAndOnlyWholeNumbersAreCounts)
{
    const QJsonArray answers{1, QStringLiteral("true"), QJsonValue::Null, false, QJsonObject{}, true};
    const QJsonArray counts{2.5, QStringLiteral("7"), 3.0e10, QJsonValue::Null, true, 42, 0, -7};
    TPeer peer([&](TPeerSession& s) {
        s.AcceptOpen();
        int b = 0, n = 0;
        Serve(s, [&](const QString& method, const QJsonValue& p) {
            if (method == QLatin1String("ReplicaTabela"))
                s.ReplyValue(answers[b++], p.toArray());
            else
                s.ReplyValue(counts[n++], p.toArray());
        });
    });
    TClient client(peer.Port());
    client.broker.Open();
    TKeltCadServer cad(client.broker);
    qint32 empresa = 1;
    for (int i = 0; i < answers.size(); ++i)
        EXPECT_EQ(cad.ReplicaTabela(empresa, QStringLiteral("TBX")), i == answers.size() - 1) << i;
    std::vector<qint32> got;
    for (int i = 0; i < counts.size(); ++i)
        got.push_back(cad.Get_ProvidersCount());
    EXPECT_EQ(got, (std::vector<qint32>{-1, -1, -1, -1, -1, 42, 0, -7}));
}

TEST(ServerObjects, ArgumentsOfTheWrongKindWriteNothingBack)
{
    TPeer peer([](TPeerSession& s) {
        s.AcceptOpen();
        auto m = s.Read();
        QJsonArray a = m->value(QStringLiteral("params")).toArray();
        a[0] = QStringLiteral("C-9");
        a[3] = 12; // UF as a number
        s.ReplyValue(true, a);
        s.Read();
        s.ReplyValue(true, QJsonArray{QStringLiteral("C-9")}); // too few arguments
        s.Read();
        a = QJsonArray{QStringLiteral("C-9"), 1.5, 2, QStringLiteral("SP")}; // PkEmpresa not whole
        s.ReplyValue(true, a);
        s.WaitForClose();
    });
    TClient client(peer.Port());
    client.broker.Open();
    QString contrato = QStringLiteral("C-1"), uf = QStringLiteral("SP");
    qint32 empresa = 1, filial = 2;
    TKeltMovMServer mov(client.broker);
    ExpectRaises([&] { mov.Conecta_No_Banco({contrato, empresa, filial, uf}); },
                 {QStringLiteral("Argument 4 of Conecta_No_Banco"), QStringLiteral("string")});
    ExpectRaises([&] { mov.Conecta_No_Banco({contrato, empresa, filial, uf}); },
                 {QStringLiteral("1 arguments; 4 were sent")});
    ExpectRaises([&] { mov.Conecta_No_Banco({contrato, empresa, filial, uf}); },
                 {QStringLiteral("Argument 2"), QStringLiteral("integer")});
    EXPECT_EQ(contrato, QStringLiteral("C-1"));
    EXPECT_EQ(empresa, 1);
    EXPECT_EQ(uf, QStringLiteral("SP"));
}

TEST(ConnectionBroker, BrokenStreamsRaiseAndCloseTheConnection)
{
    struct TCase
    {
        const char* name;
        std::function<void(TPeerSession&)> answer;
        QString expected;
    };
    const std::vector<TCase> cases{
        {"oversized prefix", [](TPeerSession& s) { s.SendRaw(QByteArray("\x7f\xff\xff\xff", 4)); },
         QStringLiteral("exceeds the limit")},
        {"truncated frame, then disconnect",
         [](TPeerSession& s) { s.SendRaw(wire::EncodeFrame(wire::Result(2, QJsonObject{})).left(9)); },
         QStringLiteral("lost during Get_ProvidersCount (after 9 bytes of an incomplete answer)")},
        {"garbage", [](TPeerSession& s) { s.SendRaw(QByteArray("\0\0\0\x05hello", 9)); },
         QStringLiteral("Malformed message")},
        {"another id", [](TPeerSession& s) { s.Send(wire::Result(99, wire::MethodResult(1, {}))); },
         QStringLiteral("carries id 99 where id 2 (Get_ProvidersCount) was expected")},
        {"silent disconnect", [](TPeerSession&) {},
         QStringLiteral("Connection to 127.0.0.1:%1 lost during Get_ProvidersCount")},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        TPeer peer([&](TPeerSession& s) {
            s.AcceptOpen();
            s.Read();
            c.answer(s);
        });
        TClient client(peer.Port());
        client.broker.Open();
        TKeltCadServer cad(client.broker);
        try {
            cad.Get_ProvidersCount();
            ADD_FAILURE() << "no exception";
        } catch (const EProtocolError& e) {
            const QString expected = c.expected.contains(QLatin1String("%1")) ? c.expected.arg(peer.Port()) : c.expected;
            EXPECT_TRUE(e.Message().contains(expected)) << e.what();
        }
        EXPECT_FALSE(client.broker.Connected());
        EXPECT_FALSE(client.connection.Connected());
        ExpectRaises([&] { cad.Get_ProvidersCount(); }, {QStringLiteral("Not connected")});
    }
}

TEST(ConnectionBroker, TimesOutKeepingTheIdleHookRunning)
{
    TPeer peer([](TPeerSession& s) {
        s.AcceptOpen();
        s.Read();
        s.WaitForClose(); // never answers
    });
    TClient client(peer.Port(), 300);
    client.broker.Open();
    int idle = 0;
    QString nested;
    client.broker.SetIdleHook([&] {
        ++idle;
        if (nested.isEmpty()) {
            // A window message that tries another call while one waits.
            QJsonArray none;
            try {
                client.broker.Call(QStringLiteral("Get_ProvidersCount"), none);
            } catch (const Exception& e) {
                nested = e.Message();
            }
        }
    });
    TKeltInternoServer interno(client.broker);
    QElapsedTimer clock;
    clock.start();
    ExpectRaises([&] { interno.ProcuraAtualizacao(QStringLiteral("keltappclient_paf.exe"), QStringLiteral("1.0.0.0")); },
                 {QStringLiteral("Timeout waiting for the answer of ProcuraAtualizacao from 127.0.0.1:%1 after 300 ms")
                      .arg(peer.Port())});
    EXPECT_GE(clock.elapsed(), 290);
    EXPECT_LT(clock.elapsed(), 3000);
    EXPECT_GE(idle, 3);
    EXPECT_TRUE(nested.contains(QStringLiteral("another call waits"))) << nested.toStdString();
    EXPECT_FALSE(client.broker.Connected());
}

TEST(ConnectionBroker, RemoteProvidersFillAClientDataSet)
{
    const QByteArray packet = R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<DATAPACKET Version="2.0"><METADATA><FIELDS>
<FIELD attrname="PKALIQUOTA" fieldtype="i4" required="true"><PARAM Name="PROVFLAGS" Value="7" Type="i4"/></FIELD>
<FIELD attrname="NMALIQUOTA" fieldtype="string" WIDTH="60"/>
</FIELDS><PARAMS/></METADATA><ROWDATA>
<ROW PKALIQUOTA="1" NMALIQUOTA="Isenção"/><ROW PKALIQUOTA="2" NMALIQUOTA="Reduzida"/>
</ROWDATA></DATAPACKET>)";
    QJsonArray recordsArgs;
    TPeer peer([&](TPeerSession& s) {
        s.AcceptOpen();
        Serve(s, [&](const QString& method, const QJsonValue& p) {
            const QJsonArray a = p.toArray();
            if (method == QLatin1String("AS_GetParams") && a[0] == QStringLiteral("DspAliquota")) {
                s.ReplyValue(QJsonArray{QJsonObject{{"name", "PCDCONTRATO"}, {"type", "string"}, {"value", QJsonValue::Null}},
                                        QJsonObject{{"name", "PPKULTIMO"}, {"type", "integer"}, {"value", 0}}},
                             a);
            } else if (method == QLatin1String("AS_GetParams")) {
                s.ReplyValue(QJsonArray{QJsonObject{{"name", "PX"}, {"type", "money"}, {"value", 1}}}, a);
            } else if (method == QLatin1String("AS_GetRecords")) {
                recordsArgs = a;
                s.ReplyValue(QString::fromUtf8(packet), a);
            }
        });
    });
    TClient client(peer.Port());
    client.broker.Open();
    TClientDataSet cds;
    cds.SetRemoteServer(&client.broker);
    cds.SetProviderName(QStringLiteral("DspAliquota"));
    cds.SetPacketRecords(1000);
    cds.SetFetchOnDemand(false);
    cds.FetchParams();
    ASSERT_EQ(cds.Params().Count(), 2);
    EXPECT_EQ(cds.Params()[1].DataType, TFieldType::ftInteger);
    cds.Params().ParamByName(u"PCDCONTRATO").SetAsString(QStringLiteral("C-1"));
    cds.Params().ParamByName(u"PPKULTIMO").SetAsInteger(99);
    cds.Open();
    EXPECT_EQ(cds.RecordCount(), 2);
    EXPECT_TRUE(cds.FieldByName(u"PKALIQUOTA").Def().InKey());
    EXPECT_EQ(cds.FieldByName(u"NMALIQUOTA").AsString(), QStringLiteral("Isenção"));

    cds.Close();
    cds.SetProviderName(QStringLiteral("DspRuim"));
    ExpectRaises([&] { cds.FetchParams(); }, {QStringLiteral("PX"), QStringLiteral("money")});
    EXPECT_TRUE(client.broker.Connected());
    client.broker.Close();
    peer.Join();

    EXPECT_EQ(QJsonDocument(recordsArgs).toJson(QJsonDocument::Compact),
              QByteArray(R"(["DspAliquota",1000,[{"name":"PCDCONTRATO","type":"string","value":"C-1"},)"
                         R"({"name":"PPKULTIMO","type":"integer","value":99}]])"));
}
