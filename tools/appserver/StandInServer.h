#pragma once

#include "AdminService.h"
#include "Faults.h"
#include "remote/wire/WireProtocol.h"

#include <QDateTime>
#include <QFile>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QString>

#include <memory>
#include <unordered_map>

class QTcpServer;
class QTcpSocket;
class TServerStore;
enum class TBook;

// One served call, as the log shows it.
struct TCallRecord
{
    qint64 Seq = 0;
    QDateTime At;
    QString Peer;
    QString Object;
    QString Method;
    QString Table;
    QString Outcome;
    double Ms = 0; // time to answer, reading the request included

    QString Line() const;
    QJsonObject ToJson() const;
};

// The stand-in for the remote application servers: the wire protocol on a TCP
// port, any number of connections at once on one thread, requests of a
// connection answered in order. Server objects:
//   KeltCadServer.coKeltCadServer          carrier master data for stores
//   KeltCadMServer5.coKeltCadMServer5      master data from headquarters to its branches
//   KeltMovMServer5.coKeltMovMServer5      transactions from branches to headquarters
//   KeltInternoServer.coKeltInternoServer  opens, but its methods are not implemented yet
//   KeltAppServer.Admin                    the operator's controls at run time
class TStandInServer : public QObject
{
    Q_OBJECT
public:
    static constexpr const char* CadServerName = "KeltCadServer.coKeltCadServer";
    static constexpr const char* CadMServerName = "KeltCadMServer5.coKeltCadMServer5";
    static constexpr const char* MovMServerName = "KeltMovMServer5.coKeltMovMServer5";
    static constexpr const char* AdminName = TAdminService::ObjectName;

    explicit TStandInServer(TServerStore& store, QObject* parent = nullptr);
    ~TStandInServer() override;

    // Serves every connection over TLS (1.2 or newer) with this certificate
    // and key, from PEM files; before Listen. Raises Exception when either
    // cannot be read or they do not belong together.
    void EnableTls(const QString& certificateFile, const QString& keyFile);
    // The certificate served; null without TLS.
    const QSslCertificate& TlsCertificate() const { return m_certificate; }

    // Port 0 picks a free one. False (see ErrorString) when it cannot listen.
    bool Listen(const QHostAddress& address, quint16 port);
    quint16 Port() const;
    QString ErrorString() const;

    // Log lines go to stderr unless quiet, and to the file when one is set.
    void SetQuiet(bool quiet) { m_quiet = quiet; }
    bool SetLogFile(const QString& path);
    void Log(const QString& line);

    // The token that lets a peer other than loopback open the admin object;
    // empty (the default): loopback only.
    void SetAdminToken(const QString& token) { m_adminToken = token; }
    bool HasAdminToken() const { return !m_adminToken.isEmpty(); }

    // The most recent calls (at most kCallLogSize), oldest first.
    const QList<TCallRecord>& CallLog() const { return m_calls; }
    static constexpr int kCallLogSize = 10000;

private:
    struct TSession;
    // Packets taken by Inseri_No_Servidor go into their tables between calls.
    void WriteJournalBetweenCalls();
    // Some connection has the first bytes of a request, recent enough that the
    // rest is on its way: the journal waits (kJournalPauseMs at a time).
    bool CallArriving() const;
    static constexpr int kJournalPauseMs = 1;
    static constexpr qint64 kStalledFrameMs = 500;
    bool m_journalStepQueued = false;
    struct TReply;

    void Accept();
    void WireListener();
    void Receive(QTcpSocket* socket);
    void Forget(QTcpSocket* socket);
    // Answers one request; false when the connection is to be dropped.
    bool Serve(TSession& session, const QJsonObject& request, wire::TUtf8Strings longArgs, qint64 readNs);
    // `packets`: the data packet arguments, taken as UTF-8 bytes (see PacketText).
    TReply Dispatch(TSession& session, const QString& method, QJsonArray& args, const wire::TUtf8Strings& packets,
                    QString& table);
    TReply CatalogueMethod(TSession& session, TBook book, const QString& method, QJsonArray& args,
                           const wire::TUtf8Strings& packets, QString& table,
                           const std::optional<TFault>& fault);
    TReply AdminMethod(const QString& method, const QJsonArray& args, const wire::TUtf8Strings& packets);
    void Record(const TSession& session, const QString& method, const QString& table, const QString& outcome,
                double ms = 0);

    TServerStore& m_store;
    QTcpServer* m_listener; // a QSslServer with TLS on
    QSslCertificate m_certificate;
    std::unordered_map<QTcpSocket*, std::unique_ptr<TSession>> m_sessions;
    TFaultBook m_faults;
    QList<TCallRecord> m_calls;
    qint64 m_nextSeq = 1;
    bool m_quiet = false;
    std::unique_ptr<QFile> m_logFile;
    QString m_adminToken;
};
