#pragma once

#include "tools/schema/SchemaBuilder.h"

#include <QString>
#include <QTemporaryDir>

#include <memory>

class TSQLConnection;

// A temporary folder removed with the test.
class TTempFolder
{
public:
    TTempFolder();
    // Path with a trailing separator, like the program folder.
    QString Path() const;
    QString File(const QString& name) const;
    // Writes `text` (UTF-8) into the file `name` of the folder.
    void Write(const QString& name, const QByteArray& text) const;
    QByteArray Read(const QString& name) const;

private:
    QTemporaryDir m_dir;
};

// The database tier of the test command: scripts/test.sh starts a private
// Firebird server and runs the end-to-end tests a second time with their
// installations' databases on it.

// "localhost/PORT" of the test command's Firebird server (KELT_TEST_FB_SERVER), empty when none runs.
QString TestServerAddress();
// True when fixtures should put their databases on that server (KELT_TEST_DATABASE_TIER=server).
bool DatabasesOnServer();
// The connection string of a database file: "localhost/PORT:" + path on the server tier, else the path.
// Raises std::runtime_error on the server tier when no server runs.
QString DatabaseConnectionString(const QString& filePath, bool onServer = DatabasesOnServer());
// True where a missing server is a failure, not a reason to skip (KELT_REQUIRE_FB_SERVER=1).
bool FbServerRequired();

// In a test body (GoogleTest included): skips when no server runs, or fails when KELT_REQUIRE_FB_SERVER=1.
#define KELT_REQUIRE_FB_SERVER()                                                                       \
    do {                                                                                               \
        if (TestServerAddress().isEmpty()) {                                                           \
            if (FbServerRequired())                                                                    \
                FAIL() << "KELT_REQUIRE_FB_SERVER=1 but KELT_TEST_FB_SERVER names no Firebird server"; \
            GTEST_SKIP() << "no Firebird server (KELT_TEST_FB_SERVER; scripts/fb-server.sh starts one)"; \
        }                                                                                              \
    } while (0)

// A fresh database in a temporary folder, forced writes off, with the given
// tables: an embedded file, or on the server tier the same file opened through
// the test command's server. Connection() is configured like the program's
// local connection (SYSDBA, ISO8859_1, dialect 3) and not yet connected.
class TTestDatabase
{
public:
    explicit TTestDatabase(const TTableDefs& tables = {}, bool onServer = DatabasesOnServer());
    ~TTestDatabase();
    // What a connection's DataBase parameter takes (the server's string on the server tier).
    const QString& Path() const { return m_path; }
    // The file itself, for what is done to it outside the engine.
    const QString& FilePath() const { return m_filePath; }
    TSQLConnection& Connection() { return *m_connection; }
    // Runs one statement on a connection of its own (committed, then detached).
    void Exec(const QString& sql);
    TTempFolder& Folder() { return m_folder; }

private:
    TTempFolder m_folder;
    QString m_filePath;
    QString m_path;
    std::unique_ptr<TSQLConnection> m_connection;
};

// Another program writing the database in a process of its own (isql-fb), one
// read-committed transaction that waits on locks per change, as shop programs
// write. `changes` are the statements of each change, run in order.
class TConcurrentWriter
{
public:
    TConcurrentWriter(const QString& database, const QList<QStringList>& changes);
    ~TConcurrentWriter();
    bool Running() const;
    // Waits for the end; the number of statements that failed (an update
    // conflict with the settling of the same row makes a change fail, which is
    // then not made) and what the writer printed.
    int Finish(QString* output = nullptr);

private:
    TTempFolder m_folder;
    std::unique_ptr<class QProcess> m_process;
};
