#include "StandInServer.h"

#include "ServerStore.h"
#include "AdminService.h"
#include "Arguments.h"
#include "UpdateService.h"

#include "platform/types/Exception.h"
#include "remote/wire/JsonCodec.h"
#include "remote/wire/ParamsJson.h"
#include "remote/wire/SocketConnection.h"
#include "remote/wire/WireProtocol.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>
#include <QJsonDocument>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>

#include <chrono>
#include <cstdio>
#include <functional>
#include <utility>

using appserver::kPacketArg;
using appserver::Need;
using appserver::PacketText;
using appserver::ToInteger;

namespace {

qint64 SteadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The update check, answered from what the operator published (UpdateService.h).
const char* const kShellObject = TUpdateService::ObjectName;

// The methods that take a data packet (as their second argument).
bool TakesPacket(const QString& method)
{
    return method == QLatin1String("Inseri_No_Servidor") || method == QLatin1String("Exclui_No_Servidor") ||
           method == QLatin1String("LoadPacket");
}

// The same rows under a field name that no statement may take: "NAME--"
// would turn the rest of a statement into a comment.
TDataPacket HostileCopy(const TDataPacket& packet)
{
    TFieldDefs fields = packet.Fields();
    int victim = 0;
    for (int i = 0; i < fields.size(); ++i)
        if (!fields[i].InKey())
            victim = i;
    fields[victim].Name += QStringLiteral("--");
    TDataPacket copy(fields);
    QList<QVariant> row(fields.size());
    for (int r = 0; r < packet.RowCount(); ++r) {
        for (int i = 0; i < fields.size(); ++i)
            row[i] = packet.Value(r, i);
        copy.AppendRow(row);
    }
    return copy;
}

} // namespace

QString TCallRecord::Line() const
{
    return QStringLiteral("%1 %2 %3 %4 %5 -> %6 (%7 ms)")
        .arg(At.toString(Qt::ISODateWithMs), Peer, Object.isEmpty() ? QStringLiteral("-") : Object, Method,
             Table.isEmpty() ? QStringLiteral("-") : Table, Outcome)
        .arg(Ms, 0, 'f', 1);
}

QJsonObject TCallRecord::ToJson() const
{
    return QJsonObject{{"seq", Seq},         {"at", At.toString(Qt::ISODateWithMs)},
                       {"peer", Peer},       {"object", Object},
                       {"method", Method},   {"table", Table},
                       {"outcome", Outcome}, {"ms", Ms}};
}

struct TStandInServer::TSession
{
    QTcpSocket* Socket = nullptr;
    QString Peer;
    wire::TFrameReader Reader;
    QString Object;              // the server object opened, empty before "open"
    std::optional<TBook> Book;   // the catalogue object opened
    std::optional<qint32> Store; // PKFILIAL accepted by Conecta_No_Banco
    QStringList Providers;       // tables offered to it, as Get_ProvidersCount counted them
    std::function<void()> After; // work that waits until the current answer is on its way
    qint64 LastBytesAt = 0;      // SteadyMs() of the last bytes read
};

struct TStandInServer::TReply
{
    QJsonValue Value;
    QString Outcome;
    bool Drop = false;
    int StallMs = 0; // hold the answer this long (fault stall)
    std::optional<QByteArray> ValueUtf8 = std::nullopt; // a data packet's text, answered as the value instead of Value
};

TStandInServer::TStandInServer(TServerStore& store, QObject* parent)
    : QObject(parent), m_store(store), m_listener(new QTcpServer(this))
{
    m_faults.Reset(m_store.LoadFaults());
    WireListener();
}

void TStandInServer::WireListener()
{
    // A TLS connection becomes pending only once its handshake is through,
    // well after newConnection.
    if (qobject_cast<QSslServer*>(m_listener))
        connect(m_listener, &QTcpServer::pendingConnectionAvailable, this, &TStandInServer::Accept);
    else
        connect(m_listener, &QTcpServer::newConnection, this, &TStandInServer::Accept);
}

void TStandInServer::EnableTls(const QString& certificateFile, const QString& keyFile)
{
    if (!QSslSocket::supportsSsl())
        throw Exception(QStringLiteral("TLS: no TLS backend is available on this machine (OpenSSL 3 is required)"));
    const QList<QSslCertificate> chain = QSslCertificate::fromPath(certificateFile, QSsl::Pem);
    if (chain.isEmpty())
        throw Exception(QStringLiteral("TLS: cannot read a PEM certificate from %1").arg(certificateFile));
    QFile file(keyFile);
    if (!file.open(QIODevice::ReadOnly))
        throw Exception(QStringLiteral("TLS: cannot read the key file %1").arg(keyFile));
    const QByteArray pem = file.readAll();
    QSslKey key(pem, QSsl::Ec, QSsl::Pem);
    if (key.isNull())
        key = QSslKey(pem, QSsl::Rsa, QSsl::Pem);
    if (key.isNull())
        throw Exception(QStringLiteral("TLS: %1 holds no unencrypted EC or RSA private key in PEM").arg(keyFile));

    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setProtocol(QSsl::TlsV1_2OrLater);
    config.setLocalCertificateChain(chain);
    config.setPrivateKey(key);
    config.setPeerVerifyMode(QSslSocket::VerifyNone); // clients are not asked for certificates
    auto* listener = new QSslServer(this);
    listener->setSslConfiguration(config);
    // A client that never finishes its handshake is dropped like a stalled one.
    listener->setHandshakeTimeout(10000);
    connect(listener, &QSslServer::errorOccurred, this, [this](QSslSocket* socket, QAbstractSocket::SocketError) {
        Log(QStringLiteral("%1 %2:%3 TLS handshake failed: %4")
                .arg(QDateTime::currentDateTime().toString(Qt::ISODateWithMs), socket->peerAddress().toString())
                .arg(socket->peerPort())
                .arg(socket->errorString()));
    });
    delete m_listener;
    m_listener = listener;
    m_certificate = chain.first();
    WireListener();
}

TStandInServer::~TStandInServer()
{
    // Aborting a socket reports its disconnection, which would forget the
    // session under the loop: take the sessions out first.
    const auto sessions = std::move(m_sessions);
    m_sessions.clear();
    for (const auto& [socket, session] : sessions) {
        socket->disconnect(this);
        socket->abort();
    }
}

bool TStandInServer::Listen(const QHostAddress& address, quint16 port)
{
    return m_listener->listen(address, port);
}
quint16 TStandInServer::Port() const
{
    return m_listener->serverPort();
}
QString TStandInServer::ErrorString() const
{
    return m_listener->errorString();
}

bool TStandInServer::SetLogFile(const QString& path)
{
    auto file = std::make_unique<QFile>(path);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text))
        return false;
    m_logFile = std::move(file);
    return true;
}

void TStandInServer::Log(const QString& line)
{
    const QByteArray text = line.toUtf8() + '\n';
    if (!m_quiet) {
        std::fputs(text.constData(), stderr);
        std::fflush(stderr);
    }
    if (m_logFile) {
        m_logFile->write(text);
        m_logFile->flush();
    }
}

void TStandInServer::Accept()
{
    while (QTcpSocket* socket = m_listener->nextPendingConnection()) {
        auto session = std::make_unique<TSession>();
        session->Socket = socket;
        session->Peer = QStringLiteral("%1:%2").arg(socket->peerAddress().toString()).arg(socket->peerPort());
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { Receive(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] { Forget(socket); });
        Log(QStringLiteral("%1 %2 connected")
                .arg(QDateTime::currentDateTime().toString(Qt::ISODateWithMs), session->Peer));
        m_sessions.emplace(socket, std::move(session));
        // A request that came with the end of the TLS handshake is already read.
        if (socket->bytesAvailable() > 0)
            QTimer::singleShot(0, this, [this, socket = QPointer<QTcpSocket>(socket)] {
                if (socket)
                    Receive(socket);
            });
    }
}

void TStandInServer::Forget(QTcpSocket* socket)
{
    const auto it = m_sessions.find(socket);
    if (it == m_sessions.end())
        return;
    Log(QStringLiteral("%1 %2 disconnected")
            .arg(QDateTime::currentDateTime().toString(Qt::ISODateWithMs), it->second->Peer));
    m_sessions.erase(it);
    socket->deleteLater();
}

void TStandInServer::Receive(QTcpSocket* socket)
{
    const auto it = m_sessions.find(socket);
    if (it == m_sessions.end())
        return;
    TSession& session = *it->second;
    bool keep = true;
    try {
        session.Reader.Append(socket->readAll());
        session.LastBytesAt = SteadyMs();
        while (keep) {
            QElapsedTimer reading;
            reading.start();
            wire::TUtf8Strings longArgs;
            const std::optional<QJsonObject> request = session.Reader.Next(0, nullptr, &longArgs);
            if (!request)
                break;
            keep = Serve(session, *request, std::move(longArgs), reading.nsecsElapsed());
        }
    } catch (const wire::EProtocolError& e) {
        // The byte stream cannot be trusted any more: no answer, only the close.
        Record(session, QStringLiteral("(frame)"), {},
               QStringLiteral("protocol error, connection closed: ") + e.Message());
        keep = false;
    }
    if (!keep) {
        socket->abort(); // may forget the session at once; it is not touched again
        Forget(socket);
    }
}

bool TStandInServer::Serve(TSession& session, const QJsonObject& request, wire::TUtf8Strings longArgs, qint64 readNs)
{
    const qint64 id = request.value("id").toInteger();
    const QString method = request.value("method").toString();
    const QJsonValue params = request.value("params");
    QJsonObject answer; // unless the frame is written at once
    QByteArray frame;
    QString table;
    QString outcome;
    bool keep = true;
    int stallMs = 0;
    std::function<void()> after;
    QElapsedTimer clock;
    clock.start();

    if (method.isEmpty()) {
        answer = wire::Error(id, QStringLiteral("Invalid request: no method"), -32600);
        outcome = QStringLiteral("error: no method");
    } else if (method == QLatin1String("open")) {
        const QJsonObject open = params.toObject();
        const QString server = open.value("server").toString();
        const std::optional<TBook> book = BookFromName(server);
        const bool catalogue = book && BookObject(*book) == server;
        const QString refusal =
            server == QLatin1String(AdminName)
                ? AdminRefusal(session.Socket->peerAddress(), m_adminToken,
                               open.contains("token") ? std::optional(open.value("token").toString()) : std::nullopt)
                : QString();
        if (!refusal.isEmpty()) {
            // Whatever was open before is closed: a refused peer is left with nothing.
            session.Object.clear();
            session.Book.reset();
            session.Store.reset();
            answer = wire::Error(id, refusal);
            outcome = QStringLiteral("error: ") + refusal;
        } else if (catalogue || server == QLatin1String(AdminName) || server == QLatin1String(kShellObject)) {
            session.Object = server;
            session.Book = catalogue ? book : std::nullopt;
            session.Store.reset();
            session.Providers.clear();
            answer = wire::Result(id, QJsonObject());
            outcome = QStringLiteral("opened ") + server;
        } else {
            answer = wire::Error(id, QStringLiteral("Unknown server object %1").arg(server));
            outcome = QStringLiteral("error: unknown server object ") + server;
        }
    } else if (session.Object.isEmpty()) {
        answer = wire::Error(id, QStringLiteral("No server object is open; \"open\" comes first"));
        outcome = QStringLiteral("error: nothing open");
    } else if (!params.isArray()) {
        answer = wire::Error(id, QStringLiteral("Invalid request: the arguments of %1 are not an array").arg(method),
                             -32602);
        outcome = QStringLiteral("error: arguments not an array");
    } else {
        QJsonArray args = params.toArray();
        try {
            // Only a data packet is taken as bytes; any other long string is text as usual.
            for (auto it = longArgs.begin(); it != longArgs.end();) {
                if (it->first == kPacketArg && TakesPacket(method)) {
                    ++it;
                } else {
                    args[it->first] = wire::TextOfUtf8(it->second);
                    it = longArgs.erase(it);
                }
            }
            const TReply reply = Dispatch(session, method, args, longArgs, table);
            if (reply.Drop) {
                Record(session, method, table,
                       reply.Outcome.isEmpty() ? QStringLiteral("connection dropped (fault)")
                                               : reply.Outcome + QStringLiteral(", connection dropped (fault)"));
                return false;
            }
            outcome = reply.Outcome;
            stallMs = reply.StallMs;
            after = std::exchange(session.After, {}); // the work is done, whatever the answer
            // The packet is echoed, or answered, from its UTF-8 text.
            wire::TUtf8Args echo;
            for (const auto& [index, text] : longArgs)
                echo.emplace_back(index, text);
            frame = wire::EncodeResultFrame(id, reply.Value, args, echo,
                                            reply.ValueUtf8 ? std::optional<QByteArrayView>(*reply.ValueUtf8)
                                                            : std::nullopt);
        } catch (const Exception& e) {
            answer = wire::Error(id, e.Message());
            outcome = QStringLiteral("error: ") + e.Message();
        } catch (const std::exception& e) {
            answer = wire::Error(id, QString::fromLocal8Bit(e.what()));
            outcome = QStringLiteral("error: ") + QString::fromLocal8Bit(e.what());
        }
    }
    if (frame.isEmpty()) {
        try {
            frame = wire::EncodeFrame(answer);
        } catch (const wire::EProtocolError& e) {
            frame = wire::EncodeFrame(wire::Error(id, e.Message()));
            outcome = QStringLiteral("error: ") + e.Message();
        }
    }
    if (stallMs > 0) {
        // Held on a timer, not a sleep: the other connections are served
        // meanwhile. A client that hung up in between gets nothing.
        QTimer::singleShot(stallMs, this, [socket = QPointer<QTcpSocket>(session.Socket), frame] {
            if (socket && socket->state() == QAbstractSocket::ConnectedState)
                socket->write(frame);
        });
        outcome += QStringLiteral(", answer held %1 ms (fault stall)").arg(stallMs);
    } else {
        session.Socket->write(frame);
    }
    Record(session, method.isEmpty() ? QStringLiteral("(none)") : method, table, outcome,
           double(readNs + clock.nsecsElapsed()) / 1e6);
    if (after) {
        // The answer's tail goes out first, so the client does not wait for it
        // while the work runs; the client is busy with the answer meanwhile.
        QTimer::singleShot(0, this, [this, socket = QPointer<QTcpSocket>(session.Socket), after] {
            for (int i = 0; socket && TSocketConnection::Unsent(socket) > 0 && i < 100; ++i)
                socket->waitForBytesWritten(50);
            // Work between calls only; a failure shows again at the call that needs it.
            try {
                after();
            } catch (const std::exception& e) {
                Log(QStringLiteral("work after the answer failed: %1").arg(QString::fromLocal8Bit(e.what())));
            }
        });
    }
    return keep;
}

void TStandInServer::WriteJournalBetweenCalls()
{
    // A chunk per turn of the event loop: a call that comes in meanwhile is
    // answered after the chunk in hand, not after the whole journal.
    if (m_journalStepQueued)
        return;
    m_journalStepQueued = true;
    // A call on its way in goes first: its frame arrives in pieces, and a chunk
    // before each piece would add up to more than the chunk in hand.
    QTimer::singleShot(CallArriving() ? kJournalPauseMs : 0, this, [this] {
        m_journalStepQueued = false;
        if (CallArriving()) {
            WriteJournalBetweenCalls();
            return;
        }
        try {
            if (m_store.ApplyStoreLogStep())
                WriteJournalBetweenCalls();
        } catch (const std::exception& e) {
            Log(QStringLiteral("writing the packets taken failed (tried again at the next read): %1")
                    .arg(QString::fromLocal8Bit(e.what())));
        }
    });
}

bool TStandInServer::CallArriving() const
{
    const qint64 now = SteadyMs();
    for (const auto& [socket, session] : m_sessions)
        if (socket->bytesAvailable() > 0
            || (session->Reader.Buffered() > 0 && now - session->LastBytesAt < kStalledFrameMs))
            return true;
    return false;
}

void TStandInServer::Record(const TSession& session, const QString& method, const QString& table,
                            const QString& outcome, double ms)
{
    TCallRecord r{m_nextSeq++, QDateTime::currentDateTime(), session.Peer, session.Object, method, table, outcome, ms};
    Log(r.Line());
    if (session.Object == QLatin1String(AdminName) && method == QLatin1String("CallLog"))
        return; // reading the log does not fill it
    m_calls.append(std::move(r));
    if (m_calls.size() > kCallLogSize)
        m_calls.remove(0, m_calls.size() - kCallLogSize);
}

TStandInServer::TReply TStandInServer::Dispatch(TSession& session, const QString& method, QJsonArray& args,
                                                const wire::TUtf8Strings& packets, QString& table)
{
    if (session.Object == QLatin1String(AdminName))
        return AdminMethod(method, args, packets);

    // The table a call concerns, for the log and for table-bound fault switches.
    if (method == QLatin1String("ReplicaTabela"))
        table = args.at(1).toString();
    else if (method.startsWith(QLatin1String("AS_"))) {
        const TServedTable* t = session.Book ? m_store.FindProvider(*session.Book, args.at(0).toString()) : nullptr;
        table = t ? t->Table : args.at(0).toString();
    } else if (method == QLatin1String("NrRegistros_AImportar") || method == QLatin1String("Exclui_No_Servidor") ||
               method == QLatin1String("Inseri_No_Servidor") || method == QLatin1String("GetPkUltimo"))
        table = args.at(0).toString();
    table = table.toUpper();

    const std::optional<TFault> fault = m_faults.Match(method, table, [this](int id) { m_store.DeleteFault(id); });
    if (fault) {
        const QString note = QStringLiteral("fault %1").arg(FaultKindName(fault->Kind));
        switch (fault->Kind) {
        case TFaultKind::Drop: return TReply{{}, {}, true};
        case TFaultKind::Raise: throw Exception(QStringLiteral("Fault injected into %1").arg(method));
        case TFaultKind::False: return TReply{false, note};
        case TFaultKind::Minus1: return TReply{-1, note};
        case TFaultKind::Value: return TReply{fault->Value, note};
        default: break; // packet switches change what AS_GetRecords serves
        }
    }
    if (session.Object == QLatin1String(kShellObject)) {
        QString outcome;
        const QJsonValue value = TUpdateService(TUpdateService::FileFor(m_store.Path())).Serve(method, args, outcome);
        return TReply{value, outcome};
    }
    if (!session.Book)
        throw Exception(QStringLiteral("%1.%2 is not implemented yet").arg(session.Object, method));
    TReply reply = CatalogueMethod(session, *session.Book, method, args, packets, table, fault);
    // The work is done (and committed); only the answer misbehaves.
    if (fault && fault->Kind == TFaultKind::DropAfter) {
        reply.Drop = true;
        reply.Outcome = QStringLiteral("%1 (work done)").arg(reply.Outcome);
    } else if (fault && fault->Kind == TFaultKind::Stall) {
        reply.StallMs = qMax(1, fault->Value.toInt());
    }
    return reply;
}

// The three catalogue objects share their methods; where they differ it is said.
TStandInServer::TReply TStandInServer::CatalogueMethod(TSession& session, TBook book, const QString& method,
                                                       QJsonArray& args, const wire::TUtf8Strings& packets,
                                                       QString& table,
                                                       const std::optional<TFault>& fault)
{
    const bool cad = book == TBook::Cad;
    const bool movM = book == TBook::MovM;
    const auto requireAccepted = [&] {
        if (!session.Store)
            throw Exception(
                QStringLiteral("No installation accepted on this connection; Conecta_No_Banco comes first"));
    };

    if (method == QLatin1String("Conecta_No_Banco")) {
        Need(method, args, 4);
        const QString cdContrato = args[0].toString();
        const qint32 pkFilial = qint32(ToInteger(args[2], QStringLiteral("PkFilial")));
        const std::optional<TInstallation> i = m_store.FindInstallation(cdContrato, pkFilial);
        if (!i) {
            session.Store.reset();
            return TReply{false, QStringLiteral("refused: no installation %1/%2").arg(cdContrato).arg(pkFilial)};
        }
        QStringList rewritten;
        if (i->NewCdContrato)
            args[0] = *i->NewCdContrato, rewritten << QStringLiteral("CdContrato=") + *i->NewCdContrato;
        if (i->NewPkEmpresa)
            args[1] = *i->NewPkEmpresa, rewritten << QStringLiteral("PkEmpresa=%1").arg(*i->NewPkEmpresa);
        if (i->NewPkFilial)
            args[2] = *i->NewPkFilial, rewritten << QStringLiteral("PkFilial=%1").arg(*i->NewPkFilial);
        if (i->NewUF)
            args[3] = *i->NewUF, rewritten << QStringLiteral("UF=") + *i->NewUF;
        session.Store = qint32(ToInteger(args[2], QStringLiteral("PkFilial")));
        return TReply{true, rewritten.isEmpty() ? QStringLiteral("accepted")
                                                : QStringLiteral("accepted, rewrote ") + rewritten.join(u' ')};
    }
    if (method == QLatin1String("Get_ProvidersCount") || method == QLatin1String("Get_Providers")) {
        requireAccepted();
        if (method == QLatin1String("Get_ProvidersCount")) {
            session.Providers = m_store.TablesFor(book, *session.Store);
            return TReply{int(session.Providers.size()), QString::number(session.Providers.size())};
        }
        Need(method, args, 3);
        const qint64 i = ToInteger(args[0], QStringLiteral("The provider index"));
        if (i < 0 || i >= session.Providers.size())
            throw Exception(
                QStringLiteral("Provider index %1 out of range (%2 providers)").arg(i).arg(session.Providers.size()));
        const TServedTable* t = m_store.FindTable(book, session.Providers[i]);
        if (!t)
            throw Exception(QStringLiteral("Table %1 is no longer served").arg(session.Providers[i]));
        args[1] = t->Provider;
        args[2] = t->Table;
        table = t->Table;
        return TReply{true, t->Provider};
    }
    if (cad && method == QLatin1String("ReplicaTabela")) {
        Need(method, args, 2);
        const bool known = m_store.FindTable(book, table) != nullptr;
        return TReply{known, known ? QStringLiteral("true") : QStringLiteral("false (unknown table)")};
    }
    if (method == QLatin1String("NrRegistros_AImportar")) {
        // Transactions are counted without a last key.
        Need(method, args, movM ? 5 : 6);
        const TServedTable* t = m_store.FindTable(book, table);
        // Carrier tables are configured, so an unknown one is an error; master
        // data and transactions merely hold nothing for it yet.
        if (!t)
            return cad ? TReply{-1, QStringLiteral("-1 (unknown table)")}
                       : TReply{0, QStringLiteral("0 (nothing held for the table)")};
        const qint32 store = qint32(ToInteger(args[3], QStringLiteral("PkFilial")));
        const qint64 pkUltimo = movM ? 0 : ToInteger(args[5], QStringLiteral("PkUltimo"));
        const qint64 n = m_store.PendingCount(*t, store, pkUltimo);
        return TReply{n, QString::number(n)};
    }
    if (!cad && method == QLatin1String("Inseri_No_Servidor")) {
        Need(method, args, 6);
        requireAccepted();
        const QByteArray text = PacketText(args, packets);
        TDataPacket packet = TDataPacket::FromXml(text);
        const qint32 sender = qint32(ToInteger(args[4], QStringLiteral("PkFilial")));
        // Taken into the journal before the answer; written into the table
        // while the client settles its batch.
        const int n = m_store.JournalPacket(book, table, std::move(packet), text, sender);
        session.After = [this] { WriteJournalBetweenCalls(); };
        return TReply{true, QStringLiteral("stored %1 row(s)").arg(n)};
    }
    if (book == TBook::CadM && method == QLatin1String("GetPkUltimo")) {
        Need(method, args, 3);
        const TServedTable* t = m_store.FindTable(book, table);
        const qint64 last = t ? m_store.LastPageKey(*t) : 0;
        return TReply{last, QString::number(last)};
    }
    if (movM && method == QLatin1String("LimpaVariaveisItCondiVendaCompra"))
        return TReply{true, QStringLiteral("true")}; // condition items are grouped by header when served
    if (method == QLatin1String("AS_GetParams")) {
        Need(method, args, 1);
        if (!m_store.FindProvider(book, args[0].toString()))
            throw Exception(QStringLiteral("Unknown provider %1").arg(args[0].toString()));
        // The standard parameters of every provider; the client fills them by name.
        TParams params;
        params.Add(QStringLiteral("PCDCONTRATO"), TFieldType::ftString).Value = QString();
        params.Add(QStringLiteral("PPKEMPRESA"), TFieldType::ftInteger).Value = 0;
        params.Add(QStringLiteral("PPKFILIAL"), TFieldType::ftInteger).Value = 0;
        params.Add(QStringLiteral("PUF"), TFieldType::ftString).Value = QString();
        params.Add(QStringLiteral("PPKULTIMO"), TFieldType::ftInteger).Value = 0;
        return TReply{wire::ParamsToJson(params), QStringLiteral("5 parameters")};
    }
    if (method == QLatin1String("AS_GetRecords")) {
        Need(method, args, 3);
        const TServedTable* t = m_store.FindProvider(book, args[0].toString());
        if (!t)
            throw Exception(QStringLiteral("Unknown provider %1").arg(args[0].toString()));
        const qint64 count = ToInteger(args[1], QStringLiteral("The row count"));
        if (count < -1 || count > std::numeric_limits<int>::max())
            throw Exception(
                QStringLiteral("Invalid row count %1 (-1 all, 0 none, above 0 at most that many)").arg(count));
        const TParams params = wire::ParamsFromJson(args[2]);
        const TParam* filial = params.FindParam(u"PPKFILIAL");
        if (!movM && (!filial || filial->IsNull()))
            throw Exception(QStringLiteral("AS_GetRecords of %1 needs the parameter PPKFILIAL").arg(t->Provider));
        const qint32 store = filial && !filial->IsNull() ? filial->AsInteger() : 0;
        const TParam* last = params.FindParam(u"PPKULTIMO");
        const qint64 pkUltimo = last && !last->IsNull() ? last->AsInteger() : 0;
        const TFaultKind kind = fault ? fault->Kind : TFaultKind::Raise;
        const TServerStore::TServedRows served =
            m_store.ServeRows(*t, store, int(count), pkUltimo, fault && kind == TFaultKind::Repeat);
        QString outcome = QStringLiteral("%1 row(s)%2")
                              .arg(served.Packet.RowCount())
                              .arg(served.ReadAhead ? QStringLiteral(" (read ahead)") : QString());
        QByteArray text = served.Text;
        if (fault && (kind == TFaultKind::Hostile || kind == TFaultKind::Malformed)) {
            text = (kind == TFaultKind::Hostile ? HostileCopy(served.Packet) : served.Packet).ToXml();
            if (kind == TFaultKind::Malformed)
                text.truncate(text.size() / 2);
        }
        if (fault)
            outcome += QStringLiteral(" (fault %1)").arg(FaultKindName(kind));
        // The next batch is read while the client writes this one.
        if (!fault)
            session.After = [this, book, name = t->Table, store] { m_store.ReadAhead(book, name, store); };
        return TReply{{}, outcome, false, 0, std::move(text)};
    }
    if (method == QLatin1String("Exclui_No_Servidor")) {
        Need(method, args, 6);
        const TServedTable* t = m_store.FindTable(book, table);
        if (!t)
            throw Exception(QStringLiteral("Unknown table %1").arg(args[0].toString()));
        const qint32 store = qint32(ToInteger(args[4], QStringLiteral("PkFilial")));
        const TServerStore::TAcknowledged ack = m_store.Acknowledge(*t, store, PacketText(args, packets));
        return TReply{true, QStringLiteral("acknowledged %1 of %2 row(s)%3")
                                .arg(ack.Marked)
                                .arg(ack.Rows)
                                .arg(ack.Recognised ? QStringLiteral(" (the batch served)") : QString())};
    }
    throw Exception(QStringLiteral("%1 has no method %2").arg(session.Object, method));
}

TStandInServer::TReply TStandInServer::AdminMethod(const QString& method, const QJsonArray& args,
                                                   const wire::TUtf8Strings& packets)
{
    if (method == QLatin1String("CallLog")) {
        const qint64 since = args.isEmpty() ? 0 : ToInteger(args[0], QStringLiteral("The first sequence number"));
        QJsonArray list;
        for (const TCallRecord& r : m_calls)
            if (r.Seq > since)
                list.append(r.ToJson());
        return TReply{list, QString::number(list.size())};
    }
    TAdminAnswer answer = TAdminService(m_store, &m_faults).Serve(method, args, packets);
    return TReply{std::move(answer.Value), std::move(answer.Outcome), false, 0, std::move(answer.ValueUtf8)};
}
