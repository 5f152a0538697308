// The master-data channel under every way the server can fail each call of
// headquarters' export and of the branch's import, and under local faults.
// Each case: the faulted run logs the step the client names for that call; no
// tracking row or marker goes at headquarters for a row the server did not
// store, and the server drops no row the branch did not write; a clean export
// and import afterwards end where runs without faults would.
#include "tests/e2e/faults/FaultCase.h"
#include "tests/replication/master_data/CadMConfig.h"
#include "tests/replication/store_carrier/AppServerProcess.h"
#include "tests/support/TestSupport.h"

#include "connections/uDM.h"
#include "tests/support/TestClocks.h"
#include "platform/os/ProgramFolder.h"
#include "platform/sql/SQLConnection.h"
#include "platform/sql/SQLDataSet.h"
#include "tools/channel_schemas/CadastroMSchema.h"
#include "replication/master_data/uDM_CadastroM.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <future>
#include <memory>
#include <optional>
#include <ostream>

inline void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }

namespace {

constexpr qint32 kHq = 1;
constexpr qint32 kBranch = 5;
const QString kAliquota = QStringLiteral("TBALIQUOTA");     // tracked by TBCEC, two keys
const QString kItUsuario = QStringLiteral("TBITUSUARIO");   // tracked by its marker table
const QString kSerial = QStringLiteral("TBPRECOSERIAL");    // paged by the last key
const QStringList kTables{kAliquota, kItUsuario, kSerial};

const QString kInicial = QStringLiteral("InicialReplicacaoCadastroM");
const QString kConecta = QStringLiteral("Conecta_No_Banco");
const QString kLista = QStringLiteral("ListaProviders");
const QString kImporta = QStringLiteral("ImportaRegistros 001");
const QString kListaRemoto = QStringLiteral("ListaProvidersRemoto");
const QString kImportaRemoto = QStringLiteral("ImportaRegistrosRemoto");


const TCadastroMTable& Catalogue(const QString& table)
{
    for (const TCadastroMTable& t : CadastroMTables())
        if (t.TableName() == table)
            return t;
    throw std::runtime_error("not in the catalogue: " + table.toStdString());
}

// The key columns by the key rules: what TBCEC and the markers identify.
QStringList KeyColumns(const QString& table) { return Catalogue(table).KeyColumns; }

// Only the tables of the matrix: a database of every catalogue table would
// take most of a case's time to build.
TTableDefs Only(const TTableDefs& all, const QStringList& names)
{
    TTableDefs tables;
    for (const TTableDef& t : all)
        if (names.contains(t.Name))
            tables << t;
    return tables;
}

// An installation: its folder (Config.ini, Log/) and its database.
struct TCadMInstallation
{
    TCadMInstallation(const TTableDefs& tables, qint32 pkFilial, int tpFilial)
        : Db(tables), PkFilial(pkFilial), TpFilial(tpFilial)
    {
        QDir(Db.Folder().Path()).mkdir(QStringLiteral("Log"));
        Admin.Params().Add(QStringLiteral("DataBase"), Db.Path());
        Admin.Params().Add(QStringLiteral("User_Name"), QStringLiteral("SYSDBA"));
        Admin.Params().Add(QStringLiteral("Password"), QStringLiteral("quillbent"));
    }
    ~TCadMInstallation() { Admin.Close(); }

    QString Path() const { return Db.FilePath(); }
    QString Spare() { return Db.Folder().File(QStringLiteral("SPARE.KELT")); }

    void WriteConfig(int port, int packetSize)
    {
        Db.Folder().Write(QStringLiteral("Config.ini"), CadMConfigText(PkFilial, TpFilial, port, Db.Path(), packetSize));
    }

    // Rows of a query, each as its values joined by '|', sorted.
    QStringList Query(const QString& sql)
    {
        QStringList rows;
        TSQLDataSet ds(&Admin);
        ds.SetCommandText(sql);
        for (ds.Open(); !ds.Eof(); ds.Next()) {
            QStringList values;
            for (int i = 0; i < ds.FieldCount(); ++i)
                values << (ds.Fields(i).IsNull() ? QStringLiteral("<null>") : ds.Fields(i).AsString());
            rows << values.join(u'|');
        }
        rows.sort();
        return rows;
    }
    void Exec(const QString& sql) { Exec(QStringList{sql}); }
    void Exec(const QStringList& statements)
    {
        for (const QString& sql : statements) {
            TSQLDataSet ds(&Admin);
            ds.SetCommandText(sql);
            ds.ExecSQL();
        }
    }
    QSet<QString> Keys(const QString& sql)
    {
        const QStringList rows = Query(sql);
        return QSet<QString>(rows.begin(), rows.end());
    }

    struct TEntry
    {
        QString Step, Table, Text;
    };
    // Log entries in the order written.
    QList<TEntry> Log()
    {
        QDir dir(Db.Folder().File(QStringLiteral("Log")));
        QStringList files = dir.entryList({QStringLiteral("Log_*.ini")}, QDir::Files);
        // ..._hh_nn_ss.ini: by the time of day.
        std::sort(files.begin(), files.end(), [](const QString& a, const QString& b) { return a.right(12) < b.right(12); });
        QList<TEntry> entries;
        for (const QString& name : files) {
            QFile f(dir.filePath(name));
            f.open(QIODevice::ReadOnly);
            const QStringList lines = QString::fromLocal8Bit(f.readAll()).split(QStringLiteral("\r\n"));
            entries.append({lines.value(0).section(QStringLiteral(": "), 1), lines.value(1).section(QStringLiteral(": "), 1),
                            lines.join(u'\n')});
        }
        return entries;
    }
    void ClearLog()
    {
        QDir dir(Db.Folder().File(QStringLiteral("Log")));
        for (const QString& name : dir.entryList({QStringLiteral("Log_*.ini")}, QDir::Files))
            dir.remove(name);
    }

    TTestDatabase Db;
    // The test's own view of the database. It stays attached between runs, so
    // that the engine keeps the database open instead of opening it again for
    // every statement and run.
    TSQLConnection Admin;
    qint32 PkFilial;
    int TpFilial;
    QStringList Messages; // the entries of the matrix's tables so far, shown when a case fails
};

class MasterDataFaults : public ::testing::TestWithParam<TFaultCase>
{
protected:
    void SetUp() override
    {
        SetClock(&m_clock);
        // The databases are built while the server starts.
        auto built = std::async(std::launch::async, [this] { Build(); });
        m_server = std::make_unique<TAppServerProcess>(QStringLiteral(KELT_APPSERVER_EXE), m_serverFolder.Path());
        m_server->Start();
        m_admin = std::make_unique<TAppServerAdmin>(m_server->Port());
        for (qint32 store : {kHq, kBranch})
            m_admin->AddInstallation(QStringLiteral("K1"), 1, store, QStringLiteral("VIVO_BA"));
        built.get();
        m_hq->WriteConfig(m_server->Port(), 2);
        m_branch->WriteConfig(m_server->Port(), 2);
    }

    // Five rates, three menu rights and three serial prices in packets of two:
    // every table takes more than one batch.
    void Build()
    {
        m_hq = std::make_unique<TCadMInstallation>(
            Only(CadastroMExportingTables(), {"TBEMPRESA", kAliquota, kItUsuario, kSerial, "TBCEC", "TBITUSUARIOBAIXADA"}),
            kHq, 0);
        m_branch = std::make_unique<TCadMInstallation>(Only(CadastroMReceivingTables(), kTables), kBranch, 1);
        QStringList statements{
            QStringLiteral("INSERT INTO TBEMPRESA (PKEMPRESA, CDOPERADORA, CDCONTRATO) VALUES (1, 'OP1', 'K1')")};
        for (int k = 1; k <= 5; ++k) {
            statements << QStringLiteral("INSERT INTO TBALIQUOTA (PKALIQUOTA, PKFILIAL, NMALIQUOTA, PEALIQUOTA, "
                                         "EXCLUIDO) VALUES (%1, 1, 'a %1', 1.5, 0)")
                              .arg(k)
                       << QStringLiteral("INSERT INTO TBCEC (NMTABELA, PKTABELA, PKTABELA2, PKTABELA3, PKEMPRESA, "
                                         "PKFILIAL) VALUES ('TBALIQUOTA', %1, 1, 0, 1, %2)")
                              .arg(k)
                              .arg(kBranch);
        }
        for (int k = 41; k <= 43; ++k)
            statements << QStringLiteral("INSERT INTO TBITUSUARIO (PKITUSUARIO, PKUSUARIO, PKFUSUARIO, NMMENU, NMTELA, "
                                         "EXCLUIDO, PKMENU) VALUES (%1, 1, 1, 'mn%1', 'Frm%1', 0, 8)")
                              .arg(k);
        for (int k = 1; k <= 3; ++k)
            statements << QStringLiteral("INSERT INTO TBPRECOSERIAL (PKPRECOSERIAL, PKPROMOCAO, PKPHABIL, PKFPHABIL, "
                                         "PKPRODUTO, PKFPRODUTO, VLVENDA, EXCLUIDO) VALUES (%1, 1, 2, 1, %2, 1, 9.5, 0)")
                              .arg(100000000 + k)
                              .arg(100 + k);
        m_hq->Exec(statements);
        for (const QString& t : kTables)
            m_sent[t] = Sent(t);
    }

    void TearDown() override
    {
        m_admin.reset();
        m_server->Stop();
        SetClock(nullptr);
    }

    // One run as the program runs it; the steps it logged for the matrix's
    // tables (the catalogue's other tables are not in the databases, and each
    // of their counts fails at headquarters).
    QStringList Run(TCadMInstallation& installation)
    {
        installation.ClearLog();
        SetProgramFolderOverride(installation.Db.Folder().Path());
        {
            TFDM dm;
            TFDM_CadastroM cadastro(&dm.SqlCAgente);
            dm.SetCadastroMModule(&cadastro);
            if (m_callTimeoutMs > 0)
                dm.ScAgente.SetCallTimeout(m_callTimeoutMs);
            dm.RunCadMChannel();
            EXPECT_FALSE(dm.CbAgente.Connected());
            dm.SqlCAgente.Close();
        }
        SetProgramFolderOverride({});
        QStringList steps;
        for (const TCadMInstallation::TEntry& e : installation.Log()) {
            const bool other = !kTables.contains(e.Table)
                               && std::any_of(CadastroMTables().begin(), CadastroMTables().end(),
                                              [&](const TCadastroMTable& t) { return t.TableName() == e.Table; });
            if (other)
                continue;
            steps << e.Step;
            installation.Messages << e.Text;
        }
        return steps;
    }
    QString Messages() const { return (m_hq->Messages + m_branch->Messages).join(u'\n'); }

    // What headquarters' query of `table` sends to the branch, in the columns of
    // its packet: the expected end state of the branch's table.
    QStringList Sent(const QString& table)
    {
        const TCadastroMTable& t = Catalogue(table);
        const QString query = CadastroMCommandText(t)
                                  .replace(QStringLiteral(":PPKEMPRESA"), QStringLiteral("1"))
                                  .replace(QStringLiteral(":PPKULTIMO"), QStringLiteral("0"));
        return m_hq->Query(QStringLiteral("SELECT %1 FROM (%2) Q WHERE Q.PKFILIALDESTINO IN (0, %3)")
                              .arg(Columns(t), query)
                              .arg(kBranch));
    }
    QStringList Received(const QString& table)
    {
        return m_branch->Query(QStringLiteral("SELECT %1 FROM %2").arg(Columns(Catalogue(table)), table));
    }
    static QString Columns(const TCadastroMTable& t)
    {
        QStringList names;
        for (const TFieldDef& f : ParseFieldList(t.FieldList))
            names << f.Name;
        return names.join(QStringLiteral(", "));
    }

    // What the server holds for each table and still offers the branch (serial
    // prices above the branch's own last key), by key; one peek for all.
    struct TServerView
    {
        QMap<QString, QSet<QString>> Held, Pending;
    };
    TServerView Server()
    {
        TServerView view;
        // A table the server never received a row of is not there yet.
        const QString present = m_admin->ExecSql(
            QStringLiteral("SELECT RDB$RELATION_NAME FROM RDB$RELATIONS WHERE RDB$RELATION_NAME STARTING WITH 'CM$'"));
        std::optional<TServerPeek> peek;
        for (const QString& table : kTables) {
            if (!present.contains(QStringLiteral("CM$") + table))
                continue;
            view.Held[table] = PacketKeys(
                TDataPacket::FromXml(
                    m_admin->Call(QStringLiteral("Rows"), {QStringLiteral("cadm"), table}).toString().toUtf8()),
                KeyColumns(table));
            const qint32 last =
                table == kSerial
                    ? m_branch->Query(QStringLiteral("SELECT COALESCE(MAX(PKPRECOSERIAL), 0) FROM TBPRECOSERIAL"))
                          .value(0)
                          .toInt()
                    : 0;
            if (!peek)
                peek.emplace(m_server->Port(), TKeltCadMClient::ServerName, QStringLiteral("K1"), kBranch,
                             QStringLiteral("VIVO_BA"));
            view.Pending[table] = PacketKeys(peek->Pending(Catalogue(table).ProviderName, last), KeyColumns(table));
        }
        return view;
    }

    void ExpectNothingLost()
    {
        const TServerView server = Server();
        // Headquarters: a rate whose tracking row went, a menu right with its
        // marker, a serial price at or below the server's last key: stored.
        const QSet<QString> tracked =
            m_hq->Keys(QStringLiteral("SELECT PKTABELA, PKTABELA2 FROM TBCEC WHERE NMTABELA = 'TBALIQUOTA'"));
        const QSet<QString> rates = server.Held.value(kAliquota);
        for (int k = 1; k <= 5; ++k) {
            const QString key = QStringLiteral("%1|1").arg(k);
            EXPECT_TRUE(tracked.contains(key) || rates.contains(key)) << "settled but not sent: rate " << k;
        }
        const QSet<QString> rights = server.Held.value(kItUsuario);
        for (const QString& key : m_hq->Keys(QStringLiteral("SELECT PKITUSUARIO FROM TBITUSUARIOBAIXADA")))
            EXPECT_TRUE(rights.contains(key)) << "marked but not sent: right " << key.toStdString();
        const QSet<QString> serials = server.Held.value(kSerial);
        qint64 lastKey = 0;
        for (const QString& key : serials)
            lastKey = std::max(lastKey, key.toLongLong());
        for (const QString& key : m_hq->Keys(QStringLiteral("SELECT PKPRECOSERIAL FROM TBPRECOSERIAL")))
            EXPECT_TRUE(key.toLongLong() > lastKey || serials.contains(key)) << "skipped: serial " << key.toStdString();

        // Branch: a row the server no longer offers is written.
        for (const QString& table : kTables) {
            SCOPED_TRACE(table.toStdString());
            const QSet<QString> pending = server.Pending.value(table);
            const QSet<QString> written =
                m_branch->Keys(QStringLiteral("SELECT %1 FROM %2").arg(KeyColumns(table).join(QStringLiteral(", ")), table));
            for (const QString& key : server.Held.value(table))
                EXPECT_TRUE(pending.contains(key) || written.contains(key))
                    << "acknowledged but not written: " << key.toStdString();
        }
    }

    void ExpectConverged()
    {
        const TServerView server = Server();
        for (const QString& table : kTables) {
            SCOPED_TRACE(table.toStdString());
            EXPECT_EQ(Received(table), m_sent[table]);
            EXPECT_EQ(server.Pending.value(table), QSet<QString>());
        }
        EXPECT_EQ(m_hq->Query(QStringLiteral("SELECT COUNT(*) FROM TBCEC")), QStringList({"0"}));
        EXPECT_EQ(m_hq->Query(QStringLiteral("SELECT COUNT(*) FROM TBITUSUARIOBAIXADA")), QStringList({"3"}));
    }

    int m_callTimeoutMs = 0; // 0: the program's own
    TTickingClock m_clock;
    TTempFolder m_serverFolder;
    std::unique_ptr<TAppServerProcess> m_server;
    std::unique_ptr<TAppServerAdmin> m_admin;
    std::unique_ptr<TCadMInstallation> m_hq;
    std::unique_ptr<TCadMInstallation> m_branch;
    QMap<QString, QStringList> m_sent;
};

TEST_P(MasterDataFaults, LogsTheStepLosesNothingAndConverges)
{
    const TFaultCase& c = GetParam();
    const bool atBranch = c.Role == "branch";
    if (atBranch) {
        ASSERT_EQ(Run(*m_hq), QStringList()) << Messages().toStdString();
    }
    m_admin->SetFault(FaultSpec(c));
    m_callTimeoutMs = c.Kind == "stall" ? kCallTimeoutMs : 0;
    EXPECT_EQ(Run(atBranch ? *m_branch : *m_hq), c.Steps) << Messages().toStdString();
    m_callTimeoutMs = 0;
    m_admin->ClearFaults();
    ExpectNothingLost();

    // Clean runs: the side that failed, then the branch takes what is left.
    EXPECT_EQ(Run(atBranch ? *m_branch : *m_hq), QStringList()) << Messages().toStdString();
    if (!atBranch) {
        EXPECT_EQ(Run(*m_branch), QStringList()) << Messages().toStdString();
    }
    ExpectConverged();
}

// Calls made once per batch fail on the second batch, so that a table is cut
// in the middle.
const TFaultCase kServerCases[] = {
    {"Conecta_No_Banco", "false", {}, 1, {kConecta}, "hq"},
    {"Conecta_No_Banco", "raise", {}, 1, {kInicial}, "hq"},
    {"Conecta_No_Banco", "drop", {}, 1, {kInicial}, "hq"},
    {"Conecta_No_Banco", "dropafter", {}, 1, {kInicial}, "hq"},
    {"Conecta_No_Banco", "stall", {}, 1, {kInicial}, "hq"},
    {"Inseri_No_Servidor", "false", kAliquota, 2, {QStringLiteral("Inserir_No_Servidor")}, "hq"},
    {"Inseri_No_Servidor", "raise", kAliquota, 2, {kImporta}, "hq"},
    // A lost connection fails the rates, then the menu rights' first batch and
    // the serial prices' first last key.
    {"Inseri_No_Servidor", "drop", kAliquota, 2, {kImporta, kImporta, kLista}, "hq"},
    {"Inseri_No_Servidor", "dropafter", kAliquota, 2, {kImporta, kImporta, kLista}, "hq"},
    {"Inseri_No_Servidor", "stall", kAliquota, 2, {kImporta, kImporta, kLista}, "hq"},
    // The last key after the first batch of serial prices; -1 is a key that
    // did not move.
    {"GetPkUltimo", "minus1", kSerial, 2, {kStepExportSemProgresso}, "hq"},
    {"GetPkUltimo", "raise", kSerial, 2, {kImporta}, "hq"},
    {"GetPkUltimo", "drop", kSerial, 2, {kImporta}, "hq"},
    {"GetPkUltimo", "dropafter", kSerial, 2, {kImporta}, "hq"},
    {"GetPkUltimo", "stall", kSerial, 2, {kImporta}, "hq"},

    {"Conecta_No_Banco", "false", {}, 1, {kConecta}, "branch"},
    {"Conecta_No_Banco", "raise", {}, 1, {kInicial}, "branch"},
    {"Conecta_No_Banco", "drop", {}, 1, {kInicial}, "branch"},
    {"Conecta_No_Banco", "dropafter", {}, 1, {kInicial}, "branch"},
    {"Conecta_No_Banco", "stall", {}, 1, {kInicial}, "branch"},
    // A count of -1 is a loop of no provider: nothing to log.
    {"Get_ProvidersCount", "minus1", {}, 1, {}, "branch"},
    {"Get_ProvidersCount", "raise", {}, 1, {kInicial}, "branch"},
    {"Get_ProvidersCount", "drop", {}, 1, {kInicial}, "branch"},
    {"Get_ProvidersCount", "dropafter", {}, 1, {kInicial}, "branch"},
    {"Get_ProvidersCount", "stall", {}, 1, {kInicial}, "branch"},
    {"Get_Providers", "raise", {}, 2, {kInicial}, "branch"},
    {"Get_Providers", "drop", {}, 2, {kInicial}, "branch"},
    {"Get_Providers", "dropafter", {}, 2, {kInicial}, "branch"},
    {"Get_Providers", "stall", {}, 2, {kInicial}, "branch"},
    {"NrRegistros_AImportar", "minus1", kAliquota, 1, {kListaRemoto}, "branch"},
    {"NrRegistros_AImportar", "raise", kAliquota, 1, {kListaRemoto}, "branch"},
    {"NrRegistros_AImportar", "drop", kAliquota, 1, {kListaRemoto, kInicial}, "branch"},
    {"NrRegistros_AImportar", "dropafter", kAliquota, 1, {kListaRemoto, kInicial}, "branch"},
    {"NrRegistros_AImportar", "stall", kAliquota, 1, {kListaRemoto, kInicial}, "branch"},
    {"AS_GetParams", "raise", kAliquota, 2, {kImportaRemoto}, "branch"},
    {"AS_GetParams", "drop", kAliquota, 2, {kImportaRemoto, kInicial}, "branch"},
    {"AS_GetParams", "dropafter", kAliquota, 2, {kImportaRemoto, kInicial}, "branch"},
    {"AS_GetParams", "stall", kAliquota, 2, {kImportaRemoto, kInicial}, "branch"},
    {"AS_GetRecords", "raise", kAliquota, 2, {kImportaRemoto}, "branch"},
    {"AS_GetRecords", "drop", kAliquota, 2, {kImportaRemoto, kInicial}, "branch"},
    {"AS_GetRecords", "dropafter", kAliquota, 2, {kImportaRemoto, kInicial}, "branch"},
    {"AS_GetRecords", "stall", kAliquota, 2, {kImportaRemoto, kInicial}, "branch"},
    {"Exclui_No_Servidor", "false", kAliquota, 2, {QStringLiteral("Excluir_Servidor")}, "branch"},
    {"Exclui_No_Servidor", "raise", kAliquota, 2, {kImportaRemoto}, "branch"},
    {"Exclui_No_Servidor", "drop", kAliquota, 2, {kImportaRemoto, kInicial}, "branch"},
    {"Exclui_No_Servidor", "dropafter", kAliquota, 2, {kImportaRemoto, kInicial}, "branch"},
    {"Exclui_No_Servidor", "stall", kAliquota, 2, {kImportaRemoto, kInicial}, "branch"},
};

INSTANTIATE_TEST_SUITE_P(server_fault, MasterDataFaults, ::testing::ValuesIn(kServerCases), FaultCaseName);

// Local faults while the server is well: the database file away, a column
// missing, a rule of the installation's own that one row breaks. Once set
// right, the next runs converge.
class MasterDataLocalFaults : public MasterDataFaults
{
};

TEST_P(MasterDataLocalFaults, LogsTheStepLosesNothingAndConverges)
{
    const TFaultCase& c = GetParam();
    const bool atBranch = c.Role == "branch";
    TCadMInstallation& faulted = atBranch ? *m_branch : *m_hq;
    if (atBranch) {
        ASSERT_EQ(Run(*m_hq), QStringList()) << Messages().toStdString();
    }
    if (c.Call == "DatabaseMissing") {
        faulted.Admin.Close();
        ASSERT_TRUE(QFile::rename(faulted.Path(), faulted.Spare()));
    } else if (c.Call == "ColumnMissing") {
        faulted.Exec(atBranch ? QStringLiteral("ALTER TABLE TBALIQUOTA DROP PEALIQUOTA")
                                 : QStringLiteral("ALTER TABLE TBALIQUOTA DROP NMALIQUOTA"));
    } else if (c.Call == "ConstraintViolated") {
        // At the branch a rate breaks it when written; at headquarters a menu
        // right's marker when the sent right is settled.
        faulted.Exec(atBranch ? QStringLiteral("ALTER TABLE TBALIQUOTA ADD CONSTRAINT CK_FAULT CHECK (NMALIQUOTA <> 'a 3')")
                                 : QStringLiteral("ALTER TABLE TBITUSUARIOBAIXADA ADD CONSTRAINT CK_FAULT CHECK (PKITUSUARIO <> 42)"));
    }
    EXPECT_EQ(Run(faulted), c.Steps) << Messages().toStdString();

    // The installation set right again.
    if (c.Call == "DatabaseMissing") {
        ASSERT_TRUE(QFile::rename(faulted.Spare(), faulted.Path()));
    } else if (c.Call == "ColumnMissing") {
        if (atBranch) {
            faulted.Exec(QStringLiteral("ALTER TABLE TBALIQUOTA ADD PEALIQUOTA NUMERIC(15,2)"));
        } else {
            faulted.Exec(QStringLiteral("ALTER TABLE TBALIQUOTA ADD NMALIQUOTA VARCHAR(60)"));
            faulted.Exec(QStringLiteral("UPDATE TBALIQUOTA SET NMALIQUOTA = 'a ' || PKALIQUOTA"));
        }
    } else if (c.Call == "ConstraintViolated") {
        faulted.Exec(atBranch ? QStringLiteral("ALTER TABLE TBALIQUOTA DROP CONSTRAINT CK_FAULT")
                                 : QStringLiteral("ALTER TABLE TBITUSUARIOBAIXADA DROP CONSTRAINT CK_FAULT"));
    }
    ExpectNothingLost();
    EXPECT_EQ(Run(faulted), QStringList()) << Messages().toStdString();
    if (!atBranch) {
        EXPECT_EQ(Run(*m_branch), QStringList()) << Messages().toStdString();
    }
    ExpectConverged();
}

const QString kConta = QStringLiteral("NrRegistros_AImportar");

const TFaultCase kLocalCases[] = {
    // Every count fails: nothing is sent or settled.
    // The database cannot be reached: the run ends at once, logged once.
    {"DatabaseMissing", "local", {}, 1, {kInicial}, "hq"},
    // The rates' query cannot open; the count, on the key columns, still can.
    {"ColumnMissing", "local", {}, 1, {QStringLiteral("ImportaRegistros no OPEN"), kImporta}, "hq"},
    // The first right is settled, the second is not; both are stored.
    {"ConstraintViolated", "local", {}, 1, {QStringLiteral("Exclui_No_Servidor")}, "hq"},
    {"DatabaseMissing", "local", {}, 1, {kInicial}, "branch"},
    {"ColumnMissing", "local", {}, 1, {kImportaRemoto}, "branch"},
    // The second batch of rates stops at its first row and is not acknowledged.
    {"ConstraintViolated", "local", {}, 1, {kImportaRemoto}, "branch"},
};

INSTANTIATE_TEST_SUITE_P(local_fault, MasterDataLocalFaults, ::testing::ValuesIn(kLocalCases), FaultCaseName);

} // namespace
