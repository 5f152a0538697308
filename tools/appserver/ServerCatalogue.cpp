#include "ServerCatalogue.h"

#include "StoreDatabase.h"

#include "platform/types/Exception.h"
#include "platform/sql/SQLDataSet.h"
#include "tools/schema/SchemaBuilder.h"

#include <algorithm>
#include <cstring>

namespace {

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

// Rows written since a reader's cursor was set are found by their version.
QString SeqIndexStatement(int order, const QString& sqlName)
{
    return QStringLiteral("CREATE INDEX KAS_SEQ_%1 ON %2 (KAS_SEQ)").arg(order).arg(sqlName);
}

bool HasReservedPrefix(const QString& name)
{
    return name.startsWith(QLatin1String("KAS_"), Qt::CaseInsensitive);
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

TServerCatalogue::TServerCatalogue(TStoreDatabase& database) : m_database(database)
{
    ReadTables();
}

void TServerCatalogue::EnsureSeqIndexes()
{
    // Databases from before the version index get it on first start.
    for (const TServedTable& t : std::as_const(m_tables)) {
        TSQLDataSet& probe =
            m_database.Statement(QStringLiteral("SELECT COUNT(*) FROM RDB$INDICES WHERE RDB$INDEX_NAME = :N"));
        SetParam(probe, u"N", QStringLiteral("KAS_SEQ_%1").arg(t.Order));
        probe.Open();
        const bool present = probe.Fields(0).AsInteger() > 0;
        probe.Close();
        if (!present)
            m_database.ExecuteDdl(SeqIndexStatement(t.Order, t.SqlName));
    }
}

void TServerCatalogue::ReadTables()
{
    m_tables.clear();
    TSQLDataSet& ds = m_database.Statement(
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

const TServedTable* TServerCatalogue::FindTable(TBook book, QStringView table) const
{
    for (const TServedTable& t : m_tables)
        if (t.Book == book && t.Table.compare(table, Qt::CaseInsensitive) == 0)
            return &t;
    return nullptr;
}

const TServedTable* TServerCatalogue::FindProvider(TBook book, QStringView provider) const
{
    for (const TServedTable& t : m_tables)
        if (t.Book == book && t.Provider.compare(provider, Qt::CaseInsensitive) == 0)
            return &t;
    return nullptr;
}

const TServedTable* TServerCatalogue::FindSqlName(const QString& sqlName) const
{
    for (const TServedTable& t : m_tables)
        if (t.SqlName == sqlName)
            return &t;
    return nullptr;
}

const TServedTable& TServerCatalogue::CreateTable(TBook book, const QString& table, const QString& provider,
                                                  const TFieldDefs& fields)
{
    const QString sqlName = QLatin1String(Info(book).Prefix) + table;
    TTableDef def{sqlName, fields, StorageKeys(book, table, fields)};
    // A sender's contract code may be null (its company row missing).
    if (book != TBook::Cad)
        for (TFieldDef& f : def.Columns)
            if (f.Name.compare(QLatin1String("CDCONTRATO"), Qt::CaseInsensitive) == 0 &&
                !def.PrimaryKey.contains(f.Name))
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
    m_database.ForgetStatements(); // prepared statements would hold tables against DDL
    TSQLDataSet ds(m_database.Connection());
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

const TServedTable& TServerCatalogue::PrepareLoad(TBook book, const QString& tableName, const QString& providerName,
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
        TSQLDataSet& ds =
            m_database.Statement(QStringLiteral("UPDATE KAS_TABLE SET PROVIDERNAME = :P WHERE TABLENAME = :T"));
        SetParam(ds, u"P", provider);
        SetParam(ds, u"T", t->SqlName);
        ds.ExecSQL();
        ReadTables();
        t = FindTable(book, table);
    }

    return *t;
}
