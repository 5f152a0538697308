#include "platform/data/ClientDataSet.h"
#include "platform/data/DataSetProvider.h"
#include "platform/data/Decimal.h"
#include "platform/data/Exception.h"
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
