// kelt-cadm-db: a headquarters or branch database of the master-data channel,
// built from the catalogue's table definitions, and statements run on it, for
// the by-hand round trip (scripts/demo-master-data.sh).
#include "platform/types/Exception.h"
#include "platform/sql/SQLConnection.h"
#include "platform/sql/SQLDataSet.h"
#include "tools/channel_schemas/CadastroMSchema.h"
#include "tools/schema/SchemaBuilder.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kelt-cadm-db"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Creates a master-data database (--shape hq: exporting tables, TBCEC and markers; --shape branch: receiving "
        "tables), then runs each --exec statement and prints the rows of each --query, in the order given."));
    parser.addHelpOption();
    const QCommandLineOption shape(QStringLiteral("shape"), QStringLiteral("hq or branch: create the database."),
                                   QStringLiteral("shape"));
    const QCommandLineOption exec(QStringLiteral("exec"), QStringLiteral("A statement to run."), QStringLiteral("sql"));
    const QCommandLineOption query(QStringLiteral("query"), QStringLiteral("A query to print."), QStringLiteral("sql"));
    parser.addOptions({shape, exec, query});
    parser.addPositionalArgument(QStringLiteral("database"), QStringLiteral("The database file."));
    parser.process(app);
    if (parser.positionalArguments().size() != 1) {
        std::fputs("usage: kelt-cadm-db DATABASE [--shape hq|branch] [--exec SQL]... [--query SQL]...\n", stderr);
        return 2;
    }
    const QString database = parser.positionalArguments().first();
    try {
        if (parser.isSet(shape)) {
            const QString s = parser.value(shape);
            if (s != QLatin1String("hq") && s != QLatin1String("branch"))
                throw Exception(QStringLiteral("Unknown shape '%1' (hq or branch)").arg(s));
            const TTableDefs tables = s == QLatin1String("hq") ? CadastroMExportingTables() : CadastroMReceivingTables();
            BuildDatabase(database, tables, /*forcedWrites=*/false);
            std::printf("Created %s (%s, %lld tables)\n", qPrintable(database), qPrintable(s), qlonglong(tables.size()));
        }
        // Statements and queries in command-line order.
        TSQLConnection c;
        c.Params().Add(QStringLiteral("DataBase"), database);
        for (int i = 1; i < argc; ++i) {
            const QString arg = QString::fromLocal8Bit(argv[i]);
            const bool isExec = arg == QLatin1String("--exec"), isQuery = arg == QLatin1String("--query");
            if ((!isExec && !isQuery) || i + 1 >= argc)
                continue;
            const QString sql = QString::fromLocal8Bit(argv[++i]);
            TSQLDataSet ds(&c);
            ds.SetCommandText(sql);
            if (isExec) {
                ds.ExecSQL();
                continue;
            }
            bool first = true;
            for (ds.Open(); !ds.Eof(); ds.Next()) {
                QStringList names, values;
                for (int f = 0; f < ds.FieldCount(); ++f) {
                    names.append(ds.Fields(f).FieldName());
                    values.append(ds.Fields(f).IsNull() ? QStringLiteral("<null>") : ds.Fields(f).AsString());
                }
                if (first)
                    std::printf("%s\n", qPrintable(names.join(QStringLiteral(" | "))));
                first = false;
                std::printf("%s\n", values.join(QStringLiteral(" | ")).toLocal8Bit().constData());
            }
            if (first)
                std::printf("(no rows)\n");
        }
        c.Close();
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kelt-cadm-db: %s\n", e.what());
        return 1;
    }
}
