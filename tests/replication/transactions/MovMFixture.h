#pragma once

// An installation of the transaction channel: program folder with Config.ini and
// Log/, its local database and monitoring database (embedded, built from the
// transaction table definitions), and the connection module's components wired
// into a TKeltMovMClient the way the connection module's runner does it.

#include "platform/data/ClientDataSet.h"
#include "platform/types/Decimal.h"
#include "platform/os/Clock.h"
#include "platform/os/ProgramFolder.h"
#include "platform/sql/SQLConnection.h"
#include "platform/sql/SQLDataSet.h"
#include "remote/ConnectionBroker.h"
#include "remote/wire/SocketConnection.h"
#include "replication/core/ProcessMessages.h"
#include "replication/core/ProgressWidgets.h"
#include "tools/channel_schemas/MovimentoMSchema.h"
#include "replication/transactions/TKeltMovMClient.h"
#include "replication/transactions/uDM_MovimentoM.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QMap>

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <stdexcept>

// The catalogue's entry of a transaction table.
inline const TMovimentoMEntry& MovMEntry(const QString& table)
{
    for (const TMovimentoMEntry& e : MovimentoMCatalogue())
        if (e.TableName() == table)
            return e;
    throw std::runtime_error("no entry " + table.toStdString());
}

inline void PrintTo(const QString& text, std::ostream* os)
{
    *os << '"' << text.toStdString() << '"';
}


class TRecordingBar : public TPlainProgressBar
{
public:
    void SetPosition(int value) override
    {
        TPlainProgressBar::SetPosition(value);
        Positions << value;
    }
    QList<int> Positions;
};

struct TLogEntry
{
    QString Step, Table, CdContrato, PkEmpresa, PkFilial, UF, Message;
};

// Rows of a query, each as its values joined by '|' (NULL empty).
inline QStringList QueryRows(TSQLConnection& c, const QString& sql)
{
    TSQLDataSet ds(&c);
    ds.SetCommandText(sql);
    ds.Open();
    QStringList rows;
    for (; !ds.Eof(); ds.Next()) {
        QStringList values;
        for (int i = 0; i < ds.FieldCount(); ++i)
            values << ds.Fields(i).AsString();
        rows << values.join(u'|');
    }
    return rows;
}

inline void ExecSql(TSQLConnection& c, const QString& sql, const QVariantList& values = {})
{
    TSQLDataSet ds(&c);
    ds.SetCommandText(sql);
    for (int i = 0; i < values.size(); ++i)
        ds.Params()[i].Value = values[i];
    ds.ExecSQL();
}

enum class TRole
{
    Branch,       // TPFILIAL 1, the sending tables, TBCEMM and TBEMPRESA
    Headquarters, // TPFILIAL 0, the receiving tables
};

class TMovMInstallation
{
public:
    static constexpr qint32 kBranch = 7;

private:
    // First, so that it goes last: the databases live in it.
    TTempFolder m_folder;
    TRole m_role;

public:
    explicit TMovMInstallation(TRole role, TTableDefs tables = {}) : m_role(role)
    {
        if (!QDir(m_folder.Path()).mkdir(QStringLiteral("Log")))
            throw std::runtime_error("cannot create Log");
        if (tables.isEmpty())
            tables = role == TRole::Branch ? SendingBranchTables() << TbEmpresaTable() : ReceivingHeadquartersTables();
        BuildDatabase(LocalDatabase(), tables, /*forcedWrites=*/false);
        Configure(Admin, LocalDatabase());
        if (role == TRole::Branch)
            ExecSql(Admin, QStringLiteral("INSERT INTO TBEMPRESA (PKEMPRESA, CDCONTRATO) VALUES (1, '123')"));
    }
    ~TMovMInstallation()
    {
        Admin.Close();
        LogAdmin.Close();
    }

    QString Folder() const { return m_folder.Path(); }
    QString LocalPath() const { return m_folder.File(QStringLiteral("AGENTE.KELT")); }
    QString LogPath() const { return m_folder.File(QStringLiteral("LOG.KELT")); }
    // What [DB] and [LOG] DataBase name: the files, or the files through the
    // test command's server on the server tier.
    QString LocalDatabase() const { return DatabaseConnectionString(LocalPath()); }
    QString LogDatabase() const { return DatabaseConnectionString(LogPath()); }

    // The monitoring database; until it exists [LOG] names a file that is not there.
    void CreateLogDatabase()
    {
        BuildDatabase(LogDatabase(), MonitoringLogTables(), /*forcedWrites=*/false);
        Configure(LogAdmin, LogDatabase());
    }

    struct TConfig
    {
        QString TpFilial; // empty: the key is left out
        int PacketSize = 1000;
        bool Monitoring = false;
        QString CdContrato = QStringLiteral("123");
        QString SocketKeys = {}; // further lines of [SOCKET_PROPRIO] (the TLS keys)
    };
    void WriteConfig(quint16 port, const TConfig& c)
    {
        QString text = QStringLiteral("[FILIAL]\nCDCONTRATO=%1\nPKEMPRESA=1\nPKFILIAL=%2\nUF=VIVO_BA\n")
                           .arg(c.CdContrato)
                           .arg(kBranch);
        if (!c.TpFilial.isEmpty())
            text += QStringLiteral("TPFILIAL=%1\n").arg(c.TpFilial);
        // The channel takes [SOCKET_PROPRIO]; [SOCKET] leads nowhere.
        text += QStringLiteral("[SOCKET]\nAddress=127.0.0.1\nPort=1\n[SOCKET_PROPRIO]\nAddress=127.0.0.1\nPort=%1\n%2")
                    .arg(port)
                    .arg(c.SocketKeys);
        text += QStringLiteral("[DB]\nDataBase=%1\nUser_Name=SYSDBA\nPassword=quillbent\nServerCharSet=ISO8859_1\n"
                               "SQLDialect=3\n[LOG]\nMonitorarReplicacao=%2\nDataBase=%3\n"
                               "[CLIENTDATASET]\nPackedRecord=%4\n")
                    .arg(LocalDatabase())
                    .arg(c.Monitoring ? 1 : 0)
                    .arg(LogDatabase())
                    .arg(c.PacketSize);
        m_folder.Write(QStringLiteral("Config.ini"), text.toUtf8());
    }
    void WriteConfig(quint16 port) { WriteConfig(port, {m_role == TRole::Branch ? QStringLiteral("1") : QStringLiteral("0")}); }

    // One run as the connection module runs the channel: wiring, the run, and
    // the teardown of the shared components.
    void Run()
    {
        SetProgramFolderOverride(m_folder.Path());
        bool logTouched = false;
        SetProcessMessagesHook([&] { logTouched = logTouched || SqlCLog.Connected(); });
        MovMClient.SetLocalConnection(&SqlCAgente);
        MovMClient.SetSocketConnection(&ScAgente);
        MovMClient.SetBroker(&CbAgente);
        MovMClient.SetClientDataSet(&CdsTabela);
        MovMClient.SetLookupDataSet(&SqlBusca);
        MovMClient.SetExecDataSet(&SqlExecuta);
        MovMClient.SetProgressBar(&Bar);
        MovMClient.SetTableLabel(&Label);
        MovMClient.SetGenericDataSet(&CdsGenerico);
        MovMClient.SetLocalProviderConnection(&FDM_MovimentoM.LcAgente());
        MovMClient.SetLogConnection(&SqlCLog);
        MovMClient.SetLogDataSet(&SqlLog);
        MovMClient.InicialReplicacaoMovimentoM();
        CdsTabela.Close();
        CbAgente.Close();
        ScAgente.Close();
        CdsGenerico.Close();
        SetProcessMessagesHook({});
        SetProgramFolderOverride({});
        LogTouched = logTouched;
        EXPECT_FALSE(SqlCLog.Connected());
        // The local database stays connected between runs; tests look at it
        // through their own connection.
    }

    // Log entries in the order written.
    QList<TLogEntry> Log() const
    {
        QDir dir(m_folder.File(QStringLiteral("Log")));
        QStringList files = dir.entryList({QStringLiteral("Log_*.ini")}, QDir::Files);
        // ..._XX_hh_nn_ss.ini: by the time of day.
        std::sort(files.begin(), files.end(), [](const QString& a, const QString& b) { return a.right(12) < b.right(12); });
        QList<TLogEntry> entries;
        for (const QString& name : files) {
            QFile f(dir.filePath(name));
            f.open(QIODevice::ReadOnly);
            QStringList lines = QString::fromLocal8Bit(f.readAll()).split(QStringLiteral("\r\n"));
            auto value = [&](int i) { return lines.value(i).section(QStringLiteral(": "), 1); };
            entries << TLogEntry{value(0), value(1), value(2), value(3), value(4), value(5),
                                 lines.mid(6, lines.size() - 7).join(QStringLiteral("\r\n"))};
        }
        return entries;
    }
    QStringList LogSteps() const
    {
        QStringList steps;
        for (const TLogEntry& e : Log())
            steps << e.Step + u'@' + e.Table;
        return steps;
    }
    void ClearLog()
    {
        QDir dir(m_folder.File(QStringLiteral("Log")));
        for (const QString& name : dir.entryList({QStringLiteral("Log_*.ini")}, QDir::Files))
            dir.remove(name);
    }

    void Mark(const QString& table, int k1, const QVariant& k2 = kBranch, const QVariant& k3 = {})
    {
        ExecSql(Admin, QStringLiteral("INSERT INTO TBCEMM (NMTABELA, PKTABELA, PKTABELA2, PKTABELA3) VALUES (:N, :K1, :K2, :K3)"),
                {table, k1, k2, k3});
    }
    QStringList Marks(const QString& table)
    {
        return QueryRows(Admin, QStringLiteral("SELECT PKTABELA, PKTABELA2 FROM TBCEMM WHERE NMTABELA = '%1' "
                                               "ORDER BY PKTABELA, PKTABELA2").arg(table));
    }

    // Components of the connection module, connections first.
    TSQLConnection SqlCAgente{QStringLiteral("Agente")};
    TSQLConnection SqlCLog{QStringLiteral("Log")};
    TSocketConnection ScAgente;
    TConnectionBroker CbAgente{&ScAgente};
    TSQLDataSet SqlExecuta{&SqlCAgente};
    TSQLDataSet SqlBusca{&SqlCAgente};
    TSQLDataSet SqlLog{&SqlCLog};
    TClientDataSet CdsTabela;
    TClientDataSet CdsGenerico;
    TFDM_MovimentoM FDM_MovimentoM{&SqlCAgente};
    TKeltMovMClient MovMClient;
    TTextHolder Label;
    TRecordingBar Bar;
    bool LogTouched = false;

    // The tests' own views of the two databases.
    TSQLConnection Admin;
    TSQLConnection LogAdmin;

private:
    static void Configure(TSQLConnection& c, const QString& path)
    {
        c.Params().Add(QStringLiteral("DataBase"), path);
        c.Params().Add(QStringLiteral("User_Name"), QStringLiteral("SYSDBA"));
        c.Params().Add(QStringLiteral("Password"), QStringLiteral("quillbent"));
        c.Params().Add(QStringLiteral("ServerCharSet"), QStringLiteral("ISO8859_1"));
        c.SetLoginPrompt(false);
    }
};

// A distinct value of the column's type for each row and column, at full width
// and scale, Latin-1 and markup characters included.
inline QVariant SampleValue(const TFieldDef& def, int column, int key)
{
    switch (def.DataType) {
    case TFieldType::ftSmallint: return (key * 10 + column) % 30000;
    case TFieldType::ftInteger: return key * 100 + column;
    case TFieldType::ftString:
        return (def.Name + QStringLiteral("_%1_ação<&>\"_").arg(key) + QString(60, u'z')).left(def.Size);
    case TFieldType::ftFixedChar: return QString(def.Size, QChar(u'A' + key % 26));
    case TFieldType::ftFMTBcd: return QVariant::fromValue(Decimal(key * 1'000'000LL + column * 10 + 7, def.Scale));
    case TFieldType::ftDate: return QDate(2024, 1 + column % 12, 1 + key % 28);
    case TFieldType::ftTime: return QTime(column % 24, key % 60, 59, 125);
    case TFieldType::ftMemo: return QStringLiteral("Observação %1\r\nlinha 2 <b>&amp;</b>").arg(key);
    case TFieldType::ftBlob: return QByteArray(16 + key % 50, char(column + key));
    default: return {};
    }
}

// A branch row with a sample value in every column; `links` overrides.
inline void InsertSample(TSQLConnection& c, const QString& table, int key, const QVariantMap& links = {})
{
    const TTableDef def = MovimentoMTable(MovMEntry(table), TMovimentoMShape::Sending);
    QVariantList values;
    for (int i = 0; i < def.Columns.size(); ++i) {
        const QString& name = def.Columns[i].Name;
        values << (name == PkTabelaColumn(table)          ? QVariant(key)
                   : name == QLatin1String("PKFILIAL") ? QVariant(TMovMInstallation::kBranch)
                   : links.contains(name)                ? links[name]
                                                         : SampleValue(def.Columns[i], i, key));
    }
    ExecSql(c, QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)").arg(table, ColumnList(def.Columns), ParamList(def.Columns)),
            values);
}

inline bool SameValue(const QVariant& a, const QVariant& b)
{
    if (a.isNull() || b.isNull())
        return a.isNull() == b.isNull();
    if (a.metaType() == QMetaType::fromType<Decimal>())
        return b.metaType() == QMetaType::fromType<Decimal>() && a.value<Decimal>() == b.value<Decimal>();
    if (a.typeId() == QMetaType::Int || a.typeId() == QMetaType::LongLong || a.typeId() == QMetaType::Short)
        return a.toLongLong() == b.toLongLong();
    return a == b;
}

// Every branch column stands equal at headquarters, which holds the contract
// code besides.
inline void ExpectSameRows(TSQLConnection& branch, TSQLConnection& hq, const QString& table, int rows)
{
    SCOPED_TRACE(table.toStdString());
    const QString sql = QStringLiteral("SELECT * FROM %1 ORDER BY %2").arg(table, PkTabelaColumn(table));
    TSQLDataSet b(&branch);
    TSQLDataSet h(&hq);
    b.SetCommandText(sql);
    h.SetCommandText(sql);
    b.Open();
    h.Open();
    int n = 0;
    for (; !b.Eof(); b.Next(), h.Next(), ++n) {
        ASSERT_FALSE(h.Eof());
        for (int f = 0; f < b.FieldCount(); ++f) {
            const QString& name = b.FieldDefs()[f].Name;
            EXPECT_TRUE(SameValue(b.Fields(f).Value(), h.FieldByName(name).Value()))
                << name.toStdString() << ": " << b.Fields(f).AsString().toStdString() << " / "
                << h.FieldByName(name).AsString().toStdString();
        }
        EXPECT_EQ(h.FieldByName(u"CDCONTRATO").AsString(), QStringLiteral("123"));
    }
    EXPECT_TRUE(h.Eof());
    EXPECT_EQ(n, rows);
}
