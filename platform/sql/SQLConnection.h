#pragma once

#include <QList>
#include <QPair>
#include <QString>
#include <QStringView>

#include <memory>

// Ordered name=value list of a connection's parameters (DataBase, User_Name,
// Password, ServerCharSet, SQLDialect). Names compared without regard to case.
class TConnectionParams
{
public:
    void Clear() { m_items.clear(); }
    int Count() const { return int(m_items.size()); }
    const QString& NameAt(int i) const { return m_items[i].first; }
    const QString& ValueAt(int i) const { return m_items[i].second; }
    // Appends a pair even when the name is already there (as a text list would).
    void Add(const QString& name, const QString& value) { m_items.append({name, value}); }
    // Value of the first pair with that name; empty when absent.
    QString Value(QStringView name) const;
    // Replaces the value of the first pair with that name, or appends the pair.
    void SetValue(const QString& name, const QString& value);
    bool Contains(QStringView name) const;

private:
    QList<QPair<QString, QString>> m_items;
};

struct FbAttachmentState; // the Firebird attachment, private to platform/sql

enum class TIsolation
{
    ReadCommitted,
    Snapshot,
};

// A connection to one Firebird database. A DataBase without a host ("/data/AGENTE.KELT")
// opens the file with the embedded engine in this process; "host:path" or
// "host/port:path" goes to a Firebird server. Connects on demand when a data set opens.
class TSQLConnection
{
public:
    explicit TSQLConnection(QString connectionName = {});
    ~TSQLConnection();
    TSQLConnection(const TSQLConnection&) = delete;
    TSQLConnection& operator=(const TSQLConnection&) = delete;

    const QString& ConnectionName() const { return m_connectionName; }

    TConnectionParams& Params() { return m_params; }
    const TConnectionParams& Params() const { return m_params; }

    // Kept for the configuration; no dialog is ever shown, the stored user and
    // password are always used.
    bool LoginPrompt() const { return m_loginPrompt; }
    void SetLoginPrompt(bool on) { m_loginPrompt = on; }

    // Attaches with the current parameters. Raises EDatabaseError with the
    // engine's message on failure. Does nothing when already connected.
    void Open();
    // Detaches; data sets on this connection are closed first. Never raises.
    void Close();
    bool Connected() const;

    // An explicit transaction spanning statements. While it runs, every data set
    // of the connection opens and executes in it, and nothing is committed until
    // Commit. Snapshot sees the database as it was when the transaction started:
    // a row another program commits later stays invisible, and changing a row
    // that another program changed meanwhile fails with an update conflict.
    // Lock waits end after `lockTimeoutSeconds` with a lock conflict.
    // Connects on demand; raises EDatabaseError, also when one is running already.
    void StartTransaction(TIsolation isolation = TIsolation::Snapshot, int lockTimeoutSeconds = 10);
    // Closes the data sets that read in it, then commits. On failure the
    // transaction is rolled back and EDatabaseError raised.
    void Commit();
    // Closes the data sets that read in it and undoes its work. Never raises.
    void Rollback();
    bool InTransaction() const;

    // SQL dialect from the parameters (3 when empty or not a number).
    unsigned Dialect() const;
    // Character set of the parameters (ISO8859_1 when empty).
    QString CharSet() const;

    // For TSQLDataSet only.
    FbAttachmentState& State();
    void RegisterDataSet(class TSQLDataSet* ds);
    void UnregisterDataSet(class TSQLDataSet* ds);

private:
    void EndTransaction(bool commit);

    QString m_connectionName;
    TConnectionParams m_params;
    bool m_loginPrompt = true;
    std::unique_ptr<FbAttachmentState> m_state;
    QList<class TSQLDataSet*> m_dataSets;
};

// Database-level helpers of tools and tests; the program itself never creates
// databases nor changes their settings.
struct TCreateDatabaseOptions
{
    QString User = QStringLiteral("SYSDBA");
    QString Password = QStringLiteral("quillbent");
    QString CharSet = QStringLiteral("ISO8859_1");
    int PageSize = 8192;
    bool ForcedWrites = true; // Firebird's default; tests may switch it off for speed
};

// Creates an empty dialect-3 database file (embedded path or host:path).
// Raises EDatabaseError with the engine's message (also when it exists).
void CreateDatabase(const QString& database, const TCreateDatabaseOptions& options = {});
// Removes the database file through the engine; raises EDatabaseError on failure.
void DropDatabase(const QString& database, const QString& user = QStringLiteral("SYSDBA"),
                  const QString& password = QStringLiteral("quillbent"));

// An explicit transaction that is rolled back unless committed: the scope of
// work that must take effect as a whole or not at all.
class TSQLTransaction
{
public:
    explicit TSQLTransaction(TSQLConnection& connection, TIsolation isolation = TIsolation::Snapshot)
        : TSQLTransaction(connection, isolation, true)
    {
    }
    // With `run` false nothing is started: statements take effect on their own
    // and Commit does nothing.
    TSQLTransaction(TSQLConnection& connection, TIsolation isolation, bool run) : m_connection(connection), m_run(run)
    {
        if (m_run)
            m_connection.StartTransaction(isolation);
    }
    ~TSQLTransaction()
    {
        if (m_run)
            m_connection.Rollback();
    }
    TSQLTransaction(const TSQLTransaction&) = delete;
    TSQLTransaction& operator=(const TSQLTransaction&) = delete;

    void Commit()
    {
        if (m_run)
            m_connection.Commit();
        m_run = false;
    }

private:
    TSQLConnection& m_connection;
    bool m_run;
};
