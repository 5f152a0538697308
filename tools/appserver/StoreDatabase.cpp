#include "StoreDatabase.h"

#include "platform/types/Decimal.h"
#include "platform/types/Exception.h"
#include "platform/sql/SQLConnection.h"
#include "platform/sql/SQLDataSet.h"

#include <QDate>
#include <QDateTime>
#include <QFileInfo>

namespace {

const QString kUser = QStringLiteral("SYSDBA");
const QString kPassword = QStringLiteral("quillbent");

// Acknowledged batches waiting to be written into KAS_ACK: per entry the row
// ids and versions as pairs of little-endian 64-bit integers.
const char* const kAckLogDdl =
    "CREATE TABLE KAS_ACKLOG (ID BIGINT NOT NULL PRIMARY KEY, TABLENAME VARCHAR(63) NOT NULL, "
    "PKFILIAL INTEGER NOT NULL, ACKED BLOB SUB_TYPE BINARY NOT NULL)";

// Packets of Inseri_No_Servidor taken but not yet written into their table:
// the answer waits only for this one insert.
const char* const kStoreLogDdl = "CREATE TABLE KAS_STORELOG (ID BIGINT NOT NULL PRIMARY KEY, TABLENAME VARCHAR(63) NOT "
                                 "NULL, PKFILIAL INTEGER NOT NULL, PACKET BLOB SUB_TYPE BINARY NOT NULL)";

} // namespace

TStoreDatabase::TStoreDatabase(const QString& path, bool createWhenMissing)
    : m_connection(std::make_unique<TSQLConnection>())
{
    const bool create = !path.contains(u':') && !QFileInfo::exists(path);
    if (create && !createWhenMissing)
        throw Exception(QStringLiteral("No database %1 (nothing was created)").arg(path));
    if (create) {
        TCreateDatabaseOptions options;
        options.User = kUser;
        options.Password = kPassword;
        options.CharSet = QStringLiteral("UTF8");
        // Commits still reach the file, so a restart of the server loses nothing;
        // only a crash of the machine itself could.
        options.ForcedWrites = false;
        CreateDatabase(path, options);
    }
    auto& p = m_connection->Params();
    p.Add(QStringLiteral("DataBase"), path);
    p.Add(QStringLiteral("User_Name"), kUser);
    p.Add(QStringLiteral("Password"), kPassword);
    p.Add(QStringLiteral("ServerCharSet"), QStringLiteral("UTF8"));
    p.Add(QStringLiteral("SQLDialect"), QStringLiteral("3"));
    m_connection->SetLoginPrompt(false);
    m_connection->Open();
    EnsureSchema();
}

TStoreDatabase::~TStoreDatabase()
{
    m_statements.clear();
    m_connection->Close();
}

TSQLDataSet& TStoreDatabase::Statement(const QString& text)
{
    for (auto& [t, ds] : m_statements)
        if (t == text) {
            ds->Close();
            return *ds;
        }
    auto ds = std::make_unique<TSQLDataSet>(m_connection.get());
    ds->SetCommandText(text);
    m_statements.emplace_back(text, std::move(ds));
    return *m_statements.back().second;
}

void TStoreDatabase::ForgetStatements()
{
    m_statements.clear();
}

void TStoreDatabase::ExecuteDdl(const QString& statement)
{
    m_statements.clear();
    TSQLDataSet ds(m_connection.get());
    ds.SetCommandText(statement);
    ds.ExecSQL();
}

void TStoreDatabase::EnsureSchema()
{
    TSQLDataSet& probe =
        Statement(QStringLiteral("SELECT COUNT(*) FROM RDB$RELATIONS WHERE RDB$RELATION_NAME = 'KAS_TABLE'"));
    probe.Open();
    const bool present = probe.Fields(0).AsInteger() > 0;
    probe.Close();
    if (present) {
        // Databases of earlier versions get the journals on first start.
        for (const auto& [name, ddl] : {std::pair{"KAS_ACKLOG", kAckLogDdl}, std::pair{"KAS_STORELOG", kStoreLogDdl}}) {
            TSQLDataSet& journal =
                Statement(QStringLiteral("SELECT COUNT(*) FROM RDB$RELATIONS WHERE RDB$RELATION_NAME = '%1'")
                              .arg(QLatin1String(name)));
            journal.Open();
            const bool hasJournal = journal.Fields(0).AsInteger() > 0;
            journal.Close();
            if (!hasJournal)
                ExecuteDdl(QString::fromLatin1(ddl));
        }
        return;
    }
    const char* ddl[] = {
        kAckLogDdl,
        kStoreLogDdl,
        "CREATE SEQUENCE KAS_GEN",
        "CREATE TABLE KAS_INSTALLATION (CDCONTRATO VARCHAR(40) NOT NULL, PKFILIAL INTEGER NOT NULL, "
        "PKEMPRESA INTEGER NOT NULL, UF VARCHAR(10), NEWCDCONTRATO VARCHAR(40), NEWPKEMPRESA INTEGER, "
        "NEWPKFILIAL INTEGER, NEWUF VARCHAR(10), PRIMARY KEY (CDCONTRATO, PKFILIAL))",
        "CREATE TABLE KAS_TABLE (TABLENAME VARCHAR(63) NOT NULL PRIMARY KEY, PROVIDERNAME VARCHAR(63) NOT NULL, "
        "LOADORDER INTEGER NOT NULL, FIELDS BLOB SUB_TYPE TEXT NOT NULL)",
        "CREATE TABLE KAS_ACK (TABLENAME VARCHAR(63) NOT NULL, PKFILIAL INTEGER NOT NULL, ACKROWID BIGINT NOT NULL, "
        "ACKSEQ BIGINT NOT NULL, PRIMARY KEY (TABLENAME, PKFILIAL, ACKROWID))",
        "CREATE TABLE KAS_FAULT (ID INTEGER NOT NULL PRIMARY KEY, SPEC VARCHAR(4000) NOT NULL)",
    };
    TSQLDataSet ds(m_connection.get());
    for (const char* sql : ddl) {
        ds.SetCommandText(QString::fromLatin1(sql));
        ds.ExecSQL();
    }
}

void SetParam(TSQLDataSet& ds, QStringView name, const QVariant& value)
{
    if (TParam* p = ds.Params().FindParam(name))
        p->Value = value;
}

QString VariantText(const QVariant& v)
{
    if (v.isNull())
        return QStringLiteral("NULL");
    if (v.metaType() == QMetaType::fromType<Decimal>())
        return v.value<Decimal>().ToString();
    if (v.metaType() == QMetaType::fromType<QDate>())
        return v.toDate().toString(Qt::ISODate);
    if (v.metaType() == QMetaType::fromType<QDateTime>())
        return v.toDateTime().toString(Qt::ISODateWithMs);
    if (v.metaType() == QMetaType::fromType<QByteArray>())
        return QStringLiteral("<%1 bytes>").arg(v.toByteArray().size());
    return v.toString();
}
