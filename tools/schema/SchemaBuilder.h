#pragma once

#include "platform/types/FieldDefs.h"

#include <QList>
#include <QString>
#include <QStringList>

class TSQLConnection;

// A table of a test or demo database: its columns (in the types of the field
// lists) and its primary key.
struct TTableDef
{
    QString Name;
    TFieldDefs Columns;
    QStringList PrimaryKey; // empty: no primary key
    QList<QStringList> Indexes = {}; // secondary (non-unique) indexes, each a column list

    // Columns from the field-list notation; primary key names given separately.
    static TTableDef FromNotation(const QString& name, const QString& columns, const QStringList& primaryKey = {});
};

using TTableDefs = QList<TTableDef>;

// CREATE TABLE text for one table: int INTEGER, small SMALLINT, str n VARCHAR(n),
// char n CHAR(n), dec p.s NUMERIC(p,s), date DATE, time TIME, memo BLOB SUB_TYPE
// TEXT, blob BLOB SUB_TYPE BINARY; required columns NOT NULL; primary key.
// Raises EInvalidIdentifier for a table or column name that is not a plain identifier.
QString CreateTableStatement(const TTableDef& table);

// CREATE INDEX texts of the table's secondary indexes (IX_<table>_<n>).
QStringList CreateIndexStatements(const TTableDef& table);

// Creates every table and its indexes on an open connection, one statement each.
void CreateTables(TSQLConnection& connection, const TTableDefs& tables);

// Creates a new database file (ISO8859_1, dialect 3) holding the tables.
// `forcedWrites` false speeds up test databases; the program never changes it.
void BuildDatabase(const QString& path, const TTableDefs& tables, bool forcedWrites = true);

// Table definitions from text, one table per line:
//   TBALIQUOTA (PKALIQUOTA, PKFILIAL): PKALIQUOTA int K; PKFILIAL int K; NMALIQUOTA str 60
// The parenthesised primary key is optional; blank lines and lines starting
// with '#' are skipped. Raises EDatabaseError naming the line on a bad one.
TTableDefs ParseSchemaText(const QString& text);
