#include "platform/data/ClientDataSet.h"
#include "platform/types/Decimal.h"
#include "platform/types/Exception.h"
#include "platform/sql/SQLConnection.h"
#include "platform/sql/SQLDataSet.h"
#include "replication/core/cl_Funcoes.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDateTime>

#include <limits>

namespace {

const char* const kVendaColumns = "PKVENDA int K; PKFILIAL int K; VLVENDA dec 18.2; NMCLIENTE str 40";

TTableDef Venda()
{
    return TTableDef::FromNotation("TBVENDA", kVendaColumns, {"PKVENDA", "PKFILIAL"});
}

// The insert-or-update recipe of the importing channels, for every row of the packet.
void ApplyPacket(const QString& table, TClientDataSet& rows, TSQLDataSet& lookup, TSQLDataSet& exec)
{
    TKeltBaseServerClient sc;
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

QStringList Rows(TSQLConnection& connection, const QString& sql)
{
    TSQLDataSet ds(&connection);
    ds.SetCommandText(sql);
    ds.Open();
    QStringList rows;
    for (; !ds.Eof(); ds.Next()) {
        QStringList values;
        for (int i = 0; i < ds.FieldCount(); ++i)
            values << (ds.Fields(i).IsNull() ? QStringLiteral("null") : ds.Fields(i).AsString());
        rows << values.join('|');
    }
    return rows;
}

} // namespace

TEST(LastKey, GreatestKeyWithinTheRange)
{
    TTestDatabase db({Venda(), TTableDef::FromNotation("TBPRECOSERIAL", "PKPRECOSERIAL int K; VLVENDA dec 15.2",
                                                       {"PKPRECOSERIAL"})});
    TSQLDataSet lookup(&db.Connection());
    TKeltTarefa client;
    client.SetLookupDataSet(&lookup);

    EXPECT_EQ(client.LastKey("TBVENDA", true), 0);
    EXPECT_EQ(client.LastKey("TBVENDA", false), 0);
    EXPECT_EQ(lookup.CommandText(), "SELECT MAX(PKVENDA) AS PKULTIMO  FROM TBVENDA WHERE PKVENDA > 999999");

    db.Exec("INSERT INTO TBVENDA(PKVENDA, PKFILIAL) VALUES (1000000, 1)");
    EXPECT_EQ(client.LastKey("TBVENDA", true), 0); // only keys of the other range
    EXPECT_EQ(client.LastKey("TBVENDA", false), 1000000);
    db.Exec("INSERT INTO TBVENDA(PKVENDA, PKFILIAL) VALUES (999999, 1)");
    db.Exec("INSERT INTO TBVENDA(PKVENDA, PKFILIAL) VALUES (5, 2)");
    EXPECT_EQ(client.LastKey("TBVENDA", true), 999999);
    EXPECT_EQ(lookup.CommandText(), "SELECT MAX(PKVENDA) AS PKULTIMO  FROM TBVENDA WHERE PKVENDA <= 999999");
    EXPECT_TRUE(lookup.Active()); // left open
    EXPECT_EQ(client.LastKey("TBVENDA", false), 1000000);

    // Price serials: an eight-digit boundary and only rows with a sale value.
    db.Exec("INSERT INTO TBPRECOSERIAL VALUES (10, 5.00)");
    db.Exec("INSERT INTO TBPRECOSERIAL VALUES (20, 0)");
    db.Exec("INSERT INTO TBPRECOSERIAL VALUES (30, NULL)");
    db.Exec("INSERT INTO TBPRECOSERIAL VALUES (99999999, -1)");
    db.Exec("INSERT INTO TBPRECOSERIAL VALUES (100000000, 0.01)");
    db.Exec("INSERT INTO TBPRECOSERIAL VALUES (100000005, 0)");
    EXPECT_EQ(client.LastKey("TBPRECOSERIAL", true), 10);
    EXPECT_EQ(client.LastKey("TBPRECOSERIAL", false), 100000000);
    EXPECT_EQ(lookup.CommandText(), "SELECT MAX(PKPRECOSERIAL) AS PKULTIMO  FROM TBPRECOSERIAL WHERE VLVENDA > 0  "
                                    "AND PKPRECOSERIAL > 99999999");

    EXPECT_THROW(client.LastKey("TBNENHUMA", true), EDatabaseError);
    // A hostile name never reaches the database.
    const QString before = lookup.CommandText();
    EXPECT_THROW(client.LastKey("TBVENDA WHERE 1=1 --", true), EInvalidIdentifier);
    EXPECT_THROW(client.LastKey("TBVENDA;", false), EInvalidIdentifier);
    EXPECT_EQ(lookup.CommandText(), before);
}

TEST(InsertOrUpdate, ApplyingAPacketTwiceConverges)
{
    TTestDatabase db({Venda()});
    db.Exec("INSERT INTO TBVENDA VALUES (1, 7, 10.00, 'antigo')");
    db.Exec("INSERT INTO TBVENDA VALUES (1, 8, 11.00, 'outra filial')");

    TDataPacket packet(ParseFieldList(QString::fromLatin1(kVendaColumns)));
    // More digits than a double holds exactly.
    packet.AppendRow({1, 7, QVariant::fromValue(Decimal(123456789012345678, 2)), QString::fromUtf8("João")});
    packet.AppendRow({2, 7, QVariant(), QStringLiteral("novo")});
    TClientDataSet rows;
    rows.SetPacket(packet);

    TSQLDataSet lookup(&db.Connection()), exec(&db.Connection());
    const QStringList expected = {"1|7|1234567890123456.78|" + QString::fromUtf8("João"), "1|8|11.00|outra filial",
                                  "2|7|null|novo"};
    ApplyPacket("TBVENDA", rows, lookup, exec);
    EXPECT_EQ(Rows(db.Connection(), "SELECT * FROM TBVENDA ORDER BY PKVENDA, PKFILIAL"), expected);
    ApplyPacket("TBVENDA", rows, lookup, exec);
    EXPECT_EQ(Rows(db.Connection(), "SELECT * FROM TBVENDA ORDER BY PKVENDA, PKFILIAL"), expected);

    // Without key or required fields the lookup has no condition and the database refuses it.
    TFieldDefs loose = ParseFieldList(u"PKVENDA int; VLVENDA dec 18.2");
    TClientDataSet looseRows;
    looseRows.SetPacket(TDataPacket(loose));
    lookup.SetCommandText(TKeltBaseServerClient().BuildSelectByKey("TBVENDA", looseRows));
    EXPECT_THROW(lookup.Open(), EDatabaseError);
}

TEST(CopyRowToParams, CopiesTypeAndValueByNameAndRefusesUnknownFields)
{
    TDataPacket packet(ParseFieldList(QString::fromLatin1(kVendaColumns) + "; DTVENDA date"));
    packet.AppendRow({42, 7, QVariant::fromValue(Decimal(123456789012345678, 2)), QVariant(), QDate(2024, 3, 5)});
    TClientDataSet rows;
    rows.SetPacket(packet);

    TSQLDataSet ds;
    ds.SetCommandText("UPDATE TBVENDA SET vlvenda = :vlvenda, NMCLIENTE = :NMCLIENTE, DTVENDA = :DTVENDA "
                      "WHERE PKVENDA = :PKVENDA");
    ds.Params().ParamByName(u"NMCLIENTE").SetAsString("stale");
    CopyRowToParams(ds, rows);
    const TParams& p = ds.Params();
    ASSERT_EQ(p.Count(), 4);
    EXPECT_EQ(p[0].DataType, TFieldType::ftFMTBcd);
    ASSERT_EQ(p[0].PlainValue().metaType(), QMetaType::fromType<Decimal>());
    EXPECT_EQ(p[0].PlainValue().value<Decimal>().Units(), 123456789012345678);
    EXPECT_EQ(p[0].PlainValue().value<Decimal>().Scale(), 2);
    EXPECT_EQ(p[1].DataType, TFieldType::ftString);
    EXPECT_TRUE(p[1].IsNull());
    EXPECT_EQ(p[2].DataType, TFieldType::ftDate);
    EXPECT_EQ(p[2].PlainValue().toDate(), QDate(2024, 3, 5));
    EXPECT_EQ(p[3].DataType, TFieldType::ftInteger);
    EXPECT_EQ(p[3].AsInteger(), 42);

    // Row after row, each value is the new row's, a null one included; and a
    // value stays what it was once the rows it came from are gone.
    packet.AppendRow({43, 8, QVariant(), "Ana", QDate(2024, 3, 6)});
    rows.SetPacket(packet);
    CopyRowToParams(ds, rows);
    rows.Next();
    CopyRowToParams(ds, rows);
    EXPECT_TRUE(p[0].IsNull());
    EXPECT_EQ(p[1].AsString(), "Ana");
    EXPECT_EQ(p[2].PlainValue().toDate(), QDate(2024, 3, 6));
    EXPECT_EQ(p[3].AsInteger(), 43);
    rows.Close();
    rows.SetPacket(TDataPacket(packet.Fields()));
    packet = TDataPacket();
    EXPECT_EQ(p[1].AsString(), "Ana");
    EXPECT_EQ(p[3].AsInteger(), 43);

    ds.SetCommandText("SELECT * FROM TBVENDA WHERE PKVENDA = :PKVENDA AND PKCLIENTE = :PKCLIENTE");
    try {
        CopyRowToParams(ds, rows);
        ADD_FAILURE() << "unknown field accepted";
    } catch (const EDatabaseError& e) {
        EXPECT_EQ(e.Message(), "Field 'PKCLIENTE' not found");
    }
}

TEST(SetStandardParams, FillsTheFiveNamesWhateverTheirCase)
{
    TClientDataSet cds;
    SetStandardParams(cds, TDadosFilial{"K9", 3, 12, "VIVO_BA", 1, {}}, 5); // no parameters: nothing happens
    EXPECT_TRUE(cds.Params().IsEmpty());

    TParams& params = cds.Params();
    params.Add("ppkfilial");
    params.Add("PUF");
    params.Add("PCDCONTRATO");
    params.Add("PPKEMPRESA");
    params.Add("pPkUltimo");
    params.Add("POUTRO").SetAsString("keep");
    params.Add("PKFILIAL").SetAsInteger(99);
    params.Add("PPKFILIAL2");

    SetStandardParams(cds, TDadosFilial{"K9", 3, -12, "VIVO_BA", 1, {}}, 1000005);
    EXPECT_EQ(params[0].DataType, TFieldType::ftInteger);
    EXPECT_EQ(params[0].Value, QVariant(-12));
    EXPECT_EQ(params[1].DataType, TFieldType::ftString);
    EXPECT_EQ(params[1].Value, QVariant("VIVO_BA"));
    EXPECT_EQ(params[2].Value, QVariant("K9"));
    EXPECT_EQ(params[3].Value, QVariant(3));
    EXPECT_EQ(params[4].DataType, TFieldType::ftInteger);
    EXPECT_EQ(params[4].Value, QVariant(1000005));
    EXPECT_EQ(params[5].Value, QVariant("keep"));
    EXPECT_EQ(params[6].Value, QVariant(99));
    EXPECT_TRUE(params[7].IsNull());
    EXPECT_EQ(params[7].DataType, TFieldType::ftUnknown);
}

// Rows copied into parameters are bound straight from the packet's columns; what
// reaches the table, and every refusal, must be what binding the values gives.
TEST(CopyRowToParams, BindsEachCellAsItsValueWouldBind)
{
    const QString columns = QStringLiteral("PK int K; SM small; BI bigint; D2 dec 15.2; D3 dec 15.3; NM str 5; "
                                           "CH char 4; DT date; TM time; TS timestamp; MM memo; BL blob");
    TTestDatabase db({TTableDef::FromNotation("TBCELL", columns, {"PK"}),
                      TTableDef::FromNotation("TBPLAIN", columns, {"PK"})});
    // The packet's D3 has fewer decimals and its SM is wider than the columns.
    TDataPacket packet(ParseFieldList(QStringLiteral("PK int K; SM int; BI bigint; D2 dec 15.2; D3 dec 15.2; "
                                                     "NM str 5; CH char 4; DT date; TM time; TS timestamp; "
                                                     "MM memo; BL blob")));
    const qint64 big = std::numeric_limits<qint64>::max();
    packet.AppendRow({1, -32768, big, QVariant::fromValue(Decimal(-12345, 2)), QVariant::fromValue(Decimal(99, 2)),
                      QString::fromUtf8("Zo\u00eb\u20ac"), "ab", QDate(1, 1, 1), QTime(23, 59, 59, 999),
                      QDateTime(QDate(1858, 11, 16), QTime(0, 0, 0, 1)), QString::fromUtf8("m\u00e9mo"),
                      QByteArray("\0\1\2", 3)});
    packet.AppendRow({2, QVariant(), QVariant(), QVariant(), QVariant(), QVariant(), QVariant(), QVariant(),
                      QVariant(), QVariant(), QVariant(), QVariant()});
    packet.AppendRow({3, 32767, -big - 1, QVariant::fromValue(Decimal(0, 2)), QVariant::fromValue(Decimal(-1, 2)),
                      "", "abcd", QDate(9999, 12, 31), QTime(0, 0), QDateTime(QDate(1969, 12, 31), QTime(23, 59, 59, 999)),
                      "", QByteArray()});
    TClientDataSet rows;
    rows.SetPacket(packet);

    // The same steps with every value copied as a QVariant.
    const auto copyValues = [](TSQLDataSet& ds, const TClientDataSet& source) {
        for (TParam& p : ds.Params()) {
            const int i = source.FindFieldIndex(p.Name);
            p.DataType = source.FieldDefs()[i].DataType;
            p.Value = source.FieldValue(i);
        }
    };
    TKeltBaseServerClient sc;
    TSQLDataSet lookup(&db.Connection()), exec(&db.Connection());
    ApplyPacket("TBCELL", rows, lookup, exec);
    TSQLDataSet insert(&db.Connection());
    insert.SetCommandText(sc.BuildInsert("TBPLAIN", rows));
    for (rows.First(); !rows.Eof(); rows.Next()) {
        copyValues(insert, rows);
        insert.ExecSQL();
    }
    const QString select = QStringLiteral("SELECT PK, SM, BI, D2, D3, NM, CH, DT, TM, TS, MM, BL FROM %1 ORDER BY PK");
    const QStringList cells = Rows(db.Connection(), select.arg("TBCELL"));
    EXPECT_EQ(cells, Rows(db.Connection(), select.arg("TBPLAIN")));
    ASSERT_EQ(cells.size(), 3);
    EXPECT_TRUE(cells[0].contains("|Zo\u00eb?|ab  |"));

    // Values that do not fit are refused with the same words on both paths.
    TDataPacket bad(ParseFieldList(QStringLiteral("PK int K; SM int; BI bigint; D2 dec 15.2; D3 dec 15.2; "
                                                  "NM str 8; CH char 4; DT date; TM time; TS timestamp; "
                                                  "MM memo; BL blob")));
    bad.AppendRow({4, 40000, 1, QVariant(), QVariant(), "x", "x", QVariant(), QVariant(), QVariant(), QVariant(),
                   QVariant()});
    bad.AppendRow({5, 1, 1, QVariant(), QVariant(), "sixsix", "x", QVariant(), QVariant(), QVariant(), QVariant(),
                   QVariant()});
    TClientDataSet badRows;
    badRows.SetPacket(bad);
    for (badRows.First(); !badRows.Eof(); badRows.Next()) {
        QString viaCells, viaValues;
        exec.SetCommandText(sc.BuildInsert("TBCELL", badRows));
        CopyRowToParams(exec, badRows);
        try {
            exec.ExecSQL();
        } catch (const EDatabaseError& e) {
            viaCells = e.Message();
        }
        copyValues(exec, badRows);
        try {
            exec.ExecSQL();
        } catch (const EDatabaseError& e) {
            viaValues = e.Message();
        }
        EXPECT_FALSE(viaCells.isEmpty());
        EXPECT_EQ(viaCells, viaValues);
    }
}
