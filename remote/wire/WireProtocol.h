#pragma once

#include "platform/types/Exception.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QJsonObject>
#include <QJsonArray>
#include <QJsonValue>
#include <QString>

#include <map>
#include <optional>
#include <utility>
#include <vector>

// The wire protocol between the client and the application servers (docs/remote-protocol.md):
// frames of a 4-byte unsigned big-endian length and that many bytes of UTF-8 JSON,
// carrying JSON-RPC 2.0 messages, one request in flight at a time. Shared by the
// client's broker and the stand-in server.
namespace wire {

// A frame longer than this is a protocol error and closes the connection.
inline constexpr quint32 kMaxFrameSize = 256u * 1024u * 1024u;

// The one error code of application errors in answers.
inline constexpr int kServerErrorCode = -32000;

// A broken frame, a message that is not a JSON-RPC object, a lost connection or a
// time-out.
class EProtocolError : public Exception
{
public:
    using Exception::Exception;
};

// The length prefix and the compact JSON text of one message.
QByteArray EncodeFrame(const QJsonObject& message);

// Arguments given as UTF-8 text, by their index in the argument list.
using TUtf8Args = std::vector<std::pair<qsizetype, QByteArrayView>>;
// The same, held: strings taken from a message as UTF-8 bytes.
using TUtf8Strings = std::map<qsizetype, QByteArray>;

// The frame of Request(id, method, params), but with the arguments of
// `utf8Args` written from their UTF-8 text (their places in `params` are not
// read): the same bytes as EncodeFrame gives for the same text in QStrings.
// Raises EProtocolError as EncodeFrame does, and for text that is not UTF-8.
QByteArray EncodeRequestFrame(qint64 id, const QString& method, const QJsonArray& params, const TUtf8Args& utf8Args);

// The frame of Result(id, MethodResult(value, args)), the same way: the arguments of
// `utf8Args` whose places in `args` are still null, and the value when `utf8Value`
// is given, are written from their UTF-8 text. A server echoes a data packet, or
// answers one, without a detour through QString.
QByteArray EncodeResultFrame(qint64 id, const QJsonValue& value, const QJsonArray& args, const TUtf8Args& utf8Args,
                             std::optional<QByteArrayView> utf8Value = std::nullopt);

// Splits a byte stream into messages. Append what arrives, then take complete
// messages with Next() until it returns nothing.
class TFrameReader
{
public:
    // Raises EProtocolError when a length prefix announces more than kMaxFrameSize.
    void Append(QByteArrayView bytes);
    // The next complete message; raises EProtocolError when its bytes are not a
    // JSON object. Empty while the frame is incomplete.
    // `unusedAnswerArgs`, `answerValueUtf8`, `longParams`: see ParseJson.
    std::optional<QJsonObject> Next(quint64 unusedAnswerArgs = 0, std::optional<QByteArray>* answerValueUtf8 = nullptr,
                                    TUtf8Strings* longParams = nullptr);
    // Bytes received but not yet taken as a message (a partial frame).
    qsizetype Buffered() const { return m_buffer.size() - m_offset; }

private:
    QByteArray m_buffer;
    qsizetype m_offset = 0;
};

QJsonObject Request(qint64 id, const QString& method, const QJsonValue& params);
QJsonObject Result(qint64 id, const QJsonValue& result);
QJsonObject Error(qint64 id, const QString& message, int code = kServerErrorCode);

// The answer of a method: its value and the final value of every argument.
QJsonObject MethodResult(const QJsonValue& value, const QJsonArray& args);

} // namespace wire
