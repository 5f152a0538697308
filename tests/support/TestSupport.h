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

// A fresh embedded database in a temporary folder, forced writes off, with the
// given tables; Connection() is configured like the program's local connection
// (SYSDBA, ISO8859_1, dialect 3) and not yet connected.
class TTestDatabase
{
public:
    explicit TTestDatabase(const TTableDefs& tables = {});
    ~TTestDatabase();
    const QString& Path() const { return m_path; }
    TSQLConnection& Connection() { return *m_connection; }
    // Runs one statement on a connection of its own (committed, then detached).
    void Exec(const QString& sql);
    TTempFolder& Folder() { return m_folder; }

private:
    TTempFolder m_folder;
    QString m_path;
    std::unique_ptr<TSQLConnection> m_connection;
};
