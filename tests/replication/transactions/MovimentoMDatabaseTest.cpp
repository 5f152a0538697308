#include "platform/data/ClientDataSet.h"
#include "platform/types/Decimal.h"
#include "platform/sql/SQLConnection.h"
#include "platform/sql/SQLDataSet.h"
#include "replication/core/cl_Funcoes.h"
#include "tools/channel_schemas/MovimentoMSchema.h"
#include "replication/transactions/uDM_MovimentoM.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDate>
#include <QTime>

namespace {

constexpr int kBranch = 7;

// A value of packet field number `column` for the row whose first key is `key`:
// distinct per column and row, filling the field's width and scale.
QVariant SampleValue(const TFieldDef& def, int column, int key)
{
    switch (def.DataType) {
    case TFieldType::ftSmallint: return key * 10 + column;
    case TFieldType::ftInteger: return key * 100 + column;
    case TFieldType::ftString:
        return (def.Name + QStringLiteral("_%1_ção_").arg(key) + QString(200, u'x')).left(def.Size);
    case TFieldType::ftFixedChar: return QString(def.Size, QChar(u'A' + key));
    case TFieldType::ftFMTBcd: return QVariant::fromValue(Decimal(key * 10'000'000'000LL + column * 10 + 1, def.Scale));
    case TFieldType::ftDate: return QDate(2024, 1 + column % 12, key);
    case TFieldType::ftTime: return QTime(column % 24, key, 30, 250);
    case TFieldType::ftMemo: // one well beyond a blob segment
        return QStringLiteral("Observação %1\r\n\"aspas\" & <tags>\r\n").arg(key).repeated(key == 3 ? 4000 : 1);
    case TFieldType::ftBlob: {
        QByteArray bytes(300 * key, '\0');
        for (int i = 0; i < bytes.size(); ++i)
            bytes[i] = char((i * 7 + column) & 0xff);
        return bytes;
    }
    default: return QVariant();
    }
}

bool SameValue(const TFieldDef& def, const QVariant& got, const QVariant& want)
{
    if (got.isNull() || want.isNull())
        return got.isNull() == want.isNull();
    if (def.DataType == TFieldType::ftFMTBcd)
        return got.value<Decimal>() == want.value<Decimal>();
    if (def.DataType == TFieldType::ftSmallint || def.DataType == TFieldType::ftInteger)
        return got.toLongLong() == want.toLongLong();
    return got == want;
}

void Exec(TSQLConnection& db, const QString& sql, const QVariantList& values)
{
    TSQLDataSet ds(&db);
    ds.SetCommandText(sql);
    for (int i = 0; i < values.size(); ++i)
        ds.Params()[i].Value = values[i];
    ds.ExecSQL();
}

// A row of a branch table: every column takes the sample value of its packet
// field; the first key column takes `key`, the others kBranch.
void InsertRow(TSQLConnection& db, const TTableDef& table, const TFieldDefs& packet, int key)
{
    QVariantList values;
    for (const TFieldDef& c : table.Columns) {
        const qsizetype k = table.PrimaryKey.indexOf(c.Name);
        values << (k == 0  ? QVariant(key)
                   : k > 0 ? QVariant(kBranch)
                           : SampleValue(c, IndexOfField(packet, c.Name), key));
    }
    Exec(db,
         QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
             .arg(table.Name, ColumnList(table.Columns), ParamList(table.Columns)),
         values);
}

void Mark(TSQLConnection& db, const QString& table, int k1, const QVariant& k2, const QVariant& k3 = {})
{
    Exec(db, QStringLiteral("INSERT INTO TBCEMM (NMTABELA, PKTABELA, PKTABELA2, PKTABELA3) VALUES (:N, :K1, :K2, :K3)"),
         {table, k1, k2, k3});
}

// Opens a provider as the export does: the provider's parameters, the standard
// values, one batch of every marked row.
void OpenProvider(TFDM_MovimentoM& dm, TClientDataSet& cds, const QString& provider, qint32 pkEmpresa)
{
    cds.Close();
    cds.SetRemoteServer(&dm.LcAgente());
    cds.SetProviderName(provider);
    cds.SetPacketRecords(-1);
    cds.FetchParams();
    TDadosFilial dados;
    dados.CdContrato = QStringLiteral("999"); // the configured code never travels
    dados.PkEmpresa = pkEmpresa;
    dados.PkFilial = kBranch;
    SetStandardParams(cds, dados, 0);
    cds.Open();
}

TTableDefs Branch(TTableDefs tables)
{
    return tables << TbCemmTable() << TbEmpresaTable();
}

void AddCompanies(TSQLConnection& db)
{
    for (auto [pk, code] : {std::pair{1, "111"}, std::pair{2, "123"}})
        Exec(db, QStringLiteral("INSERT INTO TBEMPRESA (PKEMPRESA, CDCONTRATO) VALUES (:P, :C)"),
             {pk, QString::fromLatin1(code)});
}

} // namespace

TEST(MovimentoMBranchDatabase, EveryProviderReturnsItsMarkedRowsWithTheListedFieldsInOrder)
{
    TTestDatabase db(Branch(MovimentoMTables(TMovimentoMShape::Sending)));
    TSQLConnection& c = db.Connection();
    AddCompanies(c);
    TFDM_MovimentoM dm(&c);

    for (int i = 0; i < dm.ProviderCount(); ++i) {
        const TTableDef table = MovimentoMTable(MovimentoMCatalogue()[i], TMovimentoMShape::Sending);
        const bool threeKeys = table.PrimaryKey.size() == 3;
        const QVariant k3 = threeKeys ? QVariant(kBranch) : QVariant();
        for (int key : {3, 1, 2})
            InsertRow(c, table, dm.Module().Fields(i), key);
        for (int key : {1, 3, 3, 99}) // 3 marked twice is sent twice; 99 has no row
            Mark(c, table.Name, key, kBranch, k3);
        Mark(c, table.Name, 2, threeKeys ? kBranch : kBranch + 1, threeKeys ? kBranch + 1 : QVariant());
        Mark(c, QStringLiteral("TBOUTRA"), 2, kBranch, kBranch);
    }

    TClientDataSet cds;
    for (int i = 0; i < dm.ProviderCount(); ++i) {
        const TProvider p = dm.GetProvider(i);
        const TFieldDefs& listed = dm.Module().Fields(i);
        SCOPED_TRACE(p.TableName.toStdString());
        ASSERT_NO_THROW(OpenProvider(dm, cds, p.ProviderName, 2));
        EXPECT_EQ(cds.Params().Count(), 1);
        EXPECT_EQ(cds.FieldDefs(), listed);
        QList<int> keys;
        for (; !cds.Eof(); cds.Next()) {
            // Settling locks the sent row by its key columns first.
            {
                TSQLTransaction snapshot(c);
                TSQLDataSet lock(&c);
                lock.SetCommandText(LockSentRowStatement(p.TableName));
                for (TParam& param : lock.Params())
                    param.Value = cds.FieldByName(param.Name).Value();
                ASSERT_NO_THROW(lock.Open());
                EXPECT_FALSE(lock.IsEmpty());
            }
            const int key = keys.emplace_back(cds.Fields(0).AsInteger());
            for (int f = 1; f < listed.size(); ++f) {
                const TFieldDef& def = listed[f];
                QVariant want = SampleValue(def, f, key);
                if (def.Name == "CDCONTRATO")
                    want = QStringLiteral("123"); // the company's, from TBEMPRESA
                else if (f == 1 || def.Name == "PKFILIAL")
                    want = kBranch;
                else if (def.Name == "PKFILIALDESTINO" && MovimentoMCatalogue()[i].ConstantDestination)
                    want = 0;
                EXPECT_TRUE(SameValue(def, cds.Fields(f).Value(), want))
                    << def.Name.toStdString() << " of row " << key << ": "
                    << cds.Fields(f).AsString().left(60).toStdString();
            }
        }
        EXPECT_EQ(keys, QList<int>({1, 3, 3}));
    }
}

TEST(MovimentoMBranchDatabase, QuantityRowsJoinAllThreeKeysAndCarryTheCompanysContract)
{
    TTestDatabase db(Branch({MovimentoMTable(MovimentoMCatalogue()[24], TMovimentoMShape::Sending),
                             MovimentoMTable(MovimentoMCatalogue()[0], TMovimentoMShape::Sending)}));
    TSQLConnection& c = db.Connection();
    AddCompanies(c);
    TFDM_MovimentoM dm(&c);

    const int rows[][3] = {{5, 1, 2}, {5, 1, 3}, {5, 2, 2}, {4, 9, 2}, {4, 1, 2}};
    for (const auto& r : rows)
        Exec(c,
             QStringLiteral("INSERT INTO TBQUANTIDADE (PKPRODUTO, PKFPRODUTO, PKFILIAL, QUANTIDADE) "
                            "VALUES (:A, :B, :C, :Q)"),
             {r[0], r[1], r[2], QVariant::fromValue(Decimal(r[0] * 100000 + r[1] * 1000 + r[2], 5))});
    for (const int* r : {rows[0], rows[2], rows[3], rows[4]})
        Mark(c, QStringLiteral("TBQUANTIDADE"), r[0], r[1], r[2]);
    Mark(c, QStringLiteral("TBQUANTIDADE"), 5, 1, 9); // two keys of three match
    Mark(c, QStringLiteral("TBQUANTIDADE"), 5, 1);    // a two-key mark never joins
    InsertRow(c, MovimentoMTable(MovimentoMCatalogue()[0], TMovimentoMShape::Sending), dm.Module().Fields(0), 1);

    TClientDataSet cds;
    OpenProvider(dm, cds, QStringLiteral("DspQuantidade"), 1);
    QList<QList<int>> got;
    for (; !cds.Eof(); cds.Next()) {
        const QList<int> r{cds.Fields(0).AsInteger(), cds.Fields(1).AsInteger(), cds.Fields(2).AsInteger()};
        got << r;
        EXPECT_EQ(cds.FieldByName(u"QUANTIDADE").Value().value<Decimal>(),
                  Decimal(r[0] * 100000 + r[1] * 1000 + r[2], 5));
        EXPECT_EQ(cds.FieldByName(u"CDCONTRATO").Value(), QVariant(QStringLiteral("111")));
        EXPECT_TRUE(cds.FieldByName(u"EXPORTADO").IsNull());
    }
    EXPECT_EQ(got, (QList<QList<int>>{{4, 1, 2}, {4, 9, 2}, {5, 1, 2}, {5, 2, 2}}));

    // Without the company's row the contract column is null in every row.
    OpenProvider(dm, cds, QStringLiteral("DspQuantidade"), 5);
    EXPECT_EQ(cds.RecordCount(), 4);
    for (; !cds.Eof(); cds.Next())
        EXPECT_TRUE(cds.FieldByName(u"CDCONTRATO").IsNull());

    // A table without marks gives an empty batch that still describes its fields.
    OpenProvider(dm, cds, QStringLiteral("DspVenda"), 1);
    EXPECT_TRUE(cds.IsEmpty());
    EXPECT_EQ(cds.FieldDefs(), dm.Module().Fields(0));
}

TEST(MovimentoMHeadquartersDatabase, HoldsEveryPacketFieldAndLogsSentRows)
{
    TTestDatabase db(ReceivingHeadquartersTables() + MonitoringLogTables());
    TSQLConnection& c = db.Connection();
    TFDM_MovimentoM dm;
    TKeltBaseServerClient statements;

    for (int i = 0; i < dm.ProviderCount(); ++i) {
        const QString table = dm.GetProvider(i).TableName;
        const TFieldDefs& listed = dm.Module().Fields(i);
        SCOPED_TRACE(table.toStdString());
        // A whole packet row goes in as the import writes it and comes back equal.
        QVariantList values;
        for (int f = 0; f < listed.size(); ++f)
            values << SampleValue(listed[f], f, 3);
        ASSERT_NO_THROW(Exec(c, statements.BuildInsert(table, listed), values));
        TSQLDataSet back(&c);
        back.SetCommandText(QStringLiteral("SELECT * FROM ") + table);
        back.Open();
        ASSERT_EQ(back.FieldCount(), listed.size());
        for (int f = 0; f < listed.size(); ++f) {
            EXPECT_EQ(back.FieldDefs()[f].Name, listed[f].Name);
            EXPECT_TRUE(SameValue(listed[f], back.Fields(f).Value(), values[f])) << listed[f].Name.toStdString();
        }
    }

    // The monitoring insert as the channel binds it; a row sent again is logged again.
    const QString insert = QStringLiteral(
        "INSERT INTO TBLOG (CDCONTRATO, PKFILIAL, PKTABELA, PKTABELA2, PKTABELA3, NMTABELA, DATA, HORA, ENVIADO) "
        "VALUES (:CDCONTRATO, :PKFILIAL, :PKTABELA, :PKTABELA2, :PKTABELA3, :NMTABELA, :DATA, :HORA, :ENVIADO)");
    for (int n = 0; n < 2; ++n)
        Exec(c, insert, {123, kBranch, 5, kBranch, 0, QStringLiteral("TBITIMPORTATRANSFERENCIA"), QDate(2025, 3, 4),
                         QTime(23, 59, 58), 1});
    TSQLDataSet log(&c);
    log.SetCommandText(QStringLiteral("SELECT COUNT(*), MIN(NMTABELA), MIN(DATA), MIN(HORA) FROM TBLOG"));
    log.Open();
    EXPECT_EQ(log.Fields(0).AsInteger(), 2);
    EXPECT_EQ(log.Fields(1).AsString(), "TBITIMPORTATRANSFERENCIA");
    EXPECT_EQ(log.Fields(2).Value(), QVariant(QDate(2025, 3, 4)));
    EXPECT_EQ(log.Fields(3).Value(), QVariant(QTime(23, 59, 58)));
}
