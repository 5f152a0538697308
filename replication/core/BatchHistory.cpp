#include "BatchHistory.h"

#include "platform/data/DataPacket.h"

#include <QByteArray>
#include <QHashFunctions>

size_t qHash(const TBatchHistory::TDigest& d, size_t seed)
{
    return d.A ^ seed;
}

bool TBatchHistory::HoldsNewRows(const TDataPacket& packet)
{
    m_pending.clear();
    m_pending.reserve(packet.RowCount());
    bool anyNew = false;
    QByteArray scratch;
    scratch.reserve(4096);
    for (int row = 0; row < packet.RowCount(); ++row) {
        scratch.clear();
        packet.AppendRowBytes(row, scratch);
        const TDigest d{qHashBits(scratch.constData(), size_t(scratch.size()), 0x9e3779b9u),
                        qHashBits(scratch.constData(), size_t(scratch.size()), 0x85ebca6bu)};
        m_pending.append(d);
        anyNew = anyNew || !m_taken.contains(d);
    }
    return anyNew;
}

void TBatchHistory::Take()
{
    for (const TDigest& d : std::as_const(m_pending))
        m_taken.insert(d);
    m_pending.clear();
}
