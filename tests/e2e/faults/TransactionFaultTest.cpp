// The transaction channel under every way the server can fail each call of
// the branch's send and of headquarters' import, and under local faults. Each
// case: the faulted run logs the step the client names for that call; no mark
// (TBCEMM) goes for a row the server did not store, and the server drops no
// row headquarters did not write; a clean run afterwards ends where a run
// without faults would, with nothing left pending on either side.
#include "tests/e2e/faults/FaultCase.h"
#include "tests/support/TestClocks.h"
#include "tests/replication/store_carrier/AppServerProcess.h"
#include "tests/replication/transactions/MovMFixture.h"

#include "connections/uDM.h"
#include "replication/core/CycleJournal.h"
#include "replication/core/ProcessMessages.h"

#include <memory>

namespace {

constexpr int kB = TMovMInstallation::kBranch;
const QString kVenda = QStringLiteral("TBVENDA");
const QString kItCondiVenda = QStringLiteral("TBITCONDIVENDA");
const QString kInicial = QStringLiteral("InicialReplicacaoMovimentoM");
const QString kLista = QStringLiteral("ListaProviders");
const QString kListaRemoto = QStringLiteral("ListaProvidersRemoto");
const QString kImporta = QStringLiteral("ImportaRegistros 002");
const QString kImportaRemoto = QStringLiteral("ImportaRegistrosRemoto");

// The branch's columns of a table, as rows; headquarters must end with the same.
QStringList Contents(TSQLConnection& c, const QString& table)
{
    const TTableDef def = MovimentoMTable(MovMEntry(table), TMovimentoMShape::Sending);
    return QueryRows(c, QStringLiteral("SELECT %1 FROM %2 ORDER BY %3").arg(ColumnList(def.Columns), table, PkTabelaColumn(table)));
}

QSet<QString> Keys(TSQLConnection& c, const QString& sql)
{
    const QStringList rows = QueryRows(c, sql);
    return QSet<QString>(rows.begin(), rows.end());
}

class TransactionFaults : public ::testing::TestWithParam<TFaultCase>
{
protected:
    void SetUp() override
    {
        SetClock(&m_clock);
        m_server = std::make_unique<TAppServerProcess>(QStringLiteral(KELT_APPSERVER_EXE), m_serverFolder.Path());
        m_server->Start();
        m_admin = std::make_unique<TAppServerAdmin>(m_server->Port());
        m_admin->AddInstallation(QStringLiteral("123"), 1, kB, QStringLiteral("VIVO_BA"));
        // Three sales (two batches of two) and a condition's three items, which
        // make the branch call LimpaVariaveisItCondiVendaCompra.
        for (int k : {11, 12, 13}) {
            InsertSample(m_branch.Admin, kVenda, k);
            m_branch.Mark(kVenda, k);
        }
        for (int n : {1, 2, 3}) {
            InsertSample(m_branch.Admin, kItCondiVenda, 30 + n, {{"PKCONDIVENDA", 21}, {"PKFCONDIVENDA", kB}, {"NRPARCELA", n}});
            m_branch.Mark(kItCondiVenda, 30 + n);
        }
        m_branch.WriteConfig(quint16(m_server->Port()), {QStringLiteral("1"), 2, false});
        m_hq.WriteConfig(quint16(m_server->Port()), {QStringLiteral("0"), 2, false});
    }
    void TearDown() override
    {
        m_admin.reset();
        m_server->Stop();
        SetClock(nullptr);
    }

    // One run as the program runs it; the stall cases set a short call time-out.
    QStringList Run(TMovMInstallation& installation)
    {
        installation.ClearLog();
        SetProgramFolderOverride(installation.Folder());
        {
            TFDM dm;
            TFDM_MovimentoM module(&dm.SqlCAgente);
            dm.SetMovimentoMModule(&module);
            if (m_callTimeoutMs > 0)
                dm.ScAgente.SetCallTimeout(m_callTimeoutMs);
            dm.RunMovMChannel();
            EXPECT_FALSE(dm.ScAgente.Connected());
            dm.SqlCAgente.Close();
        }
        SetProgramFolderOverride({});
        QStringList steps;
        for (const TLogEntry& e : installation.Log()) {
            steps << e.Step;
            m_messages << e.Step + QStringLiteral(": ") + e.Message;
        }
        return steps;
    }

    // Rows the server holds for a table, by key.
    QSet<QString> ServerKeys(const QString& table)
    {
        // A table the server never received a row of is not there yet.
        if (!m_admin->ExecSql(QStringLiteral("SELECT COUNT(*) FROM RDB$RELATIONS WHERE RDB$RELATION_NAME = 'MM$%1'").arg(table))
                 .contains(u'1'))
            return {};
        return PacketKeys(TDataPacket::FromXml(m_admin->Call(QStringLiteral("Rows"), {QStringLiteral("movm"), table})
                                                   .toString()
                                                   .toUtf8()),
                          {PkTabelaColumn(table)});
    }
    QSet<QString> PendingKeys(const QString& table)
    {
        if (ServerKeys(table).isEmpty())
            return {};
        TServerPeek peek(m_server->Port(), TKeltMovMServer::ServerName, QStringLiteral("123"), kB, QStringLiteral("VIVO_BA"));
        return PacketKeys(peek.Pending(MovMEntry(table).ProviderName), {PkTabelaColumn(table)});
    }

    void ExpectNothingLost()
    {
        for (const QString& table : {kVenda, kItCondiVenda}) {
            SCOPED_TRACE(table.toStdString());
            const QString k = PkTabelaColumn(table);
            // A row whose mark went is stored at the server.
            const QSet<QString> rows = Keys(m_branch.Admin, QStringLiteral("SELECT %1 FROM %2").arg(k, table));
            const QSet<QString> marked = Keys(m_branch.Admin, QStringLiteral("SELECT PKTABELA FROM TBCEMM WHERE NMTABELA = '%1'").arg(table));
            const QSet<QString> stored = ServerKeys(table);
            for (const QString& key : rows)
                EXPECT_TRUE(marked.contains(key) || stored.contains(key)) << "unmarked but not sent: " << key.toStdString();
            // A row the server no longer offers is written at headquarters.
            const QSet<QString> pending = PendingKeys(table);
            const QSet<QString> written = Keys(m_hq.Admin, QStringLiteral("SELECT %1 FROM %2").arg(k, table));
            for (const QString& key : stored)
                EXPECT_TRUE(pending.contains(key) || written.contains(key)) << "acknowledged but not written: " << key.toStdString();
        }
    }

    void ExpectConverged()
    {
        for (const QString& table : {kVenda, kItCondiVenda}) {
            SCOPED_TRACE(table.toStdString());
            EXPECT_EQ(Contents(m_hq.Admin, table), Contents(m_branch.Admin, table));
            EXPECT_EQ(PendingKeys(table), QSet<QString>());
        }
        EXPECT_EQ(QueryRows(m_branch.Admin, QStringLiteral("SELECT COUNT(*) FROM TBCEMM")), QStringList({"0"}));
    }

    int m_callTimeoutMs = 0; // 0: the program's own
    // Every log entry so far with its message, shown when a case fails.
    QStringList m_messages;
    TTickingClock m_clock;
    TTempFolder m_serverFolder;
    std::unique_ptr<TAppServerProcess> m_server;
    std::unique_ptr<TAppServerAdmin> m_admin;
    TMovMInstallation m_branch{TRole::Branch};
    // Headquarters holds only the tables the server will offer: half the build time.
    TMovMInstallation m_hq{TRole::Headquarters, OfferedTables()};
    static TTableDefs OfferedTables()
    {
        TTableDefs tables;
        for (const TTableDef& t : ReceivingHeadquartersTables())
            if (t.Name == kVenda || t.Name == kItCondiVenda)
                tables << t;
        return tables;
    }
};

TEST_P(TransactionFaults, LogsTheStepLosesNothingAndConverges)
{
    const TFaultCase& c = GetParam();
    const bool atBranch = c.Role == "branch";
    if (!atBranch) {
        ASSERT_EQ(Run(m_branch), QStringList()) << m_messages.join(u'\n').toStdString();
    }
    m_admin->SetFault(FaultSpec(c));
    m_callTimeoutMs = c.Kind == "stall" ? kCallTimeoutMs : 0;
    EXPECT_EQ(Run(atBranch ? m_branch : m_hq), c.Steps) << m_messages.join(u'\n').toStdString();
    m_callTimeoutMs = 0;
    m_admin->ClearFaults();
    ExpectNothingLost();

    // Clean runs: the side that failed, then headquarters takes what is left.
    EXPECT_EQ(Run(atBranch ? m_branch : m_hq), QStringList()) << m_messages.join(u'\n').toStdString();
    if (atBranch) {
        EXPECT_EQ(Run(m_hq), QStringList()) << m_messages.join(u'\n').toStdString();
    }
    ExpectConverged();
}

const TFaultCase kServerCases[] = {
    {"Conecta_No_Banco", "false", {}, 1, {kInicial}, "branch"},
    {"Conecta_No_Banco", "raise", {}, 1, {kInicial}, "branch"},
    {"Conecta_No_Banco", "drop", {}, 1, {kInicial}, "branch"},
    {"Conecta_No_Banco", "dropafter", {}, 1, {kInicial}, "branch"},
    {"Conecta_No_Banco", "stall", {}, 1, {kInicial}, "branch"},
    {"LimpaVariaveisItCondiVendaCompra", "false", {}, 1, {kLista}, "branch"},
    {"LimpaVariaveisItCondiVendaCompra", "raise", {}, 1, {kLista}, "branch"},
    {"LimpaVariaveisItCondiVendaCompra", "drop", {}, 1, {kLista}, "branch"},
    {"LimpaVariaveisItCondiVendaCompra", "dropafter", {}, 1, {kLista}, "branch"},
    {"LimpaVariaveisItCondiVendaCompra", "stall", {}, 1, {kLista}, "branch"},
    // The second batch of sales; a lost connection then fails the condition
    // items' first call too.
    {"Inseri_No_Servidor", "false", kVenda, 2, {QStringLiteral("Inserir_No_Servidor")}, "branch"},
    {"Inseri_No_Servidor", "raise", kVenda, 2, {kImporta}, "branch"},
    {"Inseri_No_Servidor", "drop", kVenda, 2, {kImporta, kLista}, "branch"},
    {"Inseri_No_Servidor", "dropafter", kVenda, 2, {kImporta, kLista}, "branch"},
    {"Inseri_No_Servidor", "stall", kVenda, 2, {kImporta, kLista}, "branch"},

    {"Conecta_No_Banco", "false", {}, 1, {kInicial}, "hq"},
    {"Conecta_No_Banco", "raise", {}, 1, {kInicial}, "hq"},
    {"Conecta_No_Banco", "drop", {}, 1, {kInicial}, "hq"},
    {"Conecta_No_Banco", "dropafter", {}, 1, {kInicial}, "hq"},
    {"Conecta_No_Banco", "stall", {}, 1, {kInicial}, "hq"},
    {"Get_ProvidersCount", "minus1", {}, 1, {}, "hq"},
    {"Get_ProvidersCount", "raise", {}, 1, {kInicial}, "hq"},
    {"Get_ProvidersCount", "drop", {}, 1, {kInicial}, "hq"},
    {"Get_ProvidersCount", "dropafter", {}, 1, {kInicial}, "hq"},
    {"Get_ProvidersCount", "stall", {}, 1, {kInicial}, "hq"},
    {"Get_Providers", "raise", {}, 2, {kInicial}, "hq"},
    {"Get_Providers", "drop", {}, 2, {kInicial}, "hq"},
    {"Get_Providers", "dropafter", {}, 2, {kInicial}, "hq"},
    {"Get_Providers", "stall", {}, 2, {kInicial}, "hq"},
    {"NrRegistros_AImportar", "minus1", kVenda, 1, {kListaRemoto}, "hq"},
    {"NrRegistros_AImportar", "raise", kVenda, 1, {kListaRemoto}, "hq"},
    {"NrRegistros_AImportar", "drop", kVenda, 1, {kListaRemoto, kInicial}, "hq"},
    {"NrRegistros_AImportar", "dropafter", kVenda, 1, {kListaRemoto, kInicial}, "hq"},
    {"NrRegistros_AImportar", "stall", kVenda, 1, {kListaRemoto, kInicial}, "hq"},
    {"AS_GetParams", "raise", kVenda, 2, {kImportaRemoto}, "hq"},
    {"AS_GetParams", "drop", kVenda, 2, {kImportaRemoto, kInicial}, "hq"},
    {"AS_GetParams", "dropafter", kVenda, 2, {kImportaRemoto, kInicial}, "hq"},
    {"AS_GetParams", "stall", kVenda, 2, {kImportaRemoto, kInicial}, "hq"},
    {"AS_GetRecords", "raise", kVenda, 2, {kImportaRemoto}, "hq"},
    {"AS_GetRecords", "drop", kVenda, 2, {kImportaRemoto, kInicial}, "hq"},
    {"AS_GetRecords", "dropafter", kVenda, 2, {kImportaRemoto, kInicial}, "hq"},
    {"AS_GetRecords", "stall", kVenda, 2, {kImportaRemoto, kInicial}, "hq"},
    {"Exclui_No_Servidor", "false", kVenda, 2, {QStringLiteral("Excluir_Servidor")}, "hq"},
    {"Exclui_No_Servidor", "raise", kVenda, 2, {kImportaRemoto}, "hq"},
    {"Exclui_No_Servidor", "drop", kVenda, 2, {kImportaRemoto, kInicial}, "hq"},
    {"Exclui_No_Servidor", "dropafter", kVenda, 2, {kImportaRemoto, kInicial}, "hq"},
    {"Exclui_No_Servidor", "stall", kVenda, 2, {kImportaRemoto, kInicial}, "hq"},
};

INSTANTIATE_TEST_SUITE_P(server_fault, TransactionFaults, ::testing::ValuesIn(kServerCases), FaultCaseName);

// Local faults at headquarters while it imports: its database away, a rule of
// its own that a sale breaks, a column it lacks. The batch is not acknowledged; once set right,
// the next run converges.
class TransactionLocalFaults : public TransactionFaults
{
};

TEST_P(TransactionLocalFaults, LogsTheStepLosesNothingAndConverges)
{
    const TFaultCase& c = GetParam();
    ASSERT_EQ(Run(m_branch), QStringList()) << m_messages.join(u'\n').toStdString();
    if (c.Call == "ConstraintViolated")
        ExecSql(m_hq.Admin, QStringLiteral("ALTER TABLE TBVENDA ADD CONSTRAINT CK_VENDA CHECK (PKVENDA <> 12)"));
    else if (c.Call == "ColumnMissing")
        ExecSql(m_hq.Admin, QStringLiteral("ALTER TABLE TBVENDA DROP CDCONTRATO"));
    m_hq.Admin.Close();
    // The file is away (moved, a disk not mounted); it comes back for the next run.
    const QString spare = m_hq.LocalPath() + QStringLiteral(".away");
    if (c.Call == "DatabaseMissing") {
        ASSERT_TRUE(QFile::rename(m_hq.LocalPath(), spare));
    }
    EXPECT_EQ(Run(m_hq), c.Steps) << m_messages.join(u'\n').toStdString();
    if (c.Call == "DatabaseMissing") {
        ASSERT_TRUE(QFile::rename(spare, m_hq.LocalPath()));
    }
    ExpectNothingLost();

    if (c.Call == "ConstraintViolated")
        ExecSql(m_hq.Admin, QStringLiteral("ALTER TABLE TBVENDA DROP CONSTRAINT CK_VENDA"));
    else if (c.Call == "ColumnMissing")
        ExecSql(m_hq.Admin, QStringLiteral("ALTER TABLE TBVENDA ADD CDCONTRATO VARCHAR(20)"));
    m_hq.Admin.Close();
    EXPECT_EQ(Run(m_hq), QStringList()) << m_messages.join(u'\n').toStdString();
    ExpectConverged();
}

const TFaultCase kLocalCases[] = {
    // The database cannot be reached: the run ends at once, logged once.
    {"DatabaseMissing", "local", {}, 1, {kInicial}, "hq"},
    {"ConstraintViolated", "local", {}, 1, {kImportaRemoto}, "hq"},
    {"ColumnMissing", "local", {}, 1, {kImportaRemoto}, "hq"},
};

INSTANTIATE_TEST_SUITE_P(local_fault, TransactionLocalFaults, ::testing::ValuesIn(kLocalCases), FaultCaseName);

// The cycle journal the program keeps beside the log: a line per table of the
// run with the rows sent, and, when the server cannot be reached, one line for
// the run naming the log file written and the first line of its message.
TEST_F(TransactionFaults, TheJournalRecordsEveryTableAndAServerThatCannotBeReached)
{
    const TCycleJournal journal(m_branch.Folder() + QStringLiteral("Log"));
    ASSERT_EQ(Run(m_branch), QStringList()) << m_messages.join(u'\n').toStdString();
    QList<TJournalEntry> lines = journal.Read();
    ASSERT_EQ(lines.size(), MovimentoMCatalogue().size());
    for (const TJournalEntry& line : lines) {
        SCOPED_TRACE(line.Table.toStdString());
        EXPECT_EQ(line.Channel, QStringLiteral("movm"));
        EXPECT_EQ(line.Time.date(), QDate(2024, 3, 5));
        const bool sent = line.Table == kVenda || line.Table == kItCondiVenda;
        EXPECT_EQ(line.Rows, sent ? 3 : 0);
        EXPECT_EQ(line.Outcome, sent ? QStringLiteral("done") : QStringLiteral("nothing pending"));
        EXPECT_TRUE(line.LogFile.isEmpty() && line.Message.isEmpty());
    }

    // The server is down: no table is reached, the run's line names its entry.
    m_branch.WriteConfig(quint16(1), {QStringLiteral("1"), 2, false});
    ASSERT_EQ(Run(m_branch), QStringList({kInicial}));
    lines = journal.Read();
    ASSERT_EQ(lines.size(), MovimentoMCatalogue().size() + 1);
    const TJournalEntry down = lines.last();
    const QStringList files = QDir(m_branch.Folder() + QStringLiteral("Log")).entryList({QStringLiteral("Log_*.ini")});
    ASSERT_EQ(files.size(), 1);
    EXPECT_EQ(down.Channel, QStringLiteral("movm"));
    EXPECT_EQ(down.Table, QStringLiteral("-"));
    EXPECT_EQ(down.Outcome, QStringLiteral("failed"));
    EXPECT_EQ(down.LogFile, files[0]);
    EXPECT_FALSE(down.Message.isEmpty());
    EXPECT_EQ(down.Message, m_branch.Log()[0].Message.section(QStringLiteral("\r\n"), 0, 0));
}

// Monitoring on and the log database unreachable, at the start of the run or
// lost in the middle of it (an administrator ends its connection): the run
// ends once with one entry, instead of a failed monitoring step per table.
TEST_F(TransactionFaults, AnUnreachableLogDatabaseEndsTheRunOnce)
{
    m_branch.WriteConfig(quint16(m_server->Port()), {QStringLiteral("1"), 2, /*monitoring=*/true});
    EXPECT_EQ(Run(m_branch), QStringList({kInicial})) << m_messages.join(u'\n').toStdString();
    EXPECT_TRUE(ServerKeys(kVenda).isEmpty());
    EXPECT_EQ(m_branch.Marks(kVenda).size(), 3);

    // Once the first batch's monitoring rows are in, the connection is ended.
    m_branch.CreateLogDatabase();
    bool ended = false;
    SetProcessMessagesHook([&] {
        if (ended || QueryRows(m_branch.LogAdmin, QStringLiteral("SELECT COUNT(*) FROM TBLOG")) == QStringList({"0"}))
            return;
        ExecSql(m_branch.LogAdmin,
                QStringLiteral("DELETE FROM MON$ATTACHMENTS WHERE MON$ATTACHMENT_ID <> CURRENT_CONNECTION"));
        ended = true;
    });
    EXPECT_EQ(Run(m_branch), QStringList({kInicial})) << m_messages.join(u'\n').toStdString();
    SetProcessMessagesHook({});
    EXPECT_TRUE(ended);
    // The second batch of sales went (it was settled before its monitoring
    // rows failed); the condition items wait for the next run.
    EXPECT_EQ(m_branch.Marks(kVenda), QStringList());
    EXPECT_EQ(m_branch.Marks(kItCondiVenda).size(), 3);
    EXPECT_EQ(QueryRows(m_branch.LogAdmin, QStringLiteral("SELECT COUNT(*) FROM TBLOG")), QStringList({"2"}));

    EXPECT_EQ(Run(m_branch), QStringList()) << m_messages.join(u'\n').toStdString();
    EXPECT_EQ(Run(m_hq), QStringList()) << m_messages.join(u'\n').toStdString();
    ExpectConverged();
}

} // namespace
