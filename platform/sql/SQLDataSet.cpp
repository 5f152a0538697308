#include "SQLDataSet.h"

#include "FbApi.h"
#include "FbMessage.h"
#include "SQLConnection.h"
#include "SqlParamParser.h"

#include "platform/types/DataPacket.h"
#include "platform/types/FieldDefs.h"

#include <QHash>

#include <vector>

using namespace Firebird;

struct FbStatementState
{
    // The text as the engine sees it and the parameter name of every '?'.
    TParsedSql Parsed;
    // Where each name was found last in TParams (a hint; checked by name).
    std::vector<int> ParamSlots;

    // Prepared statement; void once the attachment it was prepared on is gone.
    fb::Ref<IStatement> Statement;
    std::uint64_t Generation = 0;
    unsigned StatementType = 0;
    fb::Message Input;
    fb::Message Output;
    TFieldDefs FieldDefs;

    // The open result set. Shared: the transaction is the connection's explicit
    // one, which the connection ends, not the data set.
    fb::Ref<ITransaction> Transaction;
    bool Shared = false;
    fb::Ref<IResultSet> Cursor;
    bool Active = false;
    bool Eof = true;
    bool Empty = true;
    // Values of the current row, converted on first use.
    mutable std::vector<QVariant> Values;
    mutable std::vector<bool> Converted;
    mutable bool AnyValues = false; // something in Values to let go on Close

    // One status object reused by every call of this data set.
    fb::Status St;

    bool Prepared(const FbAttachmentState& conn) const
    {
        return Statement && Generation == conn.Generation;
    }

    void DropStatement()
    {
        Cursor.Reset();
        Transaction.Reset();
        Statement.Reset();
        Input.Reset();
        Output.Reset();
        Generation = 0;
    }

    void NewRow()
    {
        std::fill(Converted.begin(), Converted.end(), false);
    }
};

namespace {

bool ReturnsCursor(unsigned statementType)
{
    return statementType == isc_info_sql_stmt_select || statementType == isc_info_sql_stmt_select_for_upd;
}

// Declared precision of the scaled numeric columns (the message has only the
// storage type); one query per prepare, remembered for the attachment.
void LoadPrecisions(FbAttachmentState& conn, fb::Status& st, ITransaction* tra, const fb::Message& out)
{
    QStringList wanted;
    for (int i = 0; i < out.Count(); ++i) {
        const fb::Column& c = out.At(i);
        if (c.Scale >= 0 || c.Relation.isEmpty() || c.Field.isEmpty())
            continue;
        const QString key = c.Relation + QLatin1Char('.') + c.Field;
        if (!conn.Precisions.contains(key) && !wanted.contains(key))
            wanted.append(key);
    }
    if (wanted.isEmpty())
        return;

    QString sql = QStringLiteral(
        "SELECT CAST(TRIM(RF.RDB$RELATION_NAME) || '.' || TRIM(RF.RDB$FIELD_NAME) AS VARCHAR(300)), "
        "CAST(F.RDB$FIELD_PRECISION AS INTEGER) FROM RDB$RELATION_FIELDS RF "
        "JOIN RDB$FIELDS F ON F.RDB$FIELD_NAME = RF.RDB$FIELD_SOURCE WHERE ");
    for (int i = 0; i < wanted.size(); ++i) {
        const int dot = int(wanted[i].indexOf(QLatin1Char('.')));
        if (i > 0)
            sql += QStringLiteral(" OR ");
        sql += QStringLiteral("(RF.RDB$RELATION_NAME = %1 AND RF.RDB$FIELD_NAME = %2)")
                   .arg(QuotedSqlString(wanted[i].left(dot)), QuotedSqlString(wanted[i].mid(dot + 1)));
    }
    for (const QString& key : wanted)
        conn.Precisions.insert(key, -1);

    fb::Ref<IStatement> stmt(conn.Attachment->prepare(&st, tra, 0, conn.Codec.Encode(sql).constData(), conn.Dialect,
                                                      IStatement::PREPARE_PREFETCH_METADATA));
    fb::Message msg;
    msg.Describe(st, stmt->getOutputMetadata(&st), conn.Codec);
    fb::Ref<IResultSet> rs(stmt->openCursor(&st, tra, nullptr, nullptr, msg.Metadata(), 0));
    fb::ValueContext ctx{&st, conn.Attachment.Get(), tra, &conn.Codec};
    while (rs->fetchNext(&st, msg.Buffer()) == IStatus::RESULT_OK) {
        const QString key = ReadValue(msg, 0, ctx).toString();
        const QVariant precision = ReadValue(msg, 1, ctx);
        if (!precision.isNull())
            conn.Precisions.insert(key, precision.toInt());
    }
    rs->close(&st);
    rs.Forget();
    stmt->free(&st);
    stmt.Forget();
}

// CHAR parameters become VARCHAR of the same length: no padding to manage and
// the engine compares and stores them the same way.
IMessageMetadata* InputMetadata(fb::Status& st, IStatement* stmt)
{
    fb::Ref<IMessageMetadata> meta(stmt->getInputMetadata(&st));
    const unsigned count = meta->getCount(&st);
    bool coerce = false;
    for (unsigned i = 0; i < count && !coerce; ++i)
        coerce = (meta->getType(&st, i) & ~1u) == SQL_TEXT;
    if (!coerce) {
        IMessageMetadata* m = meta.Get();
        meta.Forget();
        return m;
    }
    fb::Ref<IMetadataBuilder> builder(meta->getBuilder(&st));
    for (unsigned i = 0; i < count; ++i) {
        if ((meta->getType(&st, i) & ~1u) == SQL_TEXT)
            builder->setType(&st, i, SQL_VARYING);
    }
    return builder->getMetadata(&st);
}

} // namespace

TSQLDataSet::TSQLDataSet(TSQLConnection* connection)
    : m_state(std::make_unique<FbStatementState>())
{
    SetSQLConnection(connection);
}

TSQLDataSet::~TSQLDataSet()
{
    Close();
    m_state->DropStatement();
    if (m_connection)
        m_connection->UnregisterDataSet(this);
}

void TSQLDataSet::SetSQLConnection(TSQLConnection* connection)
{
    if (connection == m_connection)
        return;
    Close();
    m_state->DropStatement();
    if (m_connection)
        m_connection->UnregisterDataSet(this);
    m_connection = connection;
    if (m_connection)
        m_connection->RegisterDataSet(this);
}

void TSQLDataSet::SetCommandText(const QString& text)
{
    Close();
    FbStatementState& s = *m_state;
    // The same text keeps its prepared statement and its parameters: callers set
    // it again before every row.
    if (text == m_commandText && s.Statement)
        return;
    s.DropStatement();
    s.FieldDefs.clear();
    m_commandText = text;
    s.Parsed = ParseNamedParams(text);

    TParams params;
    for (const QString& name : s.Parsed.UniqueNames()) {
        if (const TParam* old = m_params.FindParam(name)) {
            TParam& p = params.Add(name, old->DataType);
            p.Value = old->Value;
        } else {
            params.Add(name);
        }
    }
    m_params = std::move(params);
    s.ParamSlots.assign(size_t(s.Parsed.Names.size()), -1);
}

bool TSQLDataSet::Active() const
{
    return m_state->Active;
}

bool TSQLDataSet::IsEmpty() const
{
    return m_state->Active && m_state->Empty;
}

bool TSQLDataSet::Eof() const
{
    return !m_state->Active || m_state->Eof;
}

int TSQLDataSet::FieldCount() const
{
    return int(m_state->FieldDefs.size());
}

const TFieldDefs& TSQLDataSet::FieldDefs() const
{
    return m_state->FieldDefs;
}

int TSQLDataSet::FindFieldIndex(QStringView name) const
{
    const TFieldDefs& defs = m_state->FieldDefs;
    for (int i = 0; i < int(defs.size()); ++i) {
        if (name.compare(defs[i].Name, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

TField TSQLDataSet::FieldByName(QStringView name) const
{
    const int i = FindFieldIndex(name);
    if (i < 0)
        throw EDatabaseError(QStringLiteral("Field '%1' not found").arg(name));
    return Fields(i);
}

TField TSQLDataSet::Fields(int index) const
{
    const FbStatementState& s = *m_state;
    if (index < 0 || index >= int(s.FieldDefs.size()))
        throw EDatabaseError(QStringLiteral("Field index %1 out of range").arg(index));
    const TFieldDef* def = &s.FieldDefs[index];
    if (!s.Active || s.Eof)
        return TField(def, QVariant());
    if (!s.Converted[size_t(index)]) {
        FbAttachmentState& conn = m_connection->State();
        fb::ValueContext ctx{&m_state->St, conn.Attachment.Get(), s.Transaction.Get(), &conn.Codec};
        s.Values[size_t(index)] = ReadValue(s.Output, index, ctx);
        s.Converted[size_t(index)] = true;
        s.AnyValues = true;
    }
    return TField(def, s.Values[size_t(index)]);
}

void TSQLDataSet::AppendRowTo(TDataPacket& packet, const std::vector<int>& columns) const
{
    const FbStatementState& s = *m_state;
    if (!s.Active || s.Eof)
        throw EDatabaseError(QStringLiteral("Cannot read a row: the data set is not on one"));
    if (qsizetype(columns.size()) != packet.Fields().size())
        throw EPacketError(QStringLiteral("A row of %1 values does not fit a packet of %2 fields")
                               .arg(columns.size())
                               .arg(packet.Fields().size()));
    TPacketRowAppender row(packet);
    for (int field = 0; field < int(columns.size()); ++field) {
        const int i = columns[size_t(field)];
        if (i < 0 || i >= s.Output.Count())
            throw EDatabaseError(QStringLiteral("Field index %1 out of range").arg(i));
        if (s.Output.IsNull(i))
            continue;
        if (!fb::ReadCell(s.Output, i, row, field))
            row.SetValue(field, Fields(i).Value());
    }
    row.Commit();
}

// Prepares the statement on the connection's current attachment unless it is.
static void EnsurePrepared(FbStatementState& s, FbAttachmentState& conn, ITransaction* tra,
                           const QString& commandText)
{
    if (s.Prepared(conn))
        return;
    s.DropStatement();
    if (commandText.trimmed().isEmpty())
        throw EDatabaseError(QStringLiteral("No SQL statement given"));

    fb::Status& st = s.St;
    s.Statement.Reset(conn.Attachment->prepare(&st, tra, 0, conn.Codec.Encode(s.Parsed.Sql).constData(), conn.Dialect,
                                               IStatement::PREPARE_PREFETCH_METADATA));
    s.StatementType = s.Statement->getType(&st);
    s.Input.Describe(st, InputMetadata(st, s.Statement.Get()), conn.Codec);
    s.Output.Describe(st, s.Statement->getOutputMetadata(&st), conn.Codec);
    if (s.Input.Count() != int(s.Parsed.Names.size())) {
        const int expected = s.Input.Count();
        s.DropStatement();
        throw EDatabaseError(QStringLiteral("The statement expects %1 parameters but its text names %2")
                                 .arg(expected)
                                 .arg(s.Parsed.Names.size()));
    }

    LoadPrecisions(conn, st, tra, s.Output);
    s.FieldDefs.clear();
    for (int i = 0; i < s.Output.Count(); ++i) {
        const fb::Column& c = s.Output.At(i);
        const int precision = conn.Precisions.value(c.Relation + QLatin1Char('.') + c.Field, -1);
        s.FieldDefs.append(fb::FieldDefOf(c, precision));
    }
    s.Values.assign(size_t(s.Output.Count()), QVariant());
    s.Converted.assign(size_t(s.Output.Count()), false);
    s.Generation = conn.Generation;
}

// Fills the input message from the current parameter values.
static void BindParams(FbStatementState& s, TParams& params, FbAttachmentState& conn, ITransaction* tra)
{
    fb::ValueContext ctx{&s.St, conn.Attachment.Get(), tra, &conn.Codec};
    const int n = s.Input.Count();
    for (int i = 0; i < n; ++i) {
        const QString& name = s.Parsed.Names[i];
        int& slot = s.ParamSlots[size_t(i)];
        if (slot < 0 || slot >= params.Count() || !SameName(params[slot].Name, name)) {
            slot = -1;
            for (int k = 0; k < params.Count(); ++k) {
                if (SameName(params[k].Name, name)) {
                    slot = k;
                    break;
                }
            }
            if (slot < 0)
                throw EDatabaseError(QStringLiteral("Parameter '%1' not found").arg(name));
        }
        fb::WriteValue(s.Input, i, params[slot].Value, ctx, params[slot].Name);
    }
}

static fb::Ref<ITransaction> StartTransaction(fb::Status& st, FbAttachmentState& conn, bool readOnly = false)
{
    if (conn.Explicit) {
        conn.Explicit->addRef();
        return fb::Ref<ITransaction>(conn.Explicit.Get());
    }
    const std::vector<unsigned char>& tpb = readOnly ? conn.ReadTpb : conn.StatementTpb;
    return fb::Ref<ITransaction>(conn.Attachment->startTransaction(&st, unsigned(tpb.size()), tpb.data()));
}

static void Rollback(fb::Status& st, fb::Ref<ITransaction>& tra, bool shared)
{
    if (!tra)
        return;
    // A failed statement undoes only itself; the explicit transaction goes on.
    if (shared) {
        tra.Reset();
        return;
    }
    try {
        tra->rollback(&st);
        tra.Forget();
    } catch (const std::exception&) {
        tra.Reset();
    }
}

static TSQLConnection& RequireConnection(TSQLConnection* connection)
{
    if (!connection)
        throw EDatabaseError(QStringLiteral("The data set has no SQL connection"));
    connection->Open();
    return *connection;
}

void TSQLDataSet::Open()
{
    Close();
    TSQLConnection& connection = RequireConnection(m_connection);
    FbAttachmentState& conn = connection.State();
    FbStatementState& s = *m_state;
    fb::Status& st = s.St;

    // Known plain SELECTs read in a read-only transaction; anything else (and a
    // statement not prepared yet) in a read-write one.
    const bool readOnly = s.Prepared(conn) && s.StatementType == isc_info_sql_stmt_select;
    const bool shared = bool(conn.Explicit);
    fb::Ref<ITransaction> tra = StartTransaction(st, conn, readOnly);
    try {
        EnsurePrepared(s, conn, tra.Get(), m_commandText);
        BindParams(s, m_params, conn, tra.Get());
        if (ReturnsCursor(s.StatementType)) {
            s.Cursor.Reset(s.Statement->openCursor(&st, tra.Get(), s.Input.Metadata(), s.Input.Buffer(),
                                                   s.Output.Metadata(), 0));
            s.Empty = s.Cursor->fetchNext(&st, s.Output.Buffer()) != IStatus::RESULT_OK;
        } else if (s.Output.Count() > 0) {
            // EXECUTE PROCEDURE or RETURNING: one row.
            s.Statement->execute(&st, tra.Get(), s.Input.Metadata(), s.Input.Buffer(), s.Output.Metadata(),
                                 s.Output.Buffer());
            s.Empty = false;
        } else {
            throw EDatabaseError(QStringLiteral("The statement returns no result set; use ExecSQL"));
        }
    } catch (...) {
        s.Cursor.Reset();
        Rollback(st, tra, shared);
        throw;
    }
    s.Transaction = std::move(tra);
    s.Shared = shared;
    s.Eof = s.Empty;
    s.Active = true;
    s.NewRow();
}

void TSQLDataSet::Next()
{
    FbStatementState& s = *m_state;
    if (!s.Active || s.Eof)
        return;
    if (!s.Cursor) {
        s.Eof = true;
        return;
    }
    s.NewRow();
    if (s.Cursor->fetchNext(&s.St, s.Output.Buffer()) != IStatus::RESULT_OK)
        s.Eof = true;
}

void TSQLDataSet::ExecSQL()
{
    Close();
    TSQLConnection& connection = RequireConnection(m_connection);
    FbAttachmentState& conn = connection.State();
    FbStatementState& s = *m_state;
    fb::Status& st = s.St;

    // Known plain SELECTs read in a read-only transaction; anything else (and a
    // statement not prepared yet) in a read-write one.
    const bool readOnly = s.Prepared(conn) && s.StatementType == isc_info_sql_stmt_select;
    const bool shared = bool(conn.Explicit);
    fb::Ref<ITransaction> tra = StartTransaction(st, conn, readOnly);
    try {
        EnsurePrepared(s, conn, tra.Get(), m_commandText);
        BindParams(s, m_params, conn, tra.Get());
        if (ReturnsCursor(s.StatementType)) {
            fb::Ref<IResultSet> rs(s.Statement->openCursor(&st, tra.Get(), s.Input.Metadata(), s.Input.Buffer(),
                                                           s.Output.Metadata(), 0));
            rs->close(&st);
            rs.Forget();
        } else {
            s.Statement->execute(&st, tra.Get(), s.Input.Metadata(), s.Input.Buffer(), s.Output.Metadata(),
                                 s.Output.Count() > 0 ? s.Output.Buffer() : nullptr);
        }
        m_rowsAffected = qint64(s.Statement->getAffectedRecords(&st));
        if (shared) {
            tra.Reset();
        } else {
            tra->commit(&st);
            tra.Forget();
        }
    } catch (...) {
        Rollback(st, tra, shared);
        throw;
    }
}

void TSQLDataSet::Close()
{
    FbStatementState& s = *m_state;
    s.Active = false;
    s.Eof = true;
    s.Empty = true;
    if (s.Cursor) {
        try {
            s.Cursor->close(&s.St);
            s.Cursor.Forget();
        } catch (const std::exception&) {
            s.Cursor.Reset();
        }
    }
    if (s.Transaction && s.Shared) {
        s.Transaction.Reset();
    } else if (s.Transaction) {
        try {
            s.Transaction->commit(&s.St);
            s.Transaction.Forget();
        } catch (const std::exception&) {
            Rollback(s.St, s.Transaction, false);
        }
    }
    s.Shared = false;
    // Read values may hold large texts and blobs; a lookup closed per row seldom read any.
    if (s.AnyValues) {
        std::fill(s.Values.begin(), s.Values.end(), QVariant());
        s.AnyValues = false;
    }
}

void TSQLDataSet::TransactionEnding()
{
    if (m_state->Shared)
        Close();
}

void TSQLDataSet::ConnectionClosing()
{
    Close();
    m_state->DropStatement();
}
