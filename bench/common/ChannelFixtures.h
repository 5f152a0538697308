#pragma once

#include <vector>

#include <cstring>

// What the channel benchmarks start from: a headquarters database whose product
// table is pending for one branch (one TBCEC row per product), the sales of a
// branch as its TBVENDA holds them, and the Config.ini of a transaction
// installation.

#include "bench/common/RowApplyFloor.h"
#include "connections/uDM.h"
#include "platform/types/DataPacket.h"
#include "platform/types/Decimal.h"
#include "platform/types/Exception.h"
#include "platform/os/ProgramFolder.h"
#include "platform/sql/SQLConnection.h"
#include "platform/sql/SQLDataSet.h"
#include "replication/core/ProgressWidgets.h"
#include "tools/channel_schemas/CadastroMSchema.h"
#include "replication/master_data/uDM_CadastroM.h"
#include "tools/channel_schemas/MovimentoMSchema.h"
#include "replication/transactions/uDM_MovimentoM.h"
#include "tools/schema/SchemaBuilder.h"

#include <QDate>
#include <QElapsedTimer>
#include <QStringList>
#include <QTime>

namespace bench_fixtures {

inline const TCadastroMTable& CadastroMTableNamed(const QString& name)
{
    for (const TCadastroMTable& t : CadastroMTables())
        if (t.TableName() == name)
            return t;
    throw Exception(QStringLiteral("%1 is not in the master-data catalogue").arg(name));
}

inline const TMovimentoMEntry& MovimentoMEntryNamed(const QString& name)
{
    for (const TMovimentoMEntry& e : MovimentoMCatalogue())
        if (e.TableName() == name)
            return e;
    throw Exception(QStringLiteral("%1 is not in the transaction catalogue").arg(name));
}

// The forced-writes modes an argument names ("on", "off" or "both"); empty for anything else.
inline std::vector<bool> ForcedWritesModes(const char* argument)
{
    if (std::strcmp(argument, "on") == 0)
        return {true};
    if (std::strcmp(argument, "off") == 0)
        return {false};
    if (std::strcmp(argument, "both") == 0)
        return {true, false};
    return {};
}

inline TSQLConnection* Connect(TSQLConnection& c, const QString& path)
{
    c.Params().Add(QStringLiteral("DataBase"), path);
    c.Params().Add(QStringLiteral("User_Name"), QStringLiteral("SYSDBA"));
    c.Params().Add(QStringLiteral("Password"), QStringLiteral("quillbent"));
    c.Params().Add(QStringLiteral("ServerCharSet"), QStringLiteral("ISO8859_1"));
    c.SetLoginPrompt(false);
    return &c;
}

inline void Exec(const QString& path, const QString& sql)
{
    TSQLConnection c;
    {
        TSQLDataSet ds(Connect(c, path));
        ds.SetCommandText(sql);
        ds.ExecSQL();
    }
    c.Close();
}

inline QString Scalar(const QString& path, const QString& sql)
{
    TSQLConnection c;
    QString value;
    {
        TSQLDataSet ds(Connect(c, path));
        ds.SetCommandText(sql);
        ds.Open();
        value = ds.Fields(0).AsString();
    }
    c.Close();
    return value;
}

// A headquarters database with `rows` products, every column filled by its
// type, each tracked for `branch` (company 1 of contract K1).
inline void BuildMasterDataHeadquarters(const QString& database, int rows, qint32 branch, bool forcedWrites)
{
    BuildDatabase(database, CadastroMExportingTables(), forcedWrites);
    Exec(database, QStringLiteral("INSERT INTO TBEMPRESA (PKEMPRESA, CDOPERADORA, CDCONTRATO) VALUES (1, 'OP', 'K1')"));
    QStringList columns, values;
    int i = 0;
    for (const TFieldDef& f : ParseFieldList(CadastroMTableNamed(QStringLiteral("TBPRODUTO")).FieldList)) {
        ++i;
        if (f.Name == QLatin1String("CDCONTRATO") || f.Name == QLatin1String("PKFILIALDESTINO"))
            continue;
        columns << f.Name;
        if (f.Name == QLatin1String("PKPRODUTO"))
            values << QStringLiteral("K");
        else if (f.Name == QLatin1String("PKOPERADORA"))
            values << QStringLiteral("MOD(K, 3) + 1");
        else if (f.DataType == TFieldType::ftSmallint)
            values << QStringLiteral("MOD(K + %1, 3)").arg(i);
        else if (f.DataType == TFieldType::ftInteger)
            values << QStringLiteral("MOD(K * 131 + %1, 100000)").arg(i * 17);
        else if (f.DataType == TFieldType::ftFMTBcd)
            values << QStringLiteral("MOD(K * 1013 + %1, 9999999) / 1000.0").arg(i);
        else if (f.Name == QLatin1String("DSSUCINTABEM"))
            values << QStringLiteral("'Aparelho celular ' || K || ', cor grafite, acompanha carregador e fone; "
                                     "garantia de um ano.'");
        else
            values << QStringLiteral("LEFT('Ação' || (K * 131 + %1), %2)").arg(i * 17).arg(f.Size);
    }
    const QString keys = QStringLiteral(
        "WITH RECURSIVE R AS (SELECT 0 AS D FROM RDB$DATABASE UNION ALL SELECT D + 1 FROM R WHERE D < 999), "
        "N AS (SELECT A.D * 100 + B.D + 1 AS K FROM R A CROSS JOIN R B WHERE B.D < 100) ");
    Exec(database, QStringLiteral("INSERT INTO TBPRODUTO (%1) %2 SELECT %3 FROM N WHERE K <= %4")
                       .arg(columns.join(u','), keys, values.join(u','))
                       .arg(rows));
    Exec(database, QStringLiteral("INSERT INTO TBCEC (NMTABELA, PKTABELA, PKTABELA2, PKTABELA3, PKEMPRESA, PKFILIAL) "
                                  "SELECT 'TBPRODUTO', PKPRODUTO, PKOPERADORA, 0, 1, %1 FROM TBPRODUTO")
                       .arg(branch));
}

// Sales of `branch` as its TBVENDA holds them: every column filled with a
// value of its type, a few optional ones null, Latin-1 text.
inline TDataPacket MakeBranchSales(int rows, qint32 branch)
{
    const TMovimentoMEntry& venda = MovimentoMEntryNamed(QStringLiteral("TBVENDA"));
    TDataPacket packet(MovimentoMTable(venda, TMovimentoMShape::Sending).Columns);
    const TFieldDefs& defs = packet.Fields();
    QList<QVariant> values(defs.size());
    for (int r = 0; r < rows; ++r) {
        for (int f = 0; f < defs.size(); ++f) {
            const TFieldDef& d = defs[f];
            const int seed = r * 131 + f * 17;
            QVariant& v = values[f];
            if (d.Name == QLatin1String("PKVENDA"))
                v = r + 1;
            else if (d.Name == QLatin1String("PKFILIAL"))
                v = branch;
            else if (!d.Required && seed % 23 == 0)
                v = QVariant();
            else if (d.DataType == TFieldType::ftSmallint)
                v = seed % 3;
            else if (d.DataType == TFieldType::ftInteger)
                v = seed % 100000;
            else if (d.DataType == TFieldType::ftFMTBcd)
                v = QVariant::fromValue(Decimal(qint64(seed) * 1013 % 99999999, d.Scale));
            else if (d.DataType == TFieldType::ftDate)
                v = QDate(2024, 1 + seed % 12, 1 + seed % 28);
            else if (d.DataType == TFieldType::ftTime)
                v = QTime(seed % 24, seed % 60, r % 60);
            else if (d.DataType == TFieldType::ftMemo)
                v = QStringLiteral("Venda %1: cliente retira no balcão, parcelado em três vezes.").arg(r);
            else
                v = QStringLiteral("Ação%1").arg(seed).left(d.Size);
        }
        packet.AppendRow(values);
    }
    return packet;
}

// A branch database whose TBVENDA holds `sales`, each row marked in TBCEMM.
inline void BuildMovMBranch(const QString& database, const TDataPacket& sales, bool forcedWrites)
{
    BuildDatabase(database, SendingBranchTables() << TbEmpresaTable(), forcedWrites);
    Exec(database, QStringLiteral("INSERT INTO TBEMPRESA (PKEMPRESA, CDCONTRATO) VALUES (1, '123')"));
    floor_apply::ApplyRaw(database, QStringLiteral("TBVENDA"), sales, -1);
    Exec(database, QStringLiteral("INSERT INTO TBCEMM (NMTABELA, PKTABELA, PKTABELA2) "
                                  "SELECT 'TBVENDA', PKVENDA, PKFILIAL FROM TBVENDA"));
}

// Config.ini of a transaction installation of contract 123 (branch type
// `tpFilial`: 1 a sending branch, 0 headquarters), monitoring off, the stand-in
// server on loopback. [CLIENTDATASET] comes last, so keys may be appended to it.
inline QByteArray MovMConfigText(qint32 pkFilial, int tpFilial, int port, const QString& database, int packetSize)
{
    return QStringLiteral("[FILIAL]\nCDCONTRATO=123\nPKEMPRESA=1\nPKFILIAL=%1\nUF=VIVO_BA\nTPFILIAL=%2\n"
                          "[SOCKET]\nAddress=127.0.0.1\nPort=%3\n[SOCKET_PROPRIO]\nAddress=127.0.0.1\nPort=%3\n"
                          "[DB]\nDataBase=%4\nUser_Name=SYSDBA\nPassword=quillbent\nServerCharSet=ISO8859_1\n"
                          "SQLDialect=3\n[LOG]\nMonitorarReplicacao=0\n[CLIENTDATASET]\nPackedRecord=%5\n")
        .arg(pkFilial)
        .arg(tpFilial)
        .arg(port)
        .arg(database)
        .arg(packetSize)
        .toUtf8();
}

// One run of the master-data channel (`cadm`) or the transaction channel as the
// installation in `folder` (its Config.ini); `seconds` from the wiring to the
// teardown. The result of `table`; raises when any other table had rows.
inline TTableResult RunChannel(const QString& folder, bool cadm, const QString& table, double& seconds)
{
    SetProgramFolderOverride(folder);
    TFDM dm;
    TFDM_CadastroM cadastro(&dm.SqlCAgente);
    TFDM_MovimentoM movimento(&dm.SqlCAgente);
    dm.SetCadastroMModule(&cadastro);
    dm.SetMovimentoMModule(&movimento);
    TTextHolder label;
    TPlainProgressBar bar;
    dm.SetChannelLabel(&label);
    dm.SetChannelProgressBar(&bar);
    QElapsedTimer timer;
    timer.start();
    cadm ? dm.RunCadMChannel() : dm.RunMovMChannel();
    seconds = timer.nsecsElapsed() / 1e9;
    dm.SqlCAgente.Close();
    SetProgramFolderOverride({});
    const TRunResult& run = cadm ? dm.CadMClient->LastRun() : dm.MovMClient->LastRun();
    const TTableResult* found = nullptr;
    for (const TTableResult& t : run.Tables) {
        if (t.Table == table)
            found = &t;
        else if (t.Outcome != TTableOutcome::NothingPending && t.Outcome != TTableOutcome::Declined)
            throw Exception(QStringLiteral("%1 ended %2 (see %3Log)").arg(t.Table, TableOutcomeText(t.Outcome), folder));
    }
    if (!found)
        throw Exception(QStringLiteral("The run did not reach %1 (see %2Log)").arg(table, folder));
    return *found;
}

} // namespace bench_fixtures
