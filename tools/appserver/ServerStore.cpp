#include "ServerStore.h"

#include "platform/types/Decimal.h"
#include "platform/types/Exception.h"
#include "platform/sql/SQLConnection.h"
#include "platform/sql/SQLDataSet.h"
#include "tools/schema/SchemaBuilder.h"

#include <QDate>
#include <QtEndian>
#include <QDateTime>
#include <QFileInfo>
#include <QHash>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTime>

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

const QString kUser = QStringLiteral("SYSDBA");
const QString kPassword = QStringLiteral("quillbent");

// Rows per acknowledgement statement; a shorter chunk repeats its last key so
// that every chunk has the same (prepared once) text.
constexpr int kAckChunk = 100;

// Rows per upsert statement: one statement, and one commit, per chunk rather
// than per row. Each row is a member of a UNION. Writing costs the same per
// row from about ten rows on, while preparing the statement grows with its
// size (100 rows of 53 fields: 0.3 s) and a call arriving waits for the chunk
// in hand.
constexpr int kUpsertChunk = 10;

struct TBookInfo
{
    TBook Book;
    const char* Object;
    const char* Short;
    const char* Prefix; // of its tables in the server's database
};

constexpr TBookInfo kBooks[] = {
    {TBook::Cad, "KeltCadServer.coKeltCadServer", "cad", ""},
    {TBook::CadM, "KeltCadMServer5.coKeltCadMServer5", "cadm", "CM$"},
    {TBook::MovM, "KeltMovMServer5.coKeltMovMServer5", "movm", "MM$"},
};

const TBookInfo& Info(TBook book)
{
    for (const TBookInfo& b : kBooks)
        if (b.Book == book)
            return b;
    return kBooks[0];
}

// The master-data providers as the branch's catalogue names them; the table
// is "TB" + the name after "Dsp", upper-cased.
const char* const kCadMProviders[] = {
    "DspAliquota", "DspBanco", "DspConsultor", "DspDocumento", "DspEmpresa", "DspFilial", "DspFinanceira",
    "DspFornecedor", "DspFuncionario", "DspMarca", "DspPlanoHabilitacao", "DspProduto", "DspPromocao",
    "DspRemuneracao", "DspServico", "DspUnidadeMedida", "DspPrecoAcessorio", "DspPrecoSwap", "DspUsuario",
    "DspItUsuario", "DspTpPromocao", "DspGrupo", "DspPrecoApGSM", "DspFaixaPreco", "DspPlanoFuncionario",
    "DspFaixaPrecoFuncionario", "DspGrupoFuncionario", "DspFinanFuncionario", "DspServicoFuncionario",
    "DspServicoOS", "DspAssistencia", "DspCarencia", "DspQtdMinima", "DspClassificacao", "DspCondicaoFinanceira",
    "DspServicoOSFuncionario", "DspPlanoConta", "DspHistorico", "DspAcao", "DspEquipe", "DspItEquipe",
    "DspFunMoeda", "DspPacoteDados", "DspFunCondTpPro", "DspItTpEmpresa", "DspPrecoSerial", "DspTpServico",
    "DspCiclo", "DspLocalEstoque", "DspContador", "DspOperacaoNfe", "DspTpOperacaoNfe", "DspMvaNcm",
    "DSPSeguradora", "DSPTpVenda", "DspRemuneracaoRecarga", "DspTipoDeOferta", "DspImpostoNCM",
    "DspClassificacaoClaro", "DspAdicionalRebate", "DspItRemuneracaoClaro", "DspVigRemuneracaoClaro",
    "DspItServicoClaro",
};

// Tables the client pages by key (PPKULTIMO) instead of acknowledging.
bool IsPagedTable(TBook book, const QString& table)
{
    if (table == QLatin1String("TBPRECOSERIAL"))
        return book != TBook::MovM;
    return book == TBook::Cad && table == QLatin1String("TBPROMOCAO");
}

// Headquarters clears a header's local condition items when its first item
// arrives, so the items of one header must come together.
QStringList ItemHeader(TBook book, const QString& table)
{
    if (book != TBook::MovM)
        return {};
    if (table == QLatin1String("TBITCONDIVENDA"))
        return {QStringLiteral("PKCONDIVENDA"), QStringLiteral("PKFCONDIVENDA")};
    if (table == QLatin1String("TBITCONDICOMPRA"))
        return {QStringLiteral("PKCONDICOMPRA"), QStringLiteral("PKFCONDICOMPRA")};
    return {};
}

QString DefaultProvider(TBook book, const QString& table)
{
    if (book == TBook::CadM)
        for (const char* p : kCadMProviders)
            if (QStringLiteral("TB") + QString::fromLatin1(p + 3).toUpper() == table)
                return QString::fromLatin1(p);
    QString rest = table.startsWith(QLatin1String("TB")) ? table.mid(2) : table;
    rest = rest.toLower();
    if (!rest.isEmpty())
        rest[0] = rest[0].toUpper();
    return QStringLiteral("Dsp") + rest;
}

// The columns a stored row of `book`'s table is found by. Carrier tables:
// the fields the packet flags in-key. Master data and transactions leave the
// contract code out (it comes from the sender's company row and is null in
// every row when that row is missing; it never tells a sender's rows apart),
// and master data adds its destination, so that a row sent for several
// branches is kept once per branch. A table whose packet flags no other key
// field (the payment tables, the offline price log) is found by its catalogue
// key: "PK" + the name after "TB" (with the catalogue's exceptions), then
// PKFILIAL. Empty: no key to find rows by.
QStringList StorageKeys(TBook book, const QString& table, const TFieldDefs& fields)
{
    QStringList keys;
    const QLatin1String contract("CDCONTRATO");
    const QString destination = QStringLiteral("PKFILIALDESTINO");
    for (const TFieldDef& f : fields)
        if (f.InKey() && (book == TBook::Cad || f.Name.compare(contract, Qt::CaseInsensitive) != 0))
            keys << f.Name;
    if (book == TBook::Cad)
        return keys;
    const bool hasDestination = book == TBook::CadM && IndexOfField(fields, destination) >= 0;
    if (hasDestination)
        keys.removeIf([&](const QString& k) { return k.compare(destination, Qt::CaseInsensitive) == 0; });
    if (keys.isEmpty() && table.size() > 2) {
        QStringList catalogue;
        if (table == QLatin1String("TBQUANTIDADE"))
            catalogue = {QStringLiteral("PKPRODUTO"), QStringLiteral("PKFPRODUTO"), QStringLiteral("PKFILIAL")};
        else if (table == QLatin1String("TBDEVOLUCAOCOMPRA"))
            catalogue = {QStringLiteral("PKDEVOLUCAO"), QStringLiteral("PKFILIAL")};
        else if (table == QLatin1String("TBITDEVOLUCAOCOMPRA"))
            catalogue = {QStringLiteral("PKITDEVOLUCAO"), QStringLiteral("PKFILIAL")};
        else if (table == QLatin1String("TBIMPORTATRANSFERENCIA"))
            catalogue = {QStringLiteral("PKTRANSFERENCIA"), QStringLiteral("PKFILIAL")};
        else if (table == QLatin1String("TBITIMPORTATRANSFERENCIA"))
            catalogue = {QStringLiteral("PKITTRANSFERENCIA"), QStringLiteral("PKFILIAL")};
        else
            catalogue = {QStringLiteral("PK") + table.mid(2), QStringLiteral("PKFILIAL")};
        if (IndexOfField(fields, catalogue[0]) >= 0)
            for (const QString& k : catalogue)
                if (const int i = IndexOfField(fields, k); i >= 0)
                    keys << fields[i].Name;
    }
    if (hasDestination && !keys.isEmpty())
        keys << fields[IndexOfField(fields, destination)].Name;
    return keys;
}

bool IsIntegerType(TFieldType type)
{
    return type == TFieldType::ftSmallint || type == TFieldType::ftInteger || type == TFieldType::ftLargeint;
}

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
        .arg(t.SqlName, members.join(QStringLiteral(" UNION ALL ")), on.join(QStringLiteral(" AND ")),
             set.join(u','), names.join(u','), values.join(u','));
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

void SetParam(TSQLDataSet& ds, QStringView name, const QVariant& value)
{
    if (TParam* p = ds.Params().FindParam(name))
        p->Value = value;
}

// Rows written since a reader's cursor was set are found by their version.
QString SeqIndexStatement(int order, const QString& sqlName)
{
    return QStringLiteral("CREATE INDEX KAS_SEQ_%1 ON %2 (KAS_SEQ)").arg(order).arg(sqlName);
}

// Acknowledged batches waiting to be written into KAS_ACK: per entry the row
// ids and versions as pairs of little-endian 64-bit integers.
const char* const kAckLogDdl = "CREATE TABLE KAS_ACKLOG (ID BIGINT NOT NULL PRIMARY KEY, TABLENAME VARCHAR(63) NOT NULL, "
                               "PKFILIAL INTEGER NOT NULL, ACKED BLOB SUB_TYPE BINARY NOT NULL)";

// Packets of Inseri_No_Servidor taken but not yet written into their table:
// the answer waits only for this one insert.
const char* const kStoreLogDdl = "CREATE TABLE KAS_STORELOG (ID BIGINT NOT NULL PRIMARY KEY, TABLENAME VARCHAR(63) NOT "
                                 "NULL, PKFILIAL INTEGER NOT NULL, PACKET BLOB SUB_TYPE BINARY NOT NULL)";

// Upserts per block when a recognised batch is written into KAS_ACK: each
// counts against Firebird's limit of 255 contexts in one statement.
constexpr int kMarkChunk = 50;

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

bool HasReservedPrefix(const QString& name)
{
    return name.startsWith(QLatin1String("KAS_"), Qt::CaseInsensitive);
}

// Transactions have one reader, headquarters, whose acknowledgements are kept as store 0.
qint32 Reader(const TServedTable& t, qint32 store)
{
    return t.Book == TBook::MovM ? 0 : store;
}

} // namespace

QString BookObject(TBook book)
{
    return QString::fromLatin1(Info(book).Object);
}

std::optional<TBook> BookFromName(QStringView name)
{
    for (const TBookInfo& b : kBooks)
        if (name == QLatin1String(b.Object) || name.compare(QLatin1String(b.Short), Qt::CaseInsensitive) == 0)
            return b.Book;
    return std::nullopt;
}

TServerStore::TServerStore(const QString& path, bool createWhenMissing)
    : m_path(path), m_connection(std::make_unique<TSQLConnection>())
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
    ReadTables();
    // Whatever the last run left in the journals.
    m_ackLogPending = true;
    m_storeLogPending = true;
    ApplyJournals();
    // Databases from before the version index get it on first start.
    for (const TServedTable& t : std::as_const(m_tables)) {
        TSQLDataSet& probe = Statement(QStringLiteral("SELECT COUNT(*) FROM RDB$INDICES WHERE RDB$INDEX_NAME = :N"));
        SetParam(probe, u"N", QStringLiteral("KAS_SEQ_%1").arg(t.Order));
        probe.Open();
        const bool present = probe.Fields(0).AsInteger() > 0;
        probe.Close();
        if (!present) {
            m_statements.clear();
            TSQLDataSet ds(m_connection.get());
            ds.SetCommandText(SeqIndexStatement(t.Order, t.SqlName));
            ds.ExecSQL();
        }
    }
}

TServerStore::~TServerStore()
{
    m_statements.clear();
    m_connection->Close();
}

TSQLDataSet& TServerStore::Statement(const QString& text)
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

void TServerStore::EnsureSchema()
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
            if (!hasJournal) {
                m_statements.clear();
                TSQLDataSet ds(m_connection.get());
                ds.SetCommandText(QString::fromLatin1(ddl));
                ds.ExecSQL();
            }
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

void TServerStore::ReadTables()
{
    m_tables.clear();
    TSQLDataSet& ds = Statement(
        QStringLiteral("SELECT TABLENAME, PROVIDERNAME, LOADORDER, FIELDS FROM KAS_TABLE ORDER BY LOADORDER"));
    for (ds.Open(); !ds.Eof(); ds.Next()) {
        TServedTable t;
        t.SqlName = ds.Fields(0).AsString();
        t.Table = t.SqlName;
        for (const TBookInfo& b : kBooks)
            if (*b.Prefix && t.SqlName.startsWith(QLatin1String(b.Prefix))) {
                t.Book = b.Book;
                t.Table = t.SqlName.mid(int(std::strlen(b.Prefix)));
            }
        t.Provider = ds.Fields(1).AsString();
        t.Order = ds.Fields(2).AsInteger();
        t.Fields = TDataPacket::FromXml(ds.Fields(3).AsString().toUtf8()).Fields();
        t.Keys = StorageKeys(t.Book, t.Table, t.Fields);
        const QStringList header = ItemHeader(t.Book, t.Table);
        if (!header.isEmpty() && IndexOfField(t.Fields, header[0]) >= 0 && IndexOfField(t.Fields, header[1]) >= 0)
            t.OrderBy = header;
        for (const QString& k : t.Keys)
            if (!t.OrderBy.contains(k))
                t.OrderBy << k;
        if (IsPagedTable(t.Book, t.Table)) {
            const QString pk = QStringLiteral("PK") + t.Table.mid(2);
            t.PageKey = IndexOfField(t.Fields, pk) >= 0 ? pk : t.Keys.value(0);
        }
        m_tables << t;
    }
    ds.Close();
}

// ---- installations

void TServerStore::AddInstallation(const TInstallation& i)
{
    TSQLDataSet& ds = Statement(QStringLiteral(
        "UPDATE OR INSERT INTO KAS_INSTALLATION (CDCONTRATO, PKFILIAL, PKEMPRESA, UF, NEWCDCONTRATO, NEWPKEMPRESA, "
        "NEWPKFILIAL, NEWUF) VALUES (:CDCONTRATO, :PKFILIAL, :PKEMPRESA, :UF, :NEWCDCONTRATO, :NEWPKEMPRESA, "
        ":NEWPKFILIAL, :NEWUF) MATCHING (CDCONTRATO, PKFILIAL)"));
    const auto opt = [](const auto& o) { return o ? QVariant(*o) : QVariant(); };
    SetParam(ds, u"CDCONTRATO", i.CdContrato.trimmed());
    SetParam(ds, u"PKFILIAL", i.PkFilial);
    SetParam(ds, u"PKEMPRESA", i.PkEmpresa);
    SetParam(ds, u"UF", i.UF);
    SetParam(ds, u"NEWCDCONTRATO", opt(i.NewCdContrato));
    SetParam(ds, u"NEWPKEMPRESA", opt(i.NewPkEmpresa));
    SetParam(ds, u"NEWPKFILIAL", opt(i.NewPkFilial));
    SetParam(ds, u"NEWUF", opt(i.NewUF));
    ds.ExecSQL();
}

QList<TInstallation> TServerStore::Installations()
{
    QList<TInstallation> list;
    TSQLDataSet& ds = Statement(
        QStringLiteral("SELECT CDCONTRATO, PKFILIAL, PKEMPRESA, UF, NEWCDCONTRATO, NEWPKEMPRESA, NEWPKFILIAL, NEWUF "
                       "FROM KAS_INSTALLATION ORDER BY PKFILIAL, CDCONTRATO"));
    for (ds.Open(); !ds.Eof(); ds.Next()) {
        TInstallation i;
        i.CdContrato = ds.Fields(0).AsString();
        i.PkFilial = ds.Fields(1).AsInteger();
        i.PkEmpresa = ds.Fields(2).AsInteger();
        i.UF = ds.Fields(3).AsString();
        if (!ds.Fields(4).IsNull())
            i.NewCdContrato = ds.Fields(4).AsString();
        if (!ds.Fields(5).IsNull())
            i.NewPkEmpresa = ds.Fields(5).AsInteger();
        if (!ds.Fields(6).IsNull())
            i.NewPkFilial = ds.Fields(6).AsInteger();
        if (!ds.Fields(7).IsNull())
            i.NewUF = ds.Fields(7).AsString();
        list << i;
    }
    ds.Close();
    return list;
}

std::optional<TInstallation> TServerStore::FindInstallation(const QString& cdContrato, qint32 pkFilial)
{
    for (const TInstallation& i : Installations())
        if (i.PkFilial == pkFilial && i.CdContrato == cdContrato.trimmed())
            return i;
    return std::nullopt;
}

// ---- served tables

const TServedTable* TServerStore::FindTable(TBook book, QStringView table) const
{
    for (const TServedTable& t : m_tables)
        if (t.Book == book && t.Table.compare(table, Qt::CaseInsensitive) == 0)
            return &t;
    return nullptr;
}

const TServedTable* TServerStore::FindProvider(TBook book, QStringView provider) const
{
    for (const TServedTable& t : m_tables)
        if (t.Book == book && t.Provider.compare(provider, Qt::CaseInsensitive) == 0)
            return &t;
    return nullptr;
}

const TServedTable& TServerStore::CreateTable(TBook book, const QString& table, const QString& provider,
                                              const TFieldDefs& fields)
{
    const QString sqlName = QLatin1String(Info(book).Prefix) + table;
    TTableDef def{sqlName, fields, StorageKeys(book, table, fields)};
    // A sender's contract code may be null (its company row missing).
    if (book != TBook::Cad)
        for (TFieldDef& f : def.Columns)
            if (f.Name.compare(QLatin1String("CDCONTRATO"), Qt::CaseInsensitive) == 0 && !def.PrimaryKey.contains(f.Name))
                f.Required = false;
    def.Columns << TFieldDef{QStringLiteral("KAS_ROWID"), TFieldType::ftLargeint}
                << TFieldDef{QStringLiteral("KAS_SEQ"), TFieldType::ftLargeint}
                << TFieldDef{QStringLiteral("KAS_STORE"), TFieldType::ftInteger};
    int order = 1;
    for (const TServedTable& t : m_tables)
        order = std::max(order, t.Order + 1);
    // The trigger keeps a row's id across updates and gives every write a new
    // version, so rows written with plain SQL become pending like loaded ones.
    const QString trigger =
        QStringLiteral("CREATE TRIGGER KAS_TRG_%1 FOR %2 ACTIVE BEFORE INSERT OR UPDATE POSITION 0 AS\n"
                       "BEGIN\n"
                       "  IF (INSERTING) THEN NEW.KAS_ROWID = NEXT VALUE FOR KAS_GEN;\n"
                       "  ELSE NEW.KAS_ROWID = OLD.KAS_ROWID;\n"
                       "  NEW.KAS_SEQ = NEXT VALUE FOR KAS_GEN;\n"
                       "  IF (NEW.KAS_STORE IS NULL) THEN NEW.KAS_STORE = 0;\n"
                       "END")
            .arg(order)
            .arg(sqlName);
    m_statements.clear(); // prepared statements would hold tables against DDL
    TSQLDataSet ds(m_connection.get());
    ds.SetCommandText(CreateTableStatement(def));
    ds.ExecSQL();
    ds.SetCommandText(trigger);
    ds.ExecSQL();
    ds.SetCommandText(SeqIndexStatement(order, sqlName));
    ds.ExecSQL();
    ds.SetCommandText(QStringLiteral("INSERT INTO KAS_TABLE (TABLENAME, PROVIDERNAME, LOADORDER, FIELDS) "
                                     "VALUES (:T, :P, :O, :F)"));
    SetParam(ds, u"T", sqlName);
    SetParam(ds, u"P", provider);
    SetParam(ds, u"O", order);
    SetParam(ds, u"F", QString::fromUtf8(TDataPacket(fields).ToXml()));
    ds.ExecSQL();
    ReadTables();
    return *FindTable(book, table);
}

const TServedTable& TServerStore::PrepareLoad(TBook book, const QString& tableName, const QString& providerName,
                                              const TDataPacket& packet)
{
    // Everything about the packet is checked before anything is written.
    RequirePlainIdentifier(tableName, "table");
    const QString table = tableName.toUpper();
    if (HasReservedPrefix(table) || table.contains(u'$'))
        throw EDatabaseError(
            QStringLiteral("Table names starting with KAS_ or holding '$' are the server's own: '%1'").arg(table));
    const QString provider = providerName.isEmpty() ? DefaultProvider(book, table) : providerName;
    RequirePlainIdentifier(provider, "provider");
    if (const TServedTable* other = FindProvider(book, provider); other && other->Table != table)
        throw EDatabaseError(QStringLiteral("Provider '%1' already serves table %2").arg(provider, other->Table));
    const TFieldDefs& fields = packet.Fields();
    const QStringList keys = StorageKeys(book, table, fields);
    QList<int> required;
    for (int i = 0; i < fields.size(); ++i) {
        RequirePlainIdentifier(fields[i].Name, "field");
        if (HasReservedPrefix(fields[i].Name))
            throw EDatabaseError(
                QStringLiteral("Field names starting with KAS_ are the server's own: '%1'").arg(fields[i].Name));
        // A sender's contract code may be null (its company row missing).
        const bool contract = book != TBook::Cad && !keys.contains(fields[i].Name) &&
                              fields[i].Name.compare(QLatin1String("CDCONTRATO"), Qt::CaseInsensitive) == 0;
        if (keys.contains(fields[i].Name) || ((fields[i].InKey() || fields[i].Required) && !contract))
            required << i;
    }
    if (keys.isEmpty())
        throw EDatabaseError(
            book == TBook::Cad
                ? QStringLiteral("The packet for %1 marks no key field (PROVFLAGS with the in-key bit 4)").arg(table)
                : QStringLiteral("The packet for %1 marks no key field (PROVFLAGS with the in-key bit 4) other than "
                                 "CDCONTRATO, and has no field %2")
                      .arg(table, QStringLiteral("PK") + table.mid(2)));
    // Master data goes to the branch its row names; 0 there means every branch.
    int destination = -1;
    if (book == TBook::CadM) {
        destination = IndexOfField(fields, u"PKFILIALDESTINO");
        if (destination < 0 || !IsIntegerType(fields[destination].DataType))
            throw EDatabaseError(
                QStringLiteral("The packet for %1 has no integer field PKFILIALDESTINO, the branch each row is for")
                    .arg(table));
        if (!required.contains(destination))
            required << destination;
    }
    for (int r = 0; r < packet.RowCount(); ++r)
        for (int i : required)
            if (packet.Value(r, i).isNull())
                throw EDatabaseError(QStringLiteral("Row %1 of the packet for %2 has no value for %3")
                                         .arg(r + 1)
                                         .arg(table, fields[i].Name));

    const TServedTable* t = FindTable(book, table);
    if (t && t->Fields != fields)
        throw EDatabaseError(
            QStringLiteral("Table %1 is stored with other fields; a packet for it must have the same fields")
                .arg(table));
    if (!t) {
        t = &CreateTable(book, table, provider, fields);
    } else if (!providerName.isEmpty() && t->Provider != provider) {
        TSQLDataSet& ds = Statement(QStringLiteral("UPDATE KAS_TABLE SET PROVIDERNAME = :P WHERE TABLENAME = :T"));
        SetParam(ds, u"P", provider);
        SetParam(ds, u"T", t->SqlName);
        ds.ExecSQL();
        ReadTables();
        t = FindTable(book, table);
    }

    return *t;
}

QList<int> TServerStore::RowsToWrite(const TServedTable& t, const TDataPacket& packet)
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

void TServerStore::WriteChunk(const TServedTable& t, const TDataPacket& packet, const QList<int>& rows,
                              qsizetype start, qint32 store)
{
    const TFieldDefs& fields = packet.Fields();
    const int destination = t.Book == TBook::CadM ? IndexOfField(fields, u"PKFILIALDESTINO") : -1;
    TableWritten(t.SqlName); // before the statement: a failure may leave some written
    // Every chunk uses one statement, prepared once: a shorter one is padded
    // with rows that have no store, which the statement leaves out.
    TSQLDataSet& ds = Statement(UpsertStatement(t, kUpsertChunk));
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

void TServerStore::WriteRows(const TServedTable& t, const TDataPacket& packet, qint32 store)
{
    const QList<int> rows = RowsToWrite(t, packet);
    for (qsizetype start = 0; start < rows.size(); start += kUpsertChunk)
        WriteChunk(t, packet, rows, start, store);
}

int TServerStore::LoadPacket(TBook book, const QString& tableName, const QString& providerName,
                             const TDataPacket& packet, qint32 store)
{
    ApplyStoreLog(); // packets taken earlier come first
    const TServedTable& t = PrepareLoad(book, tableName, providerName, packet);
    WriteRows(t, packet, store);
    return packet.RowCount();
}

int TServerStore::JournalPacket(TBook book, const QString& table, TDataPacket packet, const QByteArray& text,
                                qint32 store)
{
    const TServedTable& t = PrepareLoad(book, table, {}, packet);
    RequireStorable(t, packet);
    TSQLDataSet& next = Statement(QStringLiteral("SELECT NEXT VALUE FOR KAS_GEN FROM RDB$DATABASE"));
    next.Open();
    const qint64 id = next.Fields(0).AsLargeInt();
    next.Close();
    TSQLDataSet& ds = Statement(QStringLiteral("INSERT INTO KAS_STORELOG (ID, TABLENAME, PKFILIAL, PACKET) "
                                               "VALUES (:ID, :TN, :S, :P)"));
    SetParam(ds, u"ID", id);
    SetParam(ds, u"TN", t.SqlName);
    SetParam(ds, u"S", store);
    SetParam(ds, u"P", text);
    ds.ExecSQL();
    TableWritten(t.SqlName); // a batch read ahead may no longer be all that is pending
    m_storeLogPending = true;
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

void TServerStore::RequireStorable(const TServedTable& t, const TDataPacket& packet)
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
                throw EDatabaseError(QStringLiteral("Row %1 of the packet for %2: the value of %3 (%4) cannot be stored "
                                                    "as %5")
                                         .arg(r + 1)
                                         .arg(t.Table, f.Name, VariantText(cell.Value()), SqlColumnType(f)));
        }
    }
}

void TServerStore::ApplyStoreLog()
{
    while (ApplyStoreLogStep()) {
    }
}

bool TServerStore::ApplyStoreLogStep()
{
    if (!m_storeLogPending)
        return false;
    if (!m_storeLogEntry) {
        TSQLDataSet& first =
            Statement(QStringLiteral("SELECT FIRST 1 ID, TABLENAME, PKFILIAL FROM KAS_STORELOG ORDER BY ID"));
        first.Open();
        if (first.Eof()) {
            first.Close();
            m_storeLogPending = false;
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
            TSQLDataSet& read = Statement(QStringLiteral("SELECT PACKET FROM KAS_STORELOG WHERE ID = :ID"));
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
        const auto t = std::find_if(m_tables.cbegin(), m_tables.cend(),
                                    [&](const TServedTable& x) { return x.SqlName == e.SqlName; });
        if (t != m_tables.cend())
            e.Rows = RowsToWrite(*t, e.Packet);
        else
            for (int r = 0; r < e.Packet.RowCount(); ++r)
                e.Rows << r; // the write below reports the table gone
        m_storeLogEntry = std::move(e);
    }
    // One chunk at a time, so that a call arriving meanwhile waits for one
    // chunk at most. A chunk written twice (a restart in the middle of an
    // entry) writes the same values again.
    TStoreLogEntry& e = *m_storeLogEntry;
    if (e.Next < e.Rows.size()) {
        try {
            const auto t = std::find_if(m_tables.cbegin(), m_tables.cend(),
                                        [&](const TServedTable& x) { return x.SqlName == e.SqlName; });
            if (t == m_tables.cend())
                throw EDatabaseError(QStringLiteral("the table is no longer served"));
            WriteChunk(*t, e.Packet, e.Rows, e.Next, e.Store);
        } catch (const std::exception& ex) {
            const qint64 id = e.Id;
            const QString table = e.SqlName;
            m_storeLogEntry.reset(); // read again on the next try
            throw EDatabaseError(QStringLiteral("A packet taken for %1 (entry %2 of KAS_STORELOG) cannot be written "
                                                "yet: %3")
                                     .arg(table)
                                     .arg(id)
                                     .arg(QString::fromLocal8Bit(ex.what())));
        }
        e.Next += kUpsertChunk;
        if (e.Next < e.Rows.size())
            return true;
    }
    TSQLDataSet& done = Statement(QStringLiteral("DELETE FROM KAS_STORELOG WHERE ID = :ID"));
    SetParam(done, u"ID", e.Id);
    done.ExecSQL();
    m_storeLogEntry.reset();
    return true;
}

void TServerStore::ApplyJournals()
{
    ApplyStoreLog();
    ApplyAckLog();
}

QStringList TServerStore::TablesFor(TBook book, qint32 store)
{
    ApplyJournals();
    QStringList names;
    for (const TServedTable& t : m_tables) {
        if (t.Book != book)
            continue;
        TSQLDataSet& ds = Statement(QStringLiteral("SELECT COUNT(*) FROM RDB$DATABASE WHERE EXISTS (SELECT 1 FROM %1 "
                                                   "r WHERE %2)")
                                        .arg(t.SqlName, PendingWhere(t, book == TBook::Cad, false)));
        SetParam(ds, u"S", Reader(t, store));
        SetParam(ds, u"TN", t.SqlName);
        ds.Open();
        if (ds.Fields(0).AsInteger() > 0)
            names << t.Table;
        ds.Close();
    }
    return names;
}

QString TServerStore::PendingWhere(const TServedTable& t, bool ignoreAcks, bool paged) const
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

qint64 TServerStore::PendingCount(const TServedTable& t, qint32 store, qint64 pkUltimo)
{
    ApplyJournals();
    TSQLDataSet& ds = Statement(
        QStringLiteral("SELECT COUNT(*) FROM %1 r WHERE %2").arg(t.SqlName, PendingWhere(t, false, t.Paged())));
    SetParam(ds, u"S", Reader(t, store));
    SetParam(ds, u"TN", t.SqlName);
    SetParam(ds, u"PKULTIMO", pkUltimo);
    ds.Open();
    const qint64 n = ds.Fields(0).AsLargeInt();
    ds.Close();
    return n;
}

TDataPacket TServerStore::SelectRows(const TServedTable& t, const QString& where, qint32 store, int count,
                                     qint64 pkUltimo)
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
    TSQLDataSet& ds = Statement(QStringLiteral("SELECT %1%2 FROM %3 r WHERE %4 ORDER BY %5")
                                    .arg(first, columns.join(u','), t.SqlName, where, order.join(u',')));
    SetParam(ds, u"S", Reader(t, store));
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

TDataPacket TServerStore::PendingRows(const TServedTable& t, qint32 store, int count, qint64 pkUltimo,
                                      bool ignoreAcks)
{
    ApplyJournals();
    return SelectRows(t, PendingWhere(t, ignoreAcks, t.Paged() && !ignoreAcks), store, count, pkUltimo);
}

TDataPacket TServerStore::AllRows(const TServedTable& t)
{
    ApplyJournals();
    return SelectRows(t, QStringLiteral("1 = 1"), 0, -1, 0);
}

qint64 TServerStore::LastPageKey(const TServedTable& t)
{
    if (!t.Paged())
        return 0;
    ApplyJournals();
    TSQLDataSet& ds = Statement(QStringLiteral("SELECT MAX(%1) FROM %2").arg(t.PageKey, t.SqlName));
    ds.Open();
    const qint64 last = ds.Fields(0).IsNull() ? 0 : ds.Fields(0).AsLargeInt();
    ds.Close();
    return last;
}

int TServerStore::Acknowledge(const TServedTable& t, qint32 store, const TDataPacket& packet)
{
    ApplyJournals();
    // Rows read ahead may be among those taken now: they are read again.
    TReaderState& state = ReaderState(t, store);
    state.Served.reset();
    state.Ahead.reset();
    state.AheadReady = false;
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
    TSQLDataSet& ds =
        Statement(QStringLiteral("MERGE INTO KAS_ACK a USING (SELECT r.KAS_ROWID, r.KAS_SEQ FROM %1 r WHERE %2) s "
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
        SetParam(ds, u"S", Reader(t, store));
        ds.ExecSQL();
        marked += int(ds.RowsAffected());
    }
    return marked;
}

TServerStore::TAcknowledged TServerStore::Acknowledge(const TServedTable& t, qint32 store, const QByteArray& packetText)
{
    TReaderState& state = ReaderState(t, store);
    const quint64 epoch = m_writeEpochs.value(t.SqlName);
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
        result.Marked = Acknowledge(t, store, *parsed);
        return result;
    }
    JournalAcknowledged(t, Reader(t, store), *state.Served);
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

void TServerStore::JournalAcknowledged(const TServedTable& t, qint32 reader, const TServedBatch& batch)
{
    // One row, committed before the answer: durable at the cost of one insert.
    QByteArray acked;
    acked.reserve(batch.RowIds.size() * 16);
    for (qsizetype i = 0; i < batch.RowIds.size(); ++i) {
        const qint64 pair[2] = {qToLittleEndian(batch.RowIds[i]), qToLittleEndian(batch.Seqs[i])};
        acked.append(reinterpret_cast<const char*>(pair), sizeof pair);
    }
    TSQLDataSet& ds = Statement(QStringLiteral("INSERT INTO KAS_ACKLOG (ID, TABLENAME, PKFILIAL, ACKED) "
                                               "VALUES (NEXT VALUE FOR KAS_GEN, :TN, :S, :A)"));
    SetParam(ds, u"TN", t.SqlName);
    SetParam(ds, u"S", reader);
    SetParam(ds, u"A", acked);
    ds.ExecSQL();
    m_ackLogPending = true;
}

void TServerStore::ApplyAckLog()
{
    if (!m_ackLogPending)
        return;
    struct TEntry
    {
        qint64 Id;
        QString Table;
        qint32 Reader;
        QByteArray Acked;
    };
    QList<TEntry> entries;
    TSQLDataSet& list = Statement(QStringLiteral("SELECT ID, TABLENAME, PKFILIAL, ACKED FROM KAS_ACKLOG ORDER BY ID"));
    for (list.Open(); !list.Eof(); list.Next())
        entries.append({list.Fields(0).AsLargeInt(), list.Fields(1).AsString(), list.Fields(2).AsInteger(),
                        list.Fields(3).Value().toByteArray()});
    list.Close();
    // In order, each entry gone only once written: applying one twice after a
    // crash writes the same versions again.
    for (const TEntry& e : entries) {
        TServedBatch batch;
        const qsizetype n = e.Acked.size() / 16;
        for (qsizetype i = 0; i < n; ++i) {
            qint64 pair[2];
            std::memcpy(pair, e.Acked.constData() + i * 16, sizeof pair);
            batch.RowIds << qFromLittleEndian(pair[0]);
            batch.Seqs << qFromLittleEndian(pair[1]);
        }
        MarkAcknowledged(e.Table, e.Reader, batch);
        TSQLDataSet& done = Statement(QStringLiteral("DELETE FROM KAS_ACKLOG WHERE ID = :ID"));
        SetParam(done, u"ID", e.Id);
        done.ExecSQL();
    }
    m_ackLogPending = false;
}

void TServerStore::MarkAcknowledged(const QString& sqlName, qint32 reader, const TServedBatch& batch)
{
    // One block of upserts per chunk: one statement and one commit for many rows.
    // The block's body names its inputs as ": NAME"; ":NAME" would make them
    // parameters of the statement itself.
    QStringList inputs, body;
    for (int r = 0; r < kMarkChunk; ++r) {
        inputs << QStringLiteral("R%1 BIGINT = :R%1, Q%1 BIGINT = :Q%1").arg(r);
        body << QStringLiteral("IF (R%1 IS NOT NULL) THEN UPDATE OR INSERT INTO KAS_ACK (TABLENAME, PKFILIAL, "
                               "ACKROWID, ACKSEQ) VALUES (: TN, : S, : R%1, : Q%1) MATCHING (TABLENAME, PKFILIAL, ACKROWID);")
                    .arg(r);
    }
    TSQLDataSet& ds = Statement(QStringLiteral("EXECUTE BLOCK (TN VARCHAR(63) = :TN, S INTEGER = :S, %1) AS BEGIN %2 END")
                                    .arg(inputs.join(QStringLiteral(", ")), body.join(u' ')));
    // Parameters in order of appearance: TN, S, R0, Q0, R1, Q1, ...
    TParams& params = ds.Params();
    const qsizetype n = batch.RowIds.size();
    for (qsizetype start = 0; start < n; start += kMarkChunk) {
        params[0].Value = sqlName;
        params[1].Value = reader;
        for (int r = 0; r < kMarkChunk; ++r) {
            const qsizetype i = start + r;
            params[2 + 2 * r].Value = i < n ? QVariant(batch.RowIds[i]) : QVariant(); // padding writes nothing
            params[3 + 2 * r].Value = i < n ? QVariant(batch.Seqs[i]) : QVariant();
        }
        ds.ExecSQL();
    }
}

// ---- readers' cursors and batches read ahead

bool TServerStore::UsesCursor(const TServedTable& t) const
{
    // Pages by key need an order without NULLs: the primary key alone.
    return !t.Paged() && !t.Keys.isEmpty() && t.OrderBy == t.Keys;
}

TServerStore::TReaderState& TServerStore::ReaderState(const TServedTable& t, qint32 store)
{
    return m_readers[t.SqlName + u'|' + QString::number(Reader(t, store))];
}

void TServerStore::TableWritten(const QString& sqlName)
{
    ++m_writeEpochs[sqlName];
}

qint64 TServerStore::Generation()
{
    TSQLDataSet& ds = Statement(QStringLiteral("SELECT GEN_ID(KAS_GEN, 0) FROM RDB$DATABASE"));
    ds.Open();
    const qint64 g = ds.Fields(0).AsLargeInt();
    ds.Close();
    return g;
}

TServerStore::TServedBatch TServerStore::ReadBatch(const TServedTable& t, qint32 store, int count,
                                                   const TReaderState& state, const QList<QVariant>* after)
{
    TServedBatch batch;
    batch.Count = count;
    batch.Epoch = m_writeEpochs.value(t.SqlName);
    batch.Generation = Generation();
    batch.Rows.Packet = TDataPacket(t.Fields);
    QStringList columns;
    for (const TFieldDef& f : t.Fields)
        columns << QStringLiteral("r.") + f.Name;
    columns << QStringLiteral("r.KAS_ROWID") << QStringLiteral("r.KAS_SEQ");
    QStringList order;
    for (const QString& k : t.OrderBy)
        order << QStringLiteral("r.") + k;
    const QString pending = PendingWhere(t, false, false);
    const auto select = [&](const QString& where, const QList<QVariant>* cursor, qint64 generation) {
        const qint64 room = count < 0 ? std::numeric_limits<int>::max() : count - batch.RowIds.size();
        if (room <= 0)
            return;
        TSQLDataSet& ds = Statement(QStringLiteral("SELECT FIRST (:N) %1 FROM %2 r WHERE %3 AND %4 ORDER BY %5")
                                        .arg(columns.join(u','), t.SqlName, pending, where, order.join(u',')));
        SetParam(ds, u"N", room);
        SetParam(ds, u"S", Reader(t, store));
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

TServerStore::TServedRows TServerStore::ServeRows(const TServedTable& t, qint32 store, int count, qint64 pkUltimo,
                                                  bool ignoreAcks)
{
    TReaderState& state = ReaderState(t, store);
    if (count == 0 || ignoreAcks || !UsesCursor(t)) {
        state.Served.reset();
        state.Ahead.reset();
        state.AheadReady = false;
        TServedRows rows{PendingRows(t, store, count, pkUltimo, ignoreAcks), {}};
        rows.Text = rows.Packet.ToXml();
        return rows;
    }
    const quint64 epoch = m_writeEpochs.value(t.SqlName);
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

void TServerStore::ReadAhead(TBook book, const QString& table, qint32 store)
{
    // The client is busy with the batch just served: time to write what was
    // acknowledged into KAS_ACK.
    ApplyJournals();
    const TServedTable* t = FindTable(book, table);
    if (!t || !UsesCursor(*t))
        return;
    TReaderState& state = ReaderState(*t, store);
    // Only after a batch that rows follow, and only while nothing was written since.
    if (!state.Served || state.Ahead || state.Served->LastKey.isEmpty() ||
        state.Served->Epoch != m_writeEpochs.value(t->SqlName))
        return;
    TServedBatch ahead = ReadBatch(*t, store, state.Served->Count, state, &state.Served->LastKey);
    ahead.Rows.Text = ahead.Rows.Packet.ToXml();
    ahead.Rows.ReadAhead = false;
    state.Ahead = std::move(ahead);
    state.AheadReady = false;
}

// ---- faults

QList<TFault> TServerStore::LoadFaults()
{
    QList<TFault> list;
    TSQLDataSet& ds = Statement(QStringLiteral("SELECT ID, SPEC FROM KAS_FAULT ORDER BY ID"));
    for (ds.Open(); !ds.Eof(); ds.Next()) {
        TFault f = TFault::FromJson(QJsonDocument::fromJson(ds.Fields(1).AsString().toUtf8()).object());
        f.Id = ds.Fields(0).AsInteger();
        list << f;
    }
    ds.Close();
    return list;
}

int TServerStore::SaveFault(const TFault& fault)
{
    TSQLDataSet& next = Statement(QStringLiteral("SELECT COALESCE(MAX(ID), 0) + 1 FROM KAS_FAULT"));
    next.Open();
    const int id = next.Fields(0).AsInteger();
    next.Close();
    TFault stored = fault;
    stored.Id = 0;
    TSQLDataSet& ds = Statement(QStringLiteral("INSERT INTO KAS_FAULT (ID, SPEC) VALUES (:ID, :SPEC)"));
    SetParam(ds, u"ID", id);
    SetParam(ds, u"SPEC", QString::fromUtf8(QJsonDocument(stored.ToJson()).toJson(QJsonDocument::Compact)));
    ds.ExecSQL();
    return id;
}

void TServerStore::DeleteFault(int id)
{
    TSQLDataSet& ds = Statement(QStringLiteral("DELETE FROM KAS_FAULT WHERE ID = :ID"));
    SetParam(ds, u"ID", id);
    ds.ExecSQL();
}

void TServerStore::ClearFaults()
{
    Statement(QStringLiteral("DELETE FROM KAS_FAULT")).ExecSQL();
}

// ---- operator SQL

QString TServerStore::ExecSql(const QString& statement)
{
    ApplyJournals(); // the operator sees every acknowledgement in KAS_ACK
    m_statements.clear();
    ForgetReaders(); // the statement may change rows or acknowledgements behind the readers' cursors
    QString out;
    {
        TSQLDataSet ds(m_connection.get());
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
    ReadTables(); // the statement may have changed the tables
    return out;
}
