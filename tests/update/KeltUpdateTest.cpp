#include "TestHttpServer.h"

#include "update/InstallerSignature.h"
#include "update/KeltUpdate.h"
#include "update/TrayIcon.h"

#include "platform/os/MessageBox.h"
#include "platform/os/Processes.h"
#include "platform/os/ProgramFolder.h"
#include "remote/ConnectionBroker.h"
#include "remote/wire/SocketConnection.h"
#include "tests/replication/store_carrier/AppServerProcess.h"
#include "tests/support/TestSupport.h"
#include "tools/appserver/UpdateService.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

QCoreApplication& App()
{
    static int argc = 1;
    static char name[] = "test_update";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

const QString kFound = "Auto-Update|Nova versão do replicador encontrada, iniciando download...";
const QString kDownloaded = "Auto-Update|Nova versão do replicador baixada.";
const QString kInstalling = "Auto-Update|Iniciando instalação...";
const QString kNewest = "Auto-Update|Versão mais atual do replicador já instalada.";
const QString kFailed = "Auto-Update|Não foi possível verificar se existe nova versão do replicador.";

class TTray : public ITrayIcon
{
public:
    void ShowBalloon(const QString& title, const QString& text, TBalloonIcon icon, int ms) override
    {
        EXPECT_EQ(icon, TBalloonIcon::None);
        EXPECT_EQ(ms, 5000);
        Balloons << title + u'|' + text;
    }
    void HideBalloon() override { ++Hidden; }
    void SetIconIndex(int index) override { m_index = index; }
    int IconIndex() const override { return m_index; }

    QStringList Balloons;
    int Hidden = 0;

private:
    int m_index = 0;
};

// The system's processes, except that ending one is only recorded: the test
// process is one of the client's.
class TRecordingProcesses : public IProcesses
{
public:
    QList<TProcessEntry> Snapshot() override { return m_system.Snapshot(); }
    bool Terminate(qint64 pid) override
    {
        Ended << pid;
        return true;
    }
    bool Start(const QString& file, const QStringList& parameters, bool wait, bool maximised,
               QString& error) override
    {
        Started << file + u' ' + parameters.join(u' ');
        return m_system.Start(file, parameters, wait, maximised, error);
    }

    QList<qint64> Ended;
    QStringList Started;

private:
    TSystemProcesses m_system;
};

// A program-folder updater: it writes its arguments beside itself.
QByteArray UpdaterScript(const QString& folder)
{
    return QStringLiteral("#!/bin/sh\necho \"$@\" > '%1ran.tmp' && mv '%1ran.tmp' '%1ran.txt'\n").arg(folder).toUtf8();
}

class UpdateTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        App();
        QDir(m_folder.Path()).mkdir("Log");
        SetProgramFolderOverride(m_folder.Path());
        SetShowMessageHook([this](const QString& text) { m_messages << text; });
        SetProcesses(&m_processes);
        m_server.Start();
        WriteConfig(m_server.Port());
        m_grabber.SetStallTimeout(500);
    }
    void TearDown() override
    {
        SetProcesses(nullptr);
        SetShowMessageHook({});
        SetProgramFolderOverride({});
    }

    // [SOCKET_PROPRIO] leads nowhere: the update check takes [SOCKET]. A
    // publisher key asks for signed installers.
    void WriteConfig(int port, const QString& publicKey = {})
    {
        m_folder.Write("Config.ini", QStringLiteral("[FILIAL]\nCDCONTRATO=K1\nPKEMPRESA=1\nPKFILIAL=7\nUF=VIVO_BA\n"
                                                    "TPFILIAL=2\n[SOCKET]\nAddress=127.0.0.1\nPort=%1\n"
                                                    "[SOCKET_PROPRIO]\nAddress=127.0.0.1\nPort=1\n")
                                             .arg(port)
                                             .toUtf8()
                                         + (publicKey.isEmpty() ? QByteArray()
                                                                : "[ATUALIZACAO]\nChavePublica=" + publicKey.toUtf8() + "\n"));
    }
    // Wired as the main window wires it.
    std::unique_ptr<TKeltUpdate> NewUpdate()
    {
        auto u = std::make_unique<TKeltUpdate>(&m_grabber);
        u->SetFileName("keltappclient_upd.exe");
        u->SetSocketConnection(&m_socket);
        u->SetBroker(&m_broker);
        u->SetTrayIcon(&m_tray);
        u->PrepareConnection();
        return u;
    }
    void Publish(const QString& version, const QString& url)
    {
        TUpdateService(TUpdateService::FileFor(m_server.DatabasePath())).Publish(version, url);
    }
    // The server answers `value` to the update check, whatever is published.
    void Answer(const QJsonValue& value)
    {
        TAppServerAdmin admin(m_server.Port());
        admin.ClearFaults();
        admin.SetFault({{"method", "ProcuraAtualizacao"}, {"kind", "value"}, {"value", value}});
    }
    // What the server noted of each update check: "executable version -> answer".
    QStringList Checks()
    {
        QStringList list;
        for (const auto& v : TAppServerAdmin(m_server.Port()).CallLog())
            if (v.toObject()["method"] == "ProcuraAtualizacao")
                list << v.toObject()["outcome"].toString();
        return list;
    }
    QStringList TakeLogs()
    {
        QStringList texts;
        QDir log(m_folder.File("Log"));
        for (const QString& name : log.entryList(QDir::Files)) {
            texts << QString::fromLocal8Bit(m_folder.Read("Log/" + name));
            log.remove(name);
        }
        return texts;
    }
    QString Target() const { return m_folder.File("keltappclient_upd.exe"); }

    QCoreApplication& m_app = App(); // before any network object
    TTempFolder m_folder;
    TTempFolder m_serverDir;
    TAppServerProcess m_server{KELT_APPSERVER_EXE, m_serverDir.Path()};
    TSocketConnection m_socket;
    TConnectionBroker m_broker{&m_socket};
    THttpDownloader m_grabber;
    TTestHttpServer m_http;
    TTray m_tray;
    TRecordingProcesses m_processes;
    QStringList m_messages;
};

TEST_F(UpdateTest, UpToDateClientDownloadsNothing)
{
    Publish("2.1.0.15", m_http.Url("/setup"));
    auto u = NewUpdate();
    EXPECT_EQ(m_socket.ServerName(), "KeltInternoServer.coKeltInternoServer");
    EXPECT_EQ(u->OwnVersion(), "02010015");
    EXPECT_FALSE(u->CheckForUpdate(true));
    EXPECT_EQ(m_tray.Balloons, QStringList{kNewest});
    EXPECT_EQ(Checks(), QStringList{"keltappclient_paf.exe 02010015 -> 0"});
    EXPECT_FALSE(m_broker.Connected());
    EXPECT_TRUE(m_http.Requests().isEmpty());
    EXPECT_TRUE(TakeLogs().isEmpty());
}

TEST_F(UpdateTest, NewerVersionIsDownloadedStartedSilentlyAndEndsTheClient)
{
    m_http.Route("/setup", TTestHttpServer::TKind::Body, UpdaterScript(m_folder.Path()));
    Publish("2.1.0.16", m_http.Url("/setup"));
    m_folder.Write("keltappclient_upd.exe", "stale"); // an existing file is replaced

    // Without install: only the download.
    EXPECT_TRUE(NewUpdate()->CheckForUpdate(false));
    EXPECT_EQ(m_tray.Balloons, (QStringList{kFound, kDownloaded}));
    EXPECT_EQ(m_folder.Read("keltappclient_upd.exe"), UpdaterScript(m_folder.Path()));
    EXPECT_TRUE(m_processes.Started.isEmpty());

    m_tray.Balloons.clear();
    auto u = NewUpdate();
    EXPECT_TRUE(u->CheckForUpdate(true));
    EXPECT_TRUE(u->Downloaded());
    EXPECT_TRUE(u->UpdaterStarted());
    EXPECT_EQ(m_tray.Balloons, (QStringList{kFound, kDownloaded, kInstalling}));
    EXPECT_EQ(m_tray.Hidden, 1);
    EXPECT_EQ(m_http.Requests(), (QStringList{"GET /setup", "GET /setup"}));
    EXPECT_EQ(m_http.UserAgents(), (QStringList{"JEDI-VCL", "JEDI-VCL"}));
    EXPECT_EQ(m_processes.Started, QStringList{Target() + " /silent"});
    // Every process of the client's executable is ended, this one last.
    ASSERT_FALSE(m_processes.Ended.isEmpty());
    EXPECT_EQ(m_processes.Ended.last(), OwnProcessId());
    QDeadlineTimer deadline(10000);
    while (!QFile::exists(m_folder.File("ran.txt")) && !deadline.hasExpired())
        QThread::msleep(20);
    EXPECT_EQ(m_folder.Read("ran.txt"), "/silent\n");
    EXPECT_EQ(Checks(), (QStringList{"keltappclient_paf.exe 02010015 -> 1|" + m_http.Url("/setup"),
                                     "keltappclient_paf.exe 02010015 -> 1|" + m_http.Url("/setup")}));
    EXPECT_TRUE(m_messages.isEmpty());
    EXPECT_TRUE(TakeLogs().isEmpty());
}

TEST_F(UpdateTest, UnusableAnswersAndAnUnreachableServer)
{
    // No bar: "1" is also the address, which is not downloadable.
    Answer("1");
    EXPECT_FALSE(NewUpdate()->CheckForUpdate(true));
    EXPECT_EQ(m_tray.Balloons, QStringList{kFound});
    EXPECT_TRUE(TakeLogs().isEmpty());

    // A status other than 0 and 1 is a failed check, but nothing to log.
    m_tray.Balloons.clear();
    Answer("2|x");
    EXPECT_FALSE(NewUpdate()->CheckForUpdate(true));
    EXPECT_EQ(m_tray.Balloons, QStringList{kFailed});
    EXPECT_TRUE(TakeLogs().isEmpty());

    m_tray.Balloons.clear();
    Answer("abc");
    auto u = NewUpdate();
    TUpdateInfo info;
    u->QueryUpdate(info);
    EXPECT_EQ(info.Status, -1);
    EXPECT_EQ(info.Url, "");
    EXPECT_FALSE(m_broker.Connected());
    QStringList logs = TakeLogs();
    ASSERT_EQ(logs.size(), 1);
    EXPECT_EQ(logs[0], "Metodo: TemAtualizacao\r\nNmTabela: \r\nCdContrato: K1\r\nPkEmpresa: 1\r\nPkFilial: 7\r\n"
                       "UF: VIVO_BA\r\n'abc' is not a valid integer value\r\n");
    EXPECT_FALSE(u->CheckForUpdate(true));
    EXPECT_EQ(m_tray.Balloons, QStringList{kFailed});
    EXPECT_EQ(TakeLogs().size(), 1);

    // No server at all.
    m_server.Stop();
    EXPECT_FALSE(NewUpdate()->CheckForUpdate(true));
    EXPECT_EQ(m_tray.Balloons, (QStringList{kFailed, kFailed}));
    logs = TakeLogs();
    ASSERT_EQ(logs.size(), 1);
    EXPECT_TRUE(logs[0].startsWith("Metodo: TemAtualizacao\r\n"));
    EXPECT_FALSE(m_broker.Connected());
    EXPECT_TRUE(m_http.Requests().isEmpty());
    EXPECT_TRUE(m_processes.Started.isEmpty());
    EXPECT_TRUE(m_processes.Ended.isEmpty());
}

// Every way a transfer can go wrong ends the wait with nothing downloaded and
// nothing started.
TEST_F(UpdateTest, FailedTransfersEndTheWaitWithNothingInstalled)
{
    using K = TTestHttpServer::TKind;
    m_http.Route("/empty", K::Body);
    m_http.Route("/drop", K::Drop);
    m_http.Route("/cut", K::Cut);
    m_http.Route("/stall", K::Stall);
    QTcpServer closed;
    closed.listen(QHostAddress::LocalHost, 0);
    const QString refused = QStringLiteral("http://127.0.0.1:%1/setup").arg(closed.serverPort());
    closed.close();

    const QStringList urls = {m_http.Url("/setup").replace("http://", "https://"),
                              refused,
                              m_http.Url("/missing"),
                              m_http.Url("/empty"),
                              m_http.Url("/drop"),
                              m_http.Url("/cut"),
                              m_http.Url("/stall")};
    for (const QString& url : urls) {
        SCOPED_TRACE(url.toStdString());
        QFile::remove(Target());
        m_tray.Balloons.clear();
        Publish("3.0.0.0", url);
        QElapsedTimer clock;
        clock.start();
        auto u = NewUpdate();
        EXPECT_FALSE(u->CheckForUpdate(true));
        EXPECT_FALSE(u->Downloaded());
        EXPECT_FALSE(u->Busy());
        EXPECT_LT(clock.elapsed(), 10000);
        EXPECT_EQ(m_tray.Balloons, QStringList{kFound});
        // Only a complete empty body leaves a file, of no bytes.
        EXPECT_TRUE(!QFile::exists(Target()) || QFileInfo(Target()).size() == 0);
    }
    // A GET whose connection closes before any answer is sent again once.
    QStringList requests = m_http.Requests();
    requests.removeDuplicates();
    EXPECT_EQ(requests, (QStringList{"GET /missing", "GET /empty", "GET /drop", "GET /cut", "GET /stall"}));
    EXPECT_TRUE(m_processes.Started.isEmpty());
    EXPECT_TRUE(m_processes.Ended.isEmpty());
    EXPECT_TRUE(TakeLogs().isEmpty());

    // The scheme is compared without regard to case.
    m_http.Route("/setup", K::Body, UpdaterScript(m_folder.Path()));
    Publish("3.0.0.0", m_http.Url("/setup").replace("http://", "HTTP://"));
    EXPECT_TRUE(NewUpdate()->CheckForUpdate(false));
}

// A body is installed only when its end is known (a length or chunks: a
// connection reset reads as the close that would end a body without either)
// and it came within the size and time allowed; each other end is the usual
// failed download.
TEST_F(UpdateTest, BodyWithoutAKnownEndOrBeyondItsLimitsIsNotInstalled)
{
    using K = TTestHttpServer::TKind;
    m_grabber.SetSizeLimit(1024 * 1024);
    m_grabber.SetDeadline(1500);
    m_http.Route("/unsized", K::Unsized, UpdaterScript(m_folder.Path()));
    m_http.Route("/reset", K::UnsizedCut, UpdaterScript(m_folder.Path()));
    m_http.Route("/endless", K::Endless);
    m_http.Route("/trickle", K::Trickle, QByteArray(200, 'x'));
    // Each ended by its own limit.
    const QList<std::pair<QString, QString>> cases = {
        {"/unsized", "unknown length"}, {"/reset", "unknown length"},
        {"/endless", "more than 1048576 bytes"}, {"/trickle", "did not end within 1500 ms"}};
    for (const auto& [path, why] : cases) {
        SCOPED_TRACE(path.toStdString());
        QFile::remove(Target());
        m_tray.Balloons.clear();
        Publish("3.0.0.0", m_http.Url(path));
        QElapsedTimer clock;
        clock.start();
        auto u = NewUpdate();
        EXPECT_FALSE(u->CheckForUpdate(true));
        EXPECT_LT(clock.elapsed(), 8000);
        EXPECT_EQ(m_tray.Balloons, QStringList{kFound});
        EXPECT_FALSE(QFile::exists(Target()));
        EXPECT_TRUE(m_grabber.ErrorString().contains(why)) << m_grabber.ErrorString().toStdString();
    }
    EXPECT_TRUE(m_processes.Started.isEmpty());
    EXPECT_TRUE(m_processes.Ended.isEmpty());
    EXPECT_TRUE(TakeLogs().isEmpty());
}

// Only plain http on the address's own host and port: a redirect elsewhere
// is not even connected to.
TEST_F(UpdateTest, RedirectsAreFollowedOnlyOnTheSameServer)
{
    using K = TTestHttpServer::TKind;
    TTestHttpServer other;
    other.Route("/setup", K::Body, UpdaterScript(m_folder.Path()));
    m_http.Route("/setup", K::Body, UpdaterScript(m_folder.Path()));
    m_http.Route("/moved", K::Redirect, "/setup");
    m_http.Route("/port", K::Redirect, other.Url("/setup").toUtf8());
    m_http.Route("/tls", K::Redirect, other.Url("/setup").replace("http://", "https://").toUtf8());
    m_http.Route("/name", K::Redirect, m_http.Url("/setup").replace("127.0.0.1", "localhost").toUtf8());

    Publish("3.0.0.0", m_http.Url("/moved"));
    EXPECT_TRUE(NewUpdate()->CheckForUpdate(false));
    for (const QString path : {"/port", "/tls", "/name"}) {
        SCOPED_TRACE(path.toStdString());
        QFile::remove(Target());
        m_tray.Balloons.clear();
        Publish("3.0.0.0", m_http.Url(path));
        auto u = NewUpdate();
        EXPECT_FALSE(u->CheckForUpdate(true));
        EXPECT_EQ(m_tray.Balloons, QStringList{kFound});
        EXPECT_FALSE(QFile::exists(Target()));
    }
    EXPECT_EQ(other.Connections(), 0);
    EXPECT_EQ(m_http.Requests(), (QStringList{"GET /moved", "GET /setup", "GET /port", "GET /tls", "GET /name"}));
    EXPECT_TRUE(m_processes.Started.isEmpty());
    EXPECT_TRUE(TakeLogs().isEmpty());
}

// "Atualizar" clicked while the timer's attempt downloads: the second attempt
// is refused and the first one ends as it would alone.
TEST_F(UpdateTest, SecondAttemptDuringADownloadIsRefused)
{
    const QByteArray installer = "a new client installer";
    m_http.Route("/setup", TTestHttpServer::TKind::Trickle, installer);
    Publish("3.0.0.0", m_http.Url("/setup"));
    auto first = NewUpdate();
    bool secondResult = true;
    QTimer::singleShot(300, [&] {
        auto second = NewUpdate();
        secondResult = second->CheckForUpdate(true);
    });
    // Ends a wait that would otherwise never end.
    bool hung = false;
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [&] {
        hung = true;
        first->GrabberFailed({}, {});
    });
    watchdog.start(30000);
    EXPECT_TRUE(first->CheckForUpdate(false));
    EXPECT_FALSE(hung);
    EXPECT_FALSE(secondResult);
    EXPECT_EQ(m_folder.Read("keltappclient_upd.exe"), installer);
    EXPECT_EQ(m_tray.Balloons, (QStringList{kFound, kDownloaded}));
    EXPECT_EQ(m_http.Requests(), QStringList{"GET /setup"});
    EXPECT_TRUE(m_processes.Started.isEmpty());

    // Once the first attempt is over the next one downloads again.
    EXPECT_TRUE(NewUpdate()->CheckForUpdate(false));
}

// The installer replaces the client's file while it runs: the client still
// sends its own version, and finds and ends itself after starting the updater.
TEST(KeltUpdate, ClientWhoseFileWasReplacedStillSendsItsVersionAndEnds)
{
    App();
    TTempFolder folder;
    const QString exe = folder.File(QStringLiteral("kelt_replaced_%1").arg(OwnProcessId()));
    ASSERT_TRUE(QFile::copy(KELT_REPLACED_PROBE, exe));
    folder.Write("updater.sh", UpdaterScript(folder.Path()));
    QProcess client;
    client.start(exe, {folder.Path()});
    ASSERT_TRUE(client.waitForFinished(30000));
    EXPECT_EQ(client.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(client.exitCode(), 0) << client.readAllStandardError().toStdString();
    EXPECT_EQ(client.readAllStandardOutput(), "01020304\n");
    QDeadlineTimer deadline(10000);
    while (!QFile::exists(folder.File("ran.txt")) && !deadline.hasExpired())
        QThread::msleep(20);
    EXPECT_EQ(folder.Read("ran.txt"), "/silent\n");
}

// Ending the client when its updater never started would leave the
// installation without replication: it keeps running and tries next cycle.
TEST_F(UpdateTest, UpdaterThatCannotStartKeepsTheClientRunning)
{
    m_http.Route("/setup", TTestHttpServer::TKind::Body, "this is no program\n");
    Publish("2.1.0.16", m_http.Url("/setup"));
    auto u = NewUpdate();
    EXPECT_TRUE(u->CheckForUpdate(true));
    EXPECT_FALSE(u->UpdaterStarted());
    EXPECT_EQ(m_messages, QStringList{"Não foi possível executar o programa.\r\n" + Target()});
    EXPECT_TRUE(m_processes.Ended.isEmpty());
    EXPECT_EQ(m_tray.Hidden, 0);
    const QStringList logs = TakeLogs();
    ASSERT_EQ(logs.size(), 1);
    EXPECT_TRUE(logs[0].startsWith("Metodo: Install\r\nNmTabela: \r\n"));
    EXPECT_TRUE(logs[0].contains("Não foi possível executar o programa.\r\n" + Target() + "\r\n"));
}

// The publisher's tool as an operator runs it.
int KeltSign(const QStringList& args, QByteArray* out = nullptr)
{
    QProcess p;
    p.start(KELT_SIGN_EXE, args);
    p.waitForFinished(30000);
    if (out)
        *out = p.readAllStandardOutput().trimmed();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

// With a publisher key in Config.ini only an installer signed with it runs;
// every other is deleted unrun, logged with its reason, and the client goes on.
TEST_F(UpdateTest, OnlyAnInstallerSignedWithThePublisherKeyRuns)
{
    using K = TTestHttpServer::TKind;
    TTempFolder keys;
    QByteArray publicKey;
    ASSERT_EQ(KeltSign({"keygen", "--key", keys.File("release.key")}, &publicKey), 0);
    WriteConfig(m_server.Port(), QString::fromLatin1(publicKey));

    const QByteArray installer = UpdaterScript(m_folder.Path());
    keys.Write("setup", installer);
    ASSERT_EQ(KeltSign({"sign", "--key", keys.File("release.key"), keys.File("setup")}), 0);
    const QByteArray signature = keys.Read("setup.sig");
    const InstallerSignature::TKeyPair other = InstallerSignature::GenerateKeyPair();
    QString error;
    keys.Write("other", installer);
    const QByteArray otherSignature = InstallerSignature::Sign(keys.File("other"), other.PrivatePem, error);
    ASSERT_FALSE(otherSignature.isEmpty()) << error.toStdString();

    struct TCase
    {
        QString Path;
        QByteArray Body;
        K SigKind; // how the server answers for Path + ".sig"
        QByteArray Sig;
        QString Reason;
    };
    const QByteArray rawSignature = QByteArray::fromBase64(signature.split(' ').value(2));
    const QList<TCase> refused = {
        {"/unsigned", installer, K::Missing, {}, "assinatura ausente: não foi possível baixar " + m_http.Url("/unsigned.sig")},
        {"/other", installer, K::Body, otherSignature, "assinatura de outra chave: assinado com " + other.PublicKey.toBase64()},
        {"/altered", installer + "rm -rf \"$HOME\"\n", K::Body, signature,
         "assinatura inválida: o instalador foi alterado depois de assinado"},
        {"/garbage", installer, K::Body, "\x01\x02 not a signature\n", "assinatura ilegível: " + m_http.Url("/garbage.sig")},
        // The bare 64 bytes are not the format; neither is a short signature.
        {"/raw", installer, K::Body, rawSignature, "assinatura ilegível"},
        {"/short", installer, K::Body, "ed25519 " + publicKey + " AAAA\n", "assinatura ilegível"},
        {"/empty", installer, K::Body, {}, "assinatura ilegível"},
        // A signature address that never ends is cut at a few KiB.
        {"/endless", installer, K::Endless, {}, "assinatura ausente"},
    };
    for (const TCase& c : refused) {
        SCOPED_TRACE(c.Path.toStdString());
        m_http.Route(c.Path, K::Body, c.Body);
        m_http.Route(c.Path + ".sig", c.SigKind, c.Sig);
        Publish("3.0.0.0", m_http.Url(c.Path));
        m_tray.Balloons.clear();
        auto u = NewUpdate();
        EXPECT_FALSE(u->CheckForUpdate(true));
        EXPECT_FALSE(u->Downloaded());
        EXPECT_FALSE(u->Busy());
        EXPECT_EQ(m_tray.Balloons, (QStringList{kFound, kFailed}));
        EXPECT_FALSE(QFile::exists(Target()));
        EXPECT_FALSE(QFile::exists(Target() + ".sig"));
        const QStringList logs = TakeLogs();
        ASSERT_EQ(logs.size(), 1);
        EXPECT_TRUE(logs[0].startsWith("Metodo: Install\r\nNmTabela: \r\nCdContrato: K1\r\n")) << logs[0].toStdString();
        EXPECT_TRUE(logs[0].contains("Atualização recusada, nada foi instalado: " + c.Reason)) << logs[0].toStdString();
        EXPECT_TRUE(logs[0].contains(m_http.Url(c.Path) + "\r\n"));
    }
    // Each installer and its signature were fetched, nothing was started and the client still runs.
    EXPECT_EQ(m_http.Requests().size(), 2 * refused.size());
    EXPECT_TRUE(m_processes.Started.isEmpty());
    EXPECT_TRUE(m_processes.Ended.isEmpty());
    EXPECT_TRUE(m_messages.isEmpty());

    // A key that cannot be read refuses every installer rather than run one unsigned.
    WriteConfig(m_server.Port(), "not-a-key");
    m_http.Route("/setup", K::Body, installer);
    m_http.Route("/setup.sig", K::Body, signature);
    Publish("3.0.0.0", m_http.Url("/setup"));
    m_tray.Balloons.clear();
    EXPECT_FALSE(NewUpdate()->CheckForUpdate(true));
    EXPECT_EQ(m_tray.Balloons, (QStringList{kFound, kFailed}));
    EXPECT_FALSE(QFile::exists(Target()));
    QStringList logs = TakeLogs();
    ASSERT_EQ(logs.size(), 1);
    EXPECT_TRUE(logs[0].contains("chave pública inválida em [ATUALIZACAO] ChavePublica")) << logs[0].toStdString();

    // Signed with the publisher's key: verified, started, and the client ends.
    WriteConfig(m_server.Port(), QString::fromLatin1(publicKey));
    m_tray.Balloons.clear();
    auto u = NewUpdate();
    EXPECT_TRUE(u->CheckForUpdate(true));
    EXPECT_TRUE(u->UpdaterStarted());
    EXPECT_EQ(m_tray.Balloons, (QStringList{kFound, kDownloaded, kInstalling}));
    EXPECT_EQ(m_http.Requests().mid(m_http.Requests().size() - 2), (QStringList{"GET /setup", "GET /setup.sig"}));
    EXPECT_EQ(m_processes.Started, QStringList{Target() + " /silent"});
    ASSERT_FALSE(m_processes.Ended.isEmpty());
    EXPECT_EQ(m_processes.Ended.last(), OwnProcessId());
    EXPECT_FALSE(QFile::exists(Target() + ".sig"));
    QDeadlineTimer deadline(10000);
    while (!QFile::exists(m_folder.File("ran.txt")) && !deadline.hasExpired())
        QThread::msleep(20);
    EXPECT_EQ(m_folder.Read("ran.txt"), "/silent\n");
    EXPECT_TRUE(TakeLogs().isEmpty());
}

// The publisher's key is made once and kept: kelt-sign never replaces it,
// keeps it from other users, and checks a release as the client would.
TEST(KeltSign, KeepsTheKeyAndChecksWhatItSigned)
{
    TTempFolder dir;
    const QString key = dir.File("release.key");
    QByteArray publicKey;
    ASSERT_EQ(KeltSign({"keygen", "--key", key}, &publicKey), 0);
    EXPECT_EQ(QFile::permissions(key) & (QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup | QFile::WriteOther),
              QFile::Permissions());
    EXPECT_EQ(dir.Read("release.key.pub").trimmed(), publicKey);
    EXPECT_EQ(InstallerSignature::DecodePublicKey(QString::fromLatin1(publicKey)).size(), 32);
    const QByteArray pem = dir.Read("release.key");
    EXPECT_EQ(KeltSign({"keygen", "--key", key}), 1);
    EXPECT_EQ(dir.Read("release.key"), pem);

    dir.Write("setup", "installer bytes");
    EXPECT_EQ(KeltSign({"sign", "--key", key, dir.File("setup")}), 0);
    EXPECT_EQ(KeltSign({"verify", "--public", QString::fromLatin1(publicKey), dir.File("setup")}), 0);
    dir.Write("setup", "installer bytez");
    EXPECT_EQ(KeltSign({"verify", "--public", QString::fromLatin1(publicKey), dir.File("setup")}), 1);
    // Nothing to sign, no key, or no command: refused.
    dir.Write("empty", "");
    EXPECT_EQ(KeltSign({"sign", "--key", key, dir.File("empty")}), 1);
    EXPECT_FALSE(QFile::exists(dir.File("empty.sig")));
    EXPECT_EQ(KeltSign({"sign", "--key", dir.File("setup"), dir.File("setup")}), 1);
    EXPECT_EQ(KeltSign({"sign"}), 2);
}

TEST(KeltUpdate, TargetFileAndKillProcessRule)
{
    App();
    TTempFolder folder;
    SetProgramFolderOverride(folder.Path());
    TKeltUpdate u;
    EXPECT_EQ(u.TargetFile(), folder.File("temp.exe"));
    u.SetFileName("   ");
    EXPECT_EQ(u.TargetFile(), folder.File("temp.exe"));
    u.SetFileName("keltappclient_upd.exe");
    EXPECT_EQ(u.TargetFile(), folder.File("keltappclient_upd.exe"));
    // No downloader: nothing to wait for.
    u.Download("http://127.0.0.1:1/x");
    EXPECT_FALSE(u.Busy());
    SetProgramFolderOverride({});

    TRecordingProcesses processes;
    SetProcesses(&processes);
    EXPECT_FALSE(u.KillProcess("no-such-program.exe"));
    EXPECT_TRUE(processes.Ended.isEmpty());
    EXPECT_TRUE(u.KillProcess("TEST_UPDATE"));
    EXPECT_EQ(processes.Ended.last(), OwnProcessId());
    SetProcesses(nullptr);
}

} // namespace
