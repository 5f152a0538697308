// kelt-appserver: the stand-in for the remote application servers (docs/appserver.md).
//
//   kelt-appserver --database FILE [--port N] [--listen ADDR] [--port-file FILE] [--log-file FILE] [--quiet]
//                  [--admin-token TOKEN] [--tls-cert FILE --tls-key FILE]
//   kelt-appserver admin --database FILE COMMAND ...
//   kelt-appserver admin --connect HOST:PORT [--token TOKEN] [--fingerprint SHA256] COMMAND ...
#include "AdminClient.h"
#include "AdminService.h"
#include "ServerStore.h"
#include "StandInServer.h"
#include "UpdateService.h"

#include "platform/types/Exception.h"
#include "platform/os/FileVersion.h"
#include "remote/wire/SocketConnection.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QSaveFile>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

const char* const kUsage =
    "usage:\n"
    "  kelt-appserver --database FILE [--port N] [--listen ADDR] [--port-file FILE] [--log-file FILE] [--quiet]\n"
    "                 [--admin-token TOKEN] [--tls-cert CERT.pem --tls-key KEY.pem]\n"
    "  kelt-appserver admin --database FILE COMMAND ...           (the server stopped)\n"
    "  kelt-appserver admin --connect HOST:PORT [--token TOKEN] [--fingerprint SHA256] COMMAND ...\n"
    "                                                              (the server running; TLS with --fingerprint)\n"
    "  kelt-appserver --help | --version\n"
    "Options take their value as --opt VALUE or --opt=VALUE. The admin token may also come from\n"
    "the environment variable KELT_APPSERVER_ADMIN_TOKEN (server and admin command alike).\n"
    "admin commands:\n"
    "  add-installation CDCONTRATO PKEMPRESA PKFILIAL UF [--rewrite-contrato X] [--rewrite-empresa N]\n"
    "                   [--rewrite-filial N] [--rewrite-uf X]\n"
    "  load --table TABLE [--provider NAME] [--for-store PKFILIAL|all] PACKET.xml\n"
    "  load --object cadm --table TABLE PACKET.xml           (each row for its PKFILIALDESTINO)\n"
    "  load --object movm --table TABLE --for-store PKFILIAL PACKET.xml   (sent by that branch)\n"
    "  rows --object cad|cadm|movm --table TABLE            (the stored rows as a data packet)\n"
    "  sql \"STATEMENT\"\n"
    "  fault METHOD [--table TABLE] [--at N] [--once] false|minus1|raise|drop|malformed|hostile|repeat\n"
    "  fault METHOD [--table TABLE] [--at N] [--once] value JSON\n"
    "  faults                   (the faults in force)\n"
    "  clear-faults\n"
    "  status\n"
    "  publish VERSION URL      (newest client version a.b.c.d and its installer)\n"
    "  publish --withdraw\n"
    "status, rows, faults and clear-faults refuse a --database that does not exist (exit 1);\n"
    "the other commands create it.\n";

const char* const kTokenVariable = "KELT_APPSERVER_ADMIN_TOKEN";

struct TUsageError : Exception
{
    using Exception::Exception;
};

// Removes "--name VALUE" or "--name=VALUE" from args; empty when absent.
std::optional<QString> TakeOption(QStringList& args, const QString& name)
{
    const QString option = QStringLiteral("--") + name;
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i].startsWith(option + u'=')) {
            const QString value = args[i].mid(option.size() + 1);
            args.remove(i);
            return value;
        }
        if (args[i] == option) {
            if (i + 1 >= args.size())
                throw TUsageError(QStringLiteral("%1 needs a value").arg(option));
            const QString value = args[i + 1];
            args.remove(i, 2);
            return value;
        }
    }
    return std::nullopt;
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
QString TakeObject(QStringList& args)
{
    const auto name = TakeOption(args, QStringLiteral("object"));
    if (!name)
        return QStringLiteral("cad");
    if (!BookFromName(*name))
        throw TUsageError(QStringLiteral("Unknown --object %1 (cad, cadm, movm)").arg(*name));
    return *name;
}

void Print(const QString& text)
{
    std::fputs(text.toUtf8().constData(), stdout);
}

QString Compact(const QJsonObject& o)
{
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

// The executable's own version, as embedded by the build.
QString VersionText()
{
    const QString v = FileVersionText(QCoreApplication::applicationFilePath(), QStringLiteral("%u.%u.%u.%u"));
    return v.isEmpty() ? QStringLiteral("(no version)") : v;
}

std::optional<QString> TokenFromEnvironment()
{
    const QString token = qEnvironmentVariable(kTokenVariable);
    return token.isEmpty() ? std::nullopt : std::optional(token);
}

// An admin command as a method of the admin object, the same whether it goes
// to a running server or to the database of a stopped one.
struct TAdminCommand
{
    QString Method;
    QJsonArray Args;
    bool Creates = false; // may create a missing database: it sets something up
    std::function<void(const QJsonValue&)> Show;
};

TAdminCommand ParseAdminCommand(const QString& command, QStringList args)
{
    TAdminCommand c;
    if (command == QLatin1String("add-installation")) {
        QJsonObject rewrite;
        if (const auto v = TakeOption(args, QStringLiteral("rewrite-contrato")))
            rewrite["CdContrato"] = *v;
        if (const auto v = TakeOption(args, QStringLiteral("rewrite-empresa")))
            rewrite["PkEmpresa"] = ToInt(*v, QStringLiteral("--rewrite-empresa"));
        if (const auto v = TakeOption(args, QStringLiteral("rewrite-filial")))
            rewrite["PkFilial"] = ToInt(*v, QStringLiteral("--rewrite-filial"));
        if (const auto v = TakeOption(args, QStringLiteral("rewrite-uf")))
            rewrite["UF"] = *v;
        RequireNoOptions(args);
        if (args.size() != 4)
            throw TUsageError(QStringLiteral("add-installation takes CDCONTRATO PKEMPRESA PKFILIAL UF"));
        c = {QStringLiteral("AddInstallation"),
             {args[0], ToInt(args[1], QStringLiteral("PKEMPRESA")), ToInt(args[2], QStringLiteral("PKFILIAL")),
              args[3], rewrite},
             true,
             [contrato = args[0], filial = args[2]](const QJsonValue&) {
                 Print(QStringLiteral("Installation %1/%2 added\n").arg(contrato, filial));
             }};
    } else if (command == QLatin1String("load")) {
        const QString object = TakeObject(args);
        const auto table = TakeOption(args, QStringLiteral("table"));
        const QString provider = TakeOption(args, QStringLiteral("provider")).value_or(QString());
        const QString target = TakeOption(args, QStringLiteral("for-store")).value_or(QStringLiteral("all"));
        RequireNoOptions(args);
        if (!table || args.size() != 1)
            throw TUsageError(QStringLiteral("load takes --table TABLE and one packet file"));
        const qint32 store = target == QLatin1String("all") ? 0 : ToInt(target, QStringLiteral("--for-store"));
        QFile f(args[0]);
        if (!f.open(QIODevice::ReadOnly))
            throw Exception(QStringLiteral("Cannot read %1: %2").arg(args[0], f.errorString()));
        c = {QStringLiteral("LoadPacket"),
             {*table, QString::fromUtf8(f.readAll()), store, provider, object},
             true,
             [table = table->toUpper()](const QJsonValue& n) {
                 Print(QStringLiteral("Loaded %1 row(s) into %2\n").arg(n.toInteger()).arg(table));
             }};
    } else if (command == QLatin1String("rows")) {
        const QString object = TakeObject(args);
        const auto table = TakeOption(args, QStringLiteral("table"));
        RequireNoOptions(args);
        if (!table || !args.isEmpty())
            throw TUsageError(QStringLiteral("rows takes --table TABLE"));
        c = {QStringLiteral("Rows"), {object, *table}, false, [](const QJsonValue& v) { Print(v.toString()); }};
    } else if (command == QLatin1String("sql")) {
        if (args.size() != 1)
            throw TUsageError(QStringLiteral("sql takes one statement (quote it)"));
        c = {QStringLiteral("ExecSql"), {args[0]}, true, [](const QJsonValue& v) { Print(v.toString()); }};
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
        // Checked here too, so that a switch that makes no sense never reaches a server.
        const TFault fault = TFault::FromJson(spec);
        c = {QStringLiteral("SetFault"), {spec}, true, [fault](const QJsonValue& id) {
                 TFault set = fault;
                 set.Id = id.toInt();
                 Print(QStringLiteral("Fault %1 set: %2\n").arg(set.Id).arg(Compact(set.ToJson())));
             }};
    } else if (command == QLatin1String("faults") || command == QLatin1String("clear-faults") ||
               command == QLatin1String("status")) {
        RequireNoOptions(args);
        if (!args.isEmpty())
            throw TUsageError(QStringLiteral("%1 takes nothing else").arg(command));
        if (command == QLatin1String("faults"))
            c = {QStringLiteral("Faults"), {}, false, [](const QJsonValue& list) {
                     for (const QJsonValue& f : list.toArray())
                         Print(TAdminService::FaultLine(f.toObject()) + u'\n');
                 }};
        else if (command == QLatin1String("clear-faults"))
            c = {QStringLiteral("ClearFaults"), {}, false,
                 [](const QJsonValue&) { Print(QStringLiteral("Faults cleared\n")); }};
        else
            c = {QStringLiteral("Status"), {}, false, [](const QJsonValue& status) {
                     for (const QString& line : TAdminService::StatusLines(status.toObject()))
                         Print(line + u'\n');
                 }};
    } else if (command == QLatin1String("publish")) {
        if (TakeFlag(args, QStringLiteral("withdraw"))) {
            RequireNoOptions(args);
            if (!args.isEmpty())
                throw TUsageError(QStringLiteral("publish --withdraw takes nothing else"));
            c = {QStringLiteral("Withdraw"), {}, true,
                 [](const QJsonValue&) { Print(QStringLiteral("Update withdrawn\n")); }};
        } else {
            RequireNoOptions(args);
            if (args.size() != 2)
                throw TUsageError(QStringLiteral("publish takes VERSION and URL"));
            c = {QStringLiteral("Publish"), {args[0], args[1]}, true, [](const QJsonValue& v) {
                     Print(QStringLiteral("Published %1 at %2\n")
                               .arg(v["version"].toString(), v["url"].toString()));
                 }};
        }
    } else {
        throw TUsageError(QStringLiteral("Unknown admin command %1").arg(command));
    }
    return c;
}

// The publication is kept beside the database, not in it: it is written
// without opening the database, which a running server holds.
QJsonValue PublishBeside(const QString& database, const TAdminCommand& c)
{
    TUpdateService updates(TUpdateService::FileFor(database));
    if (c.Method == QLatin1String("Withdraw")) {
        updates.Withdraw();
        return true;
    }
    updates.Publish(c.Args[0].toString(), c.Args[1].toString());
    return QJsonObject{{"version", updates.Published()->VersionText()}, {"url", updates.Published()->Url}};
}

// "HOST:PORT", "[V6ADDR]:PORT".
std::pair<QString, quint16> ParseEndpoint(const QString& text)
{
    const qsizetype colon = text.lastIndexOf(u':');
    QString host = text.left(colon);
    if (host.startsWith(u'[') && host.endsWith(u']'))
        host = host.mid(1, host.size() - 2);
    bool ok = false;
    const uint port = colon > 0 ? text.mid(colon + 1).toUInt(&ok) : 0;
    if (!ok || port < 1 || port > 65535 || host.isEmpty())
        throw TUsageError(QStringLiteral("--connect takes HOST:PORT, not %1").arg(text));
    return {host, quint16(port)};
}

int RunAdmin(QStringList args)
{
    const auto database = TakeOption(args, QStringLiteral("database"));
    const auto endpoint = TakeOption(args, QStringLiteral("connect"));
    const auto token = TakeOption(args, QStringLiteral("token"));
    const auto fingerprint = TakeOption(args, QStringLiteral("fingerprint"));
    if (database.has_value() == endpoint.has_value())
        throw TUsageError(QStringLiteral("admin takes either --database FILE or --connect HOST:PORT"));
    if (token && !endpoint)
        throw TUsageError(QStringLiteral("--token goes with --connect"));
    if (fingerprint && !endpoint)
        throw TUsageError(QStringLiteral("--fingerprint goes with --connect"));
    if (args.isEmpty())
        throw TUsageError(QStringLiteral("an admin command is required"));
    const QString command = args.takeFirst();
    const TAdminCommand c = ParseAdminCommand(command, args);

    QJsonValue value;
    if (endpoint) {
        const auto [host, port] = ParseEndpoint(*endpoint);
        TTlsSettings tls;
        tls.Enabled = fingerprint.has_value();
        tls.Fingerprint = fingerprint.value_or(QString());
        TAdminClient client(host, port, token ? token : TokenFromEnvironment(), 15000, 300000, tls);
        value = client.Call(c.Method, c.Args);
    } else if (c.Method == QLatin1String("Publish") || c.Method == QLatin1String("Withdraw")) {
        value = PublishBeside(*database, c);
    } else {
        // A typing error in the path of a command that only reads must not leave a new, empty database behind.
        TServerStore store(*database, c.Creates);
        const TAdminAnswer answer = TAdminService(store, nullptr).Serve(c.Method, c.Args);
        value = answer.ValueUtf8 ? QJsonValue(QString::fromUtf8(*answer.ValueUtf8)) : answer.Value;
    }
    c.Show(value);
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
    const auto adminToken = TakeOption(args, QStringLiteral("admin-token"));
    const bool quiet = TakeFlag(args, QStringLiteral("quiet"));
    const auto tlsCert = TakeOption(args, QStringLiteral("tls-cert"));
    const auto tlsKey = TakeOption(args, QStringLiteral("tls-key"));
    RequireNoOptions(args);
    if (tlsCert.has_value() != tlsKey.has_value())
        throw TUsageError(QStringLiteral("--tls-cert and --tls-key go together"));
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
    server.SetAdminToken(adminToken ? *adminToken : TokenFromEnvironment().value_or(QString()));
    if (logFile && !server.SetLogFile(*logFile))
        throw Exception(QStringLiteral("Cannot write the log file %1").arg(*logFile));
    if (tlsCert)
        server.EnableTls(*tlsCert, *tlsKey);
    if (!server.Listen(address, quint16(portNumber)))
        throw Exception(QStringLiteral("Cannot listen on %1:%2: %3").arg(listen, port, server.ErrorString()));
    if (portFile) {
        // Written whole and renamed into place, so a reader never sees half a number.
        QSaveFile f(*portFile);
        if (!f.open(QIODevice::WriteOnly) || f.write(QByteArray::number(server.Port()) + '\n') < 0 || !f.commit())
            throw Exception(QStringLiteral("Cannot write the port file %1").arg(*portFile));
    }
    server.Log(QStringLiteral("kelt-appserver %1 listening on %2:%3, database %4, admin object %5")
                   .arg(VersionText(), address.toString())
                   .arg(server.Port())
                   .arg(store.Path(), server.HasAdminToken() ? QStringLiteral("from loopback or with the token")
                                                             : QStringLiteral("from loopback only")));
    if (tlsCert)
        server.Log(QStringLiteral("TLS on: every connection; certificate %1, public-key SHA-256 (Fingerprint) %2")
                       .arg(server.TlsCertificate().subjectDisplayName(),
                            TSocketConnection::PinText(TSocketConnection::PublicKeyPin(server.TlsCertificate()))));
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
        if (args.contains(QStringLiteral("--version"))) {
            Print(QStringLiteral("kelt-appserver %1\n").arg(VersionText()));
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
