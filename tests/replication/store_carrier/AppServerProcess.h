#pragma once

// The stand-in application server as a separate process on an ephemeral
// loopback port, with its own database, and its operator object for loading
// carrier data and switching faults while it runs. Header-only and free of
// GoogleTest so that the benchmarks can start the same server.

#include "platform/types/Exception.h"
#include "remote/ConnectionBroker.h"
#include "remote/wire/SocketConnection.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QString>

#include <memory>

class TAppServerProcess
{
public:
    // `folder` (with trailing separator) receives the server's database, port
    // file and log.
    TAppServerProcess(QString executable, QString folder)
        : m_executable(std::move(executable)), m_folder(std::move(folder))
    {
    }
    ~TAppServerProcess() { Stop(); }
    TAppServerProcess(const TAppServerProcess&) = delete;
    TAppServerProcess& operator=(const TAppServerProcess&) = delete;

    QString DatabasePath() const { return m_folder + QStringLiteral("appserver.fdb"); }
    QString LogPath() const { return m_folder + QStringLiteral("appserver.log"); }
    int Port() const { return m_port; }

    // The next Start serves TLS with this certificate and key (PEM files);
    // empty names: plain TCP.
    void SetTls(const QString& certificateFile, const QString& keyFile)
    {
        m_tls.clear();
        if (!certificateFile.isEmpty())
            m_tls = {QStringLiteral("--tls-cert"), certificateFile, QStringLiteral("--tls-key"), keyFile};
    }

    // Starts the server and waits until it listens. Raises Exception with the
    // server's own output when it does not come up.
    void Start(int timeoutMs = 30000)
    {
        const QString portFile = m_folder + QStringLiteral("appserver.port");
        QFile::remove(portFile);
        m_process = std::make_unique<QProcess>();
        m_process->setProcessChannelMode(QProcess::MergedChannels);
        m_process->start(m_executable, QStringList{QStringLiteral("--database"), DatabasePath(),
                                                   QStringLiteral("--port"), QStringLiteral("0"),
                                                   QStringLiteral("--port-file"), portFile, QStringLiteral("--log-file"),
                                                   LogPath(), QStringLiteral("--quiet")} + m_tls);
        if (!m_process->waitForStarted(timeoutMs))
            throw Exception(QStringLiteral("Cannot start %1: %2").arg(m_executable, m_process->errorString()));
        const QDeadlineTimer deadline(timeoutMs);
        while (!deadline.hasExpired()) {
            QFile f(portFile);
            if (f.open(QIODevice::ReadOnly)) {
                m_port = f.readAll().trimmed().toInt();
                if (m_port > 0)
                    return;
            }
            if (m_process->state() == QProcess::NotRunning)
                break;
            m_process->waitForFinished(20);
        }
        const QString output = QString::fromLocal8Bit(m_process->readAll());
        Stop();
        throw Exception(QStringLiteral("The stand-in server did not come up: %1").arg(output));
    }

    // Ends the server: SIGTERM, so that it closes its database, then SIGKILL
    // when it has not ended within `graceMs`.
    void Stop(int graceMs = 5000)
    {
        if (!m_process)
            return;
        if (m_process->state() != QProcess::NotRunning) {
            m_process->terminate();
            if (!m_process->waitForFinished(graceMs)) {
                m_process->kill();
                m_process->waitForFinished(5000);
            }
        }
        m_process.reset();
        m_port = 0;
    }

private:
    QString m_executable;
    QString m_folder;
    QStringList m_tls;
    std::unique_ptr<QProcess> m_process;
    int m_port = 0;
};

// The operator's controls of a running stand-in server ("KeltAppServer.Admin").
class TAppServerAdmin
{
public:
    // `fingerprint`: the pin of a server that serves TLS; empty for plain TCP.
    explicit TAppServerAdmin(int port, const QString& fingerprint = {}) : m_broker(&m_socket)
    {
        m_socket.SetHost(QStringLiteral("127.0.0.1"));
        m_socket.SetPort(port);
        m_socket.SetTls(TTlsSettings{!fingerprint.isEmpty(), fingerprint, {}});
        m_socket.SetServerName(QStringLiteral("KeltAppServer.Admin"));
        m_broker.Open();
    }
    ~TAppServerAdmin()
    {
        m_broker.Close();
        m_socket.Close();
    }

    QJsonValue Call(const QString& method, QJsonArray args = {}) { return m_broker.Call(method, args); }

    // `rewrite`: values written back by Conecta_No_Banco ({"UF": "...", "PkFilial": n, ...}).
    void AddInstallation(const QString& cdContrato, qint32 pkEmpresa, qint32 pkFilial, const QString& uf,
                         const QJsonObject& rewrite = {})
    {
        Call(QStringLiteral("AddInstallation"), {cdContrato, pkEmpresa, pkFilial, uf, rewrite});
    }
    // Rows for one store (0: every store); a key already there becomes pending again.
    int LoadPacket(const QString& table, const QByteArray& xml, qint32 store = 0, const QString& provider = {})
    {
        return Call(QStringLiteral("LoadPacket"), {table, QString::fromUtf8(xml), store, provider}).toInt();
    }
    QString ExecSql(const QString& sql) { return Call(QStringLiteral("ExecSql"), {sql}).toString(); }
    // {"method": M, "table": T, "at": N, "once": bool, "kind": K, "value": V}
    int SetFault(const QJsonObject& spec) { return Call(QStringLiteral("SetFault"), {spec}).toInt(); }
    void ClearFaults() { Call(QStringLiteral("ClearFaults")); }
    // Served calls after sequence number `since`: {seq, method, table, outcome, ...}.
    QJsonArray CallLog(qint64 since = 0) { return Call(QStringLiteral("CallLog"), {since}).toArray(); }

private:
    TSocketConnection m_socket;
    TConnectionBroker m_broker;
};
