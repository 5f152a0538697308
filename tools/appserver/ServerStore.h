#pragma once

#include "AckLog.h"
#include "FaultStore.h"
#include "Installations.h"
#include "ReaderCursors.h"
#include "RowStore.h"
#include "ServerCatalogue.h"
#include "StoreDatabase.h"
#include "StoreLog.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// What the server keeps, in its own embedded Firebird database (created on
// first use): installations, the tables of the catalogue objects with their
// rows, which rows each reader has acknowledged, and the fault switches.
//
// Every row has a stable row id, a version that grows whenever the row is
// written, and a store (KAS_STORE): for the carrier and master data its
// audience (0 every store, else one PKFILIAL), for transactions the branch that
// sent it. A row is pending for a reader while the reader has not acknowledged
// that version of it. Transactions have one reader, headquarters, whichever
// installation it is: their acknowledgements are kept under store 0 and every
// `store` argument is ignored for them.
//
// The work is done by its parts: TStoreDatabase (the file, the KAS_ tables,
// prepared statements), TServerCatalogue (the served tables), TRowStore
// (writing and selecting rows), TStoreLog and TAckLog (the journals written
// behind the answers), TReaderCursors (what each reader was served and what is
// read ahead), TInstallationStore and TFaultStore.
class TServerStore
{
public:
    // Opens the database, creating the file and the server's own tables when
    // they are missing. Raises EDatabaseError (for example when another process
    // holds the file). Without `createWhenMissing` a local file that is not
    // there raises Exception and nothing is created.
    explicit TServerStore(const QString& path, bool createWhenMissing = true);
    ~TServerStore();
    TServerStore(const TServerStore&) = delete;
    TServerStore& operator=(const TServerStore&) = delete;

    const QString& Path() const { return m_path; }

    // Adds the installation or replaces the one with the same contract and PKFILIAL.
    void AddInstallation(const TInstallation& installation);
    std::optional<TInstallation> FindInstallation(const QString& cdContrato, qint32 pkFilial);
    QList<TInstallation> Installations();

    // Stores the rows of a packet in `book`'s table, creating the table from
    // the packet's fields on first use; later packets must have the same
    // fields. A row whose key is already there is replaced and becomes pending
    // again. The packet is checked whole before anything is written; a packet
    // the server cannot keep raises EDatabaseError and stores nothing. Each
    // row's store: master data its PKFILIALDESTINO, otherwise `store`.
    // `provider` empty: the master-data catalogue's name for the table, else
    // "Dsp" + the name without its "TB" ("TBALIQUOTA" gives "DspAliquota").
    // Returns the rows stored.
    int LoadPacket(TBook book, const QString& table, const QString& provider, const TDataPacket& packet,
                   qint32 store);
    int LoadPacket(const QString& table, const QString& provider, const TDataPacket& packet, qint32 store)
    {
        return LoadPacket(TBook::Cad, table, provider, packet, store);
    }

    // Inseri_No_Servidor: the same checks as LoadPacket, then the packet text
    // is committed to a journal (KAS_STORELOG) and written into its table
    // later, by ApplyStoreLog, which runs while the client is busy and before
    // anything reads the table. Values a column cannot take are refused here,
    // so a packet taken is a packet the table will hold.
    int JournalPacket(TBook book, const QString& table, TDataPacket packet, const QByteArray& text, qint32 store);
    // Writes the journalled packets in the order they came. Raises
    // EDatabaseError naming the entry when one cannot be written; it stays in
    // the journal and is tried again by the next read.
    void ApplyStoreLog();
    // The same, one chunk of rows per call, for the time between calls:
    // true while work remains.
    bool ApplyStoreLogStep();

    const QList<TServedTable>& Tables() const { return m_catalogue.Tables(); }
    const TServedTable* FindTable(TBook book, QStringView table) const { return m_catalogue.FindTable(book, table); }
    const TServedTable* FindProvider(TBook book, QStringView provider) const
    {
        return m_catalogue.FindProvider(book, provider);
    }

    // The tables offered to `store`, in creation order: for the carrier those
    // holding rows for it (acknowledged or not), otherwise those with rows
    // pending for it.
    QStringList TablesFor(TBook book, qint32 store);
    // Rows pending for `store`; for a paged table only keys above `pkUltimo`.
    qint64 PendingCount(const TServedTable& table, qint32 store, qint64 pkUltimo);
    // At most `count` of them (-1: all, 0: none) in the table's order, with the
    // table's field definitions. `ignoreAcks` serves acknowledged rows too and
    // ignores `pkUltimo`.
    TDataPacket PendingRows(const TServedTable& table, qint32 store, int count, qint64 pkUltimo,
                            bool ignoreAcks = false);
    // The same rows with their packet text, as AS_GetRecords serves them. The
    // server remembers the batch so that its acknowledgement, the same rows
    // again, is taken without searching the table, and may have read it ahead
    // (see ReadAhead).
    using TServedRows = TReaderCursors::TServedRows;
    TServedRows ServeRows(const TServedTable& table, qint32 store, int count, qint64 pkUltimo,
                          bool ignoreAcks = false);
    // Prepares the batch that follows the one last served to `store` from the
    // table (by table name, since the list of tables may have been re-read), to
    // be served once that batch is acknowledged whole. Any write to the table,
    // any other acknowledgement by the reader and any operator statement
    // discards it, so a batch read ahead never holds a row that is no longer
    // pending.
    void ReadAhead(TBook book, const QString& table, qint32 store);
    // Every stored row, in the table's order.
    TDataPacket AllRows(const TServedTable& table);
    // The greatest page key held (0 for none or a table that is not paged).
    qint64 LastPageKey(const TServedTable& table);
    // Marks the rows of `packet` (found by the table's key fields) as taken by
    // `store`. Raises EDatabaseError when the packet lacks a key field. Returns
    // the rows marked (keys the server does not hold are skipped).
    int Acknowledge(const TServedTable& table, qint32 store, const TDataPacket& packet);
    // The same for packet text as it came. The batch last served to the reader
    // (the same text, or the same keys in the same order) is taken as served:
    // its versions are journalled in one committed row, and rows written since
    // it was served stay pending. Any other packet is marked as above.
    using TAcknowledged = TReaderCursors::TAcknowledged;
    TAcknowledged Acknowledge(const TServedTable& table, qint32 store, const QByteArray& packetText);

    QList<TFault> LoadFaults();
    int SaveFault(const TFault& fault); // returns the new id
    void DeleteFault(int id);
    void ClearFaults();

    // Runs one statement on the server's database: a SELECT answers its rows as
    // tab-separated lines with a header, anything else "N row(s) affected".
    QString ExecSql(const QString& statement);

private:
    void ApplyJournals(); // the packets taken, then the acknowledgements

    // In order of construction: every part works on the one database.
    QString m_path;
    TStoreDatabase m_database;
    TServerCatalogue m_catalogue;
    TRowStore m_rows;
    TStoreLog m_storeLog;
    TAckLog m_ackLog;
    TReaderCursors m_cursors;
    TInstallationStore m_installations;
    TFaultStore m_faults;
};
