#pragma once

#include "remote/wire/WireProtocol.h"

#include <QJsonArray>
#include <QJsonValue>
#include <QString>

// Reading the positional arguments of a method call, shared by the server's objects.
namespace appserver {

// The methods that take a data packet take it as their second argument.
inline constexpr qsizetype kPacketArg = 1;

// A whole number given as a number or as its text; raises Exception naming `what` otherwise.
qint64 ToInteger(const QJsonValue& v, const QString& what);

// Raises Exception when `method` got fewer than `n` arguments.
void Need(const QString& method, const QJsonArray& args, int n);

// The packet argument in UTF-8: a long one as the reader took it, a short one from its text.
QByteArray PacketText(const QJsonArray& args, const wire::TUtf8Strings& packets);

} // namespace appserver
