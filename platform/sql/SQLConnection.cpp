#include "SQLConnection.h"

#include "FbApi.h"
#include "SQLDataSet.h"

#include <atomic>

using namespace Firebird;

namespace {

std::atomic<std::uint64_t> g_attachGeneration{0};

QByteArray FileNameBytes(const QString& database)
{
    return database.toLocal8Bit();
}

QString RequireDatabaseName(const QString& database)
{
    const QString name = database.trimmed();
    if (name.isEmpty())
        throw EDatabaseError(QStringLiteral("No database given: the DataBase parameter of the connection is empty"));
    return name;
}

} // namespace

QString TConnectionParams::Value(QStringView name) const
{
    for (const auto& item : m_items) {
        if (name.compare(item.first, Qt::CaseInsensitive) == 0)
            return item.second;
    }
    return QString();
}

void TConnectionParams::SetValue(const QString& name, const QString& value)
{
    for (auto& item : m_items) {
        if (name.compare(item.first, Qt::CaseInsensitive) == 0) {
            item.second = value;
            return;
        }
    }
    m_items.append({name, value});
}

bool TConnectionParams::Contains(QStringView name) const
{
    for (const auto& item : m_items) {
        if (name.compare(item.first, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

TSQLConnection::TSQLConnection(QString connectionName)
    : m_connectionName(std::move(connectionName)), m_state(std::make_unique<FbAttachmentState>())
{
}

TSQLConnection::~TSQLConnection()
{
    Close();
    for (TSQLDataSet* ds : std::as_const(m_dataSets))
        ds->m_connection = nullptr;
}

unsigned TSQLConnection::Dialect() const
{
    bool ok = false;
    const unsigned d = m_params.Value(u"SQLDialect").trimmed().toUInt(&ok);
    return ok && d >= 1 && d <= 3 ? d : 3;
}

QString TSQLConnection::CharSet() const
{
    const QString cs = m_params.Value(u"ServerCharSet").trimmed();
    return cs.isEmpty() ? QStringLiteral("ISO8859_1") : cs;
}

bool TSQLConnection::Connected() const
{
    return bool(m_state->Attachment);
}

void TSQLConnection::Open()
{
    if (Connected())
        return;

    const QString database = RequireDatabaseName(m_params.Value(u"DataBase"));
    const QString charSet = CharSet();
    fb::Codec codec = fb::Codec::ForCharSet(charSet);
    const unsigned dialect = Dialect();

    fb::Status st;
    fb::Xpb dpb(IXpbBuilder::DPB);
    const QString user = m_params.Value(u"User_Name");
    const QString password = m_params.Value(u"Password");
    if (!user.isEmpty())
        dpb->insertString(&st, isc_dpb_user_name, user.toUtf8().constData());
    if (!password.isEmpty())
        dpb->insertString(&st, isc_dpb_password, password.toUtf8().constData());
    dpb->insertString(&st, isc_dpb_lc_ctype, charSet.toLatin1().constData());
    dpb->insertInt(&st, isc_dpb_sql_dialect, int(dialect));

    // One TPB for every statement: read committed, newest versions, wait on locks.
    fb::Xpb tpb(IXpbBuilder::TPB);
    tpb->insertTag(&st, isc_tpb_read_committed);
    tpb->insertTag(&st, isc_tpb_rec_version);
    tpb->insertTag(&st, isc_tpb_wait);
    tpb->insertTag(&st, isc_tpb_write);

    IAttachment* att = nullptr;
    try {
        att = fb::Provider()->attachDatabase(&st, FileNameBytes(database).constData(), dpb.Length(), dpb.Buffer());
    } catch (const EDatabaseError& e) {
        throw EConnectionError(e.Message());
    }
    FbAttachmentState& s = *m_state;
    s.Attachment.Reset(att);
    s.Generation = ++g_attachGeneration;
    s.Dialect = dialect;
    s.Codec = codec;
    s.StatementTpb = tpb.Bytes();
    fb::Xpb readTpb(IXpbBuilder::TPB);
    readTpb->insertTag(&st, isc_tpb_read_committed);
    readTpb->insertTag(&st, isc_tpb_rec_version);
    readTpb->insertTag(&st, isc_tpb_wait);
    readTpb->insertTag(&st, isc_tpb_read);
    s.ReadTpb = readTpb.Bytes();
    s.Precisions.clear();
}

void TSQLConnection::Close()
{
    // Statements and cursors belong to the attachment: end them first.
    const auto dataSets = m_dataSets;
    for (TSQLDataSet* ds : dataSets)
        ds->ConnectionClosing();

    FbAttachmentState& s = *m_state;
    if (!s.Attachment)
        return;
    EndTransaction(false);
    try {
        fb::Status st;
        s.Attachment->detach(&st);
        s.Attachment.Forget();
    } catch (const std::exception&) {
        // Releasing the last reference detaches anyway.
        s.Attachment.Reset();
    }
    s.Precisions.clear();
}

void TSQLConnection::StartTransaction(TIsolation isolation, int lockTimeoutSeconds)
{
    if (InTransaction())
        throw EDatabaseError(QStringLiteral("A transaction is already running on this connection"));
    Open();
    FbAttachmentState& s = *m_state;
    fb::Status st;
    fb::Xpb tpb(IXpbBuilder::TPB);
    if (isolation == TIsolation::Snapshot) {
        tpb->insertTag(&st, isc_tpb_concurrency);
    } else {
        tpb->insertTag(&st, isc_tpb_read_committed);
        tpb->insertTag(&st, isc_tpb_rec_version);
    }
    tpb->insertTag(&st, isc_tpb_write);
    tpb->insertTag(&st, isc_tpb_wait);
    if (lockTimeoutSeconds > 0)
        tpb->insertInt(&st, isc_tpb_lock_timeout, lockTimeoutSeconds);
    s.Explicit.Reset(s.Attachment->startTransaction(&st, tpb.Length(), tpb.Buffer()));
}

bool TSQLConnection::InTransaction() const
{
    return bool(m_state->Explicit);
}

void TSQLConnection::Commit()
{
    if (!InTransaction())
        throw EDatabaseError(QStringLiteral("No transaction is running on this connection"));
    EndTransaction(true);
}

void TSQLConnection::Rollback()
{
    EndTransaction(false);
}

void TSQLConnection::EndTransaction(bool commit)
{
    FbAttachmentState& s = *m_state;
    if (!s.Explicit)
        return;
    // Cursors opened in the transaction end with it.
    const auto dataSets = m_dataSets;
    for (TSQLDataSet* ds : dataSets)
        ds->TransactionEnding();
    fb::Status st;
    if (commit) {
        try {
            s.Explicit->commit(&st);
            s.Explicit.Forget();
            return;
        } catch (const std::exception&) {
            EndTransaction(false);
            throw;
        }
    }
    try {
        s.Explicit->rollback(&st);
        s.Explicit.Forget();
    } catch (const std::exception&) {
        // The attachment is gone; releasing the reference ends it anyway.
        s.Explicit.Reset();
    }
}

FbAttachmentState& TSQLConnection::State()
{
    return *m_state;
}

void TSQLConnection::RegisterDataSet(TSQLDataSet* ds)
{
    if (ds && !m_dataSets.contains(ds))
        m_dataSets.append(ds);
}

void TSQLConnection::UnregisterDataSet(TSQLDataSet* ds)
{
    m_dataSets.removeAll(ds);
}

void CreateDatabase(const QString& database, const TCreateDatabaseOptions& options)
{
    const QString name = RequireDatabaseName(database);
    const QString charSet = options.CharSet.trimmed().isEmpty() ? QStringLiteral("ISO8859_1") : options.CharSet.trimmed();

    fb::Status st;
    fb::Xpb dpb(IXpbBuilder::DPB);
    if (!options.User.isEmpty())
        dpb->insertString(&st, isc_dpb_user_name, options.User.toUtf8().constData());
    if (!options.Password.isEmpty())
        dpb->insertString(&st, isc_dpb_password, options.Password.toUtf8().constData());
    dpb->insertInt(&st, isc_dpb_page_size, options.PageSize);
    dpb->insertString(&st, isc_dpb_set_db_charset, charSet.toLatin1().constData());
    dpb->insertString(&st, isc_dpb_lc_ctype, charSet.toLatin1().constData());
    dpb->insertInt(&st, isc_dpb_sql_dialect, 3);
    dpb->insertInt(&st, isc_dpb_force_write, options.ForcedWrites ? 1 : 0);

    fb::Ref<IAttachment> att(
        fb::Provider()->createDatabase(&st, FileNameBytes(name).constData(), dpb.Length(), dpb.Buffer()));
    att->detach(&st);
    att.Forget();
}

void DropDatabase(const QString& database, const QString& user, const QString& password)
{
    const QString name = RequireDatabaseName(database);

    fb::Status st;
    fb::Xpb dpb(IXpbBuilder::DPB);
    if (!user.isEmpty())
        dpb->insertString(&st, isc_dpb_user_name, user.toUtf8().constData());
    if (!password.isEmpty())
        dpb->insertString(&st, isc_dpb_password, password.toUtf8().constData());

    fb::Ref<IAttachment> att(
        fb::Provider()->attachDatabase(&st, FileNameBytes(name).constData(), dpb.Length(), dpb.Buffer()));
    att->dropDatabase(&st);
    att.Forget();
}
