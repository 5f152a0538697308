#include "ReaderCursors.h"

#include "AckLog.h"
#include "RowStore.h"
#include "StoreDatabase.h"
#include "StoreLog.h"

#include "platform/sql/SQLDataSet.h"

#include <limits>

namespace {

// "Comes after the cursor :C0, :C1, ... in key order". The bound on the leading
// key lets the primary key index start there instead of at the table's first row.
QString AfterCursor(const TServedTable& t)
{
    QString cond;
    for (qsizetype i = t.Keys.size() - 1; i >= 0; --i) {
        const QString k = QStringLiteral("r.") + t.Keys[i];
        const QString c = QStringLiteral(":C%1").arg(i);
        cond = cond.isEmpty() ? QStringLiteral("%1 > %2").arg(k, c)
                              : QStringLiteral("(%1 > %2 OR (%1 = %2 AND %3))").arg(k, c, cond);
    }
    return QStringLiteral("r.%1 >= :C0 AND %2").arg(t.Keys[0], cond);
}

} // namespace

void TReaderCursors::ApplyJournals()
{
    m_storeLog.Apply();
    m_ackLog.Apply();
}

int TReaderCursors::AcknowledgeRows(const TServedTable& t, qint32 store, const TDataPacket& packet)
{
    ApplyJournals();
    // Rows read ahead may be among those taken now: they are read again.
    TReaderState& state = ReaderState(t, store);
    state.Served.reset();
    state.Ahead.reset();
    state.AheadReady = false;
    return m_rows.Acknowledge(t, store, packet);
}

TReaderCursors::TAcknowledged TReaderCursors::Acknowledge(const TServedTable& t, qint32 store,
                                                          const QByteArray& packetText)
{
    TReaderState& state = ReaderState(t, store);
    const quint64 epoch = m_rows.WriteEpoch(t.SqlName);
    const bool current = state.Served && !state.Served->RowIds.isEmpty();
    // The batch just served, sent back as it came: its row ids and the versions
    // served are known. Rows written since stay pending in their new version.
    bool whole = current && packetText == state.Served->Rows.Text;
    std::optional<TDataPacket> parsed;
    if (!whole) {
        parsed = TDataPacket::FromXml(packetText);
        // The same rows re-encoded by the client are the same batch too.
        if (current && parsed->RowCount() == state.Served->RowIds.size() &&
            parsed->Fields().size() == state.Served->Rows.Packet.Fields().size()) {
            whole = true;
            const TDataPacket& served = state.Served->Rows.Packet;
            QList<QPair<int, int>> keyFields;
            for (const QString& k : t.Keys)
                keyFields.append({IndexOfField(parsed->Fields(), k), IndexOfField(served.Fields(), k)});
            for (int r = 0; whole && r < parsed->RowCount(); ++r)
                for (const auto& [mine, theirs] : keyFields)
                    if (mine < 0 || theirs < 0 ||
                        VariantText(parsed->Value(r, mine)) != VariantText(served.Value(r, theirs))) {
                        whole = false;
                        break;
                    }
        }
    }
    TAcknowledged result;
    result.Rows = parsed ? parsed->RowCount() : int(state.Served->RowIds.size());
    if (!whole) {
        result.Marked = AcknowledgeRows(t, store, *parsed);
        return result;
    }
    m_ackLog.Journal(t.SqlName, t.Reader(store), state.Served->RowIds, state.Served->Seqs);
    result.Marked = int(state.Served->RowIds.size());
    result.Recognised = true;
    // Every row pending up to the batch's last key was in the batch; rows
    // written since are found by their version.
    state.HasCursor = true;
    state.CursorKey = state.Served->LastKey;
    state.CursorGeneration = state.Served->Generation;
    state.CursorEpoch = state.Served->Epoch;
    state.AheadReady = state.Ahead && state.Ahead->Epoch == epoch;
    state.Served.reset();
    return result;
}

bool TReaderCursors::UsesCursor(const TServedTable& t) const
{
    // Pages by key need an order without NULLs: the primary key alone.
    return !t.Paged() && !t.Keys.isEmpty() && t.OrderBy == t.Keys;
}

TReaderCursors::TReaderState& TReaderCursors::ReaderState(const TServedTable& t, qint32 store)
{
    return m_readers[t.SqlName + u'|' + QString::number(t.Reader(store))];
}

qint64 TReaderCursors::Generation()
{
    TSQLDataSet& ds = m_database.Statement(QStringLiteral("SELECT GEN_ID(KAS_GEN, 0) FROM RDB$DATABASE"));
    ds.Open();
    const qint64 g = ds.Fields(0).AsLargeInt();
    ds.Close();
    return g;
}

TReaderCursors::TServedBatch TReaderCursors::ReadBatch(const TServedTable& t, qint32 store, int count,
                                                       const TReaderState& state, const QList<QVariant>* after)
{
    TServedBatch batch;
    batch.Count = count;
    batch.Epoch = m_rows.WriteEpoch(t.SqlName);
    batch.Generation = Generation();
    batch.Rows.Packet = TDataPacket(t.Fields);
    QStringList columns;
    for (const TFieldDef& f : t.Fields)
        columns << QStringLiteral("r.") + f.Name;
    columns << QStringLiteral("r.KAS_ROWID") << QStringLiteral("r.KAS_SEQ");
    QStringList order;
    for (const QString& k : t.OrderBy)
        order << QStringLiteral("r.") + k;
    const QString pending = m_rows.PendingWhere(t, false, false);
    const auto select = [&](const QString& where, const QList<QVariant>* cursor, qint64 generation) {
        const qint64 room = count < 0 ? std::numeric_limits<int>::max() : count - batch.RowIds.size();
        if (room <= 0)
            return;
        TSQLDataSet& ds =
            m_database.Statement(QStringLiteral("SELECT FIRST (:N) %1 FROM %2 r WHERE %3 AND %4 ORDER BY %5")
                                     .arg(columns.join(u','), t.SqlName, pending, where, order.join(u',')));
        SetParam(ds, u"N", room);
        SetParam(ds, u"S", t.Reader(store));
        SetParam(ds, u"TN", t.SqlName);
        SetParam(ds, u"G", generation);
        for (qsizetype i = 0; cursor && i < cursor->size(); ++i)
            SetParam(ds, QStringLiteral("C%1").arg(i), cursor->at(i));
        const int n = int(t.Fields.size());
        QList<QVariant> row(n);
        for (ds.Open(); !ds.Eof(); ds.Next()) {
            for (int i = 0; i < n; ++i)
                row[i] = ds.Fields(i).Value();
            batch.Rows.Packet.AppendRow(row);
            batch.RowIds << ds.Fields(n).AsLargeInt();
            batch.Seqs << ds.Fields(n + 1).AsLargeInt();
        }
        ds.Close();
    };
    if (after) {
        select(AfterCursor(t), after, 0);
    } else if (state.HasCursor) {
        // Rows up to the cursor that were written since it was set, then the rows after it.
        if (state.CursorEpoch != batch.Epoch)
            select(QStringLiteral("r.KAS_SEQ > :G AND NOT (%1)").arg(AfterCursor(t)), &state.CursorKey,
                   state.CursorGeneration);
        select(AfterCursor(t), &state.CursorKey, 0);
    } else {
        select(QStringLiteral("1 = 1"), nullptr, 0);
    }
    const TDataPacket& p = batch.Rows.Packet;
    if (p.RowCount() > 0)
        for (const QString& k : t.Keys)
            batch.LastKey << p.Value(p.RowCount() - 1, IndexOfField(t.Fields, k));
    return batch;
}

TReaderCursors::TServedRows TReaderCursors::Serve(const TServedTable& t, qint32 store, int count, qint64 pkUltimo,
                                                  bool ignoreAcks)
{
    TReaderState& state = ReaderState(t, store);
    if (count == 0 || ignoreAcks || !UsesCursor(t)) {
        state.Served.reset();
        state.Ahead.reset();
        state.AheadReady = false;
        ApplyJournals();
        TServedRows rows{m_rows.PendingRows(t, store, count, pkUltimo, ignoreAcks), {}};
        rows.Text = rows.Packet.ToXml();
        return rows;
    }
    const quint64 epoch = m_rows.WriteEpoch(t.SqlName);
    std::optional<TServedBatch> batch;
    // A batch read ahead needs nothing from KAS_ACK: what was acknowledged since
    // lies before it.
    if (state.AheadReady && state.Ahead && state.Ahead->Count == count && state.Ahead->Epoch == epoch) {
        batch = std::move(state.Ahead);
        batch->Rows.ReadAhead = true;
    } else {
        ApplyJournals();
        batch = ReadBatch(t, store, count, state, nullptr);
    }
    state.Ahead.reset();
    state.AheadReady = false;
    if (batch->Rows.Text.isEmpty())
        batch->Rows.Text = batch->Rows.Packet.ToXml();
    state.Served = std::move(batch);
    return state.Served->Rows;
}

void TReaderCursors::ReadAhead(TBook book, const QString& table, qint32 store)
{
    // The client is busy with the batch just served: time to write what was
    // acknowledged into KAS_ACK.
    ApplyJournals();
    const TServedTable* t = m_catalogue.FindTable(book, table);
    if (!t || !UsesCursor(*t))
        return;
    TReaderState& state = ReaderState(*t, store);
    // Only after a batch that rows follow, and only while nothing was written since.
    if (!state.Served || state.Ahead || state.Served->LastKey.isEmpty() ||
        state.Served->Epoch != m_rows.WriteEpoch(t->SqlName))
        return;
    TServedBatch ahead = ReadBatch(*t, store, state.Served->Count, state, &state.Served->LastKey);
    ahead.Rows.Text = ahead.Rows.Packet.ToXml();
    ahead.Rows.ReadAhead = false;
    state.Ahead = std::move(ahead);
    state.AheadReady = false;
}
