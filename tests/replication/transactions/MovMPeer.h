#pragma once

// A small transaction server object "KeltMovMServer5.coKeltMovMServer5" speaking
// the real wire protocol on an ephemeral loopback port, in a thread of its own.
// It keeps what branches send (by the packet's key fields), offers it to
// headquarters in the order stored, drops what headquarters acknowledges, and
// records every call. Switches make single answers fail.

#include "platform/types/DataPacket.h"
#include "remote/wire/ParamsJson.h"
#include "remote/wire/WireProtocol.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QSet>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

struct TPeerCall
{
    QString Method;
    QString Table; // the table or provider argument, when there is one
    int Rows = -1; // rows of the packet sent or served
};

class TMovMPeer
{
public:
    // Runs `f` under the peer's lock: switches are set this way between runs.
    template <class F>
    auto Locked(F&& f)
    {
        std::lock_guard lock(m_mutex);
        return f();
    }

    TMovMPeer()
    {
        // Qt takes the first thread that touches it for its main thread; that must be
        // the test's, or the test thread's Qt data is never released.
        QThread::currentThread();
        std::promise<quint16> port;
        auto ready = port.get_future();
        m_thread = std::thread([this, port = std::move(port)]() mutable { Listen(port); });
        m_port = ready.get();
    }
    ~TMovMPeer()
    {
        m_stop = true;
        m_thread.join();
    }
    TMovMPeer(const TMovMPeer&) = delete;
    TMovMPeer& operator=(const TMovMPeer&) = delete;

    quint16 Port() const { return m_port; }


    // --- switches (set through Locked) ---
    bool ConnectAnswer = true;
    bool LimpaAnswer = true;
    int RefuseInserts = 0;        // the next N Inseri_No_Servidor answer false
    int RefuseAcks = 0;           // the next N Exclui_No_Servidor answer false
    bool IgnoreAcks = false;      // acknowledged rows stay offered
    QMap<QString, int> CountOverride; // NrRegistros_AImportar answers by table
    QString RewriteUF;            // Conecta_No_Banco writes this UF back
    // Runs in the peer's thread once an accepted batch is stored, before the answer.
    std::function<void()> OnInsert;

    // Providers listed to headquarters: provider name and table.
    void Offer(const QString& provider, const QString& table) { Locked([&] { m_offers.append({provider, table}); }); }
    // Rows offered for a table, in this order.
    void Put(const QString& table, const TDataPacket& rows) { Locked([&] { m_tables[table] = rows; }); }

    QList<TPeerCall> Calls() { return Locked([&] { return m_calls; }); }
    QStringList Methods()
    {
        QStringList m;
        for (const TPeerCall& c : Calls())
            m << c.Method;
        return m;
    }
    TDataPacket Stored(const QString& table) { return Locked([&] { return m_tables.value(table); }); }
    // The identity and parameters the last AS_GetRecords carried.
    QJsonArray LastParams() { return Locked([&] { return m_lastParams; }); }
    void ClearCalls() { Locked([&] { m_calls.clear(); }); }

private:
    void Listen(std::promise<quint16>& port)
    {
        QTcpServer server;
        port.set_value(server.listen(QHostAddress::LocalHost, 0) ? server.serverPort() : 0);
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
        while (socket.state() == QAbstractSocket::ConnectedState && !m_stop) {
            socket.waitForReadyRead(50);
            reader.Append(socket.readAll());
            while (auto m = reader.Next()) {
                const qint64 id = m->value(QStringLiteral("id")).toInteger();
                const QString method = m->value(QStringLiteral("method")).toString();
                QJsonObject answer;
                try {
                    answer = method == QLatin1String("open") ? Open(id, m->value(QStringLiteral("params")).toObject())
                                                               : Answer(id, method, m->value(QStringLiteral("params")).toArray());
                } catch (const std::exception& e) {
                    answer = wire::Error(id, QString::fromUtf8(e.what()));
                }
                socket.write(wire::EncodeFrame(answer));
                socket.waitForBytesWritten(5000);
            }
        }
    }

    static QJsonObject Open(qint64 id, const QJsonObject& params)
    {
        const QString server = params.value(QStringLiteral("server")).toString();
        if (server != QLatin1String("KeltMovMServer5.coKeltMovMServer5"))
            return wire::Error(id, QStringLiteral("Unknown server object ") + server);
        return wire::Result(id, QJsonObject{});
    }

    // Key text of a packet row: the fields that identify it.
    static QString KeyOf(const TDataPacket& p, int row)
    {
        QStringList parts;
        for (int f = 0; f < p.Fields().size(); ++f)
            if (p.Fields()[f].InKey() || p.Fields()[f].Required)
                parts << p.Value(row, f).toString();
        return parts.join(u'|');
    }

    QJsonObject Answer(qint64 id, const QString& method, QJsonArray args)
    {
        std::lock_guard lock(m_mutex);
        TPeerCall call{method, {}};
        // The table or provider a call is about.
        if (QStringList{"NrRegistros_AImportar", "Inseri_No_Servidor", "Exclui_No_Servidor", "AS_GetParams",
                        "AS_GetRecords"}
                .contains(method))
            call.Table = args[0].toString();
        QJsonValue value;
        if (method == QLatin1String("Conecta_No_Banco")) {
            if (!RewriteUF.isEmpty())
                args[3] = RewriteUF;
            value = ConnectAnswer;
        } else if (method == QLatin1String("Get_ProvidersCount")) {
            value = int(m_offers.size());
        } else if (method == QLatin1String("Get_Providers")) {
            const auto offer = m_offers.value(args[0].toInt());
            args[1] = offer.first;
            args[2] = offer.second;
            value = true;
        } else if (method == QLatin1String("NrRegistros_AImportar")) {
            value = CountOverride.value(call.Table, m_tables.value(call.Table).RowCount());
        } else if (method == QLatin1String("LimpaVariaveisItCondiVendaCompra")) {
            value = LimpaAnswer;
        } else if (method == QLatin1String("Inseri_No_Servidor")) {
            const TDataPacket in = TDataPacket::FromXml(args[1].toString().toUtf8());
            call.Rows = in.RowCount();
            value = RefuseInserts == 0;
            if (RefuseInserts > 0) {
                --RefuseInserts;
            } else {
                Merge(call.Table, in);
                if (OnInsert)
                    std::exchange(OnInsert, nullptr)();
            }
        } else if (method == QLatin1String("Exclui_No_Servidor")) {
            const TDataPacket in = TDataPacket::FromXml(args[1].toString().toUtf8());
            call.Rows = in.RowCount();
            value = RefuseAcks == 0;
            if (RefuseAcks > 0)
                --RefuseAcks;
            else if (!IgnoreAcks)
                Drop(call.Table, in);
        } else if (method == QLatin1String("AS_GetParams")) {
            TParams params;
            params.Add(QStringLiteral("PCDCONTRATO"), TFieldType::ftString);
            params.Add(QStringLiteral("ppkfilial"), TFieldType::ftInteger);
            params.Add(QStringLiteral("PUF"), TFieldType::ftString);
            value = wire::ParamsToJson(params);
        } else if (method == QLatin1String("AS_GetRecords")) {
            QString table;
            for (const auto& offer : m_offers)
                if (offer.first == call.Table)
                    table = offer.second;
            m_lastParams = args[2].toArray();
            const TDataPacket& all = m_tables[table];
            TDataPacket out(all.Fields());
            const int count = args[1].toInt();
            for (int r = 0; r < all.RowCount() && (count < 0 || r < count); ++r) {
                QList<QVariant> row;
                for (int f = 0; f < all.Fields().size(); ++f)
                    row << all.Value(r, f);
                out.AppendRow(row);
            }
            call.Rows = out.RowCount();
            value = QString::fromUtf8(out.ToXml());
        } else {
            m_calls.append(call);
            return wire::Error(id, QStringLiteral("Unknown method ") + method);
        }
        m_calls.append(call);
        return wire::Result(id, wire::MethodResult(value, args));
    }

    void Merge(const QString& table, const TDataPacket& in)
    {
        TDataPacket& stored = m_tables[table];
        if (stored.Fields().isEmpty())
            stored = TDataPacket(in.Fields());
        QSet<QString> have;
        for (int r = 0; r < stored.RowCount(); ++r)
            have.insert(KeyOf(stored, r));
        for (int r = 0; r < in.RowCount(); ++r) {
            if (have.contains(KeyOf(in, r)))
                continue;
            have.insert(KeyOf(in, r));
            QList<QVariant> row;
            for (int f = 0; f < in.Fields().size(); ++f)
                row << in.Value(r, f);
            stored.AppendRow(row);
        }
    }

    void Drop(const QString& table, const TDataPacket& acked)
    {
        QSet<QString> gone;
        for (int r = 0; r < acked.RowCount(); ++r)
            gone.insert(KeyOf(acked, r));
        const TDataPacket& stored = m_tables[table];
        TDataPacket kept(stored.Fields());
        for (int r = 0; r < stored.RowCount(); ++r) {
            if (gone.contains(KeyOf(stored, r)))
                continue;
            QList<QVariant> row;
            for (int f = 0; f < stored.Fields().size(); ++f)
                row << stored.Value(r, f);
            kept.AppendRow(row);
        }
        m_tables[table] = kept;
    }

    std::thread m_thread;
    quint16 m_port = 0;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    QList<TPeerCall> m_calls;
    QList<QPair<QString, QString>> m_offers;
    QMap<QString, TDataPacket> m_tables;
    QJsonArray m_lastParams;
};
