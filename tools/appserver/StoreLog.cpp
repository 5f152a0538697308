#include "StoreLog.h"

#include "RowStore.h"
#include "StoreDatabase.h"

#include "platform/types/Exception.h"
#include "platform/sql/SQLDataSet.h"

int TStoreLog::Journal(TBook book, const QString& table, TDataPacket packet, const QByteArray& text, qint32 store)
{
    const TServedTable& t = m_catalogue.PrepareLoad(book, table, {}, packet);
    m_rows.RequireStorable(t, packet);
    TSQLDataSet& next = m_database.Statement(QStringLiteral("SELECT NEXT VALUE FOR KAS_GEN FROM RDB$DATABASE"));
    next.Open();
    const qint64 id = next.Fields(0).AsLargeInt();
    next.Close();
    TSQLDataSet& ds = m_database.Statement(QStringLiteral("INSERT INTO KAS_STORELOG (ID, TABLENAME, PKFILIAL, PACKET) "
                                                          "VALUES (:ID, :TN, :S, :P)"));
    SetParam(ds, u"ID", id);
    SetParam(ds, u"TN", t.SqlName);
    SetParam(ds, u"S", store);
    SetParam(ds, u"P", text);
    ds.ExecSQL();
    m_rows.TableWritten(t.SqlName); // a batch read ahead may no longer be all that is pending
    m_pending = true;
    const int rows = packet.RowCount();
    // The writer between calls takes the packet as read here instead of
    // reading its text back; a few are kept, the rest are read from the journal.
    TStoreLogEntry taken;
    taken.Id = id;
    taken.SqlName = t.SqlName;
    taken.Store = store;
    taken.Packet = std::move(packet);
    m_taken.push_back(std::move(taken));
    if (m_taken.size() > kTakenKept)
        m_taken.pop_front();
    return rows;
}

void TStoreLog::Apply()
{
    while (ApplyStep()) {
    }
}

bool TStoreLog::ApplyStep()
{
    if (!m_pending)
        return false;
    if (!m_entry) {
        TSQLDataSet& first = m_database.Statement(
            QStringLiteral("SELECT FIRST 1 ID, TABLENAME, PKFILIAL FROM KAS_STORELOG ORDER BY ID"));
        first.Open();
        if (first.Eof()) {
            first.Close();
            m_pending = false;
            m_taken.clear();
            return false;
        }
        TStoreLogEntry e;
        e.Id = first.Fields(0).AsLargeInt();
        e.SqlName = first.Fields(1).AsString();
        e.Store = first.Fields(2).AsInteger();
        first.Close();
        while (!m_taken.empty() && m_taken.front().Id < e.Id)
            m_taken.pop_front();
        if (!m_taken.empty() && m_taken.front().Id == e.Id) {
            e.Packet = std::move(m_taken.front().Packet);
            m_taken.pop_front();
        } else {
            TSQLDataSet& read = m_database.Statement(QStringLiteral("SELECT PACKET FROM KAS_STORELOG WHERE ID = :ID"));
            SetParam(read, u"ID", e.Id);
            read.Open();
            const QByteArray text = read.Fields(0).Value().toByteArray();
            read.Close();
            try {
                e.Packet = TDataPacket::FromXml(text);
            } catch (const std::exception& ex) {
                throw EDatabaseError(
                    QStringLiteral("A packet taken for %1 (entry %2 of KAS_STORELOG) cannot be read: %3")
                        .arg(e.SqlName)
                        .arg(e.Id)
                        .arg(QString::fromLocal8Bit(ex.what())));
            }
        }
        if (const TServedTable* t = m_catalogue.FindSqlName(e.SqlName))
            e.Rows = TRowStore::RowsToWrite(*t, e.Packet);
        else
            for (int r = 0; r < e.Packet.RowCount(); ++r)
                e.Rows << r; // the write below reports the table gone
        m_entry = std::move(e);
    }
    // One chunk at a time, so that a call arriving meanwhile waits for one
    // chunk at most. A chunk written twice (a restart in the middle of an
    // entry) writes the same values again.
    TStoreLogEntry& e = *m_entry;
    if (e.Next < e.Rows.size()) {
        try {
            const TServedTable* t = m_catalogue.FindSqlName(e.SqlName);
            if (!t)
                throw EDatabaseError(QStringLiteral("the table is no longer served"));
            m_rows.WriteChunk(*t, e.Packet, e.Rows, e.Next, e.Store);
        } catch (const std::exception& ex) {
            const qint64 id = e.Id;
            const QString table = e.SqlName;
            m_entry.reset(); // read again on the next try
            throw EDatabaseError(QStringLiteral("A packet taken for %1 (entry %2 of KAS_STORELOG) cannot be written "
                                                "yet: %3")
                                     .arg(table)
                                     .arg(id)
                                     .arg(QString::fromLocal8Bit(ex.what())));
        }
        e.Next += TRowStore::kUpsertChunk;
        if (e.Next < e.Rows.size())
            return true;
    }
    TSQLDataSet& done = m_database.Statement(QStringLiteral("DELETE FROM KAS_STORELOG WHERE ID = :ID"));
    SetParam(done, u"ID", e.Id);
    done.ExecSQL();
    m_entry.reset();
    return true;
}
