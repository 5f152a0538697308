#pragma once

#include "ServerCatalogue.h"

#include <QHash>

class TStoreDatabase;

// The rows of the served tables: writing packets into them and selecting the
// rows pending for a reader (not acknowledged in KAS_ACK in their version).
// It reads the tables as they are: the journals are the caller's to apply
// first.
class TRowStore
{
public:
    // Rows per upsert statement: one statement, and one commit, per chunk rather
    // than per row. Each row is a member of a UNION. Writing costs the same per
    // row from about ten rows on, while preparing the statement grows with its
    // size (100 rows of 53 fields: 0.3 s) and a call arriving waits for the chunk
    // in hand.
    static constexpr int kUpsertChunk = 10;

    TRowStore(TStoreDatabase& database, const TServerCatalogue& catalogue)
        : m_database(database), m_catalogue(catalogue)
    {
    }

    // The rows of `packet` to write, in packet order: a key sent twice keeps its last row.
    static QList<int> RowsToWrite(const TServedTable& t, const TDataPacket& packet);
    // Writes the rows from `start` on, one chunk. Each row's store: master data
    // its PKFILIALDESTINO, otherwise `store`.
    void WriteChunk(const TServedTable& t, const TDataPacket& packet, const QList<int>& rows, qsizetype start,
                    qint32 store);
    void WriteRows(const TServedTable& t, const TDataPacket& packet, qint32 store);
    // Refuses a value the table's column cannot keep (EDatabaseError).
    void RequireStorable(const TServedTable& t, const TDataPacket& packet);

    // Grows with every write to the table through the server, so that what a
    // reader was handed can tell whether the table changed since.
    void TableWritten(const QString& sqlName) { ++m_writeEpochs[sqlName]; }
    quint64 WriteEpoch(const QString& sqlName) const { return m_writeEpochs.value(sqlName); }

    // See TServerStore for these.
    QStringList TablesFor(TBook book, qint32 store);
    qint64 PendingCount(const TServedTable& t, qint32 store, qint64 pkUltimo);
    TDataPacket PendingRows(const TServedTable& t, qint32 store, int count, qint64 pkUltimo, bool ignoreAcks);
    TDataPacket AllRows(const TServedTable& t);
    qint64 LastPageKey(const TServedTable& t);
    // Marks the rows of `packet`, found by the table's key fields, as taken in
    // their current version (KAS_ACK). Returns the rows marked.
    int Acknowledge(const TServedTable& t, qint32 store, const TDataPacket& packet);

    // The condition (on rows as "r") for rows pending for the reader :S of
    // table :TN, with keys above :PKULTIMO when `paged`.
    QString PendingWhere(const TServedTable& t, bool ignoreAcks, bool paged) const;

private:
    TDataPacket SelectRows(const TServedTable& t, const QString& where, qint32 store, int count, qint64 pkUltimo);

    TStoreDatabase& m_database;
    const TServerCatalogue& m_catalogue;
    QHash<QString, quint64> m_writeEpochs; // by table
};
