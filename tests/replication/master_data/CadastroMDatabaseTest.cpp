#include "platform/data/ClientDataSet.h"
#include "platform/types/DataPacket.h"
#include "platform/types/Decimal.h"
#include "platform/sql/SQLConnection.h"
#include "platform/sql/SQLDataSet.h"
#include "replication/core/cl_Funcoes.h"
#include "tools/channel_schemas/CadastroMSchema.h"
#include "replication/master_data/uDM_CadastroM.h"
#include "tests/support/TestSupport.h"

#include <QDate>

#include <gtest/gtest.h>

#include <algorithm>

namespace {

// Every PK... column of the generated rows holds this key: above the serial
// prices' floor, and the company of the contract code and of the swap prices.
constexpr qint32 kKey = 100000001;
constexpr qint32 kDestination = 7; // branch of the generated tracking rows

TDadosFilial Identity(qint32 company)
{
    TDadosFilial d;
    d.CdContrato = QStringLiteral("CONFIGURADO");
    d.PkEmpresa = company;
    d.PkFilial = 3;
    d.UF = QStringLiteral("SP");
    return d;
}

// Comparable text of a value of any field type.
QString Text(const QVariant& v)
{
    if (v.isNull())
        return QStringLiteral("null");
    if (v.metaType() == QMetaType::fromType<Decimal>())
        return v.value<Decimal>().ToString();
    if (v.metaType() == QMetaType::fromType<QByteArray>())
        return QStringLiteral("0x") + QString::fromLatin1(v.toByteArray().toHex());
    if (v.metaType() == QMetaType::fromType<QDate>())
        return v.toDate().toString(Qt::ISODate);
    return v.toString();
}

int NameSum(const QString& name)
{
    int sum = 0;
    for (QChar c : name)
        sum += c.unicode();
    return sum;
}

// A value for a column that its name alone decides, so that a column read
// into the wrong field shows.
QVariant GeneratedValue(const TFieldDef& f)
{
    const int sum = NameSum(f.Name);
    switch (f.DataType) {
    case TFieldType::ftInteger: return f.Name.startsWith(u"PK") ? kKey : sum;
    case TFieldType::ftSmallint: return sum % 30000;
    case TFieldType::ftString:
    case TFieldType::ftFixedChar: return f.Name.left(f.Size);
    case TFieldType::ftFMTBcd: {
        qint64 units = sum;
        for (int i = 0; i < f.Scale; ++i)
            units *= 10;
        return QVariant::fromValue(Decimal(units + 1, f.Scale));
    }
    case TFieldType::ftDate: return QDate(2020, 1, 1).addDays(sum);
    case TFieldType::ftBlob: return f.Name.toLatin1() + QByteArray("\0\x01\xff", 3);
    default: break;
    }
    throw std::runtime_error("no generated value for " + f.Name.toStdString());
}

void Execute(TSQLConnection& c, const QString& sql, const QList<QVariant>& values = {})
{
    TSQLDataSet ds(&c);
    ds.SetCommandText(sql);
    for (int i = 0; i < values.size(); ++i)
        ds.Params()[i].Value = values[i];
    ds.ExecSQL();
}

void InsertGeneratedRow(TSQLConnection& c, const TTableDef& table)
{
    QList<QVariant> values;
    for (const TFieldDef& f : table.Columns)
        values << GeneratedValue(f);
    Execute(c, QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)").arg(table.Name, ColumnList(table.Columns), ParamList(table.Columns)),
        values);
}

// Opens a provider the way the export does: through the local connection, its
// declared parameters filled by name.
void OpenProvider(TFDM_CadastroM& module, const QString& provider, TClientDataSet& cds, qint32 company = kKey,
                  qint32 lastKey = 0)
{
    cds.Close();
    cds.SetRemoteServer(&module.LcAgente());
    cds.SetProviderName(provider);
    cds.SetFetchOnDemand(false);
    cds.SetPacketRecords(1000);
    cds.Params().Clear();
    cds.FetchParams();
    SetStandardParams(cds, Identity(company), lastKey);
    cds.Open();
}

QStringList Rows(TFDM_CadastroM& module, const QString& provider, const QStringList& fields, qint32 company = 1,
                 qint32 lastKey = 0)
{
    TClientDataSet cds;
    OpenProvider(module, provider, cds, company, lastKey);
    QStringList rows;
    for (cds.First(); !cds.Eof(); cds.Next()) {
        QStringList values;
        for (const QString& f : fields)
            values << Text(cds.FieldByName(f).Value());
        rows << values.join(u'|');
    }
    std::sort(rows.begin(), rows.end());
    return rows;
}

QStringList ParamNames(const TParams& params)
{
    QStringList names;
    for (const TParam& p : params)
        names << p.Name.toUpper();
    return names;
}

QStringList Columns(TSQLConnection& c, const QString& table)
{
    TSQLDataSet ds(&c);
    ds.SetCommandText(QStringLiteral("SELECT TRIM(RDB$FIELD_NAME) FROM RDB$RELATION_FIELDS WHERE RDB$RELATION_NAME = :T"));
    ds.Params()[0].Value = table;
    ds.Open();
    QStringList names;
    for (; !ds.Eof(); ds.Next())
        names << ds.Fields(0).AsString();
    return names;
}

// The insert-or-update recipe of the import, over every row of the batch.
void ApplyPacket(TSQLConnection& c, const QString& table, TClientDataSet& rows)
{
    TKeltBaseServerClient sc;
    TSQLDataSet lookup(&c), exec(&c);
    lookup.SetCommandText(sc.BuildSelectByKey(table, rows));
    const QString insertText = sc.BuildInsert(table, rows);
    const QString updateText = sc.BuildUpdate(table, rows);
    for (rows.First(); !rows.Eof(); rows.Next()) {
        lookup.Close();
        CopyRowToParams(lookup, rows);
        lookup.Open();
        exec.Close();
        exec.SetCommandText(lookup.IsEmpty() ? insertText : updateText);
        CopyRowToParams(exec, rows);
        exec.ExecSQL();
    }
    lookup.Close();
}

} // namespace

// Headquarters database from the exporting shape, branch database from the
// receiving shape: every provider opens, reads what is pending with exactly
// its listed fields, and its packet lands in the branch table field by field.
TEST(CadastroMDatabase, EveryProviderExportsIntoTheBranchShape)
{
    TTestDatabase hq(CadastroMExportingTables());
    TTestDatabase branch(CadastroMReceivingTables());
    TFDM_CadastroM module(&hq.Connection());
    const QList<TCadastroMTable>& tables = CadastroMTables();

    // Empty tables: every provider opens with its parameters and sends nothing.
    for (int i = 0; i < module.ProviderCount(); ++i) {
        const TCadastroMTable& t = tables[i];
        SCOPED_TRACE(t.DataSetName.toStdString());
        const QString provider = module.GetProvider(i).ProviderName;
        QStringList expected{QStringLiteral("PPKEMPRESA")};
        if (t.TableName() == "TBEMPRESA" || t.TableName() == "TBPRECOSWAP" || t.TableName() == "TBPRECOAPGSM")
            expected.clear();
        if (t.TableName() == "TBPRECOSERIAL")
            expected << QStringLiteral("PPKULTIMO");
        EXPECT_EQ(ParamNames(module.LcAgente().AS_GetParams(provider)), expected);
        TClientDataSet cds;
        ASSERT_NO_THROW(OpenProvider(module, provider, cds));
        EXPECT_EQ(cds.RecordCount(), 0);
        EXPECT_EQ(cds.FieldDefs(), module.Module().Fields(i));
    }

    // The branch has a column for every field of every packet.
    for (int i = 0; i < module.ProviderCount(); ++i) {
        const QString table = module.GetProvider(i).TableName;
        const QStringList columns = Columns(branch.Connection(), table);
        for (const TFieldDef& f : module.Module().Fields(i))
            EXPECT_TRUE(columns.contains(f.Name)) << table.toStdString() << "." << f.Name.toStdString();
    }

    // One generated row in every table, tracked for one branch where TBCEC tracks it.
    const TTableDefs hqTables = CadastroMExportingTables();
    for (int i = 0; i < tables.size(); ++i) {
        const TCadastroMTable& t = tables[i];
        InsertGeneratedRow(hq.Connection(), hqTables[i]);
        if (t.PendingBy == TPendingBy::Cec)
            Execute(hq.Connection(), "INSERT INTO TBCEC (NMTABELA, PKTABELA, PKTABELA2, PKTABELA3, PKEMPRESA, PKFILIAL) "
                                 "VALUES (:N, :K1, :K2, 0, :E, :F)",
                {t.TableName(), kKey, t.JoinColumns.size() > 1 ? kKey : 0, kKey, kDestination});
    }

    for (int i = 0; i < module.ProviderCount(); ++i) {
        const TCadastroMTable& t = tables[i];
        const TFieldDefs& fields = module.Module().Fields(i);
        SCOPED_TRACE(t.DataSetName.toStdString());
        TClientDataSet cds;
        ASSERT_NO_THROW(OpenProvider(module, t.ProviderName, cds));
        ASSERT_EQ(cds.RecordCount(), 1);
        ASSERT_EQ(cds.FieldDefs(), fields);
        // Types, sizes, flags and marks travel in the packet text.
        EXPECT_EQ(TDataPacket::FromXml(cds.XMLData()).Fields(), fields);

        // The accessory prices and minimum quantities go to their own branch;
        // the other marker tables and the serial prices to destination 0.
        qint32 destination = 0;
        if (t.PendingBy == TPendingBy::Cec)
            destination = kDestination;
        else if (t.TableName() == "TBPRECOACESSORIO" || t.TableName() == "TBQTDMINIMA")
            destination = kKey;
        for (const TFieldDef& f : fields) {
            QString expected = Text(GeneratedValue(f));
            if (f.Name == "CDCONTRATO")
                expected = QStringLiteral("CDCONTRATO"); // TBEMPRESA's row for company kKey
            else if (f.Name == "PKFILIALDESTINO")
                expected = QString::number(destination);
            EXPECT_EQ(Text(cds.FieldByName(f.Name).Value()), expected) << f.Name.toStdString();
        }

        // Settling locks the sent row by its key columns first.
        if (t.TableName() != "TBPRECOSERIAL") {
            TSQLTransaction snapshot(hq.Connection());
            TSQLDataSet lock(&hq.Connection());
            lock.SetCommandText(LockSentRowStatement(t.TableName()));
            for (TParam& p : lock.Params())
                p.Value = cds.FieldByName(p.Name).Value();
            ASSERT_NO_THROW(lock.Open());
            EXPECT_FALSE(lock.IsEmpty());
        }

        // The import writes every field into the branch's table; a second
        // application finds the row by its key and updates it.
        ASSERT_NO_THROW(ApplyPacket(branch.Connection(), t.TableName(), cds));
        ASSERT_NO_THROW(ApplyPacket(branch.Connection(), t.TableName(), cds));
        TSQLDataSet stored(&branch.Connection());
        stored.SetCommandText(QStringLiteral("SELECT %1 FROM %2").arg(ColumnList(fields), t.TableName()));
        stored.Open();
        ASSERT_FALSE(stored.IsEmpty());
        for (int f = 0; f < fields.size(); ++f)
            EXPECT_EQ(Text(stored.Fields(f).Value()), Text(cds.Fields(f).Value())) << fields[f].Name.toStdString();
        stored.Next();
        EXPECT_TRUE(stored.Eof());
    }
}

// Which rows are pending: one copy per tracking row, the marker tables, the
// positive prices and the serial-price key range.
TEST(CadastroMDatabase, PendingRowsFollowTrackingRowsMarkersAndLastKey)
{
    TTestDatabase hq(CadastroMExportingTables());
    TSQLConnection& c = hq.Connection();
    TFDM_CadastroM module(&c);
    const QStringList script{
        "INSERT INTO TBEMPRESA (PKEMPRESA, CDOPERADORA, CDCONTRATO) VALUES (1, 'OP1', 'CONTRATO-1')",
        "INSERT INTO TBEMPRESA (PKEMPRESA, CDOPERADORA, CDCONTRATO) VALUES (2, 'OP2', 'CONTRATO-2')",
        "INSERT INTO TBCEC VALUES ('TBEMPRESA', 2, 0, 0, 1, 5)",
        // Two branches for 10; 11's tracking row names another PKFILIAL; 12 is
        // tracked by another company (the query does not filter by company).
        "INSERT INTO TBALIQUOTA VALUES (10, 1, 'Isento', 0, 0)",
        "INSERT INTO TBALIQUOTA VALUES (11, 1, 'Dezoito', 18, 0)",
        "INSERT INTO TBALIQUOTA VALUES (12, 1, 'Doze', 12.5, 1)",
        "INSERT INTO TBALIQUOTA VALUES (13, 1, 'Sem rastreio', 1, 0)",
        "INSERT INTO TBCEC VALUES ('TBALIQUOTA', 10, 1, 0, 1, 5)",
        "INSERT INTO TBCEC VALUES ('TBALIQUOTA', 10, 1, 0, 1, 6)",
        "INSERT INTO TBCEC VALUES ('TBALIQUOTA', 11, 2, 0, 1, 5)",
        "INSERT INTO TBCEC VALUES ('TBALIQUOTA', 12, 1, 0, 2, 5)",
        "INSERT INTO TBCEC VALUES ('TBOUTRA', 13, 1, 0, 1, 5)",
        "INSERT INTO TBFILIAL (PKFILIAL, APELIDO, SGESTADO) VALUES (5, 'Centro', 'SE')",
        "INSERT INTO TBCEC VALUES ('TBFILIAL', 5, 0, 0, 1, 9)",
        // The price ranges match PKOPERADORA against PKTABELA2.
        "INSERT INTO TBFAIXAPRECO (PKFAIXAPRECO, PKOPERADORA, DSFAIXAPRECO) VALUES (1, 3, 'Ate 100')",
        "INSERT INTO TBFAIXAPRECO (PKFAIXAPRECO, PKOPERADORA, DSFAIXAPRECO) VALUES (2, 4, 'Acima')",
        "INSERT INTO TBCEC VALUES ('TBFAIXAPRECO', 1, 3, 0, 1, 5)",
        "INSERT INTO TBCEC VALUES ('TBFAIXAPRECO', 2, 3, 0, 1, 5)",
        // Swap and GSM prices: positive and without a marker of any branch.
        "INSERT INTO TBPRECOSWAP VALUES (1, 1, 2, 1, 1, 10.5, 0)",
        "INSERT INTO TBPRECOSWAP VALUES (2, 1, 2, 1, 1, 0, 0)",
        "INSERT INTO TBPRECOSWAP VALUES (3, 1, 2, 1, 1, -1, 0)",
        "INSERT INTO TBPRECOSWAP VALUES (4, 1, 2, 1, 1, 5, 0)",
        "INSERT INTO TBPRECOSWAPBAIXADA VALUES (4, 99)",
        "INSERT INTO TBPRECOAPGSM VALUES (1, 1, 1, 1, 1, 1, 0, 7)",
        "INSERT INTO TBPRECOAPGSM VALUES (2, 1, 1, 1, 1, 0, 0, 7)",
        // Accessory prices and minimum quantities: whatever their values,
        // unless the marker of the same product and branch exists.
        "INSERT INTO TBPRECOACESSORIO (PKPRODUTO, PKFPRODUTO, PKFILIAL, VLATUAL) VALUES (100, 1, 5, 0)",
        "INSERT INTO TBPRECOACESSORIO (PKPRODUTO, PKFPRODUTO, PKFILIAL, VLATUAL) VALUES (100, 1, 6, 2)",
        "INSERT INTO TBPRECOACESSORIO (PKPRODUTO, PKFPRODUTO, PKFILIAL, VLATUAL) VALUES (101, 1, 5, -3)",
        "INSERT INTO TBPRECOACESSORIOBAIXADA VALUES (100, 1, 6)",
        "INSERT INTO TBPRECOACESSORIOBAIXADA VALUES (101, 1, 7)",
        "INSERT INTO TBQTDMINIMA VALUES (100, 1, 5, 0, 0)",
        "INSERT INTO TBQTDMINIMABAIXADA VALUES (100, 1, 6)",
        "INSERT INTO TBITUSUARIO VALUES (1, 1, 1, 'Cadastro', 'Produtos', 0, 9)",
        "INSERT INTO TBITUSUARIO VALUES (2, 1, 1, 'Cadastro', 'Clientes', 0, 9)",
        "INSERT INTO TBITUSUARIOBAIXADA VALUES (2, 99)",
        "INSERT INTO TBPRECOSERIAL VALUES (99999999, 1, 1, 1, 1, 1, 5, 0)",
        "INSERT INTO TBPRECOSERIAL VALUES (100000001, 1, 1, 1, 1, 1, 5, 0)",
        "INSERT INTO TBPRECOSERIAL VALUES (100000002, 1, 1, 1, 1, 1, 0, 0)",
        "INSERT INTO TBPRECOSERIAL VALUES (100000003, 1, 1, 1, 1, 1, 2, 0)",
    };
    for (const QString& sql : script)
        Execute(c, sql);
    const QByteArray photo("\0\x01\xffJPEG", 7);
    Execute(c, "INSERT INTO TBFUNCIONARIO (PKFUNCIONARIO, PKFILIAL, NMFUNCIONARIO, FOTO) VALUES (1, 1, 'Ana', :FOTO)",
        {photo});
    Execute(c, "INSERT INTO TBCEC VALUES ('TBFUNCIONARIO', 1, 1, 0, 1, 5)");

    const QStringList all{"PKALIQUOTA", "PKFILIAL", "NMALIQUOTA", "PEALIQUOTA", "EXCLUIDO", "CDCONTRATO",
                          "PKFILIALDESTINO"};
    EXPECT_EQ(Rows(module, "DspAliquota", all),
              (QStringList{"10|1|Isento|0.00|0|CONTRATO-1|5", "10|1|Isento|0.00|0|CONTRATO-1|6",
                           "12|1|Doze|12.50|1|CONTRATO-1|5"}));
    // A company without a row gives no contract code.
    EXPECT_EQ(Rows(module, "DspAliquota", {"PKALIQUOTA", "CDCONTRATO"}, 3),
              (QStringList{"10|null", "10|null", "12|null"}));
    // The company table sends its own contract code, whatever the configured company.
    EXPECT_EQ(Rows(module, "DspEmpresa", {"PKEMPRESA", "CDOPERADORA", "CDCONTRATO", "PKFILIALDESTINO"}, 3),
              (QStringList{"2|OP2|CONTRATO-2|5"}));
    EXPECT_EQ(Rows(module, "DspFilial", {"PKFILIAL", "APELIDO", "PKFILIALDESTINO"}), (QStringList{"5|Centro|9"}));
    EXPECT_EQ(Rows(module, "DspFaixaPreco", {"PKFAIXAPRECO", "PKOPERADORA"}), (QStringList{"1|3"}));
    EXPECT_EQ(Rows(module, "DspFuncionario", {"PKFUNCIONARIO", "FOTO", "PKFILIALDESTINO"}),
              (QStringList{"1|" + Text(photo) + "|5"}));
    // The swap prices take the contract of their own company (PKFPHABIL).
    EXPECT_EQ(Rows(module, "DspPrecoSwap", {"PKPRECOSWAP", "VLVENDA", "CDCONTRATO", "PKFILIALDESTINO"}),
              (QStringList{"1|10.500|CONTRATO-2|0"}));
    EXPECT_EQ(Rows(module, "DspPrecoApGSM", {"PKPRECOAPGSM", "CDCONTRATO", "PKFILIALDESTINO", "PKTPPROMOCAO"}),
              (QStringList{"1|CONTRATO-1|0|7"}));
    EXPECT_EQ(Rows(module, "DspPrecoAcessorio", {"PKPRODUTO", "PKFILIAL", "VLATUAL", "PKFILIALDESTINO"}),
              (QStringList{"100|5|0.000|5", "101|5|-3.000|5"}));
    EXPECT_EQ(Rows(module, "DspQtdMinima", {"PKPRODUTO", "PKFILIAL", "CDCONTRATO", "PKFILIALDESTINO"}),
              (QStringList{"100|5|CONTRATO-1|5"}));
    EXPECT_EQ(Rows(module, "DspItUsuario", {"PKITUSUARIO", "NMTELA", "PKFILIALDESTINO", "PKMENU"}),
              (QStringList{"1|Produtos|0|9"}));
    // Serial prices above the last key, above 99999999 and with a positive price.
    const QStringList serial{"PKPRECOSERIAL", "PKFILIALDESTINO"};
    EXPECT_EQ(Rows(module, "DspPrecoSerial", serial, 1, 0), (QStringList{"100000001|0", "100000003|0"}));
    EXPECT_EQ(Rows(module, "DspPrecoSerial", serial, 1, 100000001), (QStringList{"100000003|0"}));
    EXPECT_EQ(Rows(module, "DspPrecoSerial", serial, 1, 100000003), QStringList());
    // Nothing else is tracked.
    EXPECT_EQ(Rows(module, "DspMarca", {"PKMARCA"}), QStringList());
}
