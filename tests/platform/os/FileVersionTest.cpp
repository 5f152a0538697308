#include "platform/os/FileVersion.h"

#include "platform/types/Exception.h"
#include "tests/support/TestSupport.h"

#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>

namespace {

const QString kFormat = QStringLiteral("%.2d%.2d%.2d%.2d");

TEST(FileVersion, ReadsTheVersionEmbeddedAtBuildTime)
{
    EXPECT_EQ(FileVersionText(KELT_PROBE_1234, kFormat), "01020304");
    // A number above 99 keeps all its digits.
    EXPECT_EQ(FileVersionText(KELT_PROBE_BIG, kFormat), "100000100");
    EXPECT_EQ(FileVersionText(KELT_PROBE_BIG, QStringLiteral("%d.%d.%d.%d")), "10.0.0.100");
    EXPECT_EQ(ReadFileVersion(KELT_PROBE_1234), (TFileVersion{1, 2, 3, 4}));

    // Stripping keeps it.
    TTempFolder dir;
    const QString copy = dir.File("stripped");
    ASSERT_TRUE(QFile::copy(KELT_PROBE_BIG, copy));
    if (QProcess::execute("strip", {copy}) == 0) {
        EXPECT_EQ(FileVersionText(copy, kFormat), "100000100");
    }
}

TEST(FileVersion, AFileWithoutVersionGivesTheEmptyText)
{
    TTempFolder dir;
    dir.Write("notes.txt", "not a program\n");
    EXPECT_EQ(FileVersionText(KELT_PROBE_NONE, kFormat), QString());
    EXPECT_EQ(FileVersionText(dir.File("notes.txt"), kFormat), QString());
    EXPECT_EQ(FileVersionText(dir.File("missing.exe"), kFormat), QString());

    // Truncated copies of a versioned program: never a wrong version, never a crash.
    QFile probe(KELT_PROBE_1234);
    ASSERT_TRUE(probe.open(QIODevice::ReadOnly));
    const QByteArray whole = probe.readAll();
    for (const qsizetype size : {qsizetype(4), qsizetype(64), whole.size() / 2, whole.size() - 100}) {
        dir.Write("cut.exe", whole.left(size));
        const QString text = FileVersionText(dir.File("cut.exe"), kFormat);
        EXPECT_TRUE(text.isEmpty() || text == "01020304") << size;
    }
}

TEST(FileVersion, FormatsOnlyTheFourNumbers)
{
    EXPECT_EQ(FormatVersion({2, 1, 0, 15}, kFormat), "02010015");
    EXPECT_EQ(FormatVersion({1, 0, 0, 123}, kFormat), "010000123");
    EXPECT_EQ(FormatVersion({65535, 0, 0, 1}, QStringLiteral("v%u-%x %%")), "v65535-0 %");
    EXPECT_THROW(FormatVersion({1, 2, 3, 4}, QStringLiteral("%s")), Exception);
    EXPECT_THROW(FormatVersion({1, 2, 3, 4}, QStringLiteral("%d%d%d%d%d")), Exception);
    EXPECT_THROW(FormatVersion({1, 2, 3, 4}, QStringLiteral("%999999d")), Exception);
    EXPECT_THROW(FormatVersion({1, 2, 3, 4}, QStringLiteral("%")), Exception);
}

} // namespace
