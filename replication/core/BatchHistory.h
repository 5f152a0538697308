#pragma once

#include "platform/types/DataPacket.h"

#include <QList>
#include <QSet>

#include <cstddef>

// The rows one table's run has handed over (sent, or written and acknowledged),
// told apart by 128 bits of their values. A batch holding nothing else
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

private:
    QSet<TDataPacket::TRowDigest> m_taken;
    QList<TDataPacket::TRowDigest> m_pending;
};

size_t qHash(const TDataPacket::TRowDigest& d, size_t seed = 0);
