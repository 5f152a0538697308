#pragma once

#include <QString>
#include <QStringView>
#include <QVariant>

#include <memory>
#include <utility>
#include <vector>

class TSQLConnection;
class TSQLDataSet;

// The server's own embedded Firebird database: the file (created on first
// use), the server's KAS_ tables and sequence, and the prepared statements
// every part of the store shares over its one connection.
class TStoreDatabase
{
public:
    // Opens the database, creating the file and the server's own tables when
    // they are missing. Raises EDatabaseError (for example when another process
    // holds the file). Without `createWhenMissing` a local file that is not
    // there raises Exception and nothing is created.
    TStoreDatabase(const QString& path, bool createWhenMissing);
    ~TStoreDatabase();
    TStoreDatabase(const TStoreDatabase&) = delete;
    TStoreDatabase& operator=(const TStoreDatabase&) = delete;

    TSQLConnection* Connection() { return m_connection.get(); }
    // A prepared statement kept for reuse, closed and ready for new parameters.
    TSQLDataSet& Statement(const QString& text);
    // Drops the prepared statements: they would hold tables against DDL.
    void ForgetStatements();
    // Runs one DDL statement, after dropping the prepared statements.
    void ExecuteDdl(const QString& statement);

private:
    void EnsureSchema();

    std::unique_ptr<TSQLConnection> m_connection;
    std::vector<std::pair<QString, std::unique_ptr<TSQLDataSet>>> m_statements;
};

// Sets the parameter `name` of `ds` when the statement has it.
void SetParam(TSQLDataSet& ds, QStringView name, const QVariant& value);
// A value as the operator reads it, and as rows are compared by their keys.
QString VariantText(const QVariant& v);
