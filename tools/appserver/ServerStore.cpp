#include "ServerStore.h"

#include "platform/data/Decimal.h"
#include "platform/data/Exception.h"
#include "platform/sql/SQLConnection.h"
#include "platform/sql/SQLDataSet.h"
#include "tools/schema/SchemaBuilder.h"

#include <QDate>
#include <QDateTime>
#include <QFileInfo>
#include <QHash>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTime>

#include <algorithm>
#include <cstring>

namespace {

const QString kUser = QStringLiteral("SYSDBA");
const QString kPassword = QStringLiteral("quillbent");

// Rows per acknowledgement statement; a shorter chunk repeats its last key so
// that every chunk has the same (prepared once) text.
constexpr int kAckChunk = 100;

// Rows per upsert statement: one statement, and one commit, per chunk rather
// than per row. Each row is a member of a UNION, and Firebird allows at most
// 255 contexts in one statement.
constexpr int kUpsertChunk = 100;

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
        members << QStringLiteral("SELECT %1 FROM RDB$DATABASE").arg(columns.join(u','));
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

TServerStore::TServerStore(const QString& path) : m_path(path), m_connection(std::make_unique<TSQLConnection>())
{
    const bool create = !path.contains(u':') && !QFileInfo::exists(path);
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
    if (present)
        return;
    const char* ddl[] = {
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
        for (const TFieldDef& f : t.Fields)
            if (f.InKey())
                t.Keys << f.Name;
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
    TTableDef def{sqlName, fields, {}};
    for (const TFieldDef& f : fields)
        if (f.InKey())
            def.PrimaryKey << f.Name;
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

int TServerStore::LoadPacket(TBook book, const QString& tableName, const QString& providerName,
                             const TDataPacket& packet, qint32 store)
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
    QList<int> keys;
    QList<int> required;
    for (int i = 0; i < fields.size(); ++i) {
        RequirePlainIdentifier(fields[i].Name, "field");
        if (HasReservedPrefix(fields[i].Name))
            throw EDatabaseError(
                QStringLiteral("Field names starting with KAS_ are the server's own: '%1'").arg(fields[i].Name));
        if (fields[i].InKey())
            keys << i;
        if (fields[i].InKey() || fields[i].Required)
            required << i;
    }
    if (keys.isEmpty())
        throw EDatabaseError(
            QStringLiteral("The packet for %1 marks no key field (PROVFLAGS with the in-key bit 4)").arg(table));
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

    // A key sent twice in one packet keeps its last row.
    QHash<QString, int> lastOfKey;
    for (int r = 0; r < packet.RowCount(); ++r) {
        QString key;
        for (int i : keys)
            key += VariantText(packet.Value(r, i)) + u'\x1f';
        lastOfKey.insert(key, r);
    }
    QList<int> rows = lastOfKey.values();
    std::sort(rows.begin(), rows.end());

    for (qsizetype start = 0; start < rows.size(); start += kUpsertChunk) {
        const int n = int(std::min<qsizetype>(kUpsertChunk, rows.size() - start));
        // Full chunks reuse one prepared statement; the last, shorter one is prepared once.
        TSQLDataSet last(m_connection.get());
        TSQLDataSet* ds = &last;
        if (n == kUpsertChunk)
            ds = &Statement(UpsertStatement(*t, n));
        else
            last.SetCommandText(UpsertStatement(*t, n));
        int p = 0;
        for (int k = 0; k < n; ++k) {
            const int r = rows[start + k];
            for (int i = 0; i < fields.size(); ++i)
                ds->Params()[p++].Value = packet.Value(r, i);
            ds->Params()[p++].Value = destination >= 0 ? packet.Value(r, destination) : QVariant(store);
        }
        ds->ExecSQL();
    }
    return packet.RowCount();
}

QStringList TServerStore::TablesFor(TBook book, qint32 store)
{
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
    return SelectRows(t, PendingWhere(t, ignoreAcks, t.Paged() && !ignoreAcks), store, count, pkUltimo);
}

TDataPacket TServerStore::AllRows(const TServedTable& t)
{
    return SelectRows(t, QStringLiteral("1 = 1"), 0, -1, 0);
}

qint64 TServerStore::LastPageKey(const TServedTable& t)
{
    if (!t.Paged())
        return 0;
    TSQLDataSet& ds = Statement(QStringLiteral("SELECT MAX(%1) FROM %2").arg(t.PageKey, t.SqlName));
    ds.Open();
    const qint64 last = ds.Fields(0).IsNull() ? 0 : ds.Fields(0).AsLargeInt();
    ds.Close();
    return last;
}

int TServerStore::Acknowledge(const TServedTable& t, qint32 store, const TDataPacket& packet)
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
    m_statements.clear();
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
