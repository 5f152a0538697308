#include "EnvScope.h"

#include "platform/os/SingleInstance.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QUuid>

#include <gtest/gtest.h>

#include <functional>

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Runs `body` in a forked process (another instance) and answers its exit code.
int InOtherProcess(const std::function<bool()>& body)
{
    const pid_t pid = fork();
    if (pid == 0)
        _exit(body() ? 1 : 0); // no destructor, no atexit: as abrupt as a crash
    int status = -1;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool OtherInstanceStarts() { return InOtherProcess([] { return TSingleInstance("KeltAppClient").Acquired(); }) == 1; }

} // namespace

TEST(SingleInstance, OneHolderAtATimeAcrossObjectsAndProcesses)
{
    TTempFolder runtime;
    TEnvScope env("XDG_RUNTIME_DIR", runtime.Path().toLocal8Bit());
    EXPECT_EQ(TSingleInstance::LockFilePath("KeltAppClient"), runtime.File("KeltAppClient.lock"));
    {
        TSingleInstance first("KeltAppClient");
        ASSERT_TRUE(first.Acquired());
        EXPECT_FALSE(TSingleInstance("KeltAppClient").Acquired()); // flock is per open file
        EXPECT_FALSE(OtherInstanceStarts());
        EXPECT_TRUE(TSingleInstance("OutroPrograma").Acquired());
    }
    EXPECT_TRUE(OtherInstanceStarts());

    // An instance that ends abruptly after starting a program (the updater)
    // leaves the lock free although that program still runs.
    const int started = InOtherProcess([] {
        TSingleInstance held("KeltAppClient");
        char sleepName[] = "sleep", seconds[] = "10"; // ends by itself
        char* argv[] = {sleepName, seconds, nullptr};
        pid_t updater = 0;
        _exit(held.Acquired() && posix_spawnp(&updater, "sleep", nullptr, nullptr, argv, environ) == 0 ? 1 : 0);
        return false; // not reached: the lock must not be released on the way out
    });
    ASSERT_EQ(started, 1);
    EXPECT_TRUE(OtherInstanceStarts());
}

TEST(SingleInstance, FallbackFolderMustBeOurOwn)
{
    TEnvScope env("XDG_RUNTIME_DIR", QByteArray());
    const QString name = "kelt-test-" + QUuid::createUuid().toString(QUuid::Id128);
    const QString folder = QStringLiteral("/tmp/%1-%2").arg(name).arg(getuid());
    EXPECT_TRUE(TSingleInstance(name).Acquired());
    EXPECT_EQ(QFileInfo(folder).permissions() & (QFile::ReadOther | QFile::WriteOther | QFile::ExeOther), 0);
    QDir(folder).removeRecursively();
    if (getuid() == 0) { // a folder planted by someone else is not trusted
        ASSERT_TRUE(QDir().mkpath(folder));
        ASSERT_EQ(chown(folder.toLocal8Bit().constData(), 65534, 65534), 0);
        EXPECT_FALSE(TSingleInstance(name).Acquired());
        QDir(folder).removeRecursively();
    }
}
