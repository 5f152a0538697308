#pragma once

#include "ServerCatalogue.h"

#include <QByteArray>

#include <deque>
#include <optional>

class TRowStore;
class TStoreDatabase;

// The store journal (KAS_STORELOG) of Inseri_No_Servidor: a packet taken is
// committed as one row before the answer and written into its table later,
// chunk by chunk, while the client is busy and before anything reads the table.
class TStoreLog
{
public:
    TStoreLog(TStoreDatabase& database, TServerCatalogue& catalogue, TRowStore& rows)
        : m_database(database), m_catalogue(catalogue), m_rows(rows)
    {
    }

    // Checks the packet as a load would, refuses values a column cannot take,
    // then journals the packet text. Returns the rows taken.
    int Journal(TBook book, const QString& table, TDataPacket packet, const QByteArray& text, qint32 store);
    // Writes the journalled packets in the order they came. Raises
    // EDatabaseError naming the entry when one cannot be written; it stays in
    // the journal and is tried again by the next read.
    void Apply();
    // The same, one chunk of rows per call: true while work remains.
    bool ApplyStep();

private:
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

    TStoreDatabase& m_database;
    TServerCatalogue& m_catalogue;
    TRowStore& m_rows;
    bool m_pending = true; // KAS_STORELOG may hold entries: at first whatever the last run left
    std::optional<TStoreLogEntry> m_entry;
    // Packets just taken, as read at the call, oldest first (at most kTakenKept).
    std::deque<TStoreLogEntry> m_taken;
    static constexpr size_t kTakenKept = 4;
};
