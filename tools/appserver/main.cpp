// kelt-appserver: the stand-in for the remote application servers (docs/appserver.md).
//
//   kelt-appserver --database FILE [--port N] [--listen ADDR] [--port-file FILE] [--log-file FILE] [--quiet]
//   kelt-appserver admin --database FILE COMMAND ...
#include "ServerStore.h"
#include "StandInServer.h"
#include "UpdateService.h"

#include "platform/data/Exception.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QSaveFile>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

const char* const kUsage =
    "usage:\n"
    "  kelt-appserver --database FILE [--port N] [--listen ADDR] [--port-file FILE] [--log-file FILE] [--quiet]\n"
    "  kelt-appserver admin --database FILE COMMAND ...\n"
    "admin commands (the server must be stopped; while it runs use the KeltAppServer.Admin object):\n"
    "  add-installation CDCONTRATO PKEMPRESA PKFILIAL UF [--rewrite-contrato X] [--rewrite-empresa N]\n"
    "                   [--rewrite-filial N] [--rewrite-uf X]\n"
    "  load --table TABLE [--provider NAME] [--for-store PKFILIAL|all] PACKET.xml\n"
    "  load --object cadm --table TABLE PACKET.xml           (each row for its PKFILIALDESTINO)\n"
    "  load --object movm --table TABLE --for-store PKFILIAL PACKET.xml   (sent by that branch)\n"
    "  rows --object cad|cadm|movm --table TABLE            (the stored rows as a data packet)\n"
    "  sql \"STATEMENT\"\n"
    "  fault METHOD [--table TABLE] [--at N] [--once] false|minus1|raise|drop|malformed|hostile|repeat\n"
    "  fault METHOD [--table TABLE] [--at N] [--once] value JSON\n"
    "  clear-faults\n"
    "  status\n"
    "  publish VERSION URL      (newest client version a.b.c.d and its installer; also while the server runs)\n"
    "  publish --withdraw\n";

struct TUsageError : Exception
{
    using Exception::Exception;
};

// Removes "--name VALUE" from args; empty when absent.
std::optional<QString> TakeOption(QStringList& args, const QString& name)
{
    const qsizetype i = args.indexOf(QStringLiteral("--") + name);
    if (i < 0)
        return std::nullopt;
    if (i + 1 >= args.size())
        throw TUsageError(QStringLiteral("--%1 needs a value").arg(name));
    const QString value = args[i + 1];
    args.remove(i, 2);
    return value;
}

bool TakeFlag(QStringList& args, const QString& name)
{
    return args.removeAll(QStringLiteral("--") + name) > 0;
}

qint32 ToInt(const QString& text, const QString& what)
{
    bool ok = false;
    const qint32 n = text.toInt(&ok);
    if (!ok)
        throw TUsageError(QStringLiteral("%1 is not an integer: %2").arg(what, text));
    return n;
}

void RequireNoOptions(const QStringList& args)
{
    for (const QString& a : args)
        if (a.startsWith(QLatin1String("--")))
            throw TUsageError(QStringLiteral("Unknown option %1").arg(a));
}

// --object cad|cadm|movm (or the server object's name); the carrier when absent.
TBook TakeBook(QStringList& args)
{
    const auto name = TakeOption(args, QStringLiteral("object"));
    if (!name)
        return TBook::Cad;
    const auto book = BookFromName(*name);
    if (!book)
        throw TUsageError(QStringLiteral("Unknown --object %1 (cad, cadm, movm)").arg(*name));
    return *book;
}

void Print(const QString& text)
{
    std::fputs(text.toUtf8().constData(), stdout);
}

// Kept beside the database, not in it, so that it works while the server runs.
int RunPublish(const QString& database, QStringList args)
{
    TUpdateService updates(TUpdateService::FileFor(database));
    if (TakeFlag(args, QStringLiteral("withdraw"))) {
        RequireNoOptions(args);
        if (!args.isEmpty())
            throw TUsageError(QStringLiteral("publish --withdraw takes nothing else"));
        updates.Withdraw();
        Print(QStringLiteral("Update withdrawn\n"));
        return 0;
    }
    RequireNoOptions(args);
    if (args.size() != 2)
        throw TUsageError(QStringLiteral("publish takes VERSION and URL"));
    updates.Publish(args[0], args[1]);
    Print(QStringLiteral("Published %1 at %2\n").arg(updates.Published()->VersionText(), updates.Published()->Url));
    return 0;
}

int RunAdmin(QStringList args)
{
    const auto database = TakeOption(args, QStringLiteral("database"));
    if (!database)
        throw TUsageError(QStringLiteral("--database is required"));
    if (args.isEmpty())
        throw TUsageError(QStringLiteral("an admin command is required"));
    const QString command = args.takeFirst();
    if (command == QLatin1String("publish"))
        return RunPublish(*database, args);
    TServerStore store(*database);

    if (command == QLatin1String("add-installation")) {
        TInstallation i;
        if (const auto v = TakeOption(args, QStringLiteral("rewrite-contrato")))
            i.NewCdContrato = *v;
        if (const auto v = TakeOption(args, QStringLiteral("rewrite-empresa")))
            i.NewPkEmpresa = ToInt(*v, QStringLiteral("--rewrite-empresa"));
        if (const auto v = TakeOption(args, QStringLiteral("rewrite-filial")))
            i.NewPkFilial = ToInt(*v, QStringLiteral("--rewrite-filial"));
        if (const auto v = TakeOption(args, QStringLiteral("rewrite-uf")))
            i.NewUF = *v;
        RequireNoOptions(args);
        if (args.size() != 4)
            throw TUsageError(QStringLiteral("add-installation takes CDCONTRATO PKEMPRESA PKFILIAL UF"));
        i.CdContrato = args[0];
        i.PkEmpresa = ToInt(args[1], QStringLiteral("PKEMPRESA"));
        i.PkFilial = ToInt(args[2], QStringLiteral("PKFILIAL"));
        i.UF = args[3];
        store.AddInstallation(i);
        Print(QStringLiteral("Installation %1/%2 added\n").arg(i.CdContrato).arg(i.PkFilial));
    } else if (command == QLatin1String("load")) {
        const TBook book = TakeBook(args);
        const auto table = TakeOption(args, QStringLiteral("table"));
        const QString provider = TakeOption(args, QStringLiteral("provider")).value_or(QString());
        const QString target = TakeOption(args, QStringLiteral("for-store")).value_or(QStringLiteral("all"));
        RequireNoOptions(args);
        if (!table || args.size() != 1)
            throw TUsageError(QStringLiteral("load takes --table TABLE and one packet file"));
        const qint32 storeId = target == QLatin1String("all") ? 0 : ToInt(target, QStringLiteral("--for-store"));
        QFile f(args[0]);
        if (!f.open(QIODevice::ReadOnly))
            throw Exception(QStringLiteral("Cannot read %1: %2").arg(args[0], f.errorString()));
        const int n = store.LoadPacket(book, *table, provider, TDataPacket::FromXml(f.readAll()), storeId);
        Print(QStringLiteral("Loaded %1 row(s) into %2\n").arg(n).arg(table->toUpper()));
    } else if (command == QLatin1String("rows")) {
        const TBook book = TakeBook(args);
        const auto table = TakeOption(args, QStringLiteral("table"));
        RequireNoOptions(args);
        if (!table || !args.isEmpty())
            throw TUsageError(QStringLiteral("rows takes --table TABLE"));
        const TServedTable* t = store.FindTable(book, *table);
        if (!t)
            throw Exception(QStringLiteral("%1 holds no table %2").arg(BookObject(book), table->toUpper()));
        std::fputs(store.AllRows(*t).ToXml().constData(), stdout);
    } else if (command == QLatin1String("sql")) {
        if (args.size() != 1)
            throw TUsageError(QStringLiteral("sql takes one statement (quote it)"));
        Print(store.ExecSql(args[0]));
    } else if (command == QLatin1String("fault")) {
        QJsonObject spec;
        if (const auto v = TakeOption(args, QStringLiteral("table")))
            spec["table"] = *v;
        if (const auto v = TakeOption(args, QStringLiteral("at")))
            spec["at"] = ToInt(*v, QStringLiteral("--at"));
        spec["once"] = TakeFlag(args, QStringLiteral("once"));
        RequireNoOptions(args);
        if (args.size() < 2)
            throw TUsageError(QStringLiteral("fault takes METHOD and KIND"));
        spec["method"] = args[0];
        spec["kind"] = args[1];
        if (args.size() > 2) {
            const QJsonDocument doc = QJsonDocument::fromJson("[" + args[2].toUtf8() + "]");
            if (!doc.isArray() || doc.array().size() != 1)
                throw TUsageError(QStringLiteral("The value is not JSON: %1").arg(args[2]));
            spec["value"] = doc.array()[0];
        }
        TFault f = TFault::FromJson(spec);
        f.Id = store.SaveFault(f);
        Print(QStringLiteral("Fault %1 set: %2\n")
                  .arg(f.Id)
                  .arg(QString::fromUtf8(QJsonDocument(f.ToJson()).toJson(QJsonDocument::Compact))));
    } else if (command == QLatin1String("clear-faults")) {
        store.ClearFaults();
        Print(QStringLiteral("Faults cleared\n"));
    } else if (command == QLatin1String("status")) {
        for (const TInstallation& i : store.Installations())
            Print(QStringLiteral("installation %1 PKEMPRESA=%2 PKFILIAL=%3 UF=%4%5\n")
                      .arg(i.CdContrato)
                      .arg(i.PkEmpresa)
                      .arg(i.PkFilial)
                      .arg(i.UF, i.NewUF ? QStringLiteral(" (rewrites UF to %1)").arg(*i.NewUF) : QString()));
        for (const TServedTable& t : store.Tables())
            Print(QStringLiteral("%1 table %2 provider %3 keys %4%5\n")
                      .arg(BookObject(t.Book), t.SqlName, t.Provider, t.Keys.join(u','),
                           t.Paged() ? QStringLiteral(" (paged by %1)").arg(t.PageKey) : QString()));
        for (const TFault& f : store.LoadFaults())
            Print(QStringLiteral("fault %1 %2\n")
                      .arg(f.Id)
                      .arg(QString::fromUtf8(QJsonDocument(f.ToJson()).toJson(QJsonDocument::Compact))));
        if (const auto update = TUpdateService(TUpdateService::FileFor(*database)).Published())
            Print(QStringLiteral("update %1 at %2\n").arg(update->VersionText(), update->Url));
    } else {
        throw TUsageError(QStringLiteral("Unknown admin command %1").arg(command));
    }
    return 0;
}

// SIGTERM and SIGINT end the event loop, so that the database is closed
// properly. They are blocked in every thread (the database engine's too, which
// start later and inherit the mask) and read from a signalfd on the event loop:
// a handler running on an engine thread can stall the engine's shutdown.
int BlockStopSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    return ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

void QuitOnStopSignals(QCoreApplication& app, int fd)
{
    if (fd < 0)
        return;
    auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [fd] {
        signalfd_siginfo info;
        [[maybe_unused]] const auto n = ::read(fd, &info, sizeof info);
        QCoreApplication::quit();
    });
}

int RunServer(QCoreApplication& app, QStringList args, int stopSignals)
{
    const auto database = TakeOption(args, QStringLiteral("database"));
    const QString port = TakeOption(args, QStringLiteral("port")).value_or(QStringLiteral("0"));
    const QString listen = TakeOption(args, QStringLiteral("listen")).value_or(QStringLiteral("127.0.0.1"));
    const auto portFile = TakeOption(args, QStringLiteral("port-file"));
    const auto logFile = TakeOption(args, QStringLiteral("log-file"));
    const bool quiet = TakeFlag(args, QStringLiteral("quiet"));
    RequireNoOptions(args);
    if (!database)
        throw TUsageError(QStringLiteral("--database is required"));
    if (!args.isEmpty())
        throw TUsageError(QStringLiteral("Unexpected argument %1").arg(args[0]));
    const qint32 portNumber = ToInt(port, QStringLiteral("--port"));
    QHostAddress address;
    if (portNumber < 0 || portNumber > 65535 || !address.setAddress(listen))
        throw TUsageError(QStringLiteral("Invalid --port or --listen"));

    TServerStore store(*database);
    TStandInServer server(store);
    server.SetQuiet(quiet);
    if (logFile && !server.SetLogFile(*logFile))
        throw Exception(QStringLiteral("Cannot write the log file %1").arg(*logFile));
    if (!server.Listen(address, quint16(portNumber)))
        throw Exception(QStringLiteral("Cannot listen on %1:%2: %3").arg(listen, port, server.ErrorString()));
    if (portFile) {
        // Written whole and renamed into place, so a reader never sees half a number.
        QSaveFile f(*portFile);
        if (!f.open(QIODevice::WriteOnly) || f.write(QByteArray::number(server.Port()) + '\n') < 0 || !f.commit())
            throw Exception(QStringLiteral("Cannot write the port file %1").arg(*portFile));
    }
    server.Log(QStringLiteral("kelt-appserver listening on %1:%2, database %3")
                   .arg(address.toString())
                   .arg(server.Port())
                   .arg(store.Path()));
    QuitOnStopSignals(app, stopSignals);
    const int rc = app.exec();
    server.Log(QStringLiteral("kelt-appserver stopping"));
    return rc;
}

} // namespace

int main(int argc, char** argv)
{
    // Before any thread exists, so that every thread inherits the mask.
    const int stopSignals = argc > 1 && std::strcmp(argv[1], "admin") == 0 ? -1 : BlockStopSignals();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kelt-appserver"));
    QStringList args = app.arguments().mid(1);
    try {
        if (args.contains(QStringLiteral("--help")) || args.contains(QStringLiteral("-h"))) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (!args.isEmpty() && args[0] == QLatin1String("admin"))
            return RunAdmin(args.mid(1));
        if (!args.isEmpty() && args[0] == QLatin1String("serve"))
            args.removeFirst();
        return RunServer(app, args, stopSignals);
    } catch (const TUsageError& e) {
        std::fprintf(stderr, "kelt-appserver: %s\n%s", e.what(), kUsage);
        return 2;
    } catch (const Exception& e) {
        std::fprintf(stderr, "kelt-appserver: %s\n", e.what());
        return 1;
    }
}
