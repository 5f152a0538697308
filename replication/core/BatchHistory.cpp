#include "BatchHistory.h"

#include "platform/types/DataPacket.h"

#include <QHashFunctions>

size_t qHash(const TDataPacket::TRowDigest& d, size_t seed)
{
    return d.A ^ seed;
}

bool TBatchHistory::HoldsNewRows(const TDataPacket& packet)
{
    m_pending.clear();
    m_pending.reserve(packet.RowCount());
    bool anyNew = false;
    for (int row = 0; row < packet.RowCount(); ++row) {
        const TDataPacket::TRowDigest d = packet.RowDigest(row);
        m_pending.append(d);
        anyNew = anyNew || !m_taken.contains(d);
    }
    return anyNew;
}

void TBatchHistory::Take()
{
    for (const TDataPacket::TRowDigest& d : std::as_const(m_pending))
        m_taken.insert(d);
    m_pending.clear();
}
