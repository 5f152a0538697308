#include "platform/os/Processes.h"

#include "tests/support/TestSupport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

std::optional<TProcessEntry> Find(const QString& name)
{
    for (const TProcessEntry& p : TSystemProcesses().Snapshot())
        if (ProcessNameMatches(p.ExeName, name))
            return p;
    return std::nullopt;
}

TEST(Processes, NameMatchRule)
{
    // The file-name part, in any case, or else the whole name.
    EXPECT_TRUE(ProcessNameMatches("/opt/kelt/keltappclient.exe", "KELTAPPCLIENT.EXE"));
    EXPECT_TRUE(ProcessNameMatches("C:\\Kelt\\KeltAppClient.exe", "keltappclient.exe"));
    EXPECT_TRUE(ProcessNameMatches("/opt/kelt/KeltAppClient", "/OPT/KELT/KELTAPPCLIENT"));
    EXPECT_FALSE(ProcessNameMatches("/opt/kelt/keltappclient.exe", "keltappclient"));
    EXPECT_FALSE(ProcessNameMatches("/opt/kelt/keltappclient.exe", "kelt/keltappclient.exe"));
}

TEST(Processes, SnapshotNamesTheRunningExecutable)
{
    const QList<TProcessEntry> all = TSystemProcesses().Snapshot();
    const auto self = std::find_if(all.begin(), all.end(), [](const auto& p) { return p.Pid == OwnProcessId(); });
    ASSERT_NE(self, all.end());
    EXPECT_EQ(self->ExeName, OwnExecutablePath());
    EXPECT_EQ(QFileInfo(OwnExecutablePath()).fileName(), "test_os_process");
}

// A renamed copy of sleep, found by its name in /proc and really ended.
TEST(Processes, FindsAndEndsAProcessByExecutableName)
{
    TTempFolder dir;
    const QString name = QStringLiteral("kelt_sleeper_%1").arg(::getpid());
    const QString exe = dir.File(name);
    ASSERT_TRUE(QFile::copy("/bin/sleep", exe));
    QProcess child;
    child.start(exe, {"60"});
    ASSERT_TRUE(child.waitForStarted());

    const auto found = Find(name.toUpper());
    ASSERT_TRUE(found);
    EXPECT_EQ(found->Pid, child.processId());
    EXPECT_EQ(found->ExeName, exe);

    EXPECT_TRUE(TSystemProcesses().Terminate(found->Pid));
    ASSERT_TRUE(child.waitForFinished(5000));
    EXPECT_EQ(child.exitStatus(), QProcess::CrashExit);
    EXPECT_FALSE(Find(name));
    EXPECT_FALSE(TSystemProcesses().Terminate(found->Pid)); // gone
}

TEST(Processes, StartsAProgramDetachedWithItsParameters)
{
    TTempFolder dir;
    const QString out = dir.File("args.txt");
    dir.Write("updater.sh", QStringLiteral("#!/bin/sh\necho \"$@\" > '%1.tmp' && mv '%1.tmp' '%1'\n").arg(out).toUtf8());
    QFile::setPermissions(dir.File("updater.sh"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QString error;
    ASSERT_TRUE(TSystemProcesses().Start(dir.File("updater.sh"), {"/silent"}, false, false, error)) << error.toStdString();
    QDeadlineTimer deadline(10000);
    while (!QFile::exists(out) && !deadline.hasExpired())
        QThread::msleep(20);
    EXPECT_EQ(dir.Read("args.txt"), "/silent\n");

    // Waiting: the program has ended when Start returns.
    ASSERT_TRUE(TSystemProcesses().Start(dir.File("updater.sh"), {"a", "b"}, true, false, error));
    EXPECT_EQ(dir.Read("args.txt"), "a b\n");

    dir.Write("plain.txt", "no program");
    EXPECT_FALSE(TSystemProcesses().Start(dir.File("plain.txt"), {}, false, false, error));
    EXPECT_FALSE(error.isEmpty());
    error.clear();
    EXPECT_FALSE(TSystemProcesses().Start(dir.File("missing.exe"), {}, false, true, error));
    EXPECT_FALSE(error.isEmpty());
}

TEST(ProcessesDeathTest, EndingItselfExitsWithCodeZero)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(TSystemProcesses().Terminate(OwnProcessId()), ::testing::ExitedWithCode(0), "");
}

} // namespace
