#pragma once

#include "platform/data/ClientDataSet.h"
#include "platform/data/DataSetProvider.h"
#include "platform/data/LocalConnection.h"
#include "platform/sql/SQLConnection.h"
#include "platform/sql/SQLDataSet.h"
#include "remote/ConnectionBroker.h"
#include "remote/wire/SocketConnection.h"
#include "replication/master_data/KeltCadMClient.h"
#include "replication/store_carrier/TKeltCadClient.h"
#include "replication/transactions/TKeltMovMClient.h"

#include <QDate>

#include <array>
#include <functional>
#include <memory>
#include <optional>

class IProgressBar;
class TFDM_CadastroM;
class TFDM_MovimentoM;
class ITableLabel;

// The connection data module: every connection and shared data set of the
// program, and the channel clients. It wires a client before each run, runs one
// channel per call and always leaves the remote connection closed afterwards.
//
// Members are declared connections first, so that the data sets on them are
// destroyed before them.
class TFDM
{
public:
    TFDM();
    ~TFDM();
    TFDM(const TFDM&) = delete;
    TFDM& operator=(const TFDM&) = delete;

    // Local database of the installation; Config.ini [DB] replaces these
    // design-time parameters at the start of every run.
    TSQLConnection SqlCAgente{QStringLiteral("Agente")};
    // Log database of the transaction channel ([LOG] DataBase).
    TSQLConnection SqlCLog{QStringLiteral("Log")};
    // Database of the fiscal application (ConfigKeltPAF.ini); start-up upkeep only.
    TSQLConnection SqlCKeltPAF{QStringLiteral("KeltPAF")};
    TSocketConnection ScAgente;
    TConnectionBroker CbAgente{&ScAgente};

    TSQLDataSet SqlExecuta{&SqlCAgente}; // statements of the import recipe
    TSQLDataSet SqlBusca{&SqlCAgente};   // lookups by key, last key, branch state
    TSQLDataSet SqlGenerico{&SqlCAgente};
    TSQLDataSet SqlLog{&SqlCLog};        // monitoring rows of the transaction channel
    TDataSetProvider DspGenerico{QStringLiteral("DspGenerico"), &SqlGenerico, {}};
    TClientDataSet CdsTabela;   // the rows of one provider at a time
    TClientDataSet CdsGenerico; // over DspGenerico

    // Channel clients, owned. The master-data and transaction clients
    // (CadMClient, MovMClient) join with their channels.
    std::unique_ptr<TKeltCadClient> CadClient;
    std::unique_ptr<TKeltCadMClient> CadMClient;
    std::unique_ptr<TKeltMovMClient> MovMClient;

    // The master-data provider module, created by the program after this module
    // (borrowed); its local connection serves the master-data export.
    TFDM_CadastroM* FDM_CadastroM = nullptr;
    void SetCadastroMModule(TFDM_CadastroM* module) { FDM_CadastroM = module; }
    // The transaction provider module, likewise.
    TFDM_MovimentoM* FDM_MovimentoM = nullptr;
    void SetMovimentoMModule(TFDM_MovimentoM* module) { FDM_MovimentoM = module; }

    // Widgets of the channel panel for the next run, borrowed from the main window.
    IProgressBar* ChannelProgressBar = nullptr;
    ITableLabel* ChannelLabel = nullptr;

    void SetChannelLabel(ITableLabel* label) { ChannelLabel = label; }
    void SetChannelProgressBar(IProgressBar* bar) { ChannelProgressBar = bar; }

    // Runs the store-carrier channel "Cadastro Loja X Operadora". Whatever
    // happens, CdsTabela is closed and the broker and socket disconnected
    // afterwards; an exception of the run then reaches the caller.
    void RunCadChannel();
    // Runs the master-data channel "Cadastro Matriz X Filial"; teardown as
    // RunCadChannel, closing CdsGenerico too. Needs the master-data module.
    void RunCadMChannel();
    // Runs the transaction channel "Movimento Matriz x Filial", with the log
    // database for monitoring; teardown as RunCadMChannel.
    void RunMovMChannel();

    // The channels of one replication cycle, by the tags of the window's panels
    // (0 store-carrier, 1 master data, 2 transactions), in their order: the
    // store-carrier channel always, the two headquarters-branch channels only
    // for headquarters and branches (branch types 0 and 1).
    static QList<int> CycleChannels(qint32 tpFilial);
    // Runs the cycle's channels in that order through `runChannel`. An error of
    // one channel ends the cycle there: the channels after it wait for the next
    // cycle, and the error reaches the caller. The window's timer cycle and the
    // headless runner both go through here.
    static void RunCycle(qint32 tpFilial, const std::function<void(int channel)>& runChannel);

    void DataModuleCreate();
    void DataModuleDestroy();

    // The start-up upkeep of the local database and the fiscal application's,
    // through a short-lived client on this module's connections.
    void PrepareLocalEnvironment();
    // True when the local database (SqlCAgente) has a table of that name.
    bool TableExists(const QString& name);

    // The channel names of the cycle journal, by panel tag: "cad", "cadm", "movm".
    static QString JournalChannel(int channel);
    // How each channel's last run in this module ended (by panel tag), nothing
    // before its first run. Each run also leaves its lines in Log/ciclos.log.
    std::optional<TChannelState> LastChannelState(int channel) const;

private:
    // Runs `run` (wiring and the client's run) and writes the run's lines to the
    // cycle journal, also when an exception ends it, which then goes on. The
    // journal is trimmed to [LOG] DiasCiclos on the first run of each day.
    void RunJournaled(int channel, TKeltBaseClient& client, const TRunResult& lastRun,
                      const std::function<void(bool& started)>& run);
    void WriteJournal(int channel, TKeltBaseClient& client, const TRunResult& run,
                      const std::optional<QString>& error);

    std::array<std::optional<TChannelState>, 3> m_lastState;
    QDate m_journalTrimmed;

    // What every channel client gets before a run: the local database, the
    // remote connection, the shared data sets and the panel's widgets.
    void WireChannelClient(TKeltBaseClient& client);

    // CdsGenerico reaches DspGenerico in-process, as a provider of the same module.
    TLocalConnection m_genericProviders;
};
