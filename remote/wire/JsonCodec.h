#pragma once

#include "WireProtocol.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QJsonValue>

#include <optional>

// The JSON text of wire messages. Qt's own parser crawls through strings full of
// escapes (a data packet's XML text is mostly `\"`), so the wire codec has its own:
// strict RFC 8259 in both directions, values as QJsonDocument would give them.
namespace wire {

// Deeper nesting than this is refused.
inline constexpr int kMaxJsonDepth = 512;

// Appends the compact JSON text of `value` to `out`, as QJsonDocument::Compact would
// write it. Raises EProtocolError for a string holding an unpaired surrogate.
void AppendJson(QByteArray& out, const QJsonValue& value);

// Appends the JSON string of text given in UTF-8, as AppendJson would write the
// same text given as a QString. Raises EProtocolError when it is not valid UTF-8.
// A data packet goes out this way without a detour through QString.
void AppendJsonString(QByteArray& out, QByteArrayView utf8);

// Strings of a request's arguments at least this long (in bytes) may be taken as UTF-8
// (see ParseJson): data packets, not names or numbers.
inline constexpr qsizetype kLongStringBytes = 64 * 1024;

// Parses one JSON text (any value, surrounded by optional white space). Integers that
// fit qint64 stay exact, and so do whole values such as 1.0 or 1e18 that fit it; other
// numbers are doubles. Of duplicate keys the last one wins.
// Raises EProtocolError naming the fault and its byte offset.
//
// `unusedAnswerArgs` names arguments of an answer ("result":{"args":[...]}) that
// the reader will not use (bit i: argument i): a string there is checked for its
// end only and read as null. A server echoes every argument, data packets
// included, and decoding megabytes nobody reads is the largest cost of a call.
//
// `answerValueUtf8`, when given, receives the answer's value ("result":{"value":...})
// when it is a string, unescaped but left in UTF-8, and that value reads as null;
// it stays empty otherwise. A data packet goes on to its decoder as bytes, and a
// detour through QString costs as much as decoding it.
//
// `longParams`, when given, receives the strings of at least kLongStringBytes among a
// request's arguments ("params":[...]), by their index, unescaped but left in UTF-8;
// those read as null. The server takes data packets this way.
QJsonValue ParseJson(QByteArrayView text, quint64 unusedAnswerArgs = 0,
                     std::optional<QByteArray>* answerValueUtf8 = nullptr, TUtf8Strings* longParams = nullptr);

// The text of UTF-8 bytes, as a JSON string of them reads (a leading U+FEFF is kept).
// Raises EProtocolError when they are not valid UTF-8.
QString TextOfUtf8(QByteArrayView utf8);

} // namespace wire
