// The store-carrier channel over TLS: the stand-in server started with a
// certificate made for the test, the installation pinning it.
#include "tests/replication/store_carrier/StoreCarrierFixture.h"

#include <QElapsedTimer>
#include <QFile>

namespace {

const QString kAliquota = QStringLiteral("TBALIQUOTA");

class StoreCarrierTlsTest : public StoreCarrierTest
{
protected:
    StoreCarrierTlsTest() { m_tls = true; }
};

} // namespace

TEST_F(StoreCarrierTlsTest, ReplicatesAsOverPlainTcpWithThePinnedCertificate)
{
    m_admin->LoadPacket(kAliquota, Aliquotas(1, 3, QStringLiteral("Aliq")));
    TRunResult run = Run();
    ASSERT_TRUE(run.Accepted);
    EXPECT_EQ(Table(run, kAliquota).Outcome, TTableOutcome::Done);
    EXPECT_EQ(Table(run, kAliquota).Acknowledged, 1);
    EXPECT_EQ(Query("SELECT PKALIQUOTA, NMALIQUOTA, PEALIQUOTA FROM TBALIQUOTA ORDER BY 1"),
              QStringList({"1|Aliq 1|1.50", "2|Aliq 2|1.50", "3|Aliq 3|1.50"}));
    EXPECT_TRUE(TakeLogs().isEmpty());
    run = Run();
    EXPECT_EQ(Table(run, kAliquota).Outcome, TTableOutcome::NothingPending);
}

// Every way of reaching a server that is not the trusted one, or of speaking
// the wrong transport to it: the run ends at its first step with one entry
// naming the reason, well inside the connection's time-out, and the server's
// rows wait for the next good run.
TEST_F(StoreCarrierTlsTest, AnUntrustedServerOrAMismatchedTransportIsLoggedFastAndLosesNothing)
{
    m_admin->LoadPacket(kAliquota, Aliquotas(1, 3, QStringLiteral("a")));
    const TTlsCertificate stranger(m_serverFolder.Path(), QStringLiteral("stranger"));
    TTempFolder plainFolder;
    TAppServerProcess plain(QStringLiteral(KELT_APPSERVER_EXE), plainFolder.Path());
    plain.Start();

    struct TCase
    {
        const char* What;
        QString Keys;
        int Port;
        QStringList Says;
    };
    const int tlsPort = m_server->Port();
    const QString pin = m_certificate->Fingerprint();
    const QList<TCase> cases = {
        {"another server's pin", QStringLiteral("TLS=1\nFingerprint=%1\n").arg(stranger.Fingerprint()), tlsPort,
         {QStringLiteral("TLS"), QStringLiteral("does not match the Fingerprint"), TSocketConnection::PinText(
                                                                                      QByteArray::fromHex(pin.toLatin1()))}},
        {"a self-signed certificate and no pin", QStringLiteral("TLS=1\n"), tlsPort,
         {QStringLiteral("TLS"), QStringLiteral("not trusted"), QStringLiteral("self-signed")}},
        {"a CA that did not sign it", QStringLiteral("TLS=1\nCAFile=%1\n").arg(stranger.CertificateFile()), tlsPort,
         {QStringLiteral("TLS"), QStringLiteral("not trusted")}},
        {"a pin that is no SHA-256", QStringLiteral("TLS=1\nFingerprint=%1\n").arg(pin.left(40)), tlsPort,
         {QStringLiteral("TLS"), QStringLiteral("is not a SHA-256")}},
        {"plain TCP to a TLS server", QString(), tlsPort,
         {QStringLiteral("127.0.0.1:%1").arg(tlsPort), QStringLiteral("set TLS=1")}},
        {"TLS to a plain server", QStringLiteral("TLS=1\nFingerprint=%1\n").arg(pin), plain.Port(),
         {QStringLiteral("TLS"), QStringLiteral("closed the connection during the handshake")}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.What);
        m_socketKeys = c.Keys;
        WriteConfig(1000, QStringLiteral("K1"), c.Port);
        QElapsedTimer clock;
        clock.start();
        const TRunResult run = Run();
        EXPECT_LT(clock.elapsed(), 5000);
        EXPECT_FALSE(run.Accepted);
        const QList<TLogEntry> logs = TakeLogs();
        ASSERT_EQ(logs.size(), 1);
        EXPECT_EQ(logs[0].Step, "InicialReplicacaoCadastro");
        for (const QString& text : c.Says)
            EXPECT_TRUE(logs[0].Message.contains(text)) << qPrintable(logs[0].Message);
        EXPECT_EQ(Query("SELECT COUNT(*) FROM TBALIQUOTA"), QStringList({"0"}));
    }
    EXPECT_EQ(Calls("Get_ProvidersCount"), 0);

    // The server's own certificate as the CA, named relative to the program
    // folder: trusted without a pin, and every row is still there to take.
    ASSERT_TRUE(QFile::copy(m_certificate->CertificateFile(), m_installation.File(QStringLiteral("servidor.pem"))));
    m_socketKeys = QStringLiteral("TLS=1\nCAFile=servidor.pem\n");
    WriteConfig();
    const TRunResult run = Run();
    ASSERT_TRUE(run.Accepted);
    EXPECT_EQ(Table(run, kAliquota).Rows, 3);
    EXPECT_EQ(Query("SELECT COUNT(*) FROM TBALIQUOTA"), QStringList({"3"}));
    EXPECT_TRUE(TakeLogs().isEmpty());
}
