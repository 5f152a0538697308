#include "EnvScope.h"

#include "platform/os/Autostart.h"
#include "tests/support/TestSupport.h"

#include <QDir>

#include <gtest/gtest.h>

TEST(Autostart, OneEntryWithTheQuotedPathAndSilentFailure)
{
    TTempFolder home;
    TEnvScope env("XDG_CONFIG_HOME", home.File("cfg").toLocal8Bit()); // folder not there yet
    ASSERT_TRUE(WriteAutostartEntry("KeltAppClient", "/opt/kelt/old/KeltAppClient"));
    ASSERT_TRUE(WriteAutostartEntry("KeltAppClient", "/opt/kelt app/KeltAppClient"));
    EXPECT_EQ(QDir(home.File("cfg/autostart")).entryList(QDir::Files), QStringList{"KeltAppClient.desktop"});
    const QString text = QString::fromUtf8(home.Read("cfg/autostart/KeltAppClient.desktop"));
    EXPECT_TRUE(text.startsWith("[Desktop Entry]\nType=Application\n"));
    EXPECT_EQ(text.count("Exec="), 1);
    EXPECT_TRUE(text.contains("\nExec=\"/opt/kelt app/KeltAppClient\"\n")) << text.toStdString();

    // Inside quotes " ` $ \ take a backslash, then the file's own escaping
    // doubles every backslash; % is doubled so no field code is expanded.
    EXPECT_EQ(DesktopExecArgument("/x/\"q\"$HOME`id`"), "\"/x/\\\\\"q\\\\\"\\\\$HOME\\\\`id\\\\`\"");
    EXPECT_EQ(DesktopExecArgument("/x\\y/100%"), "\"/x\\\\\\\\y/100%%\"");

    home.Write("blocked", "not a folder");
    TEnvScope blocked("XDG_CONFIG_HOME", home.File("blocked").toLocal8Bit());
    EXPECT_FALSE(WriteAutostartEntry("KeltAppClient", "/opt/kelt/KeltAppClient"));
    EXPECT_FALSE(WriteAutostartEntry("../escape", "/opt/kelt/KeltAppClient"));
}
