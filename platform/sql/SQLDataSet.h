#pragma once

#include "platform/types/FieldDefs.h"
#include "platform/types/Params.h"

#include <QString>
#include <QVariant>

#include <memory>
#include <vector>

class TDataPacket;

class TSQLConnection;
struct FbStatementState; // prepared statement, transaction and cursor; private

// A statement on a TSQLConnection with named parameters (":NAME").
//
// Parameters are parsed from the command text, outside quoted strings, quoted
// identifiers and comments, in order of appearance; a name that appears twice
// is one parameter bound at every place. Every statement takes effect on its own:
// ExecSQL runs in its own transaction committed on success and rolled back on
// failure; Open starts a transaction that ends (commits) when the data set closes.
// While the connection runs an explicit transaction (StartTransaction), both run
// in it instead and commit nothing; a failing statement undoes only itself.
// The statement is prepared once per command text and reused.
//
// Values are QVariant: SMALLINT/INTEGER/BIGINT integers, NUMERIC/DECIMAL Decimal,
// DATE QDate, TIME QTime, TIMESTAMP QDateTime, CHAR/VARCHAR QString in the
// connection's character set, text BLOB QString, binary BLOB QByteArray, NULL a
// null QVariant. A parameter value is converted to the type the statement
// expects at that place; a value that does not convert raises EDatabaseError.
class TSQLDataSet
{
public:
    explicit TSQLDataSet(TSQLConnection* connection = nullptr);
    ~TSQLDataSet();
    TSQLDataSet(const TSQLDataSet&) = delete;
    TSQLDataSet& operator=(const TSQLDataSet&) = delete;

    TSQLConnection* SQLConnection() const { return m_connection; }
    void SetSQLConnection(TSQLConnection* connection);

    const QString& CommandText() const { return m_commandText; }
    // Closes the data set, drops the prepared statement and parses the parameters
    // anew. Values of parameters whose names stay are kept.
    void SetCommandText(const QString& text);

    TParams& Params() { return m_params; }
    const TParams& Params() const { return m_params; }

    // Runs a statement that returns rows and positions on the first one.
    // Connects the connection on demand. Raises EDatabaseError.
    void Open();
    // Runs a statement without result set. Raises EDatabaseError.
    void ExecSQL();
    // Ends the cursor and its transaction. Never raises.
    void Close();

    bool Active() const;
    bool IsEmpty() const; // open with no row
    bool Eof() const;     // past the last row
    void Next();          // raises EDatabaseError on a fetch failure

    int FieldCount() const;
    const TFieldDefs& FieldDefs() const; // of the open result set
    TField Fields(int index) const;
    TField FieldByName(QStringView name) const; // raises "Field 'NAME' not found"
    int FindFieldIndex(QStringView name) const; // -1 when absent

    // Appends the current row's columns `columns`, in that order, as one row of
    // `packet`, taken as AppendRow would take their values. Raises
    // EPacketError when a value does not fit; the packet is left as it was.
    void AppendRowTo(TDataPacket& packet, const std::vector<int>& columns) const;

    // Rows affected by the last ExecSQL.
    qint64 RowsAffected() const { return m_rowsAffected; }

private:
    friend class TSQLConnection;
    void ConnectionClosing(); // the connection detaches: drop statement and cursor
    void TransactionEnding(); // the explicit transaction ends: close a cursor read in it

    TSQLConnection* m_connection = nullptr;
    QString m_commandText;
    TParams m_params;
    qint64 m_rowsAffected = 0;
    std::unique_ptr<FbStatementState> m_state;
};
