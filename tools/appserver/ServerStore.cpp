#include "ServerStore.h"

#include "platform/types/Exception.h"
#include "platform/sql/SQLConnection.h"
#include "platform/sql/SQLDataSet.h"

#include <QRegularExpression>

TServerStore::TServerStore(const QString& path, bool createWhenMissing)
    : m_path(path), m_database(path, createWhenMissing), m_catalogue(m_database), m_rows(m_database, m_catalogue),
      m_storeLog(m_database, m_catalogue, m_rows), m_ackLog(m_database),
      m_cursors(m_database, m_catalogue, m_rows, m_storeLog, m_ackLog), m_installations(m_database),
      m_faults(m_database)
{
    // Whatever the last run left in the journals.
    ApplyJournals();
    m_catalogue.EnsureSeqIndexes();
}

TServerStore::~TServerStore() = default;

void TServerStore::ApplyJournals()
{
    m_storeLog.Apply();
    m_ackLog.Apply();
}

// ---- installations

void TServerStore::AddInstallation(const TInstallation& installation)
{
    m_installations.Add(installation);
}

std::optional<TInstallation> TServerStore::FindInstallation(const QString& cdContrato, qint32 pkFilial)
{
    return m_installations.Find(cdContrato, pkFilial);
}

QList<TInstallation> TServerStore::Installations()
{
    return m_installations.All();
}

// ---- loading and journalling packets

int TServerStore::LoadPacket(TBook book, const QString& tableName, const QString& providerName,
                             const TDataPacket& packet, qint32 store)
{
    ApplyStoreLog(); // packets taken earlier come first
    const TServedTable& t = m_catalogue.PrepareLoad(book, tableName, providerName, packet);
    m_rows.WriteRows(t, packet, store);
    return packet.RowCount();
}

int TServerStore::JournalPacket(TBook book, const QString& table, TDataPacket packet, const QByteArray& text,
                                qint32 store)
{
    return m_storeLog.Journal(book, table, std::move(packet), text, store);
}

void TServerStore::ApplyStoreLog()
{
    m_storeLog.Apply();
}

bool TServerStore::ApplyStoreLogStep()
{
    return m_storeLog.ApplyStep();
}

// ---- reading rows

QStringList TServerStore::TablesFor(TBook book, qint32 store)
{
    ApplyJournals();
    return m_rows.TablesFor(book, store);
}

qint64 TServerStore::PendingCount(const TServedTable& t, qint32 store, qint64 pkUltimo)
{
    ApplyJournals();
    return m_rows.PendingCount(t, store, pkUltimo);
}

TDataPacket TServerStore::PendingRows(const TServedTable& t, qint32 store, int count, qint64 pkUltimo, bool ignoreAcks)
{
    ApplyJournals();
    return m_rows.PendingRows(t, store, count, pkUltimo, ignoreAcks);
}

TDataPacket TServerStore::AllRows(const TServedTable& t)
{
    ApplyJournals();
    return m_rows.AllRows(t);
}

qint64 TServerStore::LastPageKey(const TServedTable& t)
{
    if (!t.Paged())
        return 0;
    ApplyJournals();
    return m_rows.LastPageKey(t);
}

// ---- serving batches and taking acknowledgements

TServerStore::TServedRows TServerStore::ServeRows(const TServedTable& t, qint32 store, int count, qint64 pkUltimo,
                                                  bool ignoreAcks)
{
    return m_cursors.Serve(t, store, count, pkUltimo, ignoreAcks);
}

void TServerStore::ReadAhead(TBook book, const QString& table, qint32 store)
{
    m_cursors.ReadAhead(book, table, store);
}

int TServerStore::Acknowledge(const TServedTable& t, qint32 store, const TDataPacket& packet)
{
    return m_cursors.AcknowledgeRows(t, store, packet);
}

TServerStore::TAcknowledged TServerStore::Acknowledge(const TServedTable& t, qint32 store, const QByteArray& packetText)
{
    return m_cursors.Acknowledge(t, store, packetText);
}

// ---- faults

QList<TFault> TServerStore::LoadFaults()
{
    return m_faults.Load();
}

int TServerStore::SaveFault(const TFault& fault)
{
    return m_faults.Save(fault);
}

void TServerStore::DeleteFault(int id)
{
    m_faults.Delete(id);
}

void TServerStore::ClearFaults()
{
    m_faults.Clear();
}

// ---- operator SQL

QString TServerStore::ExecSql(const QString& statement)
{
    ApplyJournals(); // the operator sees every acknowledgement in KAS_ACK
    m_database.ForgetStatements();
    m_cursors.ForgetReaders(); // the statement may change rows or acknowledgements behind the readers' cursors
    QString out;
    {
        TSQLDataSet ds(m_database.Connection());
        ds.SetCommandText(statement);
        if (!ds.Params().IsEmpty())
            throw EDatabaseError(
                QStringLiteral("Operator statements take no parameters (found ':%1')").arg(ds.Params()[0].Name));
        const QString head = statement.trimmed().section(QRegularExpression(QStringLiteral("\\s+")), 0, 0).toUpper();
        if (head == QLatin1String("SELECT") || head == QLatin1String("WITH")) {
            ds.Open();
            QStringList names;
            for (const TFieldDef& f : ds.FieldDefs())
                names << f.Name;
            out = names.join(u'\t') + u'\n';
            for (; !ds.Eof(); ds.Next()) {
                QStringList values;
                for (int i = 0; i < ds.FieldCount(); ++i)
                    values << VariantText(ds.Fields(i).Value());
                out += values.join(u'\t') + u'\n';
            }
        } else {
            ds.ExecSQL();
            out = QStringLiteral("%1 row(s) affected\n").arg(ds.RowsAffected());
        }
    }
    m_catalogue.ReadTables(); // the statement may have changed the tables
    return out;
}
