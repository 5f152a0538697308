#pragma once

#include <QJsonArray>
#include <QJsonValue>
#include <QString>

#include <array>
#include <optional>

// What an operator published for the self-update: the newest client version
// and the address of its installer.
struct TPublishedUpdate
{
    std::array<quint16, 4> Version{}; // major, minor, release, build
    QString Url;

    QString VersionText() const; // "2.1.0.15"
};

// The object "KeltInternoServer.coKeltInternoServer" of the stand-in server.
// ProcuraAtualizacao(executable, version) answers "1|url" when the client's
// version is older than the published one, "0" otherwise (nothing published, a
// version text it cannot read, an equal or newer client).
//
// The publication is kept in a small JSON file beside the server's database
// (FileFor), written whole and renamed into place, and read afresh at every
// call: it survives restarts and can be changed while the server runs, though
// the embedded database is then held by the server.
class TUpdateService
{
public:
    static constexpr const char* ObjectName = "KeltInternoServer.coKeltInternoServer";

    explicit TUpdateService(QString file) : m_file(std::move(file)) {}
    // "<database>.update.json".
    static QString FileFor(const QString& databasePath);

    const QString& File() const { return m_file; }
    // Nothing when nothing is published. Raises Exception for a file that is
    // there but cannot be read as a publication.
    std::optional<TPublishedUpdate> Published() const;
    // Raises Exception for a version that is not four numbers from 0 to 65535
    // ("2.1.0.15"), an address that is empty or holds a "|" or a line break,
    // or a file that cannot be written.
    void Publish(const QString& version, const QString& url);
    void Withdraw();

    QString ProcuraAtualizacao(const QString& executable, const QString& version) const;

    // One method of the object for the server's dispatch: the answer value;
    // `outcome` is the log text. Raises Exception for an unknown method or
    // missing arguments.
    QJsonValue Serve(const QString& method, const QJsonArray& args, QString& outcome) const;

    // The four numbers of a client's version text ("%.2d" each, run
    // together). A number above 99 keeps all its digits, so a text may split in
    // more than one way; the split with the shortest leading numbers wins
    // ("100000100" is 10.0.0.100).
    static std::optional<std::array<quint16, 4>> ParseClientVersion(const QString& text);
    static std::optional<std::array<quint16, 4>> ParseDottedVersion(const QString& text);

private:
    QString m_file;
};
