#include "WireProtocol.h"

#include "JsonCodec.h"

#include <QJsonArray>

#include <algorithm>
#include <mutex>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace wire {

namespace {

// Frames up to this size get their room in the reader when their length is known.
constexpr quint32 kReserveLimit = 32u * 1024u * 1024u;

// A batch's text is copied a few times on its way (frame, JSON string, packet
// text), a few MB each. Above glibc's mmap threshold every such copy gets fresh
// pages from the kernel, zeroed and faulted in one by one, and gives them back
// when freed; kept in the heap they are reused from one batch to the next.
// Frames up to the limit of 32 MiB glibc accepts for the threshold stay in the
// heap; memory freed at its top is given back only beyond 256 MiB.
void KeepPacketsInHeap()
{
#if defined(__GLIBC__)
    static std::once_flag once;
    std::call_once(once, [] {
        mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
        mallopt(M_TRIM_THRESHOLD, 256 * 1024 * 1024);
    });
#endif
}

// Writes the length prefix into the room left for it before the body.
QByteArray& FinishFrame(QByteArray& frame)
{
    const qsizetype size = frame.size() - 4;
    if (quint64(size) > kMaxFrameSize)
        throw EProtocolError(QStringLiteral("Message of %1 bytes exceeds the frame limit of %2 bytes")
                                 .arg(size)
                                 .arg(kMaxFrameSize));
    const quint32 n = quint32(size);
    frame[0] = char(n >> 24);
    frame[1] = char(n >> 16);
    frame[2] = char(n >> 8);
    frame[3] = char(n);
    return frame;
}

// Room for a frame with these texts, and some to spare for their escapes.
qsizetype FrameReserve(const TUtf8Args& utf8Args, qsizetype more)
{
    qsizetype reserve = 256 + more + more / 8;
    for (const auto& [index, text] : utf8Args)
        reserve += text.size() + text.size() / 8;
    return reserve;
}

// The JSON array of `args`, with those of `utf8Args` written from their UTF-8 text
// (with `onlyInPlaceOfNull`, only where `args` still holds null there).
void AppendArgs(QByteArray& frame, const QJsonArray& args, const TUtf8Args& utf8Args, bool onlyInPlaceOfNull)
{
    frame.append('[');
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (i > 0)
            frame.append(',');
        const auto raw = std::find_if(utf8Args.begin(), utf8Args.end(), [i](const auto& a) { return a.first == i; });
        if (raw != utf8Args.end() && (!onlyInPlaceOfNull || args.at(i).isNull()))
            AppendJsonString(frame, raw->second);
        else
            AppendJson(frame, args.at(i));
    }
    frame.append(']');
}

} // namespace

QByteArray EncodeFrame(const QJsonObject& message)
{
    KeepPacketsInHeap();
    // The body is written straight after a room for the length prefix.
    QByteArray frame(4, '\0');
    AppendJson(frame, message);
    return FinishFrame(frame);
}

QByteArray EncodeRequestFrame(qint64 id, const QString& method, const QJsonArray& params, const TUtf8Args& utf8Args)
{
    KeepPacketsInHeap();
    QByteArray frame;
    frame.reserve(FrameReserve(utf8Args, 0));
    frame.append(4, '\0');
    // The keys in the order Request() gives them, as EncodeFrame writes it.
    frame.append("{\"id\":");
    AppendJson(frame, QJsonValue(id));
    frame.append(",\"jsonrpc\":\"2.0\",\"method\":");
    AppendJson(frame, QJsonValue(method));
    frame.append(",\"params\":");
    AppendArgs(frame, params, utf8Args, /*onlyInPlaceOfNull=*/false);
    frame.append('}');
    return FinishFrame(frame);
}

QByteArray EncodeResultFrame(qint64 id, const QJsonValue& value, const QJsonArray& args, const TUtf8Args& utf8Args,
                             std::optional<QByteArrayView> utf8Value)
{
    KeepPacketsInHeap();
    QByteArray frame;
    frame.reserve(FrameReserve(utf8Args, utf8Value ? utf8Value->size() : 0));
    frame.append(4, '\0');
    // The keys in the order QJsonObject keeps them, as EncodeFrame writes them.
    frame.append("{\"id\":");
    AppendJson(frame, QJsonValue(id));
    frame.append(",\"jsonrpc\":\"2.0\",\"result\":{\"args\":");
    AppendArgs(frame, args, utf8Args, /*onlyInPlaceOfNull=*/true);
    frame.append(",\"value\":");
    if (utf8Value)
        AppendJsonString(frame, *utf8Value);
    else
        AppendJson(frame, value);
    frame.append("}}");
    return FinishFrame(frame);
}

void TFrameReader::Append(QByteArrayView bytes)
{
    // Drop what earlier messages used before the buffer grows again.
    if (m_offset > 0 && m_offset >= m_buffer.size() / 2) {
        m_buffer.remove(0, m_offset);
        m_offset = 0;
    }
    m_buffer.append(bytes);
    if (Buffered() >= 4) {
        const auto* p = reinterpret_cast<const uchar*>(m_buffer.constData() + m_offset);
        const quint32 n = (quint32(p[0]) << 24) | (quint32(p[1]) << 16) | (quint32(p[2]) << 8) | quint32(p[3]);
        if (n > kMaxFrameSize)
            throw EProtocolError(
                QStringLiteral("Frame of %1 bytes exceeds the limit of %2 bytes").arg(n).arg(kMaxFrameSize));
        // A packet arrives in many reads: room for the whole frame at once
        // spares copying it again at every growth. Not for any size a peer
        // announces, though, before it has sent it.
        if (n <= kReserveLimit)
            m_buffer.reserve(m_offset + 4 + qsizetype(n));
    }
}

std::optional<QJsonObject> TFrameReader::Next(quint64 unusedAnswerArgs, std::optional<QByteArray>* answerValueUtf8,
                                              TUtf8Strings* longParams)
{
    if (Buffered() < 4)
        return std::nullopt;
    const auto* p = reinterpret_cast<const uchar*>(m_buffer.constData() + m_offset);
    const quint32 n = (quint32(p[0]) << 24) | (quint32(p[1]) << 16) | (quint32(p[2]) << 8) | quint32(p[3]);
    if (n > kMaxFrameSize)
        throw EProtocolError(QStringLiteral("Frame of %1 bytes exceeds the limit of %2 bytes").arg(n).arg(kMaxFrameSize));
    if (quint64(Buffered()) < 4 + quint64(n))
        return std::nullopt;
    // Parsed in place; the frame counts as taken even when it is malformed.
    const QByteArrayView body(m_buffer.constData() + m_offset + 4, n);
    m_offset += 4 + n;
    QJsonValue doc;
    try {
        doc = ParseJson(body, unusedAnswerArgs, answerValueUtf8, longParams);
    } catch (const EProtocolError& e) {
        throw EProtocolError(QStringLiteral("Malformed message: ") + e.Message());
    }
    if (m_offset == m_buffer.size()) {
        m_buffer.clear();
        m_offset = 0;
    }
    if (!doc.isObject())
        throw EProtocolError(QStringLiteral("Malformed message: not a JSON object"));
    const QJsonObject message = doc.toObject();
    if (message.value(QStringLiteral("jsonrpc")).toString() != QStringLiteral("2.0"))
        throw EProtocolError(QStringLiteral("Malformed message: not a JSON-RPC 2.0 message"));
    return message;
}

QJsonObject Request(qint64 id, const QString& method, const QJsonValue& params)
{
    return QJsonObject{{QStringLiteral("jsonrpc"), QStringLiteral("2.0")},
                       {QStringLiteral("id"), id},
                       {QStringLiteral("method"), method},
                       {QStringLiteral("params"), params}};
}

QJsonObject Result(qint64 id, const QJsonValue& result)
{
    return QJsonObject{
        {QStringLiteral("jsonrpc"), QStringLiteral("2.0")}, {QStringLiteral("id"), id}, {QStringLiteral("result"), result}};
}

QJsonObject Error(qint64 id, const QString& message, int code)
{
    return QJsonObject{{QStringLiteral("jsonrpc"), QStringLiteral("2.0")},
                       {QStringLiteral("id"), id},
                       {QStringLiteral("error"),
                        QJsonObject{{QStringLiteral("code"), code}, {QStringLiteral("message"), message}}}};
}

QJsonObject MethodResult(const QJsonValue& value, const QJsonArray& args)
{
    return QJsonObject{{QStringLiteral("value"), value}, {QStringLiteral("args"), args}};
}

} // namespace wire
