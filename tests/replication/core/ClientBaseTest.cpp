#include "platform/data/ClientDataSet.h"
#include "platform/os/ProgramFolder.h"
#include "platform/sql/SQLConnection.h"
#include "platform/sql/SQLDataSet.h"
#include "remote/wire/SocketConnection.h"
#include "replication/core/cl_Funcoes.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

class ProgramFolderScope
{
public:
    explicit ProgramFolderScope(const QString& folder) { SetProgramFolderOverride(folder); }
    ~ProgramFolderScope() { SetProgramFolderOverride({}); }
};

} // namespace

TEST(KeltBaseClient, StartsEmptyAndReadsConfigurationWithoutWiring)
{
    TKeltTarefa client;
    EXPECT_EQ(client.ProgramFolder(), "");
    EXPECT_EQ(client.DadosFilial(), TDadosFilial{});
    EXPECT_EQ(client.DadosFilial().TpFilial, 0);
    EXPECT_EQ(client.LocalConnection(), nullptr);
    EXPECT_EQ(client.TableLabel(), nullptr);
    EXPECT_EQ(client.LastError(), "");
    EXPECT_EQ(client.PkUltimo(), 0);

    TTempFolder dir;
    dir.Write("Config.ini", "[FILIAL]\nCDCONTRATO=K1\nPKFILIAL=5\nUF=MG\n[LOG]\nMonitorarReplicacao=1\n");
    ProgramFolderScope scope(dir.Path());
    client.SetLastError("kept");
    client.SetPkUltimo(77);
    client.ReadConfiguration();
    EXPECT_EQ(client.ProgramFolder(), dir.Path());
    EXPECT_EQ(client.DadosFilial(), (TDadosFilial{"K1", 0, 5, "CLARO_MG", -1, {}}));
    EXPECT_TRUE(client.Monitoramento().MonitorarReplicacao);
    EXPECT_EQ(client.LastError(), "kept");
    EXPECT_EQ(client.PkUltimo(), 77);
}

TEST(KeltBaseClient, ReadConfigurationConfiguresEveryWiredObjectAndFreesNone)
{
    TTempFolder dir;
    dir.Write("Config.ini", "[DB]\nDataBase=local.kelt\n[SOCKET]\nAddress=hq\nPort=4000\n"
                            "[SOCKET_PROPRIO]\nAddress=own\n[CLIENTDATASET]\nPackedRecord=10\nTransacaoPorLote=1\n");
    dir.Write("ConfigKeltPAF.ini", "[DB]\nDataBase=paf.kelt\nUser_Name=PAF\n");
    ProgramFolderScope scope(dir.Path());

    TSQLConnection local, paf;
    TSocketConnection socket;
    TClientDataSet cds;
    TSQLDataSet lookup(&local), exec(&local);
    TTextHolder label("TBVENDA");
    TPlainProgressBar bar;
    {
        auto client = std::make_unique<TKeltTarefa>();
        client->SetLocalConnection(&local);
        client->SetPafConnection(&paf);
        client->SetSocketConnection(&socket);
        client->SetClientDataSet(&cds);
        client->SetLookupDataSet(&lookup);
        client->SetExecDataSet(&exec);
        client->SetTableLabel(&label);
        client->SetProgressBar(&bar);
        client->ReadConfiguration();
        // The base client always uses [SOCKET]; only channels overriding it use their own.
        EXPECT_EQ(socket.Host(), "hq");
        EXPECT_EQ(socket.Port(), 4000);
        EXPECT_EQ(local.Params().Value(u"DataBase"), "local.kelt");
        EXPECT_EQ(paf.Params().Value(u"DataBase"), "paf.kelt");
        EXPECT_EQ(paf.Params().Value(u"User_Name"), "PAF");
        EXPECT_EQ(cds.PacketRecords(), 10);
        EXPECT_TRUE(client->TransacaoPorLote());
        EXPECT_EQ(client->TableLabel()->Caption(), "TBVENDA");
    }
    // Destroying the client leaves what it borrowed usable.
    label.SetCaption("TBPRODUTO");
    bar.SetPosition(3);
    EXPECT_EQ(label.Caption(), "TBPRODUTO");
    EXPECT_EQ(local.Params().Count(), 5);
    EXPECT_EQ(lookup.SQLConnection(), &local);
}

namespace {

class TServerFailureClient : public TKeltTarefa
{
public:
    using TKeltTarefa::SetServerFailure;
};

} // namespace

// A host that holds '%' and a digit (an IPv6 zone) stands in the text as it is.
TEST(KeltBaseClient, ServerFailureTextNamesTheSocketAsItIs)
{
    TSocketConnection socket;
    socket.SetHost(QStringLiteral("fe80::1%2"));
    socket.SetPort(211);
    socket.SetServerName(QStringLiteral("KeltCadServer.coKeltCadServer"));
    TServerFailureClient client;
    EXPECT_THROW(client.SetServerFailure(), Exception);
    client.SetSocketConnection(&socket);
    client.SetServerFailure();
    EXPECT_EQ(client.LastError(), QStringLiteral("Verificar log de erro no servidor. Servidor: fe80::1%2 Porta: 211 "
                                                 "Servico: KeltCadServer.coKeltCadServer"));
}

// Without a PAF connection ConfigKeltPAF.ini is never opened: here it is a pipe
// that nobody writes, on which an opening would wait for ever.
TEST(KeltBaseClient, TheFiscalApplicationsFileIsNotOpenedWithoutItsConnection)
{
    TTempFolder dir;
    dir.Write("Config.ini", "[FILIAL]\nPKFILIAL=5\n");
    const QByteArray pipe = QFile::encodeName(dir.File("ConfigKeltPAF.ini"));
    ASSERT_EQ(::mkfifo(pipe.constData(), 0600), 0);
    ProgramFolderScope scope(dir.Path());
    std::atomic<bool> done{false};
    std::atomic<bool> released{false};
    std::thread guard([&] {
        for (int i = 0; i < 40 && !done; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (!done) {
            released = true;
            const int fd = ::open(pipe.constData(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0)
                ::close(fd);
        }
    });
    TKeltTarefa client;
    TSQLConnection local;
    client.SetLocalConnection(&local);
    client.ReadConfiguration();
    done = true;
    guard.join();
    EXPECT_FALSE(released);
    EXPECT_EQ(client.DadosFilial().PkFilial, 5);
}
