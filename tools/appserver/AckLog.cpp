#include "AckLog.h"

#include "StoreDatabase.h"

#include "platform/sql/SQLDataSet.h"

#include <QtEndian>

#include <cstring>

namespace {

// Upserts per block when a recognised batch is written into KAS_ACK: each
// counts against Firebird's limit of 255 contexts in one statement.
constexpr int kMarkChunk = 50;

} // namespace

void TAckLog::Journal(const QString& sqlName, qint32 reader, const QList<qint64>& rowIds, const QList<qint64>& seqs)
{
    // One row, committed before the answer: durable at the cost of one insert.
    QByteArray acked;
    acked.reserve(rowIds.size() * 16);
    for (qsizetype i = 0; i < rowIds.size(); ++i) {
        const qint64 pair[2] = {qToLittleEndian(rowIds[i]), qToLittleEndian(seqs[i])};
        acked.append(reinterpret_cast<const char*>(pair), sizeof pair);
    }
    TSQLDataSet& ds = m_database.Statement(QStringLiteral("INSERT INTO KAS_ACKLOG (ID, TABLENAME, PKFILIAL, ACKED) "
                                                          "VALUES (NEXT VALUE FOR KAS_GEN, :TN, :S, :A)"));
    SetParam(ds, u"TN", sqlName);
    SetParam(ds, u"S", reader);
    SetParam(ds, u"A", acked);
    ds.ExecSQL();
    m_pending = true;
}

void TAckLog::Apply()
{
    if (!m_pending)
        return;
    struct TEntry
    {
        qint64 Id;
        QString Table;
        qint32 Reader;
        QByteArray Acked;
    };
    QList<TEntry> entries;
    TSQLDataSet& list =
        m_database.Statement(QStringLiteral("SELECT ID, TABLENAME, PKFILIAL, ACKED FROM KAS_ACKLOG ORDER BY ID"));
    for (list.Open(); !list.Eof(); list.Next())
        entries.append({list.Fields(0).AsLargeInt(), list.Fields(1).AsString(), list.Fields(2).AsInteger(),
                        list.Fields(3).Value().toByteArray()});
    list.Close();
    // In order, each entry gone only once written: applying one twice after a
    // crash writes the same versions again.
    for (const TEntry& e : entries) {
        QList<qint64> rowIds, seqs;
        const qsizetype n = e.Acked.size() / 16;
        for (qsizetype i = 0; i < n; ++i) {
            qint64 pair[2];
            std::memcpy(pair, e.Acked.constData() + i * 16, sizeof pair);
            rowIds << qFromLittleEndian(pair[0]);
            seqs << qFromLittleEndian(pair[1]);
        }
        MarkAcknowledged(e.Table, e.Reader, rowIds, seqs);
        TSQLDataSet& done = m_database.Statement(QStringLiteral("DELETE FROM KAS_ACKLOG WHERE ID = :ID"));
        SetParam(done, u"ID", e.Id);
        done.ExecSQL();
    }
    m_pending = false;
}

void TAckLog::MarkAcknowledged(const QString& sqlName, qint32 reader, const QList<qint64>& rowIds,
                               const QList<qint64>& seqs)
{
    // One block of upserts per chunk: one statement and one commit for many rows.
    // The block's body names its inputs as ": NAME"; ":NAME" would make them
    // parameters of the statement itself.
    QStringList inputs, body;
    for (int r = 0; r < kMarkChunk; ++r) {
        inputs << QStringLiteral("R%1 BIGINT = :R%1, Q%1 BIGINT = :Q%1").arg(r);
        body << QStringLiteral(
                    "IF (R%1 IS NOT NULL) THEN UPDATE OR INSERT INTO KAS_ACK (TABLENAME, PKFILIAL, "
                    "ACKROWID, ACKSEQ) VALUES (: TN, : S, : R%1, : Q%1) MATCHING (TABLENAME, PKFILIAL, ACKROWID);")
                    .arg(r);
    }
    TSQLDataSet& ds =
        m_database.Statement(QStringLiteral("EXECUTE BLOCK (TN VARCHAR(63) = :TN, S INTEGER = :S, %1) AS BEGIN %2 END")
                                 .arg(inputs.join(QStringLiteral(", ")), body.join(u' ')));
    // Parameters in order of appearance: TN, S, R0, Q0, R1, Q1, ...
    TParams& params = ds.Params();
    const qsizetype n = rowIds.size();
    for (qsizetype start = 0; start < n; start += kMarkChunk) {
        params[0].Value = sqlName;
        params[1].Value = reader;
        for (int r = 0; r < kMarkChunk; ++r) {
            const qsizetype i = start + r;
            params[2 + 2 * r].Value = i < n ? QVariant(rowIds[i]) : QVariant(); // padding writes nothing
            params[3 + 2 * r].Value = i < n ? QVariant(seqs[i]) : QVariant();
        }
        ds.ExecSQL();
    }
}
