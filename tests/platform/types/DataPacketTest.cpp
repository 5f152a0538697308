#include "platform/types/DataPacket.h"
#include "platform/types/Decimal.h"
#include "platform/types/Exception.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QRandomGenerator>
#include <QXmlStreamReader>

namespace {

TFieldDefs AllTypes()
{
    return ParseFieldList(u"ID int K; SMALL small; BIG bigint RO; NAME str 12 R; UF char 4; VALUE dec 15.2; "
                          u"DAY date; HOUR time; STAMP timestamp; NOTE memo; PHOTO blob; CODE str 40 F");
}

QString Message(const std::function<void()>& f)
{
    try {
        f();
    } catch (const EPacketError& e) {
        return e.Message();
    }
    return QStringLiteral("<no EPacketError>");
}

// What a conforming XML reader sees as the value of `attr` in the first ROW.
QString FirstRowAttribute(const QByteArray& xml, const QString& attr)
{
    QXmlStreamReader r(xml);
    while (!r.atEnd()) {
        r.readNext();
        if (r.isStartElement() && r.name() == u"ROW")
            return r.attributes().value(attr).toString();
    }
    ADD_FAILURE() << "no ROW: " << r.errorString().toStdString();
    return {};
}

QByteArray Packet(const QByteArray& fields, const QByteArray& rows)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n<DATAPACKET Version=\"2.0\"><METADATA><FIELDS>" +
           fields + "</FIELDS><PARAMS/></METADATA><ROWDATA>" + rows + "</ROWDATA></DATAPACKET>";
}

} // namespace

TEST(DataPacket, EveryTypeWithNullsSurvivesTheTextRoundTrip)
{
    TDataPacket p(AllTypes());
    const QString tricky = QStringLiteral("a\"b'c&d<e>f\tg\r\nh\ni  j");
    QByteArray bytes;
    for (int i = 0; i < 256; ++i)
        bytes.append(char(i));
    const QList<QVariant> full{
        2147483647,
        -32768,
        qlonglong(-9223372036854775807LL - 1),
        QStringLiteral("ação Über ñ"),
        QStringLiteral("SP"),
        QVariant::fromValue(Decimal(999999999999999, 2)),
        QDate(2024, 2, 29),
        QTime(8, 5, 3, 7),
        QDateTime(QDate(1, 1, 1), QTime(23, 59, 59, 999)),
        QStringLiteral("linha 1\r\nlinha 2 – ç\t€ 😀"),
        bytes,
        tricky,
    };
    p.AppendRow(full);
    p.AppendRow(QList<QVariant>(full.size())); // all null
    p.AppendRow({-1, 0, qlonglong(1), QString(), QString(), QVariant::fromValue(Decimal(-1, 2)), QDate(9999, 12, 31),
                 QTime(0, 0), QDateTime(QDate(1970, 1, 1), QTime(0, 0)), QString(), QByteArray(), QString()});

    const QByteArray xml = p.ToXml();
    const TDataPacket back = TDataPacket::FromXml(xml);
    EXPECT_EQ(back.Fields(), p.Fields());
    ASSERT_EQ(back.RowCount(), 3);
    for (int r = 0; r < 3; ++r)
        for (int f = 0; f < full.size(); ++f)
            EXPECT_EQ(back.Value(r, f), p.Value(r, f)) << "row " << r << " field " << f;

    EXPECT_EQ(back.Value(0, 4).toString(), u"SP  ");            // char blank-padded
    EXPECT_EQ(back.Value(0, 5).value<Decimal>().ToString(), u"9999999999999.99");
    EXPECT_EQ(back.Value(0, 11).toString(), tricky);
    EXPECT_TRUE(back.Value(1, 0).isNull());
    EXPECT_TRUE(back.Value(1, 3).isNull());
    EXPECT_FALSE(back.Value(2, 3).isNull()); // empty text is not null
    EXPECT_EQ(back.Value(2, 3).toString(), u"");
    EXPECT_EQ(back.Value(2, 10).toByteArray(), QByteArray());
    EXPECT_FALSE(back.Value(2, 10).isNull());

    // The texts of the format, and escaping that survives attribute normalisation.
    EXPECT_TRUE(xml.contains(" VALUE=\"9999999999999.99\"")) << xml.constData();
    EXPECT_TRUE(xml.contains(" VALUE=\"-0.01\""));
    EXPECT_TRUE(xml.contains(" DAY=\"20240229\" HOUR=\"08:05:03007\" STAMP=\"00010101T23:59:59999\""));
    EXPECT_TRUE(xml.contains("<FIELD attrname=\"ID\" fieldtype=\"i4\" required=\"true\"><PARAM Name=\"PROVFLAGS\" "
                             "Value=\"7\" Type=\"i4\"/></FIELD>"));
    EXPECT_TRUE(xml.contains("<FIELD attrname=\"UF\" fieldtype=\"string\" WIDTH=\"4\" SUBTYPE=\"FixedChar\"/>"));
    EXPECT_TRUE(xml.contains("<FIELD attrname=\"VALUE\" fieldtype=\"fixed\" WIDTH=\"15\" DECIMALS=\"2\"/>"));
    EXPECT_TRUE(xml.contains("fieldtype=\"bin.hex\" SUBTYPE=\"Text\""));
    EXPECT_TRUE(xml.contains(" BIG=\"-9223372036854775808\""));
    EXPECT_TRUE(xml.contains("&#13;&#10;h&#10;i"));
    EXPECT_EQ(FirstRowAttribute(xml, QStringLiteral("CODE")), tricky);
    EXPECT_EQ(QByteArray::fromBase64(FirstRowAttribute(xml, QStringLiteral("PHOTO")).toLatin1()), bytes);
}

TEST(DataPacket, LargeValuesAndTheDesignSample)
{
    TDataPacket p(ParseFieldList(u"ID int; PHOTO blob; NOTE memo"));
    QByteArray blob(1 << 20, Qt::Uninitialized);
    for (qsizetype i = 0; i < blob.size(); ++i)
        blob[i] = char(QRandomGenerator::global()->bounded(256));
    const QString memo = QString(300000, QChar(u'é')) + QStringLiteral("fim");
    p.AppendRow({1, blob, memo});
    const TDataPacket back = TDataPacket::FromXml(p.ToXml());
    EXPECT_EQ(back.Value(0, 1).toByteArray(), blob);
    EXPECT_EQ(back.Value(0, 2).toString(), memo);

    const QByteArray sample = R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<DATAPACKET Version="2.0">
 <METADATA>
  <FIELDS>
   <FIELD attrname="PKALIQUOTA" fieldtype="i4" required="true"><PARAM Name="PROVFLAGS" Value="7" Type="i4"/></FIELD>
   <FIELD attrname="NMALIQUOTA" fieldtype="string" WIDTH="60"/>
   <FIELD attrname="PEALIQUOTA" fieldtype="fixed" WIDTH="15" DECIMALS="2"/>
  </FIELDS>
  <PARAMS/>
 </METADATA>
 <ROWDATA>
  <ROW PKALIQUOTA="1" NMALIQUOTA="Isento" PEALIQUOTA="0.00"/>
  <ROW PEALIQUOTA='7.5' PKALIQUOTA="2"></ROW>
 </ROWDATA>
</DATAPACKET>
)";
    const TDataPacket s = TDataPacket::FromXml(sample);
    EXPECT_EQ(s.Fields(), ParseFieldList(u"PKALIQUOTA int K; NMALIQUOTA str 60; PEALIQUOTA dec 15.2"));
    ASSERT_EQ(s.RowCount(), 2);
    EXPECT_EQ(s.Value(0, 1).toString(), u"Isento");
    EXPECT_EQ(s.Value(1, 2).value<Decimal>(), Decimal(750, 2));
    EXPECT_EQ(s.Value(1, 0).toInt(), 2);
    EXPECT_TRUE(s.Value(1, 1).isNull());

    // Copies are deep: appending to one leaves the other as it was.
    TDataPacket copy = s;
    copy.AppendRow({3, QStringLiteral("Cheia"), QVariant::fromValue(Decimal(1800, 2))});
    copy.Clear();
    EXPECT_EQ(copy.RowCount(), 0);
    EXPECT_EQ(copy.Fields(), s.Fields());
    EXPECT_EQ(s.RowCount(), 2);
    EXPECT_EQ(s.Value(0, 1).toString(), u"Isento");
}

TEST(DataPacket, AppendRowConvertsExactlyOrRefusesTheWholeRow)
{
    TDataPacket p(ParseFieldList(u"N small; V dec 15.2; S str 5; C char 3; D date; T timestamp"));
    p.AppendRow({qlonglong(7), QVariant::fromValue(Decimal(15, 1)), QStringLiteral("abc  "), QStringLiteral("x"),
                 QDateTime(QDate(2024, 5, 6), QTime(7, 8)), QDate(2024, 5, 6)});
    EXPECT_EQ(p.Value(0, 0), QVariant(7));
    EXPECT_EQ(p.Value(0, 1).value<Decimal>().ToString(), u"1.50");
    EXPECT_EQ(p.Value(0, 2).toString(), u"abc  ");
    EXPECT_EQ(p.Value(0, 3).toString(), u"x  ");
    EXPECT_EQ(p.Value(0, 4).toDate(), QDate(2024, 5, 6));
    EXPECT_EQ(p.Value(0, 5).toDateTime(), QDateTime(QDate(2024, 5, 6), QTime(0, 0)));
    p.AppendRow({QVariant::fromValue(Decimal(-3200, 2)), 12, QStringLiteral("12345   "), QString(), QVariant(),
                 QVariant()});
    EXPECT_EQ(p.Value(1, 0), QVariant(-32));
    EXPECT_EQ(p.Value(1, 1).value<Decimal>().ToString(), u"12.00");
    EXPECT_EQ(p.Value(1, 2).toString(), u"12345"); // blanks past the width are dropped

    const QList<QVariant> good = {1, QVariant::fromValue(Decimal(1, 0)), QString(), QString(), QVariant(), QVariant()};
    auto refused = [&](int field, const QVariant& v) {
        QList<QVariant> row = good;
        row[field] = v;
        return Message([&] { p.AppendRow(row); });
    };
    EXPECT_TRUE(refused(0, 40000).contains(u"Field 'N'"));
    EXPECT_TRUE(refused(0, QVariant::fromValue(Decimal(15, 1))).contains(u"Field 'N'"));
    EXPECT_TRUE(refused(1, QVariant::fromValue(Decimal(1234, 3))).contains(u"Field 'V'"));
    EXPECT_TRUE(refused(1, 1.5).contains(u"not exact"));
    EXPECT_TRUE(refused(1, QVariant::fromValue(Decimal(std::numeric_limits<qint64>::max(), 0))).contains(u"'V'"));
    EXPECT_TRUE(refused(2, QStringLiteral("123456")).contains(u"longer than 5"));
    EXPECT_TRUE(refused(2, QStringLiteral("a\x01")).contains(u"control character"));
    EXPECT_TRUE(refused(2, 5).contains(u"not text"));
    EXPECT_TRUE(refused(4, QDate(10000, 1, 1)).contains(u"Field 'D'"));
    EXPECT_TRUE(refused(4, QStringLiteral("2024-01-01")).contains(u"Field 'D'"));
    EXPECT_TRUE(Message([&] { p.AppendRow({1}); }).contains(u"6 fields"));
    EXPECT_EQ(p.RowCount(), 2);
    // A refused row leaves nothing of its text behind for the next one.
    EXPECT_TRUE(refused(4, QDate(10000, 1, 1)).contains(u"Field 'D'"));
    p.AppendRow({1, QVariant(), QStringLiteral("zz"), QStringLiteral("y"), QVariant(), QVariant()});
    EXPECT_EQ(p.Value(2, 2).toString(), u"zz");
    EXPECT_EQ(p.Value(2, 3).toString(), u"y  ");

    TFieldDefs twice = ParseFieldList(u"A int; B int");
    twice[1].Name = QStringLiteral("a");
    EXPECT_TRUE(Message([&] { (void)TDataPacket(twice); }).contains(u"twice"));
    twice[1].Name = QStringLiteral("A B");
    EXPECT_TRUE(Message([&] { (void)TDataPacket(twice); }).contains(u"'A B'"));
}

// Equal values, equal digests; values run together or moved between fields differ.
TEST(DataPacket, RowDigestsTellRowsApartByTheirValues)
{
    TDataPacket p(ParseFieldList(u"A str 5; B str 5; N int; M memo"));
    const QList<QList<QVariant>> rows = {
        {"ab", "c", 1, "x"}, {"a", "bc", 1, "x"}, {"ab", "c", 1, "x"}, {"ab", QVariant(), 1, "x"},
        {"ab", "", 1, "x"},  {"ab", "c", 2, "x"}, {"ab", "c", 1, QVariant()}, {"ab", "c", 1, ""},
    };
    for (const auto& r : rows)
        p.AppendRow(r);
    const auto bytes = [&](int row) { return p.RowDigest(row); };
    for (int i = 0; i < p.RowCount(); ++i)
        for (int j = 0; j < i; ++j)
            EXPECT_EQ(bytes(i) == bytes(j), (i == 2 && j == 0)) << i << " " << j;
    EXPECT_EQ(bytes(0), bytes(0));
    EXPECT_TRUE(Message([&] { bytes(8); }).contains(u"no such row"));
}

TEST(DataPacket, MalformedPacketsAreRefusedNamingTheFault)
{
    const QByteArray fields = R"(<FIELD attrname="ID" fieldtype="i4"/><FIELD attrname="S" fieldtype="i2"/>)"
                              R"(<FIELD attrname="B" fieldtype="i8"/><FIELD attrname="NM" fieldtype="string" WIDTH="3"/>)"
                              R"(<FIELD attrname="V" fieldtype="fixed" WIDTH="15" DECIMALS="2"/><FIELD attrname="D" fieldtype="date"/>)"
                              R"(<FIELD attrname="T" fieldtype="time"/><FIELD attrname="TS" fieldtype="dateTime"/>)"
                              R"(<FIELD attrname="M" fieldtype="bin.hex" SUBTYPE="Text"/><FIELD attrname="P" fieldtype="bin.hex" SUBTYPE="Binary"/>)";
    ASSERT_EQ(TDataPacket::FromXml(Packet(fields, R"(<ROW ID="1" NM="abc"/>)")).RowCount(), 1);

    const struct
    {
        QByteArray row;
        const char* expected;
    } badValues[] = {
        {R"(<ROW ID="12a"/>)", "row 2, field 'ID': '12a' is not an i4"},
        {R"(<ROW ID="2147483648"/>)", "field 'ID'"},
        {R"(<ROW ID=""/>)", "field 'ID'"},
        {R"(<ROW ID=" 1"/>)", "field 'ID'"},
        {R"(<ROW S="32768"/>)", "field 'S'"},
        {R"(<ROW B="9223372036854775808"/>)", "field 'B'"},
        {R"(<ROW V="1.234"/>)", "at most 2 decimals"},
        {R"(<ROW V="1e5"/>)", "field 'V'"},
        {R"(<ROW V="1."/>)", "field 'V'"},
        {R"(<ROW V="92233720368547758.08"/>)", "field 'V'"},
        {R"(<ROW D="20230229"/>)", "field 'D'"},
        {R"(<ROW D="2023-01-01"/>)", "field 'D'"},
        {R"(<ROW T="24:00:00000"/>)", "field 'T'"},
        {R"(<ROW T="12:00:00"/>)", "field 'T'"},
        {R"(<ROW TS="20230101 12:00:00000"/>)", "field 'TS'"},
        {R"(<ROW M="/w=="/>)", "field 'M'"},
        {R"(<ROW P="abc"/>)", "field 'P'"},
        {R"(<ROW P="ab c"/>)", "field 'P'"},
        {R"(<ROW NM="abcd"/>)", "at most 3 characters"},
        {"<ROW NM=\"\xC3\x28\"/>", "field 'NM'"},
        {"<ROW NM=\"\xED\xA0\x80\"/>", "field 'NM'"},
        {R"(<ROW ID="1" XX="1"/>)", "row 2 has attribute 'XX', which names no field"},
        {R"(<ROW id="1"/>)", "'id', which names no field"},
    };
    for (const auto& c : badValues) {
        const QString msg = Message([&] { TDataPacket::FromXml(Packet(fields, R"(<ROW ID="1"/>)" + c.row)); });
        EXPECT_TRUE(msg.contains(QString::fromUtf8(c.expected))) << c.row.constData() << " -> " << msg.toStdString();
    }

    const struct
    {
        QByteArray text;
        const char* expected;
    } badPackets[] = {
        {Packet(fields, R"(<ROW ID="1" ID="2"/>)"), "appears twice"},
        {Packet(fields, R"(<ROW ID="1"NM="a"/>)"), "white space expected"},
        {Packet(fields, R"(<ROW ID=1/>)"), "not quoted"},
        {Packet(fields, R"(<ROW NM="<"/>)"), "'<'"},
        {Packet(fields, R"(<ROW NM="&nbsp;"/>)"), "unknown entity"},
        {Packet(fields, R"(<ROW NM="&#0;"/>)"), "character reference"},
        {Packet(fields, R"(<ROW NM="a & b"/>)"), "'&'"},
        {Packet(fields, "<ROW NM=\"a\x01\"/>"), "control character"},
        {Packet(fields, R"(<ROW ID="1"></ROWS>)"), "does not close"},
        {Packet(fields, R"(<ROW ID="1"><X/></ROW>)"), "unexpected element"},
        {Packet(fields, R"(text<ROW ID="1"/>)"), "text is not allowed"},
        {Packet(fields, R"(<RECORD ID="1"/>)"), "unexpected <RECORD>"},
        {Packet(fields + R"(<FIELD attrname="id" fieldtype="i4"/>)", ""), "field 'id' is defined twice"},
        {Packet(R"(<FIELD attrname="X" fieldtype="r8"/>)", ""), "field 'X' has unknown fieldtype 'r8'"},
        {Packet(R"(<FIELD attrname="X" fieldtype="string" SUBTYPE="WideText"/>)", ""), "unknown SUBTYPE"},
        {Packet(R"(<FIELD attrname="X Y" fieldtype="i4"/>)", ""), "'X Y'"},
        {Packet(R"(<FIELD attrname="X" fieldtype="fixed" DECIMALS="x"/>)", ""), "DECIMALS of field 'X'"},
        {Packet(R"(<FIELD fieldtype="i4"/>)", ""), "no attrname"},
        {Packet(fields, "") + "<more/>", "after the end"},
        {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><DATAPACKET/>", "encoding ISO-8859-1"},
        {"<!DOCTYPE x><DATAPACKET/>", "document type"},
        {"<DATAPACKET Version=\"2.0\"/>", "no METADATA"},
        {"<OTHER/>", "not a DATAPACKET"},
        {"", "empty"},
    };
    for (const auto& c : badPackets) {
        const QString msg = Message([&] { TDataPacket::FromXml(c.text); });
        EXPECT_TRUE(msg.contains(QString::fromUtf8(c.expected))) << c.text.constData() << " -> " << msg.toStdString();
    }

    // Every truncation of a valid packet is refused, wherever the text stops.
    const QByteArray whole = Packet(fields, R"(<ROW ID="1" NM="a&amp;b" M="w6k="/><!-- c --><ROW></ROW>)");
    ASSERT_EQ(TDataPacket::FromXml(whole).RowCount(), 2);
    for (qsizetype n = 0; n < whole.size(); ++n)
        EXPECT_THROW(TDataPacket::FromXml(whole.left(n)), EPacketError) << n;
}

// What this reader accepts, a conforming XML reader must find well-formed, and
// damaged text never brings it down.
TEST(DataPacket, DamagedTextIsNeverAcceptedAsWellFormedWhenItIsNot)
{
    TDataPacket p(AllTypes());
    p.AppendRow({1, 2, qlonglong(3), QStringLiteral("a&b<c"), QStringLiteral("uf"), QVariant::fromValue(Decimal(5, 2)),
                 QDate(2020, 1, 2), QTime(1, 2, 3), QDateTime(QDate(2020, 1, 2), QTime(3, 4)), QStringLiteral("memo"),
                 QByteArray("\x00\x01", 2), QStringLiteral("x\ny")});
    p.AppendRow(QList<QVariant>(12));
    const QByteArray xml = p.ToXml();
    QRandomGenerator rng(20240601);
    const char alphabet[] = "<>&;\"'=/ #xa\t\n\x01\x80\xC3";
    int accepted = 0;
    for (int i = 0; i < 4000; ++i) {
        QByteArray damaged = xml;
        for (int k = 0, edits = 1 + rng.bounded(2); k < edits; ++k)
            damaged[rng.bounded(damaged.size())] = alphabet[rng.bounded(int(sizeof alphabet - 1))];
        try {
            TDataPacket::FromXml(damaged);
        } catch (const EPacketError&) {
            continue;
        }
        ++accepted;
        QXmlStreamReader r(damaged);
        while (!r.atEnd())
            r.readNext();
        EXPECT_FALSE(r.hasError()) << r.errorString().toStdString() << "\n" << damaged.constData();
    }
    EXPECT_GT(accepted, 0); // some edits are harmless (inside values): the check ran
}
