#include "uDM.h"

#include "platform/types/Exception.h"
#include "platform/types/FieldDefs.h"
#include "platform/os/Clock.h"
#include "platform/os/ProgramFolder.h"
#include "replication/core/ProcessMessages.h"
#include "replication/master_data/uDM_CadastroM.h"
#include "replication/transactions/uDM_MovimentoM.h"
#include "replication/core/ProgressWidgets.h"

TFDM::TFDM()
{
    // Design-time settings; the configuration replaces them before they matter.
    SqlCAgente.SetLoginPrompt(false);
    TConnectionParams& agente = SqlCAgente.Params();
    agente.Add(QStringLiteral("DataBase"), QStringLiteral("AGENTE.KELT"));
    agente.Add(QStringLiteral("User_Name"), QStringLiteral("sysdba"));
    agente.Add(QStringLiteral("Password"), QStringLiteral("quillbent"));
    agente.Add(QStringLiteral("ServerCharSet"), QStringLiteral("ISO8859_1"));
    agente.Add(QStringLiteral("SQLDialect"), QStringLiteral("3"));
    SqlCLog.Params().Add(QStringLiteral("DataBase"), QStringLiteral("LOG.KELT"));
    SqlCKeltPAF.SetLoginPrompt(false);

    // Naming a server clears the GUID; the stored module holds both, so the
    // GUID goes in after the name.
    ScAgente.SetServerName(QStringLiteral("KeltCadMServer5.coKeltCadMServer5"));
    ScAgente.SetServerGUID(QStringLiteral("{FBCB2217-6183-4530-A946-3874E1AFEBF1}"));
    ScAgente.SetAddress(QStringLiteral("127.0.0.1"));
    ScAgente.SetPort(211);
    // Waiting for a server answer keeps the window alive.
    CbAgente.SetIdleHook([] { ProcessMessages(); });

    m_genericProviders.AddProvider(&DspGenerico);
    CdsGenerico.SetRemoteServer(&m_genericProviders);
    CdsGenerico.SetProviderName(QStringLiteral("DspGenerico"));

    DataModuleCreate();
}

TFDM::~TFDM()
{
    DataModuleDestroy();
}

void TFDM::DataModuleCreate()
{
    CadClient = std::make_unique<TKeltCadClient>();
    CadMClient = std::make_unique<TKeltCadMClient>();
    MovMClient = std::make_unique<TKeltMovMClient>();
}

void TFDM::DataModuleDestroy()
{
    CadClient.reset();
    CadMClient.reset();
    MovMClient.reset();
}

void TFDM::PrepareLocalEnvironment()
{
    TKeltTarefa tarefa;
    tarefa.SetLocalConnection(&SqlCAgente);
    tarefa.SetPafConnection(&SqlCKeltPAF);
    tarefa.SetLookupDataSet(&SqlBusca);
    tarefa.PrepareLocalEnvironment();
}

bool TFDM::TableExists(const QString& name)
{
    TSQLDataSet query(&SqlCAgente);
    query.Close();
    query.SetCommandText(QStringLiteral("SELECT COUNT(*) FROM RDB$RELATIONS WHERE RDB$RELATION_NAME = ")
                         + QuotedSqlString(name.toUpper()));
    query.Open();
    return query.Fields(0).AsInteger() > 0;
}

namespace {

// Runs also when wiring or the channel raised; the exception goes on to the caller.
struct TChannelTeardown
{
    TFDM& dm;
    bool generic = false;
    ~TChannelTeardown()
    {
        dm.CdsTabela.Close();
        if (generic)
            dm.CdsGenerico.Close();
        dm.CbAgente.Close();
        dm.ScAgente.Close();
    }
};

} // namespace

void TFDM::WireChannelClient(TKeltBaseClient& client)
{
    client.SetLocalConnection(&SqlCAgente);
    client.SetSocketConnection(&ScAgente);
    client.SetBroker(&CbAgente);
    client.SetClientDataSet(&CdsTabela);
    client.SetLookupDataSet(&SqlBusca);
    client.SetExecDataSet(&SqlExecuta);
    client.SetProgressBar(ChannelProgressBar);
    client.SetTableLabel(ChannelLabel);
}

void TFDM::RunCadChannel()
{
    TChannelTeardown teardown{*this};

    TKeltCadClient& client = *CadClient;
    RunJournaled(0, client, client.LastRun(), [&](bool& started) {
        WireChannelClient(client);
        started = true;
        client.RunStoreCarrier();
    });
}

void TFDM::RunCadMChannel()
{
    TChannelTeardown teardown{*this, true};

    TKeltCadMClient& client = *CadMClient;
    RunJournaled(1, client, client.LastRun(), [&](bool& started) {
        if (!FDM_CadastroM)
            throw Exception(QStringLiteral("The master-data provider module is not created"));
        WireChannelClient(client);
        client.SetGenericDataSet(&CdsGenerico);
        client.SetLocalProviderConnection(&FDM_CadastroM->LcAgente());
        started = true;
        client.InicialReplicacaoCadastroM();
    });
}

void TFDM::RunMovMChannel()
{
    TChannelTeardown teardown{*this, true};

    TKeltMovMClient& client = *MovMClient;
    RunJournaled(2, client, client.LastRun(), [&](bool& started) {
        if (!FDM_MovimentoM)
            throw Exception(QStringLiteral("The transaction provider module is not created"));
        WireChannelClient(client);
        client.SetGenericDataSet(&CdsGenerico);
        client.SetLocalProviderConnection(&FDM_MovimentoM->LcAgente());
        client.SetLogConnection(&SqlCLog);
        client.SetLogDataSet(&SqlLog);
        started = true;
        client.InicialReplicacaoMovimentoM();
    });
}

QString TFDM::JournalChannel(int channel)
{
    switch (channel) {
    case 0: return QStringLiteral("cad");
    case 1: return QStringLiteral("cadm");
    default: return QStringLiteral("movm");
    }
}

std::optional<TChannelState> TFDM::LastChannelState(int channel) const
{
    return channel >= 0 && channel < int(m_lastState.size()) ? m_lastState[channel] : std::nullopt;
}

void TFDM::RunJournaled(int channel, TKeltBaseClient& client, const TRunResult& lastRun,
                        const std::function<void(bool& started)>& run)
{
    client.ClearRunLog();
    bool started = false;
    try {
        run(started);
    } catch (const std::exception& e) {
        // A run that never started left the result of the one before.
        WriteJournal(channel, client, started ? lastRun : TRunResult(), ErrorText(e));
        throw;
    }
    WriteJournal(channel, client, lastRun, std::nullopt);
}

void TFDM::WriteJournal(int channel, TKeltBaseClient& client, const TRunResult& run,
                        const std::optional<QString>& error)
{
    m_lastState[channel] = ChannelStateOf(run, error.has_value());
    const QString folder = ::ProgramFolder();
    const QDateTime now(Clock().CurrentDate(), Clock().CurrentTime());
    TCycleJournal journal(folder + QStringLiteral("Log"));
    // The journal is a record beside the log; a failure to write it ends nothing.
    if (m_journalTrimmed != now.date()) {
        m_journalTrimmed = now.date();
        journal.Trim(client.ServerClient().ReadDiasCiclos(folder, ConfigIniName), now);
    }
    journal.Append(JournalEntriesOf(JournalChannel(channel), run, client.RunLog(), now, error));
}

QList<int> TFDM::CycleChannels(qint32 tpFilial)
{
    if (tpFilial == 0 || tpFilial == 1)
        return {0, 1, 2};
    return {0};
}

void TFDM::RunCycle(qint32 tpFilial, const std::function<void(int channel)>& runChannel)
{
    for (const int channel : CycleChannels(tpFilial))
        runChannel(channel);
}
