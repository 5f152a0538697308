#include "AdminService.h"

#include "Arguments.h"
#include "Faults.h"
#include "ServerStore.h"
#include "UpdateService.h"

#include "platform/types/Exception.h"

#include <QJsonDocument>

using appserver::Need;
using appserver::PacketText;
using appserver::ToInteger;

namespace {

// A catalogue object named by its server object name or short form.
TBook Book(const QJsonValue& name)
{
    const std::optional<TBook> book = BookFromName(name.toString());
    if (!book)
        throw Exception(QStringLiteral("Unknown catalogue object '%1' (KeltCadServer.coKeltCadServer or cad, "
                                       "KeltCadMServer5.coKeltCadMServer5 or cadm, KeltMovMServer5.coKeltMovMServer5 "
                                       "or movm)")
                            .arg(name.toString()));
    return *book;
}

QString Compact(const QJsonObject& o)
{
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

// Compared in a time that does not tell how much of a guess was right.
bool SameToken(const QString& a, const QString& b)
{
    const QByteArray x = a.toUtf8();
    const QByteArray y = b.toUtf8();
    if (x.size() != y.size())
        return false;
    unsigned char diff = 0;
    for (qsizetype i = 0; i < x.size(); ++i)
        diff |= static_cast<unsigned char>(x[i] ^ y[i]);
    return diff == 0;
}

} // namespace

TAdminAnswer TAdminService::Serve(const QString& method, const QJsonArray& args, const wire::TUtf8Strings& packets)
{
    if (method == QLatin1String("AddInstallation")) {
        Need(method, args, 4);
        TInstallation i;
        i.CdContrato = args[0].toString();
        i.PkEmpresa = qint32(ToInteger(args[1], QStringLiteral("PkEmpresa")));
        i.PkFilial = qint32(ToInteger(args[2], QStringLiteral("PkFilial")));
        i.UF = args[3].toString();
        const QJsonObject rewrite = args.at(4).toObject();
        if (rewrite.contains("CdContrato"))
            i.NewCdContrato = rewrite["CdContrato"].toString();
        if (rewrite.contains("PkEmpresa"))
            i.NewPkEmpresa = qint32(ToInteger(rewrite["PkEmpresa"], QStringLiteral("PkEmpresa")));
        if (rewrite.contains("PkFilial"))
            i.NewPkFilial = qint32(ToInteger(rewrite["PkFilial"], QStringLiteral("PkFilial")));
        if (rewrite.contains("UF"))
            i.NewUF = rewrite["UF"].toString();
        m_store.AddInstallation(i);
        return {true, QStringLiteral("installation %1/%2").arg(i.CdContrato).arg(i.PkFilial)};
    }
    if (method == QLatin1String("LoadPacket")) {
        Need(method, args, 2);
        const TDataPacket packet = TDataPacket::FromXml(PacketText(args, packets));
        const qint32 store = args.size() > 2 ? qint32(ToInteger(args[2], QStringLiteral("The store"))) : 0;
        const TBook book = args.size() > 4 ? Book(args[4]) : TBook::Cad;
        const int n = m_store.LoadPacket(book, args[0].toString(), args.at(3).toString(), packet, store);
        return {n, QStringLiteral("loaded %1 row(s) into %2").arg(n).arg(args[0].toString())};
    }
    if (method == QLatin1String("Rows")) {
        Need(method, args, 2);
        const TServedTable* t = m_store.FindTable(Book(args[0]), args[1].toString());
        if (!t)
            throw Exception(QStringLiteral("%1 holds no table %2").arg(args[0].toString(), args[1].toString()));
        const TDataPacket packet = m_store.AllRows(*t);
        return {{}, QStringLiteral("%1 row(s)").arg(packet.RowCount()), packet.ToXml()};
    }
    if (method == QLatin1String("ExecSql")) {
        Need(method, args, 1);
        return {m_store.ExecSql(args[0].toString()), QStringLiteral("done")};
    }
    if (method == QLatin1String("SetFault")) {
        Need(method, args, 1);
        TFault f = TFault::FromJson(args[0].toObject());
        f.Id = m_store.SaveFault(f);
        if (m_liveFaults)
            m_liveFaults->Add(f);
        return {f.Id, QStringLiteral("fault %1 set").arg(f.Id)};
    }
    if (method == QLatin1String("ClearFaults")) {
        m_store.ClearFaults();
        if (m_liveFaults)
            m_liveFaults->Clear();
        return {true, QStringLiteral("faults cleared")};
    }
    if (method == QLatin1String("Faults")) {
        QJsonArray list;
        for (const TFault& f : m_liveFaults ? m_liveFaults->Faults() : m_store.LoadFaults())
            list.append(f.ToJson());
        return {list, QString::number(list.size())};
    }
    if (method == QLatin1String("Status"))
        return {Status(), QStringLiteral("status")};
    if (method == QLatin1String("Publish")) {
        Need(method, args, 2);
        TUpdateService updates(TUpdateService::FileFor(m_store.Path()));
        updates.Publish(args[0].toString(), args[1].toString());
        const auto published = updates.Published();
        return {QJsonObject{{"version", published->VersionText()}, {"url", published->Url}},
                QStringLiteral("published %1").arg(published->VersionText())};
    }
    if (method == QLatin1String("Withdraw")) {
        TUpdateService(TUpdateService::FileFor(m_store.Path())).Withdraw();
        return {true, QStringLiteral("update withdrawn")};
    }
    throw Exception(QStringLiteral("%1 has no method %2").arg(QLatin1String(ObjectName), method));
}

QJsonObject TAdminService::Status()
{
    QJsonArray installations;
    for (const TInstallation& i : m_store.Installations()) {
        QJsonObject o{{"CdContrato", i.CdContrato}, {"PkEmpresa", i.PkEmpresa}, {"PkFilial", i.PkFilial}, {"UF", i.UF}};
        if (i.NewUF)
            o["NewUF"] = *i.NewUF;
        installations.append(o);
    }
    QJsonArray tables;
    for (const TServedTable& t : m_store.Tables())
        tables.append(QJsonObject{{"object", BookObject(t.Book)},
                                  {"table", t.SqlName},
                                  {"provider", t.Provider},
                                  {"keys", QJsonArray::fromStringList(t.Keys)},
                                  {"pageKey", t.PageKey}});
    QJsonObject status{{"database", m_store.Path()},
                       {"installations", installations},
                       {"tables", tables},
                       {"faults", Serve(QStringLiteral("Faults"), {}).Value}};
    if (const auto update = TUpdateService(TUpdateService::FileFor(m_store.Path())).Published())
        status["update"] = QJsonObject{{"version", update->VersionText()}, {"url", update->Url}};
    return status;
}

QStringList TAdminService::StatusLines(const QJsonObject& status)
{
    QStringList lines;
    for (const QJsonValue& v : status["installations"].toArray()) {
        const QJsonObject i = v.toObject();
        lines << QStringLiteral("installation %1 PKEMPRESA=%2 PKFILIAL=%3 UF=%4%5")
                     .arg(i["CdContrato"].toString())
                     .arg(i["PkEmpresa"].toInt())
                     .arg(i["PkFilial"].toInt())
                     .arg(i["UF"].toString(), i.contains("NewUF")
                                                  ? QStringLiteral(" (rewrites UF to %1)").arg(i["NewUF"].toString())
                                                  : QString());
    }
    for (const QJsonValue& v : status["tables"].toArray()) {
        const QJsonObject t = v.toObject();
        QStringList keys;
        for (const QJsonValue& k : t["keys"].toArray())
            keys << k.toString();
        const QString pageKey = t["pageKey"].toString();
        lines << QStringLiteral("%1 table %2 provider %3 keys %4%5")
                     .arg(t["object"].toString(), t["table"].toString(), t["provider"].toString(), keys.join(u','),
                          pageKey.isEmpty() ? QString() : QStringLiteral(" (paged by %1)").arg(pageKey));
    }
    for (const QJsonValue& v : status["faults"].toArray())
        lines << FaultLine(v.toObject());
    const QJsonObject update = status["update"].toObject();
    if (!update.isEmpty())
        lines << QStringLiteral("update %1 at %2").arg(update["version"].toString(), update["url"].toString());
    return lines;
}

QString TAdminService::FaultLine(const QJsonObject& fault)
{
    return QStringLiteral("fault %1 %2").arg(fault["id"].toInt()).arg(Compact(fault));
}

QString AdminRefusal(const QHostAddress& peer, const QString& serverToken, const std::optional<QString>& givenToken)
{
    if (givenToken) {
        if (serverToken.isEmpty())
            return QStringLiteral("Admin refused: the server was started without an admin token");
        if (!SameToken(*givenToken, serverToken))
            return QStringLiteral("Admin refused: wrong token");
        return {};
    }
    bool mapped = false;
    const QHostAddress v4(peer.toIPv4Address(&mapped));
    if (peer.isLoopback() || (mapped && v4.isLoopback()))
        return {};
    if (serverToken.isEmpty())
        return QStringLiteral("Admin refused: %1 is not a loopback address and the server was started without "
                              "an admin token")
            .arg(peer.toString());
    return QStringLiteral("Admin refused: a token is required from %1").arg(peer.toString());
}
