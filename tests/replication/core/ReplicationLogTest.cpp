#include "platform/types/Exception.h"
#include "tests/support/TestClocks.h"
#include "replication/core/cl_Funcoes.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QDirIterator>

#include <gtest/gtest.h>

namespace {

// A program folder with its Log folder and a clock standing at 5 March 2024 14:07:09.
class ReplicationLog : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(QDir(dir.Path()).mkdir("Log"));
        SetClock(&clock);
    }
    void TearDown() override { SetClock(nullptr); }

    QString LogFile(const QString& name) const { return dir.Path() + "Log" + QDir::separator() + name; }
    QByteArray ReadLog(const QString& name) const
    {
        QFile f(LogFile(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
    // Every file under the program folder, relative to it.
    QStringList AllFiles() const
    {
        QStringList files;
        QDirIterator it(dir.Path(), QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
        while (it.hasNext())
            files << QDir(dir.Path()).relativeFilePath(it.next());
        files.sort();
        return files;
    }

    TTempFolder dir;
    TManualClock clock{QDateTime(QDate(2024, 3, 5), QTime(14, 7, 9))};
    TKeltBaseServerClient sc;
};

} // namespace

TEST_F(ReplicationLog, WritesSevenCrLfLinesUnderTheNameOfBranchRegionTableAndTime)
{
    sc.WriteLog(dir.Path(), "ImportaRegistrosRemoto", "TBPRODUTO", "C-77", 3, 12, "VIVO_BA", "Falha de conexão");
    const QString name = "Log_12_VIVO_BA_TBPRODUTO_05_03_2024_XX_14_07_09.ini";
    EXPECT_EQ(AllFiles(), QStringList({"Log/" + name}));
    EXPECT_EQ(ReadLog(name), QString("Metodo: ImportaRegistrosRemoto\r\nNmTabela: TBPRODUTO\r\nCdContrato: C-77\r\n"
                                     "PkEmpresa: 3\r\nPkFilial: 12\r\nUF: VIVO_BA\r\nFalha de conexão\r\n")
                                 .toLocal8Bit());

    // Negative branch key with its sign; empty table label gives two underscores.
    clock.Set(QDateTime(QDate(2024, 12, 31), QTime(0, 0, 1)));
    sc.WriteLog(dir.Path(), "ListaProviders", "", "", -4, -7, "SP", "x");
    const QString negative = "Log_-7_SP__31_12_2024_XX_00_00_01.ini";
    EXPECT_EQ(ReadLog(negative), "Metodo: ListaProviders\r\nNmTabela: \r\nCdContrato: \r\nPkEmpresa: -4\r\n"
                                 "PkFilial: -7\r\nUF: SP\r\nx\r\n");
}

TEST_F(ReplicationLog, SameSecondReplacesAndMessagesKeepTheirLineBreaks)
{
    sc.WriteLog(dir.Path(), "Inserir_No_Servidor", "TBVENDA", "C", 1, 2, "UF", "first message that is longer");
    sc.WriteLog(dir.Path(), "Exclui_No_Servidor", "TBVENDA", "C", 1, 2, "UF", "line one\r\nline two\nthree");
    const QString name = "Log_2_UF_TBVENDA_05_03_2024_XX_14_07_09.ini";
    EXPECT_EQ(AllFiles(), QStringList({"Log/" + name}));
    const QByteArray content = ReadLog(name);
    EXPECT_EQ(content, "Metodo: Exclui_No_Servidor\r\nNmTabela: TBVENDA\r\nCdContrato: C\r\nPkEmpresa: 1\r\n"
                       "PkFilial: 2\r\nUF: UF\r\nline one\r\nline two\nthree\r\n");
    EXPECT_GT(content.count('\n'), 7);

    // One second later is another file.
    clock.Sleep(1000);
    sc.WriteLog(dir.Path(), "Exclui_No_Servidor", "TBVENDA", "C", 1, 2, "UF", "again");
    EXPECT_EQ(AllFiles().size(), 2);
}

TEST_F(ReplicationLog, RefusesNamesThatWouldLeaveTheLogFolder)
{
    const QStringList hostile = {"../TBVENDA", "..",          "A/B",   "A\\B",  "x/../../etc", "TB:1",
                                 "TB*",        "TB?",         "TB<",   "TB>",   "TB|",         "TB\"",
                                 "TB\nX",      QString(QChar(1)), "TB\tX"};
    for (const QString& name : hostile) {
        EXPECT_THROW(sc.WriteLog(dir.Path(), "Step", name, "C", 1, 2, "SP", "m"), EFCreateError) << name.toStdString();
        EXPECT_THROW(sc.WriteLog(dir.Path(), "Step", "TBVENDA", "C", 1, 2, name, "m"), EFCreateError)
            << name.toStdString();
    }
    EXPECT_TRUE(AllFiles().isEmpty());
    // Other texts are content, not names: anything goes.
    sc.WriteLog(dir.Path(), "../Step", "TBVENDA", "../../C", 1, 2, "SP", "a/b\\c");
    EXPECT_EQ(AllFiles(), QStringList({"Log/Log_2_SP_TBVENDA_05_03_2024_XX_14_07_09.ini"}));
}

// A link planted under the next entry's name is replaced, never followed.
TEST_F(ReplicationLog, ALinkInTheLogFolderIsReplacedNotFollowed)
{
    TTempFolder outside;
    outside.Write("precious", "keep me");
    const QString name = "Log_2_SP_TBVENDA_05_03_2024_XX_14_07_09.ini";
    ASSERT_TRUE(QFile::link(outside.File("precious"), LogFile(name)));
    sc.WriteLog(dir.Path(), "Step", "TBVENDA", "C", 1, 2, "SP", "m");
    EXPECT_EQ(outside.Read("precious"), "keep me");
    EXPECT_FALSE(QFileInfo(LogFile(name)).isSymLink());
    EXPECT_TRUE(ReadLog(name).startsWith("Metodo: Step\r\n"));
}

TEST(ReplicationLogFolder, MissingLogFolderIsAnErrorAndIsNotCreated)
{
    TTempFolder dir;
    TKeltBaseServerClient sc;
    try {
        sc.WriteLog(dir.Path(), "Step", "TBVENDA", "C", 1, 2, "SP", "m");
        ADD_FAILURE() << "no error without a Log folder";
    } catch (const EFCreateError& e) {
        EXPECT_TRUE(e.Message().contains("TBVENDA")) << e.what();
    }
    EXPECT_FALSE(QDir(dir.Path() + "Log").exists());
    EXPECT_TRUE(QDir(dir.Path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
}
