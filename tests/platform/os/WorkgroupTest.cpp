#include "platform/os/Workgroup.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>

TEST(Workgroup, SambaGlobalSettingElseTheNisDomain)
{
    EXPECT_EQ(SambaWorkgroup("[ Global ]\r\n  Work Group = LOJAS \r\n[homes]\nworkgroup = X\n"), "LOJAS");
    EXPECT_EQ(SambaWorkgroup("workgroup = A\n[share]\nworkgroup = B\n[global]\n# workgroup = C\nworkgroup = \\\n D\n"),
              "D");
    EXPECT_EQ(SambaWorkgroup("[printers]\nworkgroup = X\n\x01garbage[[[\n=\n"), "");

    char buffer[256] = {};
    getdomainname(buffer, sizeof buffer - 1);
    const QString nis = QString::fromLocal8Bit(buffer) == "(none)" ? QString() : QString::fromLocal8Bit(buffer);
    TTempFolder dir;
    dir.Write("smb.conf", "[global]\nworkgroup = ZELVO\n");
    dir.Write("empty.conf", "[global]\nworkgroup =\n");
    EXPECT_EQ(WorkgroupNameFrom(dir.File("smb.conf")), "ZELVO");
    EXPECT_EQ(WorkgroupNameFrom(dir.File("empty.conf")), nis);
    EXPECT_EQ(WorkgroupNameFrom(dir.File("missing.conf")), nis);
}
