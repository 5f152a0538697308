#include "ConnectionBroker.h"

#include "remote/wire/ParamsJson.h"
#include "remote/wire/SocketConnection.h"

#include <QTcpSocket>

namespace {

// Waiting happens in slices this long so that the idle hook keeps the window
// responsive while a long answer (a large batch) is on its way.
constexpr int kWaitSliceMs = 50;

// The next wait: a slice, or what is left of the call's time when less.
int Slice(const QDeadlineTimer& deadline)
{
    const qint64 left = deadline.remainingTime();
    return left < 0 ? kWaitSliceMs : int(qMin<qint64>(kWaitSliceMs, left));
}

const QString kOpenMethod = QStringLiteral("open");
constexpr int kProtocolVersion = 1;

// Clears a flag when the scope ends, however it ends.
class TFlagGuard
{
public:
    explicit TFlagGuard(bool& flag) : m_flag(flag) { m_flag = true; }
    ~TFlagGuard() { m_flag = false; }
    TFlagGuard(const TFlagGuard&) = delete;
    TFlagGuard& operator=(const TFlagGuard&) = delete;

private:
    bool& m_flag;
};

QString IdText(const QJsonValue& id)
{
    if (id.isUndefined())
        return QStringLiteral("no id");
    if (id.isDouble())
        return QStringLiteral("id %1").arg(id.toInteger());
    return QStringLiteral("id %1").arg(id.isString() ? id.toString() : QStringLiteral("null"));
}

} // namespace

TConnectionBroker::TConnectionBroker(TSocketConnection* connection) : m_connection(connection) {}

// The connection is borrowed and may already be gone when the broker goes, so
// the destructor leaves it alone: the connection closes its own socket.
TConnectionBroker::~TConnectionBroker() = default;

void TConnectionBroker::Open()
{
    if (!m_connection)
        throw Exception(QStringLiteral("The connection broker has no socket connection"));
    // Renaming the server object while connected takes effect on the next open.
    const QString server = m_connection->ServerName() + QLatin1Char('|') + m_connection->ServerGUID();
    if (Connected() && server == m_openedServer)
        return;
    Close();
    m_connection->Open();
    m_session = m_connection->Session();
    try {
        Exchange(kOpenMethod, QJsonObject{{QStringLiteral("server"), m_connection->ServerName()},
                                          {QStringLiteral("guid"), m_connection->ServerGUID()},
                                          {QStringLiteral("protocol"), kProtocolVersion}});
    } catch (const wire::EProtocolError& e) {
        Close();
        // A server that serves TLS drops a plain connection at its first frame.
        if (m_connection->Tls().Enabled)
            throw;
        throw wire::EProtocolError(e.Message() + QStringLiteral(" (if the server serves TLS, set TLS=1 in Config.ini)"));
    } catch (...) {
        Close();
        throw;
    }
    m_open = true;
    m_openedServer = server;
}

void TConnectionBroker::Close()
{
    m_open = false;
    m_reader = wire::TFrameReader();
    if (m_connection)
        m_connection->Close();
}

bool TConnectionBroker::Connected() const { return m_open && LiveSocket() != nullptr; }

QTcpSocket* TConnectionBroker::LiveSocket() const
{
    if (!m_connection || m_connection->Session() != m_session || !m_connection->Connected())
        return nullptr;
    return m_connection->Socket();
}

void TConnectionBroker::CloseTransport()
{
    m_open = false;
    m_reader = wire::TFrameReader();
    if (m_connection && m_connection->Session() == m_session)
        m_connection->Close();
}

QJsonValue TConnectionBroker::Call(const QString& method, QJsonArray& args, quint64 unusedArgs,
                                   std::optional<QByteArray>* valueUtf8, const wire::TUtf8Args& utf8Args)
{
    if (!m_open)
        throw Exception(QStringLiteral("Not connected to the application server: cannot call %1").arg(method));
    const QJsonObject result = Exchange(method, args, unusedArgs, valueUtf8, utf8Args);
    const QJsonValue sent = result.value(QStringLiteral("args"));
    if (!sent.isArray())
        throw wire::EProtocolError(QStringLiteral("The answer of %1 carries no argument list").arg(method));
    const QJsonArray back = sent.toArray();
    if (back.size() != args.size())
        throw wire::EProtocolError(QStringLiteral("The answer of %1 carries %2 arguments; %3 were sent")
                                       .arg(method)
                                       .arg(back.size())
                                       .arg(args.size()));
    args = back;
    // A method without a value (a procedure) may leave it out.
    const QJsonValue value = result.value(QStringLiteral("value"));
    return value.isUndefined() ? QJsonValue(QJsonValue::Null) : value;
}

QJsonObject TConnectionBroker::Exchange(const QString& method, const QJsonValue& params, quint64 unusedArgs,
                                        std::optional<QByteArray>* valueUtf8, const wire::TUtf8Args& utf8Args)
{
    if (m_inCall)
        throw Exception(QStringLiteral("Cannot call %1 while another call waits for its answer").arg(method));
    QTcpSocket* socket = LiveSocket();
    if (!socket) {
        const QString where = m_connection ? m_connection->EndpointText() : QStringLiteral("the application server");
        CloseTransport();
        throw Exception(QStringLiteral("Not connected to %1: cannot call %2").arg(where, method));
    }
    TFlagGuard inCall(m_inCall);
    const qint64 id = m_nextId++;
    // A request too large for a frame raises here, before anything is sent.
    const QByteArray frame = utf8Args.empty() ? wire::EncodeFrame(wire::Request(id, method, params))
                                              : wire::EncodeRequestFrame(id, method, params.toArray(), utf8Args);

    QJsonObject answer;
    const QDeadlineTimer deadline(m_connection->CallTimeout());
    try {
        Transmit(socket, frame, method, deadline);
        answer = Receive(method, deadline, unusedArgs, valueUtf8);
        const QJsonValue answerId = answer.value(QStringLiteral("id"));
        if (!answerId.isDouble() || answerId.toInteger(-1) != id) {
            const QString text = answer.value(QStringLiteral("error")).toObject().value(QStringLiteral("message")).toString();
            throw wire::EProtocolError(QStringLiteral("The answer from %1 carries %2 where %3 (%4) was expected%5")
                                           .arg(m_connection->EndpointText(), IdText(answerId))
                                           .arg(QStringLiteral("id %1").arg(id), method,
                                                text.isEmpty() ? QString() : QStringLiteral(": ") + text));
        }
    } catch (...) {
        // The stream is no longer in step with the requests: nothing after this
        // point could be trusted, so the connection goes.
        CloseTransport();
        throw;
    }

    // The answer is in step; what follows is about its content and leaves the
    // connection usable.
    if (answer.contains(QStringLiteral("error"))) {
        const QJsonObject error = answer.value(QStringLiteral("error")).toObject();
        QString text = error.value(QStringLiteral("message")).toString();
        if (text.isEmpty())
            text = QStringLiteral("The application server failed %1 with error %2 and no message")
                       .arg(method)
                       .arg(error.value(QStringLiteral("code")).toInteger());
        throw Exception(text);
    }
    const QJsonValue result = answer.value(QStringLiteral("result"));
    if (!result.isObject())
        throw wire::EProtocolError(
            QStringLiteral("The answer of %1 from %2 has no result object").arg(method, m_connection->EndpointText()));
    return result.toObject();
}

void TConnectionBroker::Transmit(QTcpSocket* socket, const QByteArray& frame, const QString& method,
                                 const QDeadlineTimer& deadline)
{
    if (socket->write(frame) != frame.size())
        throw wire::EProtocolError(QStringLiteral("Cannot send %1 to %2: %3")
                                       .arg(method, m_connection->EndpointText(), socket->errorString()));
    while (TSocketConnection::Unsent(socket) > 0) {
        if (deadline.hasExpired())
            throw wire::EProtocolError(QStringLiteral("Timeout sending %1 to %2 after %3 ms")
                                           .arg(method, m_connection->EndpointText())
                                           .arg(m_connection->CallTimeout()));
        socket->waitForBytesWritten(Slice(deadline));
        if (socket->state() != QAbstractSocket::ConnectedState)
            throw wire::EProtocolError(QStringLiteral("Connection to %1 lost while sending %2")
                                           .arg(m_connection->EndpointText(), method));
        if (m_idle) {
            m_idle();
            if (LiveSocket() != socket)
                throw wire::EProtocolError(QStringLiteral("Connection to %1 closed while sending %2")
                                               .arg(m_connection->EndpointText(), method));
        }
    }
}

QJsonObject TConnectionBroker::Receive(const QString& method, const QDeadlineTimer& deadline, quint64 unusedArgs,
                                       std::optional<QByteArray>* valueUtf8)
{
    QDeadlineTimer nextIdle(kWaitSliceMs);
    for (;;) {
        if (auto message = m_reader.Next(unusedArgs, valueUtf8))
            return *message;
        // The idle hook may have closed the connection or opened another one.
        QTcpSocket* socket = m_connection && m_connection->Session() == m_session ? m_connection->Socket() : nullptr;
        if (!socket)
            throw wire::EProtocolError(QStringLiteral("Connection to %1 closed while waiting for the answer of %2")
                                           .arg(m_connection ? m_connection->EndpointText() : QString(), method));
        if (socket->bytesAvailable() > 0) {
            m_reader.Append(socket->readAll());
            continue;
        }
        if (socket->state() != QAbstractSocket::ConnectedState) {
            const qsizetype partial = m_reader.Buffered();
            throw wire::EProtocolError(
                QStringLiteral("Connection to %1 lost during %2%3")
                    .arg(m_connection->EndpointText(), method,
                         partial > 0 ? QStringLiteral(" (after %1 bytes of an incomplete answer)").arg(partial)
                                     : QString()));
        }
        if (deadline.hasExpired())
            throw wire::EProtocolError(QStringLiteral("Timeout waiting for the answer of %1 from %2 after %3 ms")
                                           .arg(method, m_connection->EndpointText())
                                           .arg(m_connection->CallTimeout()));
        socket->waitForReadyRead(Slice(deadline));
        // While a large answer streams in, the hook still runs about once a slice.
        if (m_idle && nextIdle.hasExpired()) {
            m_idle();
            nextIdle.setRemainingTime(kWaitSliceMs);
        }
    }
}

TParams TConnectionBroker::AS_GetParams(const QString& providerName)
{
    QJsonArray args{providerName};
    return wire::ParamsFromJson(Call(QStringLiteral("AS_GetParams"), args));
}

QByteArray TConnectionBroker::AS_GetRecords(const QString& providerName, int count, const TParams& params)
{
    QJsonArray args{providerName, count, wire::ParamsToJson(params)};
    std::optional<QByteArray> packet;
    Call(QStringLiteral("AS_GetRecords"), args, 0, &packet);
    if (!packet)
        throw wire::EProtocolError(
            QStringLiteral("The answer of AS_GetRecords for %1 is not a data packet text").arg(providerName));
    return *std::move(packet);
}
