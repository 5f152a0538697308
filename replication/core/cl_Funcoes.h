#pragma once

#include <vector>

#include "config/Settings.h"
#include "platform/types/Exception.h"
#include "platform/types/FieldDefs.h"
#include "replication/core/CycleJournal.h"
#include "replication/core/ProgressWidgets.h"

#include <QList>
#include <QString>

#include <exception>
#include <memory>

class QTimer;
class TClientDataSet;
class IAppServer;
class TConnectionBroker;
class TParams;
class TSQLConnection;
class TSQLDataSet;
class TSocketConnection;

// File names of the configuration, in the program folder.
inline const QString ConfigIniName = QStringLiteral("Config.ini");
inline const QString ConfigPafIniName = QStringLiteral("ConfigKeltPAF.ini");

// The service object of every replication client: configuration reading, the
// replication log and statement texts. Each reading operation opens the INI
// file (folder + file name) anew, so an edit applies at the next read; a
// missing file or bad value yields the key's default, never an error. Its only
// state is the memory of the log files it wrote, for the cycle journal.
class TKeltBaseServerClient
{
public:
    virtual ~TKeltBaseServerClient() = default;

    // Closes the data set, then sets its rows per fetch ([CLIENTDATASET] PackedRecord, 1000).
    void ReadPacketRecords(const QString& folder, const QString& fileName, TClientDataSet& dataSet) const;
    // [CLIENTDATASET] TransacaoPorLote: 1 applies each received batch in one
    // transaction; anything else (default) every statement on its own.
    bool ReadTransacaoPorLote(const QString& folder, const QString& fileName) const;
    // Replaces all six fields from [FILIAL]; a UF of exactly "MG" reads as "CLARO_MG".
    void ReadDadosFilial(const QString& folder, const QString& fileName, TDadosFilial& dados) const;
    // Only codes followed by a comma count: "A,B," gives A and B, "A,B" only A.
    void SplitCdComta(const QString& text, TArrayCdComta& codes) const;
    // Stops the timer and sets its interval to [SINCRONIZACAO] TempoSincronizacao
    // minutes (60). The timer is not started again here. An interval of 0 means
    // the cycle never fires (a QTimer would fire continuously, so whoever starts
    // it must not start it); negative minutes read as 0.
    void ReadSyncInterval(const QString& folder, const QString& fileName, QTimer& timer) const;
    // Replaces both fields from [LOG]; monitoring is on only for the value 1.
    void ReadMonitoring(const QString& folder, const QString& fileName, TDadosMonitoramentoReplicacao& dados) const;
    // Closes the socket, then host and port from [SOCKET] (empty, 0), and its
    // TLS keys: TLS (1 on, else off), Fingerprint, CAFile (relative to `folder`).
    void ReadSocket(const QString& folder, const QString& fileName, TSocketConnection& socket) const;
    // As ReadSocket, from [SOCKET_PROPRIO] when that section holds a key.
    void ReadOwnSocket(const QString& folder, const QString& fileName, TSocketConnection& socket) const;
    // Closes the connection, login prompt off, parameters := the five [DB] values.
    void ReadDatabase(const QString& folder, const QString& fileName, TSQLConnection& connection) const;
    // Closes the connection, login prompt off, parameters := [LOG] DataBase and
    // the fixed user, password, character set and dialect of the log database.
    void ReadLogDatabase(const QString& folder, const QString& fileName, TSQLConnection& connection) const;

    // Writes one log file <folder>Log/Log_<filial>_<uf>_<table>_<dd_mm_yyyy>_XX_<hh_nn_ss>.ini
    // of seven CR LF lines in the system code page, replacing a file of the same
    // name. Raises EFCreateError when the Log folder is missing, when the table or
    // region could not stand in a file name (path separators, "..", characters
    // file names forbid) or when the file cannot be written. Never creates the folder.
    virtual void WriteLog(const QString& folder, const QString& step, const QString& table, const QString& cdContrato,
                          qint32 pkEmpresa, qint32 pkFilial, const QString& uf, const QString& message);
    // The log files WriteLog wrote since ClearWrittenLog, for the cycle journal:
    // the first under each table name, then the latest of all. Kept that short so
    // that a run logging row after row holds no list of them all.
    QList<TRunLogEntry> WrittenLog() const;
    void ClearWrittenLog();

    // Statement texts over the fields of a data set; values travel as parameters
    // named after the columns. Table and field names must be plain identifiers
    // (EInvalidIdentifier otherwise).
    QString BuildInsert(const QString& table, const TClientDataSet& dataSet) const;
    QString BuildSelectByKey(const QString& table, const TClientDataSet& dataSet) const;
    QString BuildUpdate(const QString& table, const TClientDataSet& dataSet) const;
    QString BuildInsert(const QString& table, const TFieldDefs& fields) const;
    QString BuildSelectByKey(const QString& table, const TFieldDefs& fields) const;
    QString BuildUpdate(const QString& table, const TFieldDefs& fields) const;

    // Registers `path` to start at the user's logon under `name` (the Run key on
    // Windows, an XDG autostart entry on Linux). Reports nothing on failure.
    void RegisterAutostart(const QString& name, const QString& path) const;
    // [LOG] DiasCiclos: days the cycle journal keeps (30; below 1 reads as 30).
    int ReadDiasCiclos(const QString& folder, const QString& fileName) const;

private:
    QList<TRunLogEntry> m_firstWritten; // one per table name
    std::optional<TRunLogEntry> m_lastWritten;
};

// Key columns of a replicated table as the change tracking names them: the
// first always exists, the second and third may be empty.
QString PkTabelaColumn(const QString& table);
QString PkTabela2Column(const QString& table);
QString PkTabela3Column(const QString& table);

// Locks the rows of `table` that a sent row stands for (:K1, :K2, :K3 named
// after the key columns). Run in the batch's snapshot transaction, it fails
// with an update conflict when another program changed such a row after the
// batch was read, so the batch is not settled and goes again.
QString LockSentRowStatement(const QString& table);

// Statement fragments over the fields in field order. The key condition holds
// the fields in the key or required; the SET list leaves out the fields that are
// both. Field names must be plain identifiers (EInvalidIdentifier otherwise).
QString ColumnList(const TFieldDefs& fields);
QString ParamList(const TFieldDefs& fields);
QString SetList(const TFieldDefs& fields);
QString KeyCondition(const TFieldDefs& fields);
QString ColumnList(const TClientDataSet& dataSet);
QString ParamList(const TClientDataSet& dataSet);
QString SetList(const TClientDataSet& dataSet);
QString KeyCondition(const TClientDataSet& dataSet);

// Fills every parameter from the source's field of the same name (type and
// current value; null stays null). Raises EDatabaseError "Field 'X' not found".
void CopyRowToParams(TParams& params, const TClientDataSet& source);
// The field of `defs` each parameter takes its value from, -1 where none: for
// copying the rows of one batch without looking every name up again.
std::vector<int> ParamFields(const TParams& params, const TFieldDefs& defs);
// CopyRowToParams with the fields found by ParamFields for the same parameters
// and the batch's fields.
void CopyRowToParams(TParams& params, const TClientDataSet& source, const std::vector<int>& fields);
void CopyRowToParams(TSQLDataSet& target, const TClientDataSet& source);

// Sets the standard provider parameters present in the collection (names
// compared upper-cased): PCDCONTRATO, PPKEMPRESA, PPKFILIAL, PUF, PPKULTIMO.
// Other parameters keep their values.
void SetStandardParams(TParams& params, TDadosFilial dados, qint32 lastKey);
void SetStandardParams(TClientDataSet& dataSet, TDadosFilial dados, qint32 lastKey);

// A provider and the data set behind it (upper-cased, the replicated table).
struct TProvider
{
    QString ProviderName;
    QString TableName;
    friend bool operator==(const TProvider&, const TProvider&) = default;
};
using TProviders = QList<TProvider>;

// The message of any exception a channel step catches: the text of the
// program's own exceptions, what() of any other.
QString ErrorText(const std::exception& e);

// A borrowed component a step needs; raises when the run did not wire it.
template <class T>
T& Wired(T* object, const char* what)
{
    if (!object)
        throw Exception(QStringLiteral("%1 is not wired").arg(QLatin1String(what)));
    return *object;
}

// Prepares a client data set for one opening of a provider: closed, pointed at
// `source` and `provider`, fetching on demand off, its parameters fetched from
// the provider and the standard ones filled with the identity and `lastKey`.
void PrepareProvider(TClientDataSet& dataSet, IAppServer& source, const QString& provider, const TDadosFilial& dados,
                     qint32 lastKey);

// Base of every replication client. Wiring (connections, data sets, widgets) is
// borrowed and set again before every run; the client owns only its service object.
class TKeltBaseClient
{
public:
    TKeltBaseClient();
    virtual ~TKeltBaseClient();
    TKeltBaseClient(const TKeltBaseClient&) = delete;
    TKeltBaseClient& operator=(const TKeltBaseClient&) = delete;

    const QString& ProgramFolder() const { return m_programFolder; }
    TKeltBaseServerClient& ServerClient() const { return *m_serverClient; }
    TSQLDataSet* LookupDataSet() const { return m_lookupDataSet; }
    TSQLDataSet* ExecDataSet() const { return m_execDataSet; }
    TSQLConnection* LocalConnection() const { return m_localConnection; }
    TSQLConnection* PafConnection() const { return m_pafConnection; }
    TSocketConnection* SocketConnection() const { return m_socketConnection; }
    TClientDataSet* ClientDataSet() const { return m_clientDataSet; }
    // Remote calls take these by reference and may overwrite them for the run.
    TDadosFilial& DadosFilial() { return m_dadosFilial; }
    const TDadosFilial& DadosFilial() const { return m_dadosFilial; }
    TConnectionBroker* Broker() const { return m_broker; }
    IProgressBar* ProgressBar() const { return m_progressBar; }
    ITableLabel* TableLabel() const { return m_tableLabel; }
    const TDadosMonitoramentoReplicacao& Monitoramento() const { return m_monitoramento; }
    const QString& LastError() const { return m_lastError; }
    // The log files written since ClearRunLog (see TKeltBaseServerClient::WrittenLog).
    QList<TRunLogEntry> RunLog() const { return m_serverClient->WrittenLog(); }
    void ClearRunLog() { m_serverClient->ClearWrittenLog(); }
    qint32 PkUltimo() const { return m_pkUltimo; }
    // Each received batch in one transaction ([CLIENTDATASET] TransacaoPorLote).
    bool TransacaoPorLote() const { return m_transacaoPorLote; }

    void SetBroker(TConnectionBroker* broker) { m_broker = broker; }
    void SetClientDataSet(TClientDataSet* dataSet) { m_clientDataSet = dataSet; }
    void SetTableLabel(ITableLabel* label) { m_tableLabel = label; }
    void SetProgressBar(IProgressBar* bar) { m_progressBar = bar; }
    void SetSocketConnection(TSocketConnection* socket) { m_socketConnection = socket; }
    void SetLookupDataSet(TSQLDataSet* dataSet) { m_lookupDataSet = dataSet; }
    void SetLocalConnection(TSQLConnection* connection) { m_localConnection = connection; }
    void SetPafConnection(TSQLConnection* connection) { m_pafConnection = connection; }
    void SetExecDataSet(TSQLDataSet* dataSet) { m_execDataSet = dataSet; }

    // Kept from one run to the next until a channel overwrites them.
    void SetLastError(const QString& text) { m_lastError = text; }
    void SetPkUltimo(qint32 key) { m_pkUltimo = key; }

    // Program folder, identity and monitoring from Config.ini, then the settings
    // of every wired connection object and the packet size.
    virtual void ReadConfiguration();

    // Greatest key of the table in the lower (store-carrier) or upper
    // (headquarters) key range, 0 when there is none. Runs on LookupDataSet,
    // which stays open. Raises EInvalidIdentifier for a table name that is not a
    // plain identifier and the database error of a missing table or column.
    qint32 LastKey(const QString& table, bool lower);

    // Start-up upkeep (LocalEnvironment.cpp): ReadConfiguration, AdjustVivoUf,
    // UpdateServerLists, then the FINANCEIROPENDENTE column of TBVENDA when
    // missing. Only the legacy file rewrite and the TBVERIFICAVERSAO purge
    // swallow their failures; any other raises and ends the upkeep.
    void PrepareLocalEnvironment();
    // [FILIAL] UF "VIVO_BA" becomes "VIVO_SE" when the branch's state is "SE".
    void AdjustVivoUf();
    // SGESTADO of the branch from TBFILIAL, empty when no row; on LookupDataSet, left open.
    QString BranchState(qint32 key);
    // The legacy file's endpoint, the tbResposta endpoint answers (existing rows
    // only) and the purge of the fiscal application's TBVERIFICAVERSAO.
    void UpdateServerLists();

protected:
    friend class TBatchEngine;

    // One replication log entry with the identity as it stands now (the server
    // may have rewritten it), or with the identity given. A table name that
    // could not stand in a file name (one from the server) is left out of the
    // name; the message says what happened.
    void Log(const QString& step, const QString& table, const QString& message);
    void LogAs(const QString& step, const QString& table, const QString& cdContrato, qint32 pkEmpresa,
               qint32 pkFilial, const QString& uf, const QString& message);

    // Step of PrepareLocalEnvironment: whether `table` has `column`, both
    // names compared upper-cased.
    bool ColumnExists(const QString& table, const QString& column);

    // The wired table label and progress bar, or stand-ins of the client's own
    // when none is wired; the current table is the label's text.
    ITableLabel& Label() { return m_tableLabel ? *m_tableLabel : m_ownLabel; }
    IProgressBar& Bar() { return m_progressBar ? *m_progressBar : m_ownBar; }
    QString CurrentTable() const { return m_tableLabel ? m_tableLabel->Caption() : m_ownLabel.Caption(); }
    // LastError := the server-failure text with the socket's host, port and
    // server name. Raises when no socket connection is wired.
    void SetServerFailure();
    // `rows` := the batch `text` (SetXMLData), its rows taken from ClientDataSet
    // when that still holds the batch the text was written from.
    void LoadBatch(TClientDataSet& rows, const QByteArray& text) const;
    // The local database as ExecDataSet reaches it: the connection whose
    // transaction spans a batch. Raises when ExecDataSet is not wired.
    TSQLConnection& LocalDatabase() const;
    // Locks the table rows the current row of `rows` stands for (see
    // LockSentRowStatement) on `ds`, but only inside a transaction of its
    // connection: alone the lock would end with its own statement.
    void LockSentRow(TSQLDataSet& ds, const QString& table, const TClientDataSet& rows) const;

    QString m_programFolder;
    std::unique_ptr<TKeltBaseServerClient> m_serverClient;
    TSQLDataSet* m_lookupDataSet = nullptr;
    TSQLDataSet* m_execDataSet = nullptr;
    TSQLConnection* m_localConnection = nullptr;
    TSQLConnection* m_pafConnection = nullptr;
    TSocketConnection* m_socketConnection = nullptr;
    TClientDataSet* m_clientDataSet = nullptr;
    TDadosFilial m_dadosFilial;
    TConnectionBroker* m_broker = nullptr;
    IProgressBar* m_progressBar = nullptr;
    ITableLabel* m_tableLabel = nullptr;
    TDadosMonitoramentoReplicacao m_monitoramento;
    QString m_lastError;
    qint32 m_pkUltimo = 0;
    bool m_transacaoPorLote = false;
    TTextHolder m_ownLabel;
    TPlainProgressBar m_ownBar;
};

// The short-lived client of the start-up upkeep.
class TKeltTarefa : public TKeltBaseClient
{
};
