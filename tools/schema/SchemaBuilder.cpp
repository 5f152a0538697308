#include "SchemaBuilder.h"

#include "platform/types/Exception.h"
#include "platform/sql/SQLConnection.h"
#include "platform/sql/SQLDataSet.h"

TTableDef TTableDef::FromNotation(const QString& name, const QString& columns, const QStringList& primaryKey)
{
    return TTableDef{name, ParseFieldList(columns), primaryKey};
}

QString CreateTableStatement(const TTableDef& table)
{
    RequirePlainIdentifier(table.Name, "table");
    if (table.Columns.isEmpty())
        throw EDatabaseError(QStringLiteral("Table '%1' has no columns").arg(table.Name));
    QString sql = QStringLiteral("CREATE TABLE ") + table.Name + QStringLiteral(" (");
    for (int i = 0; i < table.Columns.size(); ++i) {
        const TFieldDef& c = table.Columns[i];
        RequirePlainIdentifier(c.Name, "column");
        if (i > 0)
            sql += QStringLiteral(", ");
        sql += c.Name + u' ' + SqlColumnType(c);
        // Key columns must be NOT NULL for the primary key.
        if (c.Required || table.PrimaryKey.contains(c.Name, Qt::CaseInsensitive))
            sql += QStringLiteral(" NOT NULL");
    }
    if (!table.PrimaryKey.isEmpty()) {
        for (const QString& k : table.PrimaryKey) {
            RequirePlainIdentifier(k, "column");
            if (IndexOfField(table.Columns, k) < 0)
                throw EDatabaseError(
                    QStringLiteral("Primary key column '%1' is not a column of '%2'").arg(k, table.Name));
        }
        sql += QStringLiteral(", PRIMARY KEY (") + table.PrimaryKey.join(u',') + u')';
    }
    sql += u')';
    return sql;
}

QStringList CreateIndexStatements(const TTableDef& table)
{
    QStringList statements;
    for (int i = 0; i < table.Indexes.size(); ++i) {
        for (const QString& column : table.Indexes[i]) {
            RequirePlainIdentifier(column, "column");
            if (IndexOfField(table.Columns, column) < 0)
                throw EDatabaseError(
                    QStringLiteral("Index column '%1' is not a column of '%2'").arg(column, table.Name));
        }
        statements << QStringLiteral("CREATE INDEX IX_%1_%2 ON %1 (%3)")
                          .arg(table.Name)
                          .arg(i + 1)
                          .arg(table.Indexes[i].join(u','));
    }
    return statements;
}

void CreateTables(TSQLConnection& connection, const TTableDefs& tables)
{
    TSQLDataSet ddl(&connection);
    for (const TTableDef& t : tables) {
        ddl.SetCommandText(CreateTableStatement(t));
        ddl.ExecSQL();
        for (const QString& index : CreateIndexStatements(t)) {
            ddl.SetCommandText(index);
            ddl.ExecSQL();
        }
    }
}

void BuildDatabase(const QString& path, const TTableDefs& tables, bool forcedWrites)
{
    // Statement texts first, so that a bad definition leaves no file behind.
    for (const TTableDef& t : tables) {
        CreateTableStatement(t);
        CreateIndexStatements(t);
    }
    TCreateDatabaseOptions options;
    options.ForcedWrites = forcedWrites;
    CreateDatabase(path, options);
    TSQLConnection connection;
    connection.Params().Add(QStringLiteral("DataBase"), path);
    connection.Params().Add(QStringLiteral("User_Name"), options.User);
    connection.Params().Add(QStringLiteral("Password"), options.Password);
    connection.Params().Add(QStringLiteral("ServerCharSet"), options.CharSet);
    connection.Params().Add(QStringLiteral("SQLDialect"), QStringLiteral("3"));
    connection.SetLoginPrompt(false);
    CreateTables(connection, tables);
    connection.Close();
}

TTableDefs ParseSchemaText(const QString& text)
{
    TTableDefs tables;
    const QStringList lines = text.split(u'\n');
    for (int n = 0; n < lines.size(); ++n) {
        const QString line = lines[n].trimmed();
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        const auto fail = [&](const QString& why) {
            throw EDatabaseError(QStringLiteral("Schema line %1: %2").arg(n + 1).arg(why));
        };
        const qsizetype colon = line.indexOf(u':');
        if (colon < 0)
            fail(QStringLiteral("expected 'TABLE (KEYS): fields'"));
        QString head = line.left(colon).trimmed();
        QStringList key;
        const qsizetype open = head.indexOf(u'(');
        if (open >= 0) {
            if (!head.endsWith(u')'))
                fail(QStringLiteral("unclosed primary key list"));
            for (const QString& k : head.mid(open + 1, head.size() - open - 2).split(u',', Qt::SkipEmptyParts))
                key << k.trimmed();
            head = head.left(open).trimmed();
        }
        try {
            TTableDef t = TTableDef::FromNotation(head, line.mid(colon + 1), key);
            CreateTableStatement(t); // validates names and keys
            tables.append(std::move(t));
        } catch (const EDatabaseError& e) {
            fail(e.Message());
        }
    }
    return tables;
}
