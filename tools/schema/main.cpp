// kelt-schema: creates an embedded Firebird database from table definitions.
#include "SchemaBuilder.h"

#include "platform/types/Exception.h"
#include "platform/os/FileVersion.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kelt-schema"));
    const QString version =
        FileVersionText(QCoreApplication::applicationFilePath(), QStringLiteral("%u.%u.%u.%u"));
    QCoreApplication::setApplicationVersion(version.isEmpty() ? QStringLiteral("(no version)") : version);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Creates a Firebird database (ISO8859_1, dialect 3) holding the tables of one or more definition files."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption showVersion = parser.addVersionOption();
    QCommandLineOption database(QStringLiteral("database"), QStringLiteral("Database file to create."),
                                QStringLiteral("path"));
    QCommandLineOption noForcedWrites(QStringLiteral("no-forced-writes"),
                                      QStringLiteral("Switch forced writes off (test databases only)."));
    parser.addOption(database);
    parser.addOption(noForcedWrites);
    parser.addPositionalArgument(QStringLiteral("definitions"), QStringLiteral("Table definition files."));
    // Not process(): it ends an unknown option with exit code 1, where every tool of ours says 2.
    if (!parser.parse(app.arguments())) {
        std::fprintf(stderr, "kelt-schema: %s\nSee kelt-schema --help.\n", qPrintable(parser.errorText()));
        return 2;
    }
    if (parser.isSet(help))
        parser.showHelp(0);
    if (parser.isSet(showVersion))
        parser.showVersion();
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
