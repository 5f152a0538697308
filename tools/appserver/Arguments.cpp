#include "Arguments.h"

#include "platform/types/Exception.h"

#include <QJsonDocument>

namespace appserver {

qint64 ToInteger(const QJsonValue& v, const QString& what)
{
    if (v.isDouble()) {
        const double d = v.toDouble();
        if (d == double(qint64(d)))
            return qint64(d);
    } else if (v.isString()) {
        bool ok = false;
        const qint64 n = v.toString().trimmed().toLongLong(&ok);
        if (ok)
            return n;
    }
    throw Exception(QStringLiteral("%1 is not an integer: %2")
                        .arg(what, QString::fromUtf8(QJsonDocument(QJsonArray{v}).toJson(QJsonDocument::Compact))));
}

// The packet argument in UTF-8: a long one as the reader took it, a short one from its text.
QByteArray PacketText(const QJsonArray& args, const wire::TUtf8Strings& packets)
{
    const auto it = packets.find(kPacketArg);
    return it != packets.end() ? it->second : args.at(kPacketArg).toString().toUtf8();
}

void Need(const QString& method, const QJsonArray& args, int n)
{
    if (args.size() < n)
        throw Exception(QStringLiteral("%1 expects %2 argument(s), got %3").arg(method).arg(n).arg(args.size()));
}

} // namespace appserver
