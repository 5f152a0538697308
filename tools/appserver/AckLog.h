#pragma once

#include <QList>
#include <QString>

class TStoreDatabase;

// The acknowledgement journal (KAS_ACKLOG). A batch a reader acknowledged
// whole is committed as one row before the answer, and reaches KAS_ACK later,
// while the client is busy, and always before anything reads KAS_ACK.
class TAckLog
{
public:
    explicit TAckLog(TStoreDatabase& database) : m_database(database) {}

    // Journals that `reader` took the rows `rowIds` of table `sqlName` in the
    // versions `seqs` (pairwise).
    void Journal(const QString& sqlName, qint32 reader, const QList<qint64>& rowIds, const QList<qint64>& seqs);
    // Writes the journalled acknowledgements into KAS_ACK, oldest first.
    void Apply();

private:
    void MarkAcknowledged(const QString& sqlName, qint32 reader, const QList<qint64>& rowIds,
                          const QList<qint64>& seqs);

    TStoreDatabase& m_database;
    bool m_pending = true; // KAS_ACKLOG may hold entries: at first whatever the last run left
};
