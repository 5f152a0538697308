#pragma once

#include <QList>
#include <QSet>

#include <cstddef>

class TDataPacket;

// The rows one table's run has handed over (sent, or written and acknowledged),
// told apart by 128 bits of their stored bytes. A batch holding nothing else
// would only repeat an earlier pass: its marks could not be settled, or the
// server offers again what it was told it may drop. A chance repeat of a digest
// only ends the table early (logged, tried again next run), and this is many
// times cheaper than a cryptographic hash.
class TBatchHistory
{
public:
    // True when `packet` holds a row not handed over before in this run. Its
    // digests wait for Take.
    bool HoldsNewRows(const TDataPacket& packet);
    // The rows of the last packet checked were handed over.
    void Take();

    struct TDigest
    {
        size_t A = 0, B = 0;
        bool operator==(const TDigest&) const = default;
    };

private:
    QSet<TDigest> m_taken;
    QList<TDigest> m_pending;
};

size_t qHash(const TBatchHistory::TDigest& d, size_t seed = 0);
