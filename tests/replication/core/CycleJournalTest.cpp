#include "replication/core/CycleJournal.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

namespace {

const QDateTime kNoon(QDate(2024, 3, 5), QTime(12, 0, 0));

TJournalEntry Entry(const QDateTime& time, const QString& table, const QString& outcome = "done")
{
    return {time, "movm", table, 3, outcome, {}, {}};
}

class CycleJournal : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(QDir(dir.Path()).mkdir("Log")); }
    QString LogFolder() const { return dir.Path() + "Log"; }
    QByteArray Raw() const { return dir.Read("Log/ciclos.log"); }

    TTempFolder dir;
};

} // namespace

TEST_F(CycleJournal, AppendsOneTabSeparatedLinePerEntryAndReadsThemBack)
{
    TCycleJournal journal(LogFolder());
    EXPECT_EQ(journal.Path(), dir.File("Log/ciclos.log"));
    const TJournalEntry failure{kNoon.addMSecs(0), "cad", "TBPRODUTO", 0, "failed",
                                "Log_12_SP_TBPRODUTO_05_03_2024_XX_12_00_00.ini", "Falha\tna conexão\ncom o servidor"};
    ASSERT_TRUE(journal.Append({Entry(kNoon, "TBVENDA"), failure}));
    ASSERT_TRUE(journal.Append({Entry(kNoon.addSecs(60), "-", "nothing pending")}));

    EXPECT_EQ(Raw(), QString("2024-03-05T12:00:00\tmovm\tTBVENDA\t3\tdone\t\t\n"
                             "2024-03-05T12:00:00\tcad\tTBPRODUTO\t0\tfailed\t"
                             "Log_12_SP_TBPRODUTO_05_03_2024_XX_12_00_00.ini\tFalha na conexão com o servidor\n"
                             "2024-03-05T12:01:00\tmovm\t-\t3\tnothing pending\t\t\n")
                         .toUtf8());
    TJournalEntry flattened = failure;
    flattened.Message = "Falha na conexão com o servidor";
    EXPECT_EQ(journal.Read(), QList<TJournalEntry>({Entry(kNoon, "TBVENDA"), flattened,
                                                    Entry(kNoon.addSecs(60), "-", "nothing pending")}));

    // Lines another hand garbled are passed over, the rest still read.
    QFile f(journal.Path());
    ASSERT_TRUE(f.open(QIODevice::Append));
    f.write("not a journal line\n2024-13-05T12:00:00\tmovm\tT\t1\tdone\t\t\n2024-03-05T12:00:00\tmovm\tT\tx\tdone\t\t\n"
            "2024-03-05T12:00:00\tmovm\tT\t1\tdone\t\n\n2024-03-05T13:00:00\tcadm\tTBALIQUOTA\t7\tdone\t\t\r\n");
    f.close();
    const QList<TJournalEntry> read = journal.Read();
    ASSERT_EQ(read.size(), 4);
    EXPECT_EQ(read.last().Channel, "cadm");
    EXPECT_EQ(read.last().Rows, 7);
    EXPECT_EQ(read.last().Message, "");
}

TEST_F(CycleJournal, NeverWritesOrReadsThroughALinkAtItsName)
{
    const QString victim = dir.File("victim.txt");
    dir.Write("victim.txt", "untouched\n");
    ASSERT_TRUE(QFile::link(victim, dir.File("Log/ciclos.log")));
    TCycleJournal journal(LogFolder());
    EXPECT_TRUE(journal.Read().isEmpty());

    ASSERT_TRUE(journal.Append({Entry(kNoon, "TBVENDA")}));
    EXPECT_EQ(dir.Read("victim.txt"), "untouched\n");
    EXPECT_FALSE(QFileInfo(journal.Path()).isSymLink());
    EXPECT_EQ(journal.Read().size(), 1);

    // Trimming leaves a link planted in the meantime, and its target, alone.
    ASSERT_TRUE(QFile::remove(journal.Path()));
    dir.Write("victim.txt", "2020-01-01T00:00:00\tmovm\tT\t1\tdone\t\t\n");
    ASSERT_TRUE(QFile::link(victim, journal.Path()));
    journal.Trim(30, kNoon);
    EXPECT_EQ(dir.Read("victim.txt"), "2020-01-01T00:00:00\tmovm\tT\t1\tdone\t\t\n");

    // Without a Log folder nothing is written, and the caller hears of it.
    TCycleJournal nowhere(dir.File("Missing"));
    EXPECT_FALSE(nowhere.Append({Entry(kNoon, "TBVENDA")}));
}

TEST_F(CycleJournal, TrimKeepsTheLastDaysAndOnlyRewritesWhenSomethingGoes)
{
    TCycleJournal journal(LogFolder());
    EXPECT_TRUE(journal.Trim(30, kNoon)); // no journal yet: nothing to do
    EXPECT_FALSE(QFile::exists(journal.Path()));

    ASSERT_TRUE(journal.Append({Entry(kNoon.addDays(-31), "OLD"), Entry(kNoon.addDays(-30).addSecs(-1), "EDGE"),
                                Entry(kNoon.addDays(-30), "KEPT"), Entry(kNoon, "NEW")}));
    QFile f(journal.Path());
    ASSERT_TRUE(f.open(QIODevice::Append));
    f.write("garbage\n");
    f.close();

    ASSERT_TRUE(journal.Trim(30, kNoon));
    QStringList tables;
    for (const TJournalEntry& e : journal.Read())
        tables << e.Table;
    EXPECT_EQ(tables, QStringList({"KEPT", "NEW"}));
    EXPECT_FALSE(Raw().contains("garbage"));
    EXPECT_FALSE(QFile::exists(journal.Path() + ".tmp"));

    const QDateTime before = QFileInfo(journal.Path()).lastModified();
    const QByteArray content = Raw();
    ASSERT_TRUE(journal.Trim(30, kNoon));
    EXPECT_EQ(Raw(), content);
    EXPECT_EQ(QFileInfo(journal.Path()).lastModified(), before);
}

TEST(CycleJournalEntries, OneLinePerTableAndAWholeRunLineWhenTheRunFailed)
{
    TRunResult run;
    run.Accepted = true;
    run.Tables = {{"P1", "TBVENDA", 5, false, 2, 1, 5, 0, 0, 5, 0, TTableOutcome::Done},
                  {"P2", "TBITVENDA", 4, false, 1, 1, 3, 0, 1, 0, 1, TTableOutcome::Done},
                  {"P3", "TBPRODUTO", -1, false, 0, 0, 0, 0, 0, 0, 0, TTableOutcome::CountFailed},
                  {"P4", "TBCLIENTE", 0, false, 0, 0, 0, 0, 0, 0, 0, TTableOutcome::NothingPending}};
    const QList<TRunLogEntry> logged = {{"TBITVENDA", "Log_a.ini", "row refused\r\nINSERT ..."},
                                        {"TBPRODUTO", "Log_b.ini", "count failed"},
                                        {"TBPRODUTO", "Log_c.ini", "second entry"}};
    const QDateTime at = kNoon.addMSecs(420);
    EXPECT_EQ(ChannelStateOf(run, false), TChannelState::RowsFailed);

    QList<TJournalEntry> lines = JournalEntriesOf("movm", run, logged, at);
    ASSERT_EQ(lines.size(), 4);
    EXPECT_EQ(lines[0], (TJournalEntry{kNoon, "movm", "TBVENDA", 5, "done", {}, {}}));
    EXPECT_EQ(lines[1], (TJournalEntry{kNoon, "movm", "TBITVENDA", 3, "done, 1 row(s) failed", "Log_a.ini", "row refused"}));
    EXPECT_EQ(lines[2], (TJournalEntry{kNoon, "movm", "TBPRODUTO", 0, "count failed", "Log_b.ini", "count failed"}));
    EXPECT_EQ(lines[3].Outcome, "nothing pending");
    EXPECT_EQ(lines[3].LogFile, "");

    // Clean: no failing table, no whole-run line.
    run.Tables = {run.Tables[0], run.Tables[3]};
    EXPECT_EQ(ChannelStateOf(run, false), TChannelState::Clean);
    EXPECT_EQ(JournalEntriesOf("movm", run, {}, at).size(), 2);

    // The run ended between tables: the last entry of the run names the cause.
    run.Failed = true;
    EXPECT_EQ(ChannelStateOf(run, false), TChannelState::ChannelFailed);
    lines = JournalEntriesOf("cadm", run, logged, at);
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(lines[2], (TJournalEntry{kNoon, "cadm", "-", 0, "failed", "Log_c.ini", "second entry"}));

    // The server turned the installation down; an accepted run with no table at all.
    TRunResult refused;
    EXPECT_EQ(ChannelStateOf(refused, false), TChannelState::ChannelFailed);
    EXPECT_EQ(JournalEntriesOf("cad", refused, {{"", "Log_d.ini", "Servidor recusou"}}, at),
              QList<TJournalEntry>({{kNoon, "cad", "-", 0, "refused", "Log_d.ini", "Servidor recusou"}}));
    TRunResult empty;
    empty.Accepted = true;
    EXPECT_EQ(ChannelStateOf(empty, false), TChannelState::Clean);
    EXPECT_EQ(JournalEntriesOf("cad", empty, {}, at),
              QList<TJournalEntry>({{kNoon, "cad", "-", 0, "nothing pending", {}, {}}}));

    // An error that reached the caller: its message, even when nothing was logged.
    EXPECT_EQ(ChannelStateOf(empty, true), TChannelState::ChannelFailed);
    EXPECT_EQ(JournalEntriesOf("cad", empty, {}, at, QString("Cannot create file \"x\"\nmore")),
              QList<TJournalEntry>({{kNoon, "cad", "-", 0, "failed", {}, "Cannot create file \"x\""}}));
}
