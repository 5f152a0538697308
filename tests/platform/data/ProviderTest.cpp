#include "platform/data/ClientDataSet.h"
#include "platform/data/DataSetProvider.h"
#include "platform/types/Decimal.h"
#include "platform/types/Exception.h"
#include "platform/data/LocalConnection.h"
#include "platform/sql/SQLConnection.h"
#include "platform/sql/SQLDataSet.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDateTime>

namespace {

QString Message(const std::function<void()>& f)
{
    try {
        f();
    } catch (const EDatabaseError& e) {
        return e.Message();
    }
    return QStringLiteral("<no EDatabaseError>");
}

class ProviderTest : public ::testing::Test
{
protected:
    ProviderTest()
        : db({TTableDef::FromNotation(QStringLiteral("TBALIQUOTA"),
                                      QStringLiteral("PKALIQUOTA int K; PKFILIAL small; NMALIQUOTA str 60; SGUF char 2; "
                                                     "PEALIQUOTA dec 15.2; VLBIG bigint; DTCAD date; HRCAD time; "
                                                     "DTHRALT timestamp; OBS memo; FOTO blob; EXTRA int"),
                                      {QStringLiteral("PKALIQUOTA")})}),
          query(&db.Connection())
    {
        TSQLDataSet ins(&db.Connection());
        ins.SetCommandText(QStringLiteral(
            "INSERT INTO TBALIQUOTA VALUES (:PK, :FIL, :NM, :UF, :PE, :BIG, :DT, :HR, :TS, :OBS, :FOTO, :EXTRA)"));
        for (int pk = 1; pk <= 5; ++pk) {
            TParams& p = ins.Params();
            p.ParamByName(u"PK").Value = pk;
            p.ParamByName(u"FIL").Value = 10 + pk;
            p.ParamByName(u"NM").Value = pk == 3 ? QVariant() : QVariant(QStringLiteral("Alíquota \"%1\" & <b>").arg(pk));
            p.ParamByName(u"UF").Value = QStringLiteral("S");
            p.ParamByName(u"PE").Value = QVariant::fromValue(Decimal(pk * 100 + (pk == 5 ? 50 : 0), 2));
            p.ParamByName(u"BIG").Value = qlonglong(pk) << 40;
            p.ParamByName(u"DT").Value = QDate(2024, 1, pk);
            p.ParamByName(u"HR").Value = QTime(pk, 30, 15, 250);
            p.ParamByName(u"TS").Value = QDateTime(QDate(2024, 2, pk), QTime(13, 14, 15, 16));
            p.ParamByName(u"OBS").Value = QStringLiteral("linha 1\r\nlinha %1").arg(pk);
            p.ParamByName(u"FOTO").Value = QByteArray(pk * 1000, char(pk));
            p.ParamByName(u"EXTRA").Value = -pk;
            ins.ExecSQL();
        }
        query.SetCommandText(QStringLiteral("SELECT * FROM TBALIQUOTA WHERE PKALIQUOTA >= :PMIN ORDER BY PKALIQUOTA"));
    }

    TParams MinParam(int min)
    {
        TParams p;
        p.Add(QStringLiteral("pmin")).Value = min; // names match without regard to case
        p.Add(QStringLiteral("PNOTDECLARED")).Value = 1;
        return p;
    }

    TTestDatabase db;
    TSQLDataSet query;
};

const QString kList = QStringLiteral("NMALIQUOTA str 60; PKALIQUOTA int K; PEALIQUOTA dec 15.4; SGUF char 2; "
                                     "DTCAD date; DTHRALT timestamp; OBS memo; FOTO blob; HRCAD time; "
                                     "PKFILIAL int F; VLBIG bigint RO");

} // namespace

TEST_F(ProviderTest, OnlyListedColumnsTravelInListOrderWithListTypesAndMarks)
{
    TDataSetProvider dsp(QStringLiteral("DspAliquota"), &query, ParseFieldList(kList));
    const TDataPacket all = dsp.GetRecords(-1, MinParam(2));
    EXPECT_FALSE(query.Active());
    EXPECT_EQ(all.Fields(), ParseFieldList(kList));
    ASSERT_EQ(all.RowCount(), 4);
    EXPECT_EQ(all.Value(0, 1), QVariant(2));
    EXPECT_EQ(all.Value(0, 0).toString(), u"Alíquota \"2\" & <b>");
    EXPECT_TRUE(all.Value(1, 0).isNull());
    EXPECT_EQ(all.Value(3, 2).value<Decimal>().ToString(), u"5.5000");
    EXPECT_EQ(all.Value(0, 3).toString(), u"S ");
    EXPECT_EQ(all.Value(0, 4).toDate(), QDate(2024, 1, 2));
    EXPECT_EQ(all.Value(0, 5).toDateTime(), QDateTime(QDate(2024, 2, 2), QTime(13, 14, 15, 16)));
    EXPECT_EQ(all.Value(0, 6).toString(), u"linha 1\r\nlinha 2");
    EXPECT_EQ(all.Value(3, 7).toByteArray(), QByteArray(5000, char(5)));
    EXPECT_EQ(all.Value(0, 8).toTime(), QTime(2, 30, 15, 250));
    EXPECT_EQ(all.Value(0, 9), QVariant(12));
    EXPECT_EQ(all.Value(0, 10), QVariant(qlonglong(2) << 40));

    const QByteArray xml = all.ToXml();
    EXPECT_FALSE(xml.contains("EXTRA"));
    EXPECT_LT(xml.indexOf("attrname=\"NMALIQUOTA\""), xml.indexOf("attrname=\"PKALIQUOTA\""));
    EXPECT_TRUE(xml.contains("attrname=\"PKFILIAL\" fieldtype=\"i4\"><PARAM Name=\"PROVFLAGS\" Value=\"7\""));
    EXPECT_TRUE(xml.contains("attrname=\"VLBIG\" fieldtype=\"i8\" readonly=\"true\"/>"));
    EXPECT_EQ(TDataPacket::FromXml(xml).Value(3, 7), all.Value(3, 7));

    const TDataPacket none = dsp.GetRecords(0, MinParam(1));
    EXPECT_EQ(none.RowCount(), 0);
    EXPECT_EQ(none.Fields(), ParseFieldList(kList));
    const TDataPacket two = dsp.GetRecords(2, MinParam(1));
    ASSERT_EQ(two.RowCount(), 2);
    EXPECT_EQ(two.Value(1, 1), QVariant(2));
    EXPECT_EQ(dsp.GetRecords(10, MinParam(99)).RowCount(), 0);
    EXPECT_FALSE(query.Active());
}

TEST_F(ProviderTest, MissingColumnsAndValuesThatDoNotFitFailAndCloseTheQuery)
{
    TDataSetProvider missing(QStringLiteral("DspX"), &query, ParseFieldList(u"PKALIQUOTA int K; NMX str 10"));
    EXPECT_EQ(Message([&] { missing.GetRecords(-1, MinParam(1)); }), u"DspX: Field 'NMX' not found");
    EXPECT_FALSE(query.Active());

    auto failure = [&](const QString& list) {
        TDataSetProvider dsp(QStringLiteral("DspAliquota"), &query, ParseFieldList(list));
        const QString msg = Message([&] { dsp.GetRecords(-1, MinParam(1)); });
        EXPECT_FALSE(query.Active());
        return msg;
    };
    const QString narrow = failure(QStringLiteral("NMALIQUOTA str 5"));
    EXPECT_TRUE(narrow.startsWith(u"DspAliquota: row 1: Field 'NMALIQUOTA'")) << narrow.toStdString();
    EXPECT_TRUE(failure(QStringLiteral("PEALIQUOTA int")).contains(u"row 5: Field 'PEALIQUOTA'")); // 5.50
    EXPECT_TRUE(failure(QStringLiteral("PEALIQUOTA dec 15.0")).contains(u"row 5"));
    EXPECT_TRUE(failure(QStringLiteral("VLBIG int")).contains(u"out of range"));
    EXPECT_TRUE(failure(QStringLiteral("DTCAD time")).contains(u"DTCAD"));

    // Conversions that are exact pass: whole decimals as integers, a timestamp's date.
    TDataSetProvider loose(QStringLiteral("DspAliquota"), &query, ParseFieldList(u"PEALIQUOTA int; DTHRALT date"));
    const TDataPacket p = loose.GetRecords(4, MinParam(1));
    EXPECT_EQ(p.Value(3, 0), QVariant(4));
    EXPECT_EQ(p.Value(3, 1).toDate(), QDate(2024, 2, 4));

    query.SetCommandText(QStringLiteral("SELECT * FROM NO_SUCH_TABLE"));
    TDataSetProvider broken(QStringLiteral("DspAliquota"), &query, ParseFieldList(u"PKALIQUOTA int"));
    EXPECT_TRUE(Message([&] { broken.GetRecords(-1, {}); }).contains(u"NO_SUCH_TABLE"));
    EXPECT_FALSE(query.Active());
}

TEST_F(ProviderTest, ClientDataSetOpensLocalProvidersByName)
{
    TDataSetProvider dsp(QStringLiteral("DspAliquota"), &query, ParseFieldList(kList));
    TLocalConnection lc;
    lc.AddProvider(&dsp);
    EXPECT_EQ(lc.FindProvider(u"dspaliquota"), &dsp);
    EXPECT_EQ(lc.FindProvider(u"DspOutro"), nullptr);
    EXPECT_EQ(Message([&] { lc.AS_GetParams(QStringLiteral("DspNada")); }), u"Provider not found: DspNada");
    EXPECT_EQ(Message([&] { lc.AS_GetRecords(QStringLiteral("DspNada"), -1, {}); }), u"Provider not found: DspNada");

    const QByteArray text = lc.AS_GetRecords(QStringLiteral("DspAliquota"), -1, MinParam(4));
    EXPECT_EQ(TDataPacket::FromXml(text).RowCount(), 2);

    TClientDataSet cds;
    cds.SetRemoteServer(&lc);
    cds.SetProviderName(QStringLiteral("DspAliquota"));
    cds.FetchParams();
    ASSERT_EQ(cds.Params().Count(), 1);
    EXPECT_EQ(cds.Params()[0].Name, u"PMIN");
    cds.Params()[0].Value = 3;
    cds.SetPacketRecords(2);
    cds.Open();
    EXPECT_EQ(cds.RecordCount(), 2);
    QList<int> keys;
    for (; !cds.Eof(); cds.Next())
        keys << cds.FieldByName(u"pkaliquota").AsInteger();
    EXPECT_EQ(keys, QList<int>({3, 4}));
    EXPECT_TRUE(cds.FieldByName(u"PKALIQUOTA").Def().InKey());

    TClientDataSet other;
    other.SetRemoteServer(&lc);
    other.SetProviderName(QStringLiteral("DspNada"));
    EXPECT_EQ(Message([&] { other.Open(); }), u"Provider not found: DspNada");
    EXPECT_FALSE(other.Active());
}

// Providers read their rows straight from the statement's buffer into the
// packet's columns; the packet, and every refusal, must be what taking each
// value as a QVariant gives.
TEST(ProviderRows, ReadStraightFromTheStatementAsTheirValuesWouldBeTaken)
{
    TTestDatabase db;
    db.Exec(QStringLiteral(
        "CREATE TABLE TBROW (PK INTEGER NOT NULL PRIMARY KEY, SM SMALLINT, IT INTEGER, BI BIGINT, D2 NUMERIC(15,2), "
        "D3 NUMERIC(15,3), NM VARCHAR(10), CH CHAR(4), U8 VARCHAR(6) CHARACTER SET UTF8, DT DATE, TM TIME, "
        "TS TIMESTAMP, MM BLOB SUB_TYPE TEXT, BL BLOB)"));
    db.Exec(QStringLiteral("INSERT INTO TBROW VALUES (1, -32768, 2147483647, -9223372036854775808, -123.45, 1.230, "
                           "'ab   ', 'xy', 'Zoë€', '0001-01-01', '23:59:59.9999', '1969-12-31 23:59:59.999', "
                           "'m' || ASCII_CHAR(13) || ASCII_CHAR(10) || 'é', 'bin')"));
    db.Exec(QStringLiteral("INSERT INTO TBROW (PK) VALUES (2)"));
    db.Exec(QStringLiteral("INSERT INTO TBROW VALUES (3, 32767, -1, 9223372036854775807, 0, -0.001, '', "
                           "'abcd', '', '9999-12-31', '00:00:00', '9999-12-31 23:59:59.999', '', '')"));
    db.Exec(QStringLiteral("INSERT INTO TBROW (PK, NM, IT, D3) VALUES (4, 'tab' || ASCII_CHAR(9) || 'é ÿ', 40000, 7)"));

    TSQLDataSet query(&db.Connection());
    query.SetCommandText(QStringLiteral("SELECT * FROM TBROW WHERE PK <= :PMAX ORDER BY PK"));
    // The same rows with every value taken from the field as a QVariant.
    const auto viaValues = [&](const TFieldDefs& defs, int max) {
        query.Params().ParamByName(u"PMAX").Value = max;
        query.Open();
        TDataPacket packet(defs);
        QString error;
        for (int row = 1; !query.Eof(); query.Next(), ++row) {
            QList<QVariant> values;
            for (const TFieldDef& def : defs)
                values << query.FieldByName(def.Name).Value();
            try {
                packet.AppendRow(values);
            } catch (const EPacketError& e) {
                error = QStringLiteral("DspRow: row %1: %2").arg(row).arg(e.Message());
                break;
            }
        }
        query.Close();
        return std::make_pair(packet.ToXml(), error);
    };
    const auto viaProvider = [&](const TFieldDefs& defs, int max) {
        TDataSetProvider dsp(QStringLiteral("DspRow"), &query, defs);
        TParams p;
        p.Add(QStringLiteral("PMAX")).Value = max;
        QByteArray xml;
        const QString error = Message([&] { xml = dsp.GetRecords(-1, p).ToXml(); });
        return std::make_pair(xml, error == u"<no EDatabaseError>" ? QString() : error);
    };

    // Own types, then wider and narrower ones that take the general way.
    const QStringList lists = {
        QStringLiteral("PK int K; SM small; IT int; BI bigint; D2 dec 15.2; D3 dec 15.3; NM str 10; CH char 4; "
                       "U8 str 6; DT date; TM time; TS timestamp; MM memo; BL blob"),
        QStringLiteral("PK bigint K; SM int; D2 dec 15.4; D3 dec 15.3; NM str 3; CH char 6; U8 char 6; DT timestamp; "
                       "TS date; MM str 20; BL memo"),
        QStringLiteral("NM char 12; CH str 4; U8 char 8"),
    };
    for (const QString& list : lists) {
        const TFieldDefs defs = ParseFieldList(list);
        const auto expected = viaValues(defs, 3);
        EXPECT_TRUE(expected.second.isEmpty()) << expected.second.toStdString();
        EXPECT_EQ(viaProvider(defs, 3), expected) << list.toStdString();
    }
    EXPECT_TRUE(viaProvider(ParseFieldList(u"NM str 10"), 4).first.contains("tab&#9;é ÿ"));

    // Refusals: out of range, decimals lost, text too long, a control character.
    const QStringList refused = {QStringLiteral("PK int K; IT small"), QStringLiteral("D3 dec 15.2"),
                                 QStringLiteral("NM str 2"), QStringLiteral("CH str 3"), QStringLiteral("U8 str 3")};
    for (const QString& list : refused) {
        const TFieldDefs defs = ParseFieldList(list);
        const auto expected = viaValues(defs, 4);
        EXPECT_FALSE(expected.second.isEmpty()) << list.toStdString();
        EXPECT_EQ(viaProvider(defs, 4).second, expected.second);
    }
    db.Exec(QStringLiteral("UPDATE TBROW SET NM = 'a' || ASCII_CHAR(1) WHERE PK = 2"));
    const auto control = viaValues(ParseFieldList(u"NM str 10"), 4);
    EXPECT_TRUE(control.second.contains(u"control character 1")) << control.second.toStdString();
    EXPECT_EQ(viaProvider(ParseFieldList(u"NM str 10"), 4).second, control.second);
}
