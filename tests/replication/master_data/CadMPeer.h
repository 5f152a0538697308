#pragma once

// A stand-in for the remote master-data server object on an ephemeral loopback
// port, speaking the real wire protocol from a thread of its own. It accepts one
// connection after another (one per run), answers like a server would (stores
// what headquarters sends, serves what a branch may receive, forgets what a
// branch acknowledges) and records every call. Switches make it refuse,
// rewrite the identity or repeat itself.

#include "platform/types/DataPacket.h"
#include "platform/types/Params.h"
#include "remote/wire/ParamsJson.h"
#include "remote/wire/WireProtocol.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QSet>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <atomic>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <thread>

struct TPeerCall
{
    QString Method;
    QString Table;     // the table or provider the call names
    QString CdContrato; // as the call carried it, where it carries one
    int Rows = -1;      // rows of the packet sent or answered
    QJsonArray Params;
};

// What the peer holds and how it behaves. Tests set it between runs; the peer
// reads and writes it while it answers a request, under the mutex.
struct TPeerState
{
    bool ConectaAnswer = true;
    QString RewriteContrato; // non-empty: Conecta_No_Banco writes this contract code back
    QList<QPair<QString, QString>> Providers; // provider, table: what a branch may receive
    QHash<QString, TDataPacket> Waiting;     // per table: rows waiting for the branch
    bool DropOnAck = true;                   // false: acknowledged rows are offered again
    QHash<QString, qint32> CountOverride;     // NrRegistros_AImportar answers
    QSet<QString> RefuseInsert;              // tables whose Inseri_No_Servidor answers false
    std::optional<qint32> FixedPkUltimo;     // GetPkUltimo answers this instead of the stored maximum
    QHash<QString, QList<TDataPacket>> Stored; // accepted packets per table
    QList<TPeerCall> Calls;
    // Runs in the peer's thread before an accepted Inseri_No_Servidor is answered.
    std::function<void(const QString& table)> OnInsert;

    int Count(const QString& method, const QString& table = {}) const
    {
        int n = 0;
        for (const TPeerCall& c : Calls)
            n += c.Method == method && (table.isEmpty() || c.Table == table);
        return n;
    }
    QList<int> Rows(const QString& method, const QString& table) const
    {
        QList<int> rows;
        for (const TPeerCall& c : Calls)
            if (c.Method == method && c.Table == table)
                rows.append(c.Rows);
        return rows;
    }
    QStringList Methods() const
    {
        QStringList methods;
        for (const TPeerCall& c : Calls)
            methods.append(c.Method);
        return methods;
    }
};

class TCadMPeer
{
public:
    TCadMPeer()
    {
        // Qt takes the first thread that touches it for its main thread; that must be
        // the test's, or the test thread's Qt data is never released.
        QThread::currentThread();
        std::promise<quint16> port;
        auto ready = port.get_future();
        m_thread = std::thread([this, port = std::move(port)]() mutable { Listen(port); });
        m_port = ready.get();
    }
    ~TCadMPeer()
    {
        m_stop = true;
        m_thread.join();
    }
    TCadMPeer(const TCadMPeer&) = delete;
    TCadMPeer& operator=(const TCadMPeer&) = delete;

    quint16 Port() const { return m_port; }
    // Between runs only: the peer touches the state while it answers.
    TPeerState& State() { return m_state; }
    std::mutex& Mutex() { return m_mutex; }

private:
    void Listen(std::promise<quint16>& port)
    {
        QTcpServer server;
        if (!server.listen(QHostAddress::LocalHost, 0)) {
            port.set_value(0);
            return;
        }
        port.set_value(server.serverPort());
        while (!m_stop) {
            if (!server.waitForNewConnection(50))
                continue;
            std::unique_ptr<QTcpSocket> socket(server.nextPendingConnection());
            Serve(*socket);
        }
    }

    void Serve(QTcpSocket& socket)
    {
        wire::TFrameReader reader;
        while (!m_stop) {
            std::optional<QJsonObject> message = reader.Next();
            if (!message) {
                if (socket.state() != QAbstractSocket::ConnectedState)
                    return;
                if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(50))
                    continue;
                reader.Append(socket.readAll());
                continue;
            }
            const qint64 id = message->value(QStringLiteral("id")).toInteger();
            QJsonObject answer;
            try {
                std::lock_guard lock(m_mutex);
                answer = Answer(id, message->value(QStringLiteral("method")).toString(),
                                message->value(QStringLiteral("params")));
            } catch (const std::exception& e) {
                answer = wire::Error(id, QString::fromUtf8(e.what()));
            }
            socket.write(wire::EncodeFrame(answer));
            while (socket.bytesToWrite() > 0 && socket.waitForBytesWritten(5000)) {
            }
        }
    }

    static QJsonObject Reply(qint64 id, const QJsonValue& value, const QJsonArray& args)
    {
        return wire::Result(id, wire::MethodResult(value, args));
    }

    QString TableOfProvider(const QString& provider) const
    {
        for (const auto& [p, t] : m_state.Providers)
            if (p == provider)
                return t;
        throw std::runtime_error("no provider " + provider.toStdString());
    }

    // Rows a branch may receive now: all waiting rows, or for the serial prices
    // those above the last key the branch holds.
    TDataPacket Offer(const QString& table, qint32 lastKey) const
    {
        const TDataPacket& waiting = m_state.Waiting[table];
        TDataPacket offer(waiting.Fields());
        for (int r = 0; r < waiting.RowCount(); ++r) {
            if (table == QLatin1String("TBPRECOSERIAL") && waiting.Value(r, 0).toInt() <= lastKey)
                continue;
            QList<QVariant> row;
            for (int f = 0; f < waiting.Fields().size(); ++f)
                row.append(waiting.Value(r, f));
            offer.AppendRow(row);
        }
        return offer;
    }

    static QString KeyText(const TDataPacket& p, int row)
    {
        QStringList parts;
        for (int f = 0; f < p.Fields().size(); ++f)
            if (p.Fields()[f].InKey() || p.Fields()[f].Required)
                parts.append(p.Value(row, f).toString());
        return parts.join(u'|');
    }

    QJsonObject Answer(qint64 id, const QString& method, const QJsonValue& params)
    {
        if (method == QLatin1String("open")) {
            const QString server = params.toObject().value(QStringLiteral("server")).toString();
            TPeerCall open;
            open.Method = method;
            open.Table = server;
            m_state.Calls.append(open);
            if (server != QLatin1String("KeltCadMServer5.coKeltCadMServer5"))
                return wire::Error(id, QStringLiteral("No server object %1").arg(server));
            return wire::Result(id, QJsonObject{});
        }
        QJsonArray args = params.toArray();
        TPeerCall call;
        call.Method = method;
        call.Table = args.at(0).toString();
        const auto contractAt = [&](int i) { call.CdContrato = args.at(i).toString(); };

        QJsonObject answer;
        if (method == QLatin1String("Conecta_No_Banco")) {
            contractAt(0);
            call.Table.clear();
            if (!m_state.RewriteContrato.isEmpty())
                args[0] = m_state.RewriteContrato;
            answer = Reply(id, m_state.ConectaAnswer, args);
        } else if (method == QLatin1String("Get_ProvidersCount")) {
            call.Table.clear();
            answer = Reply(id, int(m_state.Providers.size()), args);
        } else if (method == QLatin1String("Get_Providers")) {
            const auto& [provider, table] = m_state.Providers.at(args.at(0).toInt());
            call.Table = table;
            args[1] = provider;
            args[2] = table;
            answer = Reply(id, QJsonValue(), args);
        } else if (method == QLatin1String("NrRegistros_AImportar")) {
            contractAt(1);
            const qint32 count = m_state.CountOverride.contains(call.Table)
                                     ? m_state.CountOverride[call.Table]
                                     : Offer(call.Table, args.at(5).toInt()).RowCount();
            answer = Reply(id, count, args);
        } else if (method == QLatin1String("AS_GetParams")) {
            TParams declared;
            declared.Add(QStringLiteral("PCDCONTRATO"), TFieldType::ftString);
            declared.Add(QStringLiteral("PPKEMPRESA"), TFieldType::ftInteger);
            declared.Add(QStringLiteral("PPKFILIAL"), TFieldType::ftInteger);
            declared.Add(QStringLiteral("PUF"), TFieldType::ftString);
            declared.Add(QStringLiteral("PPKULTIMO"), TFieldType::ftInteger);
            answer = Reply(id, wire::ParamsToJson(declared), args);
        } else if (method == QLatin1String("AS_GetRecords")) {
            const TParams values = wire::ParamsFromJson(args.at(2));
            call.CdContrato = values.FindParam(u"PCDCONTRATO")->AsString();
            call.Table = TableOfProvider(args.at(0).toString());
            const TDataPacket offer = Offer(call.Table, values.FindParam(u"PPKULTIMO")->AsInteger());
            const int count = args.at(1).toInt();
            TDataPacket batch(offer.Fields());
            for (int r = 0; r < offer.RowCount() && (count < 0 || r < count); ++r) {
                QList<QVariant> row;
                for (int f = 0; f < offer.Fields().size(); ++f)
                    row.append(offer.Value(r, f));
                batch.AppendRow(row);
            }
            call.Rows = batch.RowCount();
            answer = Reply(id, QString::fromUtf8(batch.ToXml()), args);
        } else if (method == QLatin1String("Inseri_No_Servidor")) {
            contractAt(2);
            const TDataPacket packet = TDataPacket::FromXml(args.at(1).toString().toUtf8());
            call.Rows = packet.RowCount();
            const bool accepted = !m_state.RefuseInsert.contains(call.Table);
            if (accepted) {
                m_state.Stored[call.Table].append(packet);
                if (m_state.OnInsert)
                    m_state.OnInsert(call.Table);
            }
            answer = Reply(id, accepted, args);
        } else if (method == QLatin1String("Exclui_No_Servidor")) {
            contractAt(2);
            const TDataPacket packet = TDataPacket::FromXml(args.at(1).toString().toUtf8());
            call.Rows = packet.RowCount();
            if (m_state.DropOnAck && m_state.Waiting.contains(call.Table)) {
                QSet<QString> acknowledged;
                for (int r = 0; r < packet.RowCount(); ++r)
                    acknowledged.insert(KeyText(packet, r));
                const TDataPacket& waiting = m_state.Waiting[call.Table];
                TDataPacket rest(waiting.Fields());
                for (int r = 0; r < waiting.RowCount(); ++r) {
                    if (acknowledged.contains(KeyText(waiting, r)))
                        continue;
                    QList<QVariant> row;
                    for (int f = 0; f < waiting.Fields().size(); ++f)
                        row.append(waiting.Value(r, f));
                    rest.AppendRow(row);
                }
                m_state.Waiting[call.Table] = rest;
            }
            answer = Reply(id, true, args);
        } else if (method == QLatin1String("GetPkUltimo")) {
            contractAt(1);
            qint32 last = 0;
            for (const TDataPacket& p : m_state.Stored.value(call.Table))
                for (int r = 0; r < p.RowCount(); ++r)
                    last = qMax(last, p.Value(r, 0).toInt());
            answer = Reply(id, m_state.FixedPkUltimo.value_or(last), args);
        } else {
            answer = wire::Error(id, QStringLiteral("No method %1").arg(method));
        }
        call.Params = params.toArray();
        m_state.Calls.append(call);
        return answer;
    }

    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    quint16 m_port = 0;
    std::mutex m_mutex;
    TPeerState m_state;
};
