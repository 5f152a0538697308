#include "RowStore.h"

#include "StoreDatabase.h"

#include "platform/types/Exception.h"
#include "platform/sql/SQLDataSet.h"

#include <algorithm>
#include <limits>

namespace {

// Rows per acknowledgement statement; a shorter chunk repeats its last key so
// that every chunk has the same (prepared once) text.
constexpr int kAckChunk = 100;

// MERGE of `n` rows given as parameters (V<row>_<field>, S<row> for KAS_STORE)
// into the table by its key fields.
QString UpsertStatement(const TServedTable& t, int n)
{
    QStringList members;
    for (int r = 0; r < n; ++r) {
        QStringList columns;
        for (int i = 0; i < t.Fields.size(); ++i)
            columns << QStringLiteral("CAST(:V%1_%2 AS %3)").arg(r).arg(i).arg(SqlColumnType(t.Fields[i])) +
                           (r == 0 ? QStringLiteral(" AS ") + t.Fields[i].Name : QString());
        columns << QStringLiteral("CAST(:S%1 AS INTEGER)").arg(r) +
                       (r == 0 ? QStringLiteral(" AS KAS_STORE") : QString());
        // A row without a store is padding of a shorter chunk.
        members << QStringLiteral("SELECT %1 FROM RDB$DATABASE WHERE CAST(:S%2 AS INTEGER) IS NOT NULL")
                       .arg(columns.join(u','))
                       .arg(r);
    }
    QStringList on, set, names, values;
    for (const TFieldDef& f : t.Fields) {
        names << f.Name;
        values << QStringLiteral("s.") + f.Name;
        if (!t.Keys.contains(f.Name))
            set << QStringLiteral("%1 = s.%1").arg(f.Name);
    }
    for (const QString& k : t.Keys)
        on << QStringLiteral("d.%1 = s.%1").arg(k);
    set << QStringLiteral("KAS_STORE = s.KAS_STORE");
    return QStringLiteral("MERGE INTO %1 d USING (%2) s ON %3 WHEN MATCHED THEN UPDATE SET %4 "
                          "WHEN NOT MATCHED THEN INSERT (%5, KAS_STORE) VALUES (%6, s.KAS_STORE)")
        .arg(t.SqlName, members.join(QStringLiteral(" UNION ALL ")), on.join(QStringLiteral(" AND ")), set.join(u','),
             names.join(u','), values.join(u','));
}

} // namespace

QList<int> TRowStore::RowsToWrite(const TServedTable& t, const TDataPacket& packet)
{
    // A key sent twice in one packet keeps its last row.
    QList<int> keys;
    for (const QString& k : t.Keys)
        keys << IndexOfField(packet.Fields(), k);
    QHash<QString, int> lastOfKey;
    for (int r = 0; r < packet.RowCount(); ++r) {
        QString key;
        for (int i : keys)
            key += VariantText(packet.Value(r, i)) + u'\x1f';
        lastOfKey.insert(key, r);
    }
    QList<int> rows = lastOfKey.values();
    std::sort(rows.begin(), rows.end());
    return rows;
}

void TRowStore::WriteChunk(const TServedTable& t, const TDataPacket& packet, const QList<int>& rows, qsizetype start,
                           qint32 store)
{
    const TFieldDefs& fields = packet.Fields();
    const int destination = t.Book == TBook::CadM ? IndexOfField(fields, u"PKFILIALDESTINO") : -1;
    TableWritten(t.SqlName); // before the statement: a failure may leave some written
    // Every chunk uses one statement, prepared once: a shorter one is padded
    // with rows that have no store, which the statement leaves out.
    TSQLDataSet& ds = m_database.Statement(UpsertStatement(t, kUpsertChunk));
    const int n = int(std::min<qsizetype>(kUpsertChunk, rows.size() - start));
    int p = 0;
    for (int k = 0; k < kUpsertChunk; ++k) {
        if (k < n) {
            const int r = rows[start + k];
            for (int i = 0; i < fields.size(); ++i)
                ds.Params()[p++].SetCell(packet.Cell(r, i));
            if (destination >= 0)
                ds.Params()[p++].SetCell(packet.Cell(r, destination));
            else
                ds.Params()[p++].Value = store;
        } else {
            for (int i = 0; i <= fields.size(); ++i)
                ds.Params()[p++].Value = QVariant();
        }
    }
    ds.ExecSQL();
}

void TRowStore::WriteRows(const TServedTable& t, const TDataPacket& packet, qint32 store)
{
    const QList<int> rows = RowsToWrite(t, packet);
    for (qsizetype start = 0; start < rows.size(); start += kUpsertChunk)
        WriteChunk(t, packet, rows, start, store);
}

void TRowStore::RequireStorable(const TServedTable& t, const TDataPacket& packet)
{
    // The packet reader has checked types, integer ranges, string widths and
    // dates; left to refuse is a decimal beyond the integer its column is kept in.
    for (int i = 0; i < t.Fields.size(); ++i) {
        const TFieldDef& f = t.Fields[i];
        if (f.DataType != TFieldType::ftFMTBcd || f.Size > 9)
            continue;
        const qint64 high = f.Size <= 4 ? std::numeric_limits<qint16>::max() : std::numeric_limits<qint32>::max();
        const qint64 low = f.Size <= 4 ? std::numeric_limits<qint16>::min() : std::numeric_limits<qint32>::min();
        for (int r = 0; r < packet.RowCount(); ++r) {
            const TPacketCell cell = packet.Cell(r, i);
            if (!cell.IsNull() && (cell.Number() < low || cell.Number() > high))
                throw EDatabaseError(
                    QStringLiteral("Row %1 of the packet for %2: the value of %3 (%4) cannot be stored "
                                   "as %5")
                        .arg(r + 1)
                        .arg(t.Table, f.Name, VariantText(cell.Value()), SqlColumnType(f)));
        }
    }
}

QStringList TRowStore::TablesFor(TBook book, qint32 store)
{
    QStringList names;
    for (const TServedTable& t : m_catalogue.Tables()) {
        if (t.Book != book)
            continue;
        TSQLDataSet& ds =
            m_database.Statement(QStringLiteral("SELECT COUNT(*) FROM RDB$DATABASE WHERE EXISTS (SELECT 1 FROM %1 "
                                                "r WHERE %2)")
                                     .arg(t.SqlName, PendingWhere(t, book == TBook::Cad, false)));
        SetParam(ds, u"S", t.Reader(store));
        SetParam(ds, u"TN", t.SqlName);
        ds.Open();
        if (ds.Fields(0).AsInteger() > 0)
            names << t.Table;
        ds.Close();
    }
    return names;
}

QString TRowStore::PendingWhere(const TServedTable& t, bool ignoreAcks, bool paged) const
{
    QStringList conditions;
    if (t.Book != TBook::MovM)
        conditions << QStringLiteral("(r.KAS_STORE = 0 OR r.KAS_STORE = :S)");
    if (!ignoreAcks)
        conditions << QStringLiteral("NOT EXISTS (SELECT 1 FROM KAS_ACK a WHERE a.TABLENAME = :TN AND "
                                     "a.PKFILIAL = :S AND a.ACKROWID = r.KAS_ROWID AND a.ACKSEQ >= r.KAS_SEQ)");
    if (paged)
        conditions << QStringLiteral("r.%1 > :PKULTIMO").arg(t.PageKey);
    return conditions.isEmpty() ? QStringLiteral("1 = 1") : conditions.join(QStringLiteral(" AND "));
}

qint64 TRowStore::PendingCount(const TServedTable& t, qint32 store, qint64 pkUltimo)
{
    TSQLDataSet& ds = m_database.Statement(
        QStringLiteral("SELECT COUNT(*) FROM %1 r WHERE %2").arg(t.SqlName, PendingWhere(t, false, t.Paged())));
    SetParam(ds, u"S", t.Reader(store));
    SetParam(ds, u"TN", t.SqlName);
    SetParam(ds, u"PKULTIMO", pkUltimo);
    ds.Open();
    const qint64 n = ds.Fields(0).AsLargeInt();
    ds.Close();
    return n;
}

TDataPacket TRowStore::SelectRows(const TServedTable& t, const QString& where, qint32 store, int count, qint64 pkUltimo)
{
    TDataPacket packet(t.Fields);
    if (count == 0)
        return packet;
    QStringList columns;
    for (const TFieldDef& f : t.Fields)
        columns << QStringLiteral("r.") + f.Name;
    QStringList order;
    for (const QString& k : t.OrderBy)
        order << QStringLiteral("r.") + k;
    const QString first = count > 0 ? QStringLiteral("FIRST %1 ").arg(count) : QString();
    TSQLDataSet& ds = m_database.Statement(QStringLiteral("SELECT %1%2 FROM %3 r WHERE %4 ORDER BY %5")
                                               .arg(first, columns.join(u','), t.SqlName, where, order.join(u',')));
    SetParam(ds, u"S", t.Reader(store));
    SetParam(ds, u"TN", t.SqlName);
    SetParam(ds, u"PKULTIMO", pkUltimo);
    QList<QVariant> row(t.Fields.size());
    for (ds.Open(); !ds.Eof(); ds.Next()) {
        for (int i = 0; i < row.size(); ++i)
            row[i] = ds.Fields(i).Value();
        packet.AppendRow(row);
    }
    ds.Close();
    return packet;
}

TDataPacket TRowStore::PendingRows(const TServedTable& t, qint32 store, int count, qint64 pkUltimo, bool ignoreAcks)
{
    return SelectRows(t, PendingWhere(t, ignoreAcks, t.Paged() && !ignoreAcks), store, count, pkUltimo);
}

TDataPacket TRowStore::AllRows(const TServedTable& t)
{
    return SelectRows(t, QStringLiteral("1 = 1"), 0, -1, 0);
}

qint64 TRowStore::LastPageKey(const TServedTable& t)
{
    if (!t.Paged())
        return 0;
    TSQLDataSet& ds = m_database.Statement(QStringLiteral("SELECT MAX(%1) FROM %2").arg(t.PageKey, t.SqlName));
    ds.Open();
    const qint64 last = ds.Fields(0).IsNull() ? 0 : ds.Fields(0).AsLargeInt();
    ds.Close();
    return last;
}

int TRowStore::Acknowledge(const TServedTable& t, qint32 store, const TDataPacket& packet)
{
    QList<int> keyFields;
    for (const QString& k : t.Keys) {
        const int i = IndexOfField(packet.Fields(), k);
        if (i < 0)
            throw EDatabaseError(QStringLiteral("The packet has no field %1, a key of %2").arg(k, t.Table));
        keyFields << i;
    }
    QStringList match;
    for (int r = 0; r < kAckChunk; ++r) {
        QStringList parts;
        for (int k = 0; k < t.Keys.size(); ++k)
            parts << QStringLiteral("r.%1 = :K%2_%3").arg(t.Keys[k]).arg(r).arg(k);
        match << u'(' + parts.join(QStringLiteral(" AND ")) + u')';
    }
    TSQLDataSet& ds = m_database.Statement(
        QStringLiteral("MERGE INTO KAS_ACK a USING (SELECT r.KAS_ROWID, r.KAS_SEQ FROM %1 r WHERE %2) s "
                       "ON a.TABLENAME = :TN AND a.PKFILIAL = :S AND a.ACKROWID = s.KAS_ROWID "
                       "WHEN MATCHED THEN UPDATE SET a.ACKSEQ = s.KAS_SEQ "
                       "WHEN NOT MATCHED THEN INSERT (TABLENAME, PKFILIAL, ACKROWID, ACKSEQ) "
                       "VALUES (:TN, :S, s.KAS_ROWID, s.KAS_SEQ)")
            .arg(t.SqlName, match.join(QStringLiteral(" OR "))));
    int marked = 0;
    for (int start = 0; start < packet.RowCount(); start += kAckChunk) {
        for (int r = 0; r < kAckChunk; ++r) {
            const int row = std::min(start + r, packet.RowCount() - 1);
            for (int k = 0; k < keyFields.size(); ++k)
                SetParam(ds, QStringLiteral("K%1_%2").arg(r).arg(k), packet.Value(row, keyFields[k]));
        }
        SetParam(ds, u"TN", t.SqlName);
        SetParam(ds, u"S", t.Reader(store));
        ds.ExecSQL();
        marked += int(ds.RowsAffected());
    }
    return marked;
}
