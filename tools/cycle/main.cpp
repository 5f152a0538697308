// kelt-cycle: runs the client's replication work for one installation folder,
// without a window. It reads the installation's Config.ini exactly as a channel
// run does, opens the local database and applies data packet files to it with
// the insert-or-update-by-key recipe every importing channel follows.
#include "platform/data/ClientDataSet.h"
#include "platform/data/Exception.h"
#include "platform/os/ProgramFolder.h"
#include "platform/sql/SQLConnection.h"
#include "platform/sql/SQLDataSet.h"
#include "remote/SocketConnection.h"
#include "replication/core/cl_Funcoes.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <cstdio>

namespace {

void Print(const QString& line) { std::printf("%s\n", qPrintable(line)); }

struct ApplyResult
{
    int inserted = 0;
    int updated = 0;
    int failed = 0;
};

// Applies every row of the packet to the table of the same name. A failed row is
// logged and skipped; the others still go in.
ApplyResult ApplyPacket(TKeltTarefa& client, const QString& table, TClientDataSet& rows)
{
    TKeltBaseServerClient& sc = client.ServerClient();
    TSQLDataSet& lookup = *client.LookupDataSet();
    TSQLDataSet& exec = *client.ExecDataSet();
    const TDadosFilial& f = client.DadosFilial();
    const auto log = [&](const QString& step, const QString& message) {
        sc.WriteLog(client.ProgramFolder(), step, table, f.CdContrato, f.PkEmpresa, f.PkFilial, f.UF, message);
    };

    ApplyResult result;
    const QString select = sc.BuildSelectByKey(table, rows);
    const QString insert = sc.BuildInsert(table, rows);
    const QString update = sc.BuildUpdate(table, rows);
    lookup.Close();
    lookup.SetCommandText(select);
    for (rows.First(); !rows.Eof(); rows.Next()) {
        try {
            lookup.Close();
            CopyRowToParams(lookup, rows);
            lookup.Open();
            const bool exists = !lookup.IsEmpty();
            exec.Close();
            exec.SetCommandText(exists ? update : insert);
            CopyRowToParams(exec, rows);
            exec.ExecSQL();
            ++(exists ? result.updated : result.inserted);
        } catch (const Exception& e) {
            ++result.failed;
            log(QStringLiteral("AplicaPacote"), e.Message() + QStringLiteral("\r\n") + exec.CommandText());
        }
    }
    lookup.Close();
    return result;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kelt-cycle"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Runs the replication work of one installation headless."));
    parser.addHelpOption();
    QCommandLineOption apply(QStringLiteral("apply"),
                             QStringLiteral("Data packet file to apply to the table named by the file's base name."),
                             QStringLiteral("file"));
    parser.addOption(apply);
    parser.addPositionalArgument(QStringLiteral("INSTALLATION_FOLDER"),
                                 QStringLiteral("Program folder of the installation: Config.ini, Log/."));
    parser.process(app);
    if (parser.positionalArguments().size() != 1) {
        std::fputs("usage: kelt-cycle INSTALLATION_FOLDER [--apply FILE]...\n", stderr);
        return 2;
    }
    const QFileInfo installation(parser.positionalArguments().first());
    if (!installation.isDir()) {
        std::fprintf(stderr, "kelt-cycle: %s is not a folder\n", qPrintable(installation.filePath()));
        return 2;
    }
    SetProgramFolderOverride(installation.absoluteFilePath());
    const QDateTime started = QDateTime::currentDateTime().addSecs(-1);

    TSQLConnection local(QStringLiteral("Agente"));
    TSQLDataSet lookup(&local);
    TSQLDataSet exec(&local);
    TSocketConnection socket;
    TClientDataSet rows;
    TTextHolder tableLabel;
    TPlainProgressBar progress;
    TKeltTarefa client;
    client.SetLocalConnection(&local);
    client.SetLookupDataSet(&lookup);
    client.SetExecDataSet(&exec);
    client.SetSocketConnection(&socket);
    client.SetClientDataSet(&rows);
    client.SetTableLabel(&tableLabel);
    client.SetProgressBar(&progress);

    bool setupFailed = false;
    try {
        client.ReadConfiguration();
        const TDadosFilial& f = client.DadosFilial();
        QTimer cycle;
        client.ServerClient().ReadSyncInterval(client.ProgramFolder(), ConfigIniName, cycle);
        Print(QStringLiteral("Installation folder: %1").arg(client.ProgramFolder()));
        Print(QStringLiteral("Branch %1 of company %2, contract '%3', region '%4', branch type %5")
                  .arg(f.PkFilial)
                  .arg(f.PkEmpresa)
                  .arg(f.CdContrato, f.UF)
                  .arg(f.TpFilial));
        Print(QStringLiteral("Cycle every %1 ms; packets of %2 rows; application server %3:%4")
                  .arg(cycle.interval())
                  .arg(rows.PacketRecords())
                  .arg(socket.Host().isEmpty() ? socket.Address() : socket.Host())
                  .arg(socket.Port()));
        Print(QStringLiteral("Local database: %1 (user %2, %3, dialect %4)")
                  .arg(local.Params().Value(u"DataBase"), local.Params().Value(u"User_Name"),
                       local.Params().Value(u"ServerCharSet"), local.Params().Value(u"SQLDialect")));
        local.Open();
        Print(QStringLiteral("Connected to the local database."));

        for (const QString& file : parser.values(apply)) {
            const QString table = QFileInfo(file).completeBaseName().toUpper();
            tableLabel.SetCaption(table);
            QFile in(file);
            if (!in.open(QIODevice::ReadOnly))
                throw Exception(QStringLiteral("Cannot read %1: %2").arg(file, in.errorString()));
            try {
                rows.SetXMLData(in.readAll());
            } catch (const Exception& e) {
                client.ServerClient().WriteLog(client.ProgramFolder(), QStringLiteral("AplicaPacote"), table,
                                               f.CdContrato, f.PkEmpresa, f.PkFilial, f.UF, e.Message());
                Print(QStringLiteral("%1: packet refused, nothing applied: %2").arg(table, e.Message()));
                continue;
            }
            const ApplyResult r = ApplyPacket(client, table, rows);
            Print(QStringLiteral("%1: %2 row(s) in the packet, %3 inserted, %4 updated, %5 failed")
                      .arg(table)
                      .arg(rows.RecordCount())
                      .arg(r.inserted)
                      .arg(r.updated)
                      .arg(r.failed));
            Print(QStringLiteral("%1: last key %2 in the store range, %3 in the headquarters range")
                      .arg(table)
                      .arg(client.LastKey(table, true))
                      .arg(client.LastKey(table, false)));
            lookup.Close();
        }
        Print(QStringLiteral("No application server was contacted: the replication channels are not part of this "
                             "build yet."));
    } catch (const Exception& e) {
        std::fprintf(stderr, "kelt-cycle: %s\n", e.what());
        setupFailed = true;
    }
    lookup.Close();
    exec.Close();
    local.Close();
    if (setupFailed)
        return 2;
    // The exit status tells whether this run left anything in the replication log.
    const QDir logFolder(client.ProgramFolder() + QStringLiteral("Log"));
    for (const QFileInfo& entry : logFolder.entryInfoList(QDir::Files))
        if (entry.lastModified() >= started) {
            Print(QStringLiteral("The run wrote to the replication log: %1").arg(logFolder.path()));
            return 1;
        }
    return 0;
}
