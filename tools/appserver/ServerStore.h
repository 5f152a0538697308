#pragma once

#include "Faults.h"

#include "platform/data/DataPacket.h"
#include "platform/data/FieldDefs.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

class TSQLConnection;
class TSQLDataSet;

// A store (branch) the server accepts, found by its contract code and PKFILIAL.
// The New* values, when set, are written back into the identity arguments of
// Conecta_No_Banco.
struct TInstallation
{
    QString CdContrato;
    qint32 PkEmpresa = 0;
    qint32 PkFilial = 0;
    QString UF;
    std::optional<QString> NewCdContrato;
    std::optional<qint32> NewPkEmpresa;
    std::optional<qint32> NewPkFilial;
    std::optional<QString> NewUF;
};

// A carrier master-data table as loaded from data packets.
struct TCarrierTable
{
    QString Table;    // upper case, a plain identifier
    QString Provider; // the provider that serves it
    TFieldDefs Fields;
    QStringList Keys; // fields with the in-key flag, in field order
    QString PageKey;  // TBPRECOSERIAL and TBPROMOCAO: the key paged by PPKULTIMO; else empty
    int Order = 0;    // load order, also names its trigger

    bool Paged() const { return !PageKey.isEmpty(); }
};

// What the server keeps, in its own embedded Firebird database (created on
// first use): installations, the carrier tables with their rows, which rows each
// store has acknowledged, and the fault switches.
//
// Every carrier row has an audience (KAS_STORE: 0 for every store, else one
// PKFILIAL), a stable row id and a version that grows whenever the row is
// written. A row is pending for a store while the store has not acknowledged
// that version of it.
class TServerStore
{
public:
    // Opens the database, creating the file and the server's own tables when
    // they are missing. Raises EDatabaseError (for example when another process
    // holds the file).
    explicit TServerStore(const QString& path);
    ~TServerStore();
    TServerStore(const TServerStore&) = delete;
    TServerStore& operator=(const TServerStore&) = delete;

    const QString& Path() const { return m_path; }

    // Adds the installation or replaces the one with the same contract and PKFILIAL.
    void AddInstallation(const TInstallation& installation);
    std::optional<TInstallation> FindInstallation(const QString& cdContrato, qint32 pkFilial);
    QList<TInstallation> Installations();

    // Loads the rows of a packet into `table` for one store (0: every store),
    // creating the table from the packet's fields on first use; later packets
    // must have the same fields. A row with a key already there is replaced
    // and becomes pending again. `provider` empty: "Dsp" + the name without
    // its "TB" ("TBALIQUOTA" gives "DspAliquota"). Returns the rows loaded.
    int LoadPacket(const QString& table, const QString& provider, const TDataPacket& packet, qint32 store);

    const QList<TCarrierTable>& Tables() const { return m_tables; }
    const TCarrierTable* FindTable(QStringView table) const;
    const TCarrierTable* FindProvider(QStringView provider) const;

    // The tables whose rows (acknowledged or not) include rows for `store`: the
    // providers that store is offered, in load order.
    QStringList TablesFor(qint32 store);
    // Rows pending for `store`; for a paged table only keys above `pkUltimo`.
    qint64 PendingCount(const TCarrierTable& table, qint32 store, qint64 pkUltimo);
    // At most `count` of them (-1: all, 0: none) in key order, with the table's
    // field definitions. `ignoreAcks` serves acknowledged rows too and ignores `pkUltimo`.
    TDataPacket PendingRows(const TCarrierTable& table, qint32 store, int count, qint64 pkUltimo,
                            bool ignoreAcks = false);
    // Marks the rows of `packet` (found by the table's key fields) as taken by
    // `store`. Raises EDatabaseError when the packet lacks a key field. Returns
    // the rows marked (keys the server does not hold are skipped).
    int Acknowledge(const TCarrierTable& table, qint32 store, const TDataPacket& packet);

    QList<TFault> LoadFaults();
    int SaveFault(const TFault& fault); // returns the new id
    void DeleteFault(int id);
    void ClearFaults();

    // Runs one statement on the server's database: a SELECT answers its rows as
    // tab-separated lines with a header, anything else "N row(s) affected".
    QString ExecSql(const QString& statement);

private:
    void EnsureSchema();
    void ReadTables();
    void CreateTable(const QString& table, const QString& provider, const TFieldDefs& fields);
    QString PendingWhere(const TCarrierTable& t, bool ignoreAcks, bool paged) const;
    TSQLDataSet& Statement(const QString& text); // a prepared statement kept for reuse

    QString m_path;
    std::unique_ptr<TSQLConnection> m_connection;
    std::vector<std::pair<QString, std::unique_ptr<TSQLDataSet>>> m_statements;
    QList<TCarrierTable> m_tables;
};
