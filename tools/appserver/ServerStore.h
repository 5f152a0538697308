#pragma once

#include "Faults.h"

#include "platform/types/DataPacket.h"
#include "platform/types/FieldDefs.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <deque>
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

// The three catalogue objects each keep their own tables: the same table name
// may be carrier data for stores and master data between branches at once.
enum class TBook
{
    Cad,  // KeltCadServer.coKeltCadServer: carrier data loaded by the operator, per store
    CadM, // KeltCadMServer5.coKeltCadMServer5: master data headquarters sends, per destination branch
    MovM, // KeltMovMServer5.coKeltMovMServer5: transactions branches send, for headquarters
};

QString BookObject(TBook book); // the server object's name
// From the server object's name or its short form ("cad", "cadm", "movm").
std::optional<TBook> BookFromName(QStringView name);

// A table one catalogue object serves.
struct TServedTable
{
    TBook Book = TBook::Cad;
    QString Table;    // as the clients name it: upper case, a plain identifier
    QString SqlName;  // its table in the server's database: Table, "CM$" or "MM$" + Table
    QString Provider; // the provider that serves it
    TFieldDefs Fields;
    QStringList Keys;    // the fields a row is found by (its primary key on the server)
    QStringList OrderBy; // the order rows are served in: the keys, condition items by header first
    QString PageKey;     // the key paged by PPKULTIMO (serial prices, carrier promotions); else empty
    int Order = 0;       // creation order, also names its trigger

    bool Paged() const { return !PageKey.isEmpty(); }
};

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

    const QList<TServedTable>& Tables() const { return m_tables; }
    const TServedTable* FindTable(TBook book, QStringView table) const;
    const TServedTable* FindProvider(TBook book, QStringView provider) const;

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
    struct TServedRows
    {
        TDataPacket Packet;
        QByteArray Text;        // the packet's XML text (UTF-8)
        bool ReadAhead = false; // prepared while the client wrote the batch before
    };
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
    struct TAcknowledged
    {
        int Marked = 0;          // rows marked
        int Rows = 0;            // rows in the packet
        bool Recognised = false; // the batch last served, taken without searching the table
    };
    TAcknowledged Acknowledge(const TServedTable& table, qint32 store, const QByteArray& packetText);

    QList<TFault> LoadFaults();
    int SaveFault(const TFault& fault); // returns the new id
    void DeleteFault(int id);
    void ClearFaults();

    // Runs one statement on the server's database: a SELECT answers its rows as
    // tab-separated lines with a header, anything else "N row(s) affected".
    QString ExecSql(const QString& statement);

private:
    // What the server knows about one reader of one table, kept in memory
    // only: the database stays the truth (KAS_ACK), and a restart merely
    // starts without it.
    struct TServedBatch
    {
        int Count = 0;          // rows asked for (-1 all)
        qint64 Generation = 0;  // KAS_GEN before the rows were read
        quint64 Epoch = 0;      // the table's write epoch then
        QList<qint64> RowIds;   // in served order
        QList<qint64> Seqs;     // the versions served
        QList<QVariant> LastKey; // order key of the last row
        TServedRows Rows;
    };
    struct TReaderState
    {
        // No row up to CursorKey (in the table's order) is pending for the
        // reader, except rows written after CursorGeneration.
        bool HasCursor = false;
        QList<QVariant> CursorKey;
        qint64 CursorGeneration = 0;
        quint64 CursorEpoch = 0; // the table's write epoch when the cursor was set
        std::optional<TServedBatch> Served; // last batch handed out, not yet acknowledged
        std::optional<TServedBatch> Ahead;  // the batch after Served, read ahead
        bool AheadReady = false;            // Served was acknowledged whole: Ahead is next
    };
    TReaderState& ReaderState(const TServedTable& t, qint32 store);
    bool UsesCursor(const TServedTable& t) const;
    qint64 Generation();
    TServedBatch ReadBatch(const TServedTable& t, qint32 store, int count, const TReaderState& state,
                           const QList<QVariant>* after);
    // A batch acknowledged whole goes into the journal KAS_ACKLOG (one row) and
    // reaches KAS_ACK later, while the client is busy, and always before
    // anything reads KAS_ACK.
    void JournalAcknowledged(const TServedTable& t, qint32 reader, const TServedBatch& batch);
    void ApplyAckLog();
    void ApplyJournals(); // the packets taken, then the acknowledgements
    const TServedTable& PrepareLoad(TBook book, const QString& table, const QString& provider,
                                    const TDataPacket& packet);
    void WriteRows(const TServedTable& t, const TDataPacket& packet, qint32 store);
    static QList<int> RowsToWrite(const TServedTable& t, const TDataPacket& packet);
    void WriteChunk(const TServedTable& t, const TDataPacket& packet, const QList<int>& rows, qsizetype start,
                    qint32 store);
    void RequireStorable(const TServedTable& t, const TDataPacket& packet);
    void MarkAcknowledged(const QString& sqlName, qint32 reader, const TServedBatch& batch);
    void TableWritten(const QString& sqlName);
    void ForgetReaders() { m_readers.clear(); }

    void EnsureSchema();
    void ReadTables();
    const TServedTable& CreateTable(TBook book, const QString& table, const QString& provider,
                                    const TFieldDefs& fields);
    QString PendingWhere(const TServedTable& t, bool ignoreAcks, bool paged) const;
    TDataPacket SelectRows(const TServedTable& t, const QString& where, qint32 store, int count, qint64 pkUltimo);
    TSQLDataSet& Statement(const QString& text); // a prepared statement kept for reuse

    QString m_path;
    std::unique_ptr<TSQLConnection> m_connection;
    std::vector<std::pair<QString, std::unique_ptr<TSQLDataSet>>> m_statements;
    QList<TServedTable> m_tables;
    QHash<QString, TReaderState> m_readers;  // by table and reader
    QHash<QString, quint64> m_writeEpochs;   // by table: grows with every write through the server
    bool m_ackLogPending = false;            // KAS_ACKLOG may hold entries
    bool m_storeLogPending = false;          // KAS_STORELOG may hold entries
    // The journal entry being written, chunk by chunk.
    struct TStoreLogEntry
    {
        qint64 Id = 0;
        QString SqlName;
        qint32 Store = 0;
        TDataPacket Packet;
        QList<int> Rows; // to write, in packet order
        qsizetype Next = 0;
    };
    std::optional<TStoreLogEntry> m_storeLogEntry;
    // Packets just taken, as read at the call, oldest first (at most kTakenKept).
    std::deque<TStoreLogEntry> m_taken;
    static constexpr size_t kTakenKept = 4;
};
