// kelt-schema: creates an embedded Firebird database from table definitions.
#include "SchemaBuilder.h"

#include "platform/data/Exception.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kelt-schema"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Creates a Firebird database (ISO8859_1, dialect 3) holding the tables of one or more definition files."));
    parser.addHelpOption();
    QCommandLineOption database(QStringLiteral("database"), QStringLiteral("Database file to create."),
                                QStringLiteral("path"));
    QCommandLineOption noForcedWrites(QStringLiteral("no-forced-writes"),
                                      QStringLiteral("Switch forced writes off (test databases only)."));
    parser.addOption(database);
    parser.addOption(noForcedWrites);
    parser.addPositionalArgument(QStringLiteral("definitions"), QStringLiteral("Table definition files."));
    parser.process(app);
    if (!parser.isSet(database)) {
        std::fputs("kelt-schema: --database is required\n", stderr);
        return 2;
    }
    try {
        TTableDefs tables;
        for (const QString& file : parser.positionalArguments()) {
            QFile f(file);
            if (!f.open(QIODevice::ReadOnly))
                throw Exception(QStringLiteral("Cannot read %1: %2").arg(file, f.errorString()));
            tables += ParseSchemaText(QString::fromUtf8(f.readAll()));
        }
        BuildDatabase(parser.value(database), tables, !parser.isSet(noForcedWrites));
        std::printf("Created %s with %lld table(s)\n", qPrintable(parser.value(database)), qlonglong(tables.size()));
        return 0;
    } catch (const Exception& e) {
        std::fprintf(stderr, "kelt-schema: %s\n", e.what());
        return 1;
    }
}
