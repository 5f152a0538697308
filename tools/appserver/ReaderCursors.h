#pragma once

#include "ServerCatalogue.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QVariant>

#include <optional>

class TAckLog;
class TRowStore;
class TStoreDatabase;
class TStoreLog;

// What the server remembers about each reader of each table between calls:
// the batch last served, so that its acknowledgement is taken without
// searching the table, a cursor up to which nothing is pending, and the batch
// after it read ahead while the client is busy. Kept in memory only: the
// database stays the truth (KAS_ACK), and a restart merely starts without it.
class TReaderCursors
{
public:
    struct TServedRows
    {
        TDataPacket Packet;
        QByteArray Text;        // the packet's XML text (UTF-8)
        bool ReadAhead = false; // prepared while the client wrote the batch before
    };
    struct TAcknowledged
    {
        int Marked = 0;          // rows marked
        int Rows = 0;            // rows in the packet
        bool Recognised = false; // the batch last served, taken without searching the table
    };

    TReaderCursors(TStoreDatabase& database, const TServerCatalogue& catalogue, TRowStore& rows, TStoreLog& storeLog,
                   TAckLog& ackLog)
        : m_database(database), m_catalogue(catalogue), m_rows(rows), m_storeLog(storeLog), m_ackLog(ackLog)
    {
    }

    // See TServerStore for these.
    TServedRows Serve(const TServedTable& t, qint32 store, int count, qint64 pkUltimo, bool ignoreAcks);
    void ReadAhead(TBook book, const QString& table, qint32 store);
    int AcknowledgeRows(const TServedTable& t, qint32 store, const TDataPacket& packet);
    TAcknowledged Acknowledge(const TServedTable& t, qint32 store, const QByteArray& packetText);
    // Drops every cursor and batch, as after a change behind the readers' backs.
    void ForgetReaders() { m_readers.clear(); }

private:
    struct TServedBatch
    {
        int Count = 0;           // rows asked for (-1 all)
        qint64 Generation = 0;   // KAS_GEN before the rows were read
        quint64 Epoch = 0;       // the table's write epoch then
        QList<qint64> RowIds;    // in served order
        QList<qint64> Seqs;      // the versions served
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
        quint64 CursorEpoch = 0;            // the table's write epoch when the cursor was set
        std::optional<TServedBatch> Served; // last batch handed out, not yet acknowledged
        std::optional<TServedBatch> Ahead;  // the batch after Served, read ahead
        bool AheadReady = false;            // Served was acknowledged whole: Ahead is next
    };

    TReaderState& ReaderState(const TServedTable& t, qint32 store);
    bool UsesCursor(const TServedTable& t) const;
    qint64 Generation();
    TServedBatch ReadBatch(const TServedTable& t, qint32 store, int count, const TReaderState& state,
                           const QList<QVariant>* after);
    void ApplyJournals(); // the packets taken, then the acknowledgements

    TStoreDatabase& m_database;
    const TServerCatalogue& m_catalogue;
    TRowStore& m_rows;
    TStoreLog& m_storeLog;
    TAckLog& m_ackLog;
    QHash<QString, TReaderState> m_readers; // by table and reader
};
