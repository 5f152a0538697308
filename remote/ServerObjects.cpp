#include "ServerObjects.h"

#include "ConnectionBroker.h"
#include "remote/wire/WireProtocol.h"

#include <QJsonArray>
#include <QJsonValue>

#include <limits>
#include <optional>
#include <variant>
#include <vector>

namespace {

// An integer argument or answer: a JSON number with a whole value in range.
std::optional<qint32> WholeInt32(const QJsonValue& v)
{
    if (!v.isDouble())
        return std::nullopt;
    constexpr qint64 kNotWhole = std::numeric_limits<qint64>::min();
    const qint64 n = v.toInteger(kNotWhole);
    if (n == kNotWhole || n < std::numeric_limits<qint32>::min() || n > std::numeric_limits<qint32>::max())
        return std::nullopt;
    return qint32(n);
}

QString KindOf(const QJsonValue& v)
{
    switch (v.type()) {
    case QJsonValue::Null:
        return QStringLiteral("null");
    case QJsonValue::Bool:
        return QStringLiteral("a boolean");
    case QJsonValue::Double:
        return QStringLiteral("the number %1").arg(v.toDouble(), 0, 'g', 17);
    case QJsonValue::String:
        return QStringLiteral("a string");
    case QJsonValue::Array:
        return QStringLiteral("an array");
    case QJsonValue::Object:
        return QStringLiteral("an object");
    default:
        return QStringLiteral("nothing");
    }
}

// One late-bound call: the arguments in order, the variables of those passed
// by reference, and the write-back of what the server left in them.
class TRemoteCall
{
public:
    TRemoteCall(TConnectionBroker& broker, const char* method) : m_broker(broker), m_method(QLatin1String(method)) {}

    TRemoteCall& In(const QString& v) { return Add(v); }
    // Text already in UTF-8 (a data packet): it goes out as it is. `v` must
    // outlive the call.
    TRemoteCall& InUtf8(const QByteArray& v)
    {
        m_utf8.emplace_back(m_args.size(), QByteArrayView(v));
        return Add(QJsonValue());
    }
    TRemoteCall& In(qint32 v) { return Add(v); }
    TRemoteCall& In(bool v) { return Add(v); }
    TRemoteCall& Var(QString& v) { m_refs.push_back({int(m_args.size()), &v}); return Add(v); }
    TRemoteCall& Var(qint32& v) { m_refs.push_back({int(m_args.size()), &v}); return Add(v); }
    TRemoteCall& Var(TIdentityRef id) { return Var(id.CdContrato).Var(id.PkEmpresa).Var(id.PkFilial).Var(id.UF); }

    // Calls the method and writes the by-reference arguments back; a returned
    // argument of the wrong kind raises before any variable changes.
    QJsonValue Invoke()
    {
        // What the server echoes of arguments passed by value is never read.
        quint64 unused = 0;
        for (int i = 0; i < m_args.size() && i < 64; ++i)
            unused |= quint64(1) << i;
        for (const TRef& ref : m_refs)
            unused &= ~(quint64(1) << ref.index);
        const QJsonValue value = m_broker.Call(m_method, m_args, unused, nullptr, m_utf8);
        for (const TRef& ref : m_refs) {
            const QJsonValue back = m_args.at(ref.index);
            const bool fits = std::holds_alternative<QString*>(ref.target) ? back.isString() : WholeInt32(back).has_value();
            if (!fits)
                throw wire::EProtocolError(QStringLiteral("Argument %1 of %2 came back as %3 where %4 was expected")
                                               .arg(ref.index + 1)
                                               .arg(m_method, KindOf(back),
                                                    std::holds_alternative<QString*>(ref.target)
                                                        ? QStringLiteral("a string")
                                                        : QStringLiteral("a 32-bit integer")));
        }
        for (const TRef& ref : m_refs) {
            const QJsonValue back = m_args.at(ref.index);
            if (auto* s = std::get_if<QString*>(&ref.target))
                **s = back.toString();
            else
                *std::get<qint32*>(ref.target) = *WholeInt32(back);
        }
        return value;
    }

    // Success only on a JSON true: 1, "true" or null are not.
    bool InvokeBool() { return Invoke() == QJsonValue(true); }
    // -1 (the servers' failure answer) for anything but a whole 32-bit number.
    qint32 InvokeInt() { return WholeInt32(Invoke()).value_or(-1); }

private:
    struct TRef
    {
        int index;
        std::variant<QString*, qint32*> target;
    };

    TRemoteCall& Add(const QJsonValue& v)
    {
        m_args.append(v);
        return *this;
    }

    TConnectionBroker& m_broker;
    QString m_method;
    QJsonArray m_args;
    std::vector<TRef> m_refs;
    wire::TUtf8Args m_utf8;
};

qint32 ProvidersCount(TConnectionBroker& broker) { return TRemoteCall(broker, "Get_ProvidersCount").InvokeInt(); }

void Providers(TConnectionBroker& broker, qint32 index, QString& providerName, QString& tableName)
{
    TRemoteCall(broker, "Get_Providers").In(index).Var(providerName).Var(tableName).Invoke();
}

bool Connect(TConnectionBroker& broker, TIdentityRef identity)
{
    return TRemoteCall(broker, "Conecta_No_Banco").Var(identity).InvokeBool();
}

bool PacketCall(TConnectionBroker& broker, const char* method, QString& table, const QByteArray& packet,
                TIdentityRef identity)
{
    // Packets travel as the JSON string of their XML text.
    return TRemoteCall(broker, method).Var(table).InUtf8(packet).Var(identity).InvokeBool();
}

} // namespace

// KeltCadServer

bool TKeltCadServer::Conecta_No_Banco(TIdentityRef identity) { return Connect(m_broker, identity); }

qint32 TKeltCadServer::Get_ProvidersCount() { return ProvidersCount(m_broker); }

void TKeltCadServer::Get_Providers(qint32 index, QString& providerName, QString& tableName)
{
    Providers(m_broker, index, providerName, tableName);
}

bool TKeltCadServer::ReplicaTabela(qint32& pkEmpresa, const QString& table)
{
    return TRemoteCall(m_broker, "ReplicaTabela").Var(pkEmpresa).In(table).InvokeBool();
}

qint32 TKeltCadServer::NrRegistros_AImportar(const QString& table, TIdentityRef identity, qint32& pkUltimo)
{
    return TRemoteCall(m_broker, "NrRegistros_AImportar").In(table).Var(identity).Var(pkUltimo).InvokeInt();
}

bool TKeltCadServer::Exclui_No_Servidor(QString& table, const QByteArray& packet, TIdentityRef identity)
{
    return PacketCall(m_broker, "Exclui_No_Servidor", table, packet, identity);
}

// KeltCadMServer5

bool TKeltCadMServer::Conecta_No_Banco(TIdentityRef identity) { return Connect(m_broker, identity); }

qint32 TKeltCadMServer::Get_ProvidersCount() { return ProvidersCount(m_broker); }

void TKeltCadMServer::Get_Providers(qint32 index, QString& providerName, QString& tableName)
{
    Providers(m_broker, index, providerName, tableName);
}

qint32 TKeltCadMServer::NrRegistros_AImportar(const QString& table, TIdentityRef identity, qint32& pkUltimo)
{
    return TRemoteCall(m_broker, "NrRegistros_AImportar").In(table).Var(identity).Var(pkUltimo).InvokeInt();
}

bool TKeltCadMServer::Inseri_No_Servidor(QString& table, const QByteArray& packet, TIdentityRef identity)
{
    return PacketCall(m_broker, "Inseri_No_Servidor", table, packet, identity);
}

bool TKeltCadMServer::Exclui_No_Servidor(QString& table, const QByteArray& packet, TIdentityRef identity)
{
    return PacketCall(m_broker, "Exclui_No_Servidor", table, packet, identity);
}

qint32 TKeltCadMServer::GetPkUltimo(const QString& table, QString& cdContrato, bool flag)
{
    return TRemoteCall(m_broker, "GetPkUltimo").In(table).Var(cdContrato).In(flag).InvokeInt();
}

// KeltMovMServer5

bool TKeltMovMServer::Conecta_No_Banco(TIdentityRef identity) { return Connect(m_broker, identity); }

qint32 TKeltMovMServer::Get_ProvidersCount() { return ProvidersCount(m_broker); }

void TKeltMovMServer::Get_Providers(qint32 index, QString& providerName, QString& tableName)
{
    Providers(m_broker, index, providerName, tableName);
}

qint32 TKeltMovMServer::NrRegistros_AImportar(const QString& table, TIdentityRef identity)
{
    return TRemoteCall(m_broker, "NrRegistros_AImportar").In(table).Var(identity).InvokeInt();
}

bool TKeltMovMServer::Inseri_No_Servidor(QString& table, const QByteArray& packet, TIdentityRef identity)
{
    return PacketCall(m_broker, "Inseri_No_Servidor", table, packet, identity);
}

bool TKeltMovMServer::Exclui_No_Servidor(QString& table, const QByteArray& packet, TIdentityRef identity)
{
    return PacketCall(m_broker, "Exclui_No_Servidor", table, packet, identity);
}

bool TKeltMovMServer::LimpaVariaveisItCondiVendaCompra()
{
    return TRemoteCall(m_broker, "LimpaVariaveisItCondiVendaCompra").InvokeBool();
}

// KeltInternoServer

QString TKeltInternoServer::ProcuraAtualizacao(const QString& executable, const QString& version)
{
    const QJsonValue answer = TRemoteCall(m_broker, "ProcuraAtualizacao").In(executable).In(version).Invoke();
    if (answer.isString())
        return answer.toString();
    // A bare status number reads as its digits; anything else is no status at
    // all, which the caller takes for a failure.
    if (const auto code = WholeInt32(answer))
        return QString::number(*code);
    return QString();
}
