// The store-carrier channel under every way the server can fail each of its
// calls, and under local faults. Each case: the faulted run logs the step the
// client names for that call; no row is taken off the server's pending rows
// that the store did not write; a clean run afterwards ends where a run without
// faults would.
#include "tests/e2e/faults/FaultCase.h"
#include "tests/replication/store_carrier/StoreCarrierFixture.h"

#include <QRegularExpression>

namespace {

const QString kAliquota = QStringLiteral("TBALIQUOTA");
const QString kServico = QStringLiteral("TBSERVICO");
const QString kInicial = QStringLiteral("InicialReplicacaoCadastro");
const QString kLista = QStringLiteral("ListaProviders");
const QString kImporta = QStringLiteral("ImportaRegistros 003");
const QString kOpen = QStringLiteral("ImportaRegistros Open 003");

class StoreCarrierFaults : public StoreCarrierTest, public ::testing::WithParamInterface<TFaultCase>
{
protected:
    // Five rates in batches of two (so acknowledgements repeat), then a second table.
    void Load()
    {
        m_admin->LoadPacket(kAliquota, Aliquotas(1, 5, QStringLiteral("a")), kStore);
        m_admin->LoadPacket(kServico, Named(kServicoFields, 1, 2, QStringLiteral("s")), kStore);
        WriteConfig(2);
    }

    QStringList Steps()
    {
        QStringList steps;
        for (const TLogEntry& e : TakeLogs())
            steps << e.Step;
        return steps;
    }

    QSet<QString> Local(const QString& sql)
    {
        const QStringList rows = Query(sql);
        return QSet<QString>(rows.begin(), rows.end());
    }

    // Every row the server holds for the store is at the store or still
    // pending: nothing was acknowledged that was not written.
    void ExpectNothingLost(const QString& table, const QString& provider, const QStringList& keys, const QString& sql)
    {
        SCOPED_TRACE(table.toStdString());
        const TDataPacket all = TDataPacket::FromXml(
            m_admin->Call(QStringLiteral("Rows"), {QStringLiteral("cad"), table}).toString().toUtf8());
        TServerPeek peek(m_server->Port(), TKeltCadServer::ServerName, QStringLiteral("K1"), kStore,
                         QStringLiteral("VIVO_BA"));
        const QSet<QString> held = PacketKeys(all, keys);
        const QSet<QString> pending = PacketKeys(peek.Pending(provider), keys);
        const QSet<QString> local = Local(sql);
        for (const QString& k : held)
            EXPECT_TRUE(local.contains(k) || pending.contains(k) || m_lostByDesign.contains(k))
                << "acknowledged but not written: " << k.toStdString();
    }

    // A row that breaks a local rule is logged with its key and acknowledged
    // with its batch, so that it cannot block the channel: the one row the
    // channel gives up on purpose.
    QSet<QString> m_lostByDesign;

    void ExpectConverged()
    {
        QStringList expected;
        for (int k = 1; k <= 5; ++k)
            if (!m_lostByDesign.contains(QStringLiteral("%1|12").arg(k)))
                expected << QStringLiteral("%1|12|a %1|1.50").arg(k);
        EXPECT_EQ(Query("SELECT PKALIQUOTA, PKFILIAL, NMALIQUOTA, PEALIQUOTA FROM TBALIQUOTA ORDER BY 1"), expected);
        EXPECT_EQ(Query("SELECT PKSERVICO, DSSERVICO FROM TBSERVICO ORDER BY 1"), QStringList({"1|s 1", "2|s 2"}));
        TServerPeek peek(m_server->Port(), TKeltCadServer::ServerName, QStringLiteral("K1"), kStore,
                         QStringLiteral("VIVO_BA"));
        EXPECT_EQ(peek.Pending(QStringLiteral("DspAliquota")).RowCount(), 0);
        EXPECT_EQ(peek.Pending(QStringLiteral("DspServico")).RowCount(), 0);
    }

    void CheckAfterFault()
    {
        ExpectNothingLost(kAliquota, QStringLiteral("DspAliquota"), {"PKALIQUOTA", "PKFILIAL"},
                          QStringLiteral("SELECT PKALIQUOTA, PKFILIAL FROM TBALIQUOTA"));
        ExpectNothingLost(kServico, QStringLiteral("DspServico"), {"PKSERVICO"},
                          QStringLiteral("SELECT PKSERVICO FROM TBSERVICO"));
    }
};

TEST_P(StoreCarrierFaults, LogsTheStepLosesNothingAndConverges)
{
    const TFaultCase& c = GetParam();
    Load();
    m_dm = std::make_unique<TFDM>();
    // Only the stall cases wait for a time-out; elsewhere a busy machine must not fire one.
    const int defaultTimeout = m_dm->ScAgente.CallTimeout();
    if (c.Kind == "stall")
        m_dm->ScAgente.SetCallTimeout(kCallTimeoutMs);
    m_admin->SetFault(FaultSpec(c));

    Run();
    EXPECT_EQ(Steps(), c.Steps);
    m_dm->ScAgente.SetCallTimeout(defaultTimeout);
    m_admin->ClearFaults();
    CheckAfterFault();

    // A clean run, then nothing is left to do.
    Run();
    EXPECT_EQ(Steps(), QStringList());
    ExpectConverged();
}

// A call the client makes once per table and batch fails on the second batch
// of TBALIQUOTA, so that the table is cut in the middle.
const TFaultCase kServerCases[] = {
    {"Conecta_No_Banco", "false", {}, 1, {kInicial}},
    {"Conecta_No_Banco", "raise", {}, 1, {kInicial}},
    {"Conecta_No_Banco", "drop", {}, 1, {kInicial}},
    {"Conecta_No_Banco", "dropafter", {}, 1, {kInicial}},
    {"Conecta_No_Banco", "stall", {}, 1, {kInicial}},
    // A count of -1 is a loop of no provider: nothing to log.
    {"Get_ProvidersCount", "minus1", {}, 1, {}},
    {"Get_ProvidersCount", "raise", {}, 1, {kInicial}},
    {"Get_ProvidersCount", "drop", {}, 1, {kInicial}},
    {"Get_ProvidersCount", "dropafter", {}, 1, {kInicial}},
    {"Get_ProvidersCount", "stall", {}, 1, {kInicial}},
    {"Get_Providers", "raise", {}, 2, {kInicial}},
    {"Get_Providers", "drop", {}, 2, {kInicial}},
    {"Get_Providers", "dropafter", {}, 2, {kInicial}},
    {"Get_Providers", "stall", {}, 2, {kInicial}},
    // Declined: the table waits for the next run, silently.
    {"ReplicaTabela", "false", kAliquota, 1, {}},
    {"ReplicaTabela", "raise", kAliquota, 1, {kLista}},
    // A lost connection fails the table, then the next Get_Providers.
    {"ReplicaTabela", "drop", kAliquota, 1, {kLista, kInicial}},
    {"ReplicaTabela", "dropafter", kAliquota, 1, {kLista, kInicial}},
    {"ReplicaTabela", "stall", kAliquota, 1, {kLista, kInicial}},
    {"NrRegistros_AImportar", "minus1", kAliquota, 1, {kLista}},
    {"NrRegistros_AImportar", "raise", kAliquota, 1, {kLista}},
    {"NrRegistros_AImportar", "drop", kAliquota, 1, {kLista, kInicial}},
    {"NrRegistros_AImportar", "dropafter", kAliquota, 1, {kLista, kInicial}},
    {"NrRegistros_AImportar", "stall", kAliquota, 1, {kLista, kInicial}},
    {"AS_GetParams", "raise", kAliquota, 2, {kImporta}},
    {"AS_GetParams", "drop", kAliquota, 2, {kImporta, kInicial}},
    {"AS_GetParams", "dropafter", kAliquota, 2, {kImporta, kInicial}},
    {"AS_GetParams", "stall", kAliquota, 2, {kImporta, kInicial}},
    {"AS_GetRecords", "raise", kAliquota, 2, {kOpen, kImporta}},
    {"AS_GetRecords", "drop", kAliquota, 2, {kOpen, kImporta, kInicial}},
    {"AS_GetRecords", "dropafter", kAliquota, 2, {kOpen, kImporta, kInicial}},
    {"AS_GetRecords", "stall", kAliquota, 2, {kOpen, kImporta, kInicial}},
    {"Exclui_No_Servidor", "false", kAliquota, 2, {QStringLiteral("Excluir_Servidor")}},
    {"Exclui_No_Servidor", "raise", kAliquota, 2, {kImporta}},
    {"Exclui_No_Servidor", "drop", kAliquota, 2, {kImporta, kInicial}},
    {"Exclui_No_Servidor", "dropafter", kAliquota, 2, {kImporta, kInicial}},
    {"Exclui_No_Servidor", "stall", kAliquota, 2, {kImporta, kInicial}},
};

INSTANTIATE_TEST_SUITE_P(server_fault, StoreCarrierFaults, ::testing::ValuesIn(kServerCases), FaultCaseName);

// Local faults: the store's own database or folder fails while the server is well.
class StoreCarrierLocalFaults : public StoreCarrierFaults
{
};

TEST_P(StoreCarrierLocalFaults, LogsTheStepLosesNothingAndConverges)
{
    const TFaultCase& c = GetParam();
    Load();
    const QString config = QString::fromUtf8(m_installation.Read(QStringLiteral("Config.ini")));
    const QString spare = m_installation.File(QStringLiteral("SPARE.KELT"));
    if (c.Call == "DatabaseMissing") {
        // The file is away (moved, a disk not mounted); it comes back for the next run.
        ASSERT_TRUE(QFile::rename(LocalPath(), spare));
    } else if (c.Call == "LocalServerRefuses") {
        // [DB] names a Firebird server that is not running (port 1 refuses at once).
        QString moved = config;
        moved.replace(QRegularExpression(QStringLiteral("\\[DB\\]\\r?\\nDataBase=[^\\r\\n]*")),
                      QStringLiteral("[DB]\nDataBase=localhost/1:") + LocalPath());
        ASSERT_NE(moved, config);
        m_installation.Write(QStringLiteral("Config.ini"), moved.toUtf8());
    } else if (c.Call == "ColumnMissing") {
        Exec("ALTER TABLE TBALIQUOTA DROP PEALIQUOTA");
    } else if (c.Call == "ConstraintViolated") {
        // A rule of the store's own that the carrier's rows break.
        Exec("ALTER TABLE TBALIQUOTA ADD CONSTRAINT CK_NOME CHECK (NMALIQUOTA <> 'a 3')");
        m_lostByDesign.insert(QStringLiteral("3|12"));
    }
    if (c.Call == "LogFolderMissing") {
        // The first entry cannot be written: the run ends with the error, the
        // remote side closed, and the refused batch stays pending.
        ASSERT_TRUE(QDir(m_installation.File(QStringLiteral("Log"))).removeRecursively());
        m_admin->SetFault({{"method", "Exclui_No_Servidor"}, {"kind", "false"}, {"once", true}});
        m_dm = std::make_unique<TFDM>();
        EXPECT_THROW(m_dm->RunCadChannel(), EFCreateError);
        ExpectClosed();
        ASSERT_TRUE(QDir(m_installation.Path()).mkdir(QStringLiteral("Log")));
        CheckAfterFault();
        Run();
        EXPECT_EQ(Steps(), QStringList());
        ExpectConverged();
        return;
    }

    Run();
    const QStringList steps = Steps();
    ASSERT_FALSE(steps.isEmpty());
    EXPECT_EQ(steps.first(), c.Steps.first()) << qPrintable(steps.join(u','));
    for (const QString& step : steps)
        EXPECT_TRUE(c.Steps.contains(step)) << qPrintable(step);
    // An unreachable database ends the run with one entry, not one per row or table.
    if (c.Call == "DatabaseMissing" || c.Call == "LocalServerRefuses") {
        EXPECT_EQ(steps.size(), 1) << qPrintable(steps.join(u','));
    }

    // The store set right again.
    if (c.Call == "DatabaseMissing") {
        ASSERT_TRUE(QFile::rename(spare, LocalPath()));
    } else if (c.Call == "ColumnMissing") {
        Exec("ALTER TABLE TBALIQUOTA ADD PEALIQUOTA NUMERIC(15,2)");
    } else if (c.Call == "ConstraintViolated") {
        Exec("ALTER TABLE TBALIQUOTA DROP CONSTRAINT CK_NOME");
    }
    m_installation.Write(QStringLiteral("Config.ini"), config.toUtf8());
    CheckAfterFault();
    Run();
    EXPECT_EQ(Steps(), QStringList());
    ExpectConverged();
}

const TFaultCase kLocalCases[] = {
    // The database cannot be reached: the run ends at once, logged once.
    {"DatabaseMissing", "local", {}, 1, {kInicial}},
    {"LocalServerRefuses", "local", {}, 1, {kInicial}},
    {"ColumnMissing", "local", {}, 1,
     {QStringLiteral("ImportaRegistros SQlExecuta.ExecSQL 003"), QStringLiteral("ImportaRegistros Busca.Open 003"),
      kImporta}},
    {"ConstraintViolated", "local", {}, 1, {QStringLiteral("ImportaRegistros SQlExecuta.ExecSQL 003")}},
    {"LogFolderMissing", "local", {}, 1, {}},
};

INSTANTIATE_TEST_SUITE_P(local_fault, StoreCarrierLocalFaults, ::testing::ValuesIn(kLocalCases), FaultCaseName);

} // namespace
