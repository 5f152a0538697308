// kelt-cycle --status: what an operator asks first when replication seems
// stuck. Read-only: it takes no lock, writes no log file and no journal line,
// and runs nothing but SELECT statements on the local database.
#include "tools/cycle/Cycle.h"

#include "config/IniFile.h"
#include "platform/types/Exception.h"
#include "platform/sql/SQLConnection.h"
#include "platform/sql/SQLDataSet.h"
#include "replication/core/cl_Funcoes.h"
#include "replication/master_data/KeltCadMClient.h"
#include "replication/master_data/uDM_CadastroM.h"
#include "replication/core/CycleJournal.h"

#include <QDir>
#include <QFileInfo>
#include <QMap>
#include <QSet>
#include <QTcpSocket>

#include <limits>

namespace {

constexpr int kConnectTimeoutMs = 3000;
constexpr int kErrorsShown = 5;

enum class TKeyKind
{
    Text,
    Integer,
    Secret, // shown as set or not, never its value
};

// A key the program reads, with the default it uses when the key is missing.
struct TConfigKey
{
    const char16_t* Section;
    const char16_t* Key;
    TKeyKind Kind;
    const char16_t* Default; // as the program takes it, for the report
    const char16_t* Use;
};

const TConfigKey kConfigKeys[] = {
    {u"FILIAL", u"CDCONTRATO", TKeyKind::Text, u"empty", u"contract code"},
    {u"FILIAL", u"PKEMPRESA", TKeyKind::Integer, u"0", u"company"},
    {u"FILIAL", u"PKFILIAL", TKeyKind::Integer, u"0", u"branch"},
    {u"FILIAL", u"UF", TKeyKind::Text, u"empty", u"region"},
    {u"FILIAL", u"TPFILIAL", TKeyKind::Integer, u"-1", u"branch type"},
    {u"FILIAL", u"CDCOMTA", TKeyKind::Text, u"empty", u"CDCOMTA codes"},
    {u"SOCKET", u"Address", TKeyKind::Text, u"empty", u"server"},
    {u"SOCKET", u"Port", TKeyKind::Integer, u"0", u"server"},
    {u"SOCKET", u"TLS", TKeyKind::Integer, u"0", u"plain TCP unless 1"},
    {u"SOCKET", u"Fingerprint", TKeyKind::Text, u"empty", u"pinned server key, with TLS"},
    {u"SOCKET", u"CAFile", TKeyKind::Text, u"empty", u"CA certificates, with TLS"},
    {u"SOCKET_PROPRIO", u"Address", TKeyKind::Text, u"[SOCKET]", u"master-data and transaction server"},
    {u"SOCKET_PROPRIO", u"Port", TKeyKind::Integer, u"[SOCKET]", u"master-data and transaction server"},
    {u"SOCKET_PROPRIO", u"TLS", TKeyKind::Integer, u"0", u"plain TCP unless 1"},
    {u"SOCKET_PROPRIO", u"Fingerprint", TKeyKind::Text, u"empty", u"pinned server key, with TLS"},
    {u"SOCKET_PROPRIO", u"CAFile", TKeyKind::Text, u"empty", u"CA certificates, with TLS"},
    {u"DB", u"DataBase", TKeyKind::Text, u"empty", u"local database"},
    {u"DB", u"User_Name", TKeyKind::Text, u"empty", u"local database"},
    {u"DB", u"Password", TKeyKind::Secret, u"empty", u"local database"},
    {u"DB", u"ServerCharSet", TKeyKind::Text, u"empty", u"local database"},
    {u"DB", u"SQLDialect", TKeyKind::Text, u"empty", u"local database"},
    {u"CLIENTDATASET", u"PackedRecord", TKeyKind::Integer, u"1000", u"rows per batch"},
    {u"CLIENTDATASET", u"TransacaoPorLote", TKeyKind::Integer, u"0", u"one transaction per batch"},
    {u"SINCRONIZACAO", u"TempoSincronizacao", TKeyKind::Integer, u"60", u"minutes between cycles, desktop program"},
    {u"LOG", u"MonitorarReplicacao", TKeyKind::Integer, u"0", u"monitoring log database"},
    {u"LOG", u"DataBase", TKeyKind::Text, u"empty", u"monitoring log database"},
    {u"ATUALIZACAO", u"ChavePublica", TKeyKind::Text, u"empty", u"publisher key of signed updates"},
    {u"LOG", u"DiasCiclos", TKeyKind::Integer, u"30", u"days the cycle journal keeps"},
};

bool IntegerReadable(const QString& text)
{
    // Unreadable when the reading rule falls back to the default whatever it is.
    constexpr qint32 a = std::numeric_limits<qint32>::min(), b = std::numeric_limits<qint32>::max();
    return TIniFile::ParseInteger(text, a) != a || TIniFile::ParseInteger(text, b) != b;
}

QString Padded(const QString& text, int width) { return text.leftJustified(width); }

void Heading(const QString& text)
{
    Print(QString());
    Print(text);
}

// One line per key: its value, or what is missing or unreadable and the default.
void ReportConfiguration(const QString& iniPath)
{
    Heading(QStringLiteral("Configuration (%1)").arg(iniPath));
    const QFileInfo info(iniPath);
    if (!info.isFile() || !info.isReadable())
        Print(QStringLiteral("  %1 is missing or unreadable: every key below takes its default").arg(iniPath));
    const TIniFile ini(iniPath);
    const bool ownSocket = ini.SectionExists(u"SOCKET_PROPRIO");
    for (const TConfigKey& k : kConfigKeys) {
        const QString section = QString::fromUtf16(k.Section);
        const QString key = QString::fromUtf16(k.Key);
        const QString name = Padded(QStringLiteral("[%1] %2").arg(section, key), 34);
        const QString use = QStringLiteral("  (%1)").arg(QString::fromUtf16(k.Use));
        if (!ini.ValueExists(section, key)) {
            // Without [SOCKET_PROPRIO] its channels use [SOCKET]: a choice, not a gap.
            const QString note = section == QLatin1String("SOCKET_PROPRIO") && !ownSocket
                                     ? QStringLiteral("not set: [SOCKET] is used")
                                     : QStringLiteral("MISSING, default %1").arg(QString::fromUtf16(k.Default));
            Print(QStringLiteral("  %1 %2%3").arg(name, note, use));
            continue;
        }
        const QString value = ini.ReadString(section, key, QString());
        if (k.Kind == TKeyKind::Integer && !IntegerReadable(value)) {
            Print(QStringLiteral("  %1 UNREADABLE '%2', default %3%4")
                      .arg(name, value, QString::fromUtf16(k.Default), use));
            continue;
        }
        const QString shown = k.Kind == TKeyKind::Secret ? QStringLiteral("(set)") : value;
        Print(QStringLiteral("  %1 %2").arg(name, shown.isEmpty() ? QStringLiteral("(empty)") : shown));
    }
}

// A TCP connection to the endpoint and nothing else: no call is made.
bool ReportEndpoint(const QString& section, const QString& host, int port)
{
    const QString name = Padded(QStringLiteral("[%1]").arg(section), 18);
    if (host.isEmpty() || port <= 0 || port > 65535) {
        Print(QStringLiteral("  %1 UNREACHABLE: no address and port configured").arg(name));
        return false;
    }
    const QString where = Padded(QStringLiteral("%1:%2").arg(host).arg(port), 28);
    QTcpSocket socket;
    socket.connectToHost(host, quint16(port));
    if (!socket.waitForConnected(kConnectTimeoutMs)) {
        const QString why = socket.error() == QAbstractSocket::SocketTimeoutError
                                ? QStringLiteral("no answer within %1 s").arg(kConnectTimeoutMs / 1000)
                                : socket.errorString();
        Print(QStringLiteral("  %1 %2 UNREACHABLE: %3").arg(name, where, why));
        return false;
    }
    socket.abort();
    Print(QStringLiteral("  %1 %2 reachable").arg(name, where));
    return true;
}

bool ReportEndpoints(const QString& iniPath)
{
    Heading(QStringLiteral("Servers"));
    const TIniFile ini(iniPath);
    bool ok = ReportEndpoint(QStringLiteral("SOCKET"), ini.ReadString(u"SOCKET", u"Address", QString()),
                             ini.ReadInteger(u"SOCKET", u"Port", 0));
    if (ini.SectionExists(u"SOCKET_PROPRIO"))
        ok = ReportEndpoint(QStringLiteral("SOCKET_PROPRIO"), ini.ReadString(u"SOCKET_PROPRIO", u"Address", QString()),
                            ini.ReadInteger(u"SOCKET_PROPRIO", u"Port", 0))
             && ok;
    return ok;
}

// Opens the database with its connection parameters; the error text when it cannot.
QString Reach(TSQLConnection& connection)
{
    if (connection.Params().Value(u"DataBase").isEmpty())
        return QStringLiteral("no DataBase configured");
    try {
        TSQLDataSet probe(&connection);
        probe.SetCommandText(QStringLiteral("SELECT 1 FROM RDB$DATABASE"));
        probe.Open();
        probe.Close();
        return {};
    } catch (const std::exception& e) {
        const QString text = QString::fromLocal8Bit(e.what()).trimmed();
        return text.section(u'\n', 0, 0);
    }
}

QSet<QString> UserTables(TSQLConnection& connection)
{
    QSet<QString> tables;
    TSQLDataSet ds(&connection);
    ds.SetCommandText(QStringLiteral("SELECT TRIM(RDB$RELATION_NAME) FROM RDB$RELATIONS "
                                     "WHERE COALESCE(RDB$SYSTEM_FLAG, 0) = 0"));
    for (ds.Open(); !ds.Eof(); ds.Next())
        tables.insert(ds.Fields(0).AsString().trimmed().toUpper());
    return tables;
}

// Rows of a query, each as its values.
QList<QStringList> Rows(TSQLConnection& connection, const QString& sql)
{
    QList<QStringList> rows;
    TSQLDataSet ds(&connection);
    ds.SetCommandText(sql);
    for (ds.Open(); !ds.Eof(); ds.Next()) {
        QStringList values;
        for (int i = 0; i < ds.FieldCount(); ++i)
            values.append(ds.Fields(i).AsString().trimmed());
        rows.append(values);
    }
    return rows;
}

void ReportPending(TSQLConnection& connection)
{
    Heading(QStringLiteral("Pending rows"));
    const QSet<QString> tables = UserTables(connection);

    // A tracking table grouped by `groups`; the count is the last column.
    const auto tracking = [&](const QString& table, const QString& caption, const QString& groups,
                              const auto& line) {
        if (!tables.contains(table)) {
            Print(QStringLiteral("  %1 (%2): not in this database").arg(table, caption));
            return;
        }
        const auto rows = Rows(connection, QStringLiteral("SELECT %1, COUNT(*) FROM %2 GROUP BY %1 ORDER BY %1")
                                               .arg(groups, table));
        qint64 total = 0;
        for (const QStringList& r : rows)
            total += r.last().toLongLong();
        Print(QStringLiteral("  %1 (%2): %3 row(s)").arg(table, caption).arg(total));
        for (const QStringList& r : rows)
            Print(line(r));
    };
    tracking(QStringLiteral("TBCEC"), QStringLiteral("master data, by destination branch"),
             QStringLiteral("PKFILIAL, NMTABELA"), [](const QStringList& r) {
                 return QStringLiteral("    branch %1 %2 %3").arg(r.value(0), 6).arg(Padded(r.value(1), 31)).arg(r.value(2), 8);
             });
    tracking(QStringLiteral("TBCEMM"), QStringLiteral("transactions, by table"), QStringLiteral("NMTABELA"),
             [](const QStringList& r) { return QStringLiteral("    %1 %2").arg(Padded(r.value(0), 45)).arg(r.value(1), 8); });

    // Marker-tracked tables: the rows without a row in their BAIXADA table, as
    // the master-data channel counts them.
    QStringList present;
    for (const TCadastroMTable& t : CadastroMTables())
        if (t.PendingBy == TPendingBy::Marker && tables.contains(t.TableName()) && tables.contains(t.MarkerTable()))
            present.append(t.TableName());
    if (present.isEmpty()) {
        Print(QStringLiteral("  Marker tables (master data without a BAIXADA row): not in this database"));
        return;
    }
    Print(QStringLiteral("  Marker tables (master data without a BAIXADA row):"));
    for (const QString& table : present) {
        const auto rows = Rows(connection, CadMPendingCountStatement(table, 0));
        Print(QStringLiteral("    %1 %2").arg(Padded(table, 45)).arg(rows.value(0).value(0), 8));
    }
}

bool ReportDatabases(const QString& folder)
{
    Heading(QStringLiteral("Databases"));
    TKeltBaseServerClient settings;
    TSQLConnection local;
    settings.ReadDatabase(folder, ConfigIniName, local);
    const QString name = Padded(QStringLiteral("[DB]"), 18);
    const QString path = local.Params().Value(u"DataBase");
    const QString error = Reach(local);
    bool ok = error.isEmpty();
    Print(ok ? QStringLiteral("  %1 %2 reachable").arg(name, path)
             : QStringLiteral("  %1 %2 UNREACHABLE: %3").arg(name, path, error));

    TDadosMonitoramentoReplicacao monitoring;
    settings.ReadMonitoring(folder, ConfigIniName, monitoring);
    if (monitoring.MonitorarReplicacao) {
        TSQLConnection log;
        settings.ReadLogDatabase(folder, ConfigIniName, log);
        const QString logError = Reach(log);
        const QString logName = Padded(QStringLiteral("[LOG]"), 18);
        Print(logError.isEmpty() ? QStringLiteral("  %1 %2 reachable").arg(logName, monitoring.DataBase)
                                 : QStringLiteral("  %1 %2 UNREACHABLE: %3").arg(logName, monitoring.DataBase, logError));
        ok = ok && logError.isEmpty();
        log.Close();
    }

    if (error.isEmpty()) {
        try {
            ReportPending(local);
        } catch (const std::exception& e) {
            Print(QStringLiteral("  the pending rows could not be counted: %1")
                      .arg(QString::fromLocal8Bit(e.what()).section(u'\n', 0, 0)));
            ok = false;
        }
    }
    local.Close();
    return ok;
}

bool Succeeded(const TJournalEntry& e)
{
    return e.LogFile.isEmpty() && e.Message.isEmpty()
           && (e.Outcome == QLatin1String("done") || e.Outcome == QLatin1String("nothing pending")
               || e.Outcome == QLatin1String("declined"));
}

void ReportJournal(const QString& logFolder)
{
    const TCycleJournal journal(logFolder);
    Heading(QStringLiteral("Last outcomes (%1)").arg(journal.Path()));
    const QList<TJournalEntry> entries = journal.Read();
    if (entries.isEmpty()) {
        Print(QStringLiteral("  no run recorded yet"));
        return;
    }
    const QString stamp = QStringLiteral("yyyy-MM-dd HH:mm:ss");
    for (const char* channel : {"cad", "cadm", "movm"}) {
        // The lines of one run share its time: a run succeeded when all of them did.
        QMap<QDateTime, bool> runs;
        QList<TJournalEntry> errors;
        for (const TJournalEntry& e : entries) {
            if (e.Channel != QLatin1String(channel))
                continue;
            auto it = runs.find(e.Time);
            if (it == runs.end())
                it = runs.insert(e.Time, true);
            if (!Succeeded(e)) {
                *it = false;
                errors.append(e);
            }
        }
        if (runs.isEmpty())
            continue;
        QDateTime lastSuccess;
        for (auto it = runs.cbegin(); it != runs.cend(); ++it)
            if (it.value())
                lastSuccess = it.key();
        const QDateTime lastRun = runs.lastKey();
        Print(QStringLiteral("  %1 last run %2 (%3), last success %4")
                  .arg(Padded(QLatin1String(channel), 5), lastRun.toString(stamp),
                       runs.last() ? QStringLiteral("ok") : QStringLiteral("FAILED"),
                       lastSuccess.isValid() ? lastSuccess.toString(stamp) : QStringLiteral("never")));
        for (qsizetype i = std::max<qsizetype>(0, errors.size() - kErrorsShown); i < errors.size(); ++i) {
            const TJournalEntry& e = errors.at(i);
            Print(QStringLiteral("        %1 %2 %3: %4%5")
                      .arg(e.Time.toString(stamp), e.Table, e.Outcome, e.Message.isEmpty() ? QStringLiteral("-") : e.Message,
                           e.LogFile.isEmpty() ? QString() : QStringLiteral(" (Log/%1)").arg(e.LogFile)));
        }
    }
}

} // namespace

int StatusCommand(const QString& folder)
{
    Print(QStringLiteral("Installation %1").arg(folder));
    bool ok = true;
    const QString logFolder = folder + QStringLiteral("Log");
    if (!QFileInfo(logFolder).isDir()) {
        Print(QStringLiteral("  Log folder MISSING: runs refuse to start without it"));
        ok = false;
    }
    const QString iniPath = folder + ConfigIniName;
    ReportConfiguration(iniPath);
    ok = ReportEndpoints(iniPath) && ok;
    ok = ReportDatabases(folder) && ok;
    ReportJournal(logFolder);
    Print(QString());
    Print(ok ? QStringLiteral("Everything can be reached.")
             : QStringLiteral("Something cannot be reached (marked above)."));
    return ok ? kClean : kRowsFailed;
}
