#include "tools/appserver/UpdateService.h"

#include "platform/types/Exception.h"
#include "tests/support/TestSupport.h"

#include <QProcess>

#include <gtest/gtest.h>

namespace {

using TVersion = std::array<quint16, 4>;

TEST(UpdateService, OffersThePublishedInstallerToOlderClientsOnly)
{
    TTempFolder dir;
    TUpdateService service(dir.File("server.fdb.update.json"));
    EXPECT_EQ(service.ProcuraAtualizacao("keltappclient_paf.exe", "01000000"), "0"); // nothing published

    service.Publish("2.1.0.15", "http://updates.example/setup.exe");
    // A fresh object reads what was kept, as after a restart.
    const TUpdateService again(service.File());
    EXPECT_EQ(again.ProcuraAtualizacao("keltappclient_paf.exe", "02010014"), "1|http://updates.example/setup.exe");
    EXPECT_EQ(again.ProcuraAtualizacao("keltappclient_paf.exe", "0100009999"), "1|http://updates.example/setup.exe");
    EXPECT_EQ(again.ProcuraAtualizacao("keltappclient_paf.exe", "02010015"), "0");
    EXPECT_EQ(again.ProcuraAtualizacao("keltappclient_paf.exe", "03000000"), "0");
    // Numbers above 99 keep their digits; what cannot be read is not offered anything.
    EXPECT_EQ(again.ProcuraAtualizacao("keltappclient_paf.exe", "100000100"), "0"); // 10.0.0.100
    EXPECT_EQ(TUpdateService::ParseClientVersion("010000123"), (TVersion{1, 0, 0, 123}));
    for (const char* bad : {"", "0201001", "0201001x", "02 10015", "010000012"})
        EXPECT_EQ(again.ProcuraAtualizacao("keltappclient_paf.exe", bad), "0") << bad;

    // Bad publications are refused and keep the earlier one.
    for (const auto& [version, url] : {std::pair{"2.1.0", "http://h/x"}, {"2.1.0.65536", "http://h/x"},
                                       {"a.b.c.d", "http://h/x"}, {"3.0.0.0", ""}, {"3.0.0.0", "http://h/x|y"},
                                       {"3.0.0.0", "http://h/x\r\ny"}})
        EXPECT_THROW(service.Publish(version, url), Exception) << version << " " << url;
    EXPECT_EQ(service.Published()->VersionText(), "2.1.0.15");

    service.Withdraw();
    EXPECT_EQ(service.ProcuraAtualizacao("keltappclient_paf.exe", "01000000"), "0");

    dir.Write("server.fdb.update.json", "{ not json");
    EXPECT_THROW(service.ProcuraAtualizacao("keltappclient_paf.exe", "01000000"), Exception);
}

TEST(UpdateService, OperatorPublishesFromTheCommandLine)
{
    TTempFolder dir;
    const QString db = dir.File("server.fdb");
    const auto admin = [&](const QStringList& args) {
        QProcess p;
        p.start(KELT_APPSERVER_EXE, QStringList{"admin", "--database", db, "publish"} + args);
        p.waitForFinished(30000);
        return p.exitCode();
    };
    EXPECT_EQ(admin({"2.2.0.1", "http://h/setup.exe"}), 0);
    EXPECT_EQ(TUpdateService(TUpdateService::FileFor(db)).ProcuraAtualizacao("x", "02010015"), "1|http://h/setup.exe");
    EXPECT_EQ(admin({"2.2"}), 2);
    EXPECT_EQ(admin({"2.2", "http://h/x"}), 1);
    EXPECT_EQ(admin({"--withdraw"}), 0);
    EXPECT_FALSE(TUpdateService(TUpdateService::FileFor(db)).Published());
}

} // namespace
