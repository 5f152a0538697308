#include "remote/wire/ParamsJson.h"
#include "remote/wire/WireProtocol.h"

#include "platform/types/Decimal.h"

#include <QDate>
#include <QDateTime>
#include <QJsonDocument>

#include <gtest/gtest.h>

using wire::EProtocolError;
using wire::TFrameReader;

namespace {

QByteArray Prefix(quint32 n)
{
    QByteArray p;
    p.append(char(n >> 24)).append(char(n >> 16)).append(char(n >> 8)).append(char(n));
    return p;
}

QByteArray RawFrame(const QByteArray& body) { return Prefix(quint32(body.size())) + body; }

} // namespace

TEST(FrameReader, ReassemblesMessagesHoweverTheBytesArrive)
{
    const QByteArray a = wire::EncodeFrame(wire::Request(1, QStringLiteral("open"), QJsonObject{}));
    const QByteArray b = wire::EncodeFrame(wire::Result(1, QJsonObject{{QStringLiteral("texto"), QStringLiteral("Açúcar")}}));
    ASSERT_EQ(quint32(a.size() - 4), (quint32(uchar(a[2])) << 8) | uchar(a[3]));

    // One byte at a time: nothing until the last byte of each frame.
    TFrameReader slow;
    const QByteArray both = a + b;
    std::vector<QJsonObject> got;
    for (qsizetype i = 0; i < both.size(); ++i) {
        slow.Append(both.mid(i, 1));
        while (auto m = slow.Next())
            got.push_back(*m);
        if (i == a.size() - 2 || i == a.size() + 2) { // inside the first frame, inside the second prefix
            EXPECT_EQ(got.size(), i < a.size() ? 0u : 1u);
        }
    }
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].value(QStringLiteral("method")).toString(), QStringLiteral("open"));
    EXPECT_EQ(got[1].value(QStringLiteral("result")).toObject().value(QStringLiteral("texto")).toString(),
              QStringLiteral("Açúcar"));
    EXPECT_EQ(slow.Buffered(), 0);

    // Several frames and the start of another in one append.
    TFrameReader fast;
    fast.Append(a + b + a + b.left(3));
    EXPECT_TRUE(fast.Next());
    EXPECT_TRUE(fast.Next());
    EXPECT_TRUE(fast.Next());
    EXPECT_FALSE(fast.Next());
    EXPECT_EQ(fast.Buffered(), 3);
    fast.Append(b.mid(3));
    EXPECT_TRUE(fast.Next());
    EXPECT_EQ(fast.Buffered(), 0);
}

TEST(FrameReader, RefusesOversizedAndMalformedFrames)
{
    TFrameReader big;
    EXPECT_THROW(big.Append(Prefix(wire::kMaxFrameSize + 1)), EProtocolError);
    TFrameReader limit; // the limit itself is allowed: it only waits for the body
    limit.Append(Prefix(wire::kMaxFrameSize));
    EXPECT_FALSE(limit.Next());

    for (const QByteArray& body : {QByteArray("[1,2,3]"), QByteArray("\"text\""), QByteArray("{\"id\":1,"),
                                  QByteArray("\xff\xfe garbage"), QByteArray("{\"id\":1,\"result\":{}}")}) {
        TFrameReader reader;
        reader.Append(RawFrame(body));
        EXPECT_THROW(reader.Next(), EProtocolError) << body.constData();
    }
}

TEST(ParamsJson, WritesEveryTypeAndReadsItBack)
{
    TParams params;
    params.Add(QStringLiteral("PCDCONTRATO"), TFieldType::ftString).Value = QStringLiteral("C-001 ç");
    params.Add(QStringLiteral("PPKEMPRESA"), TFieldType::ftInteger).Value = 7;
    params.Add(QStringLiteral("PSMALL"), TFieldType::ftSmallint).Value = -32768;
    params.Add(QStringLiteral("PBIG"), TFieldType::ftLargeint).Value = qint64(9007199254740993LL); // 2^53 + 1
    params.Add(QStringLiteral("PVALOR"), TFieldType::ftFMTBcd).Value = QVariant::fromValue(Decimal(1234567890123456789LL, 4));
    params.Add(QStringLiteral("PDATA"), TFieldType::ftDate).Value = QDate(2024, 2, 29);
    params.Add(QStringLiteral("PHORA"), TFieldType::ftTime).Value = QTime(23, 59, 58, 7);
    params.Add(QStringLiteral("PMOMENTO"), TFieldType::ftTimeStamp).Value = QDateTime(QDate(1999, 12, 31), QTime(8, 0));
    params.Add(QStringLiteral("PNOTA"), TFieldType::ftMemo).Value = QStringLiteral("linha 1\nlinha 2");
    params.Add(QStringLiteral("PFOTO"), TFieldType::ftBlob).Value = QByteArray("\x00\x01\xff", 3);
    params.Add(QStringLiteral("PNADA"), TFieldType::ftInteger);
    params.Add(QStringLiteral("PFIXO"), TFieldType::ftFixedChar).Value = QStringLiteral("AB ");

    // Through the text form, as on the wire.
    const QJsonArray json = wire::ParamsToJson(params);
    const QByteArray text = QJsonDocument(json).toJson(QJsonDocument::Compact);
    EXPECT_TRUE(text.contains(R"("value":"123456789012345.6789")")) << text.constData();
    EXPECT_TRUE(text.contains(R"("value":"2024-02-29")"));
    EXPECT_TRUE(text.contains(R"("value":"23:59:58.007")"));
    EXPECT_TRUE(text.contains(R"({"name":"PFIXO","type":"string","value":"AB "})"));
    const TParams back = wire::ParamsFromJson(QJsonDocument::fromJson(text).array());

    ASSERT_EQ(back.Count(), params.Count());
    for (int i = 0; i < params.Count(); ++i) {
        EXPECT_EQ(back[i].Name, params[i].Name);
        const TFieldType sent =
            params[i].DataType == TFieldType::ftFixedChar ? TFieldType::ftString : params[i].DataType;
        EXPECT_EQ(back[i].DataType, sent) << params[i].Name.toStdString();
    }
    EXPECT_EQ(back[1].Value.toInt(), 7);
    EXPECT_EQ(back[2].Value.toInt(), -32768);
    EXPECT_EQ(back[3].Value.toLongLong(), 9007199254740993LL);
    EXPECT_EQ(back[4].Value.value<Decimal>(), Decimal(1234567890123456789LL, 4));
    EXPECT_EQ(back[4].Value.value<Decimal>().Scale(), 4);
    EXPECT_EQ(back[5].Value.toDate(), QDate(2024, 2, 29));
    EXPECT_EQ(back[6].Value.toTime(), QTime(23, 59, 58, 7));
    EXPECT_EQ(back[7].Value.toDateTime(), QDateTime(QDate(1999, 12, 31), QTime(8, 0)));
    EXPECT_EQ(back[8].Value.toString(), QStringLiteral("linha 1\nlinha 2"));
    EXPECT_EQ(back[9].Value.toByteArray(), QByteArray("\x00\x01\xff", 3));
    EXPECT_TRUE(back[10].IsNull());
    EXPECT_EQ(back[11].Value.toString(), QStringLiteral("AB "));
}

TEST(ParamsJson, RefusesValuesThatDoNotFitTheirType)
{
    TParam tooBig{QStringLiteral("PSMALL"), TFieldType::ftSmallint, 40000};
    EXPECT_THROW(wire::ParamValueToJson(tooBig), Exception);
    TParam notInt{QStringLiteral("PPK"), TFieldType::ftInteger, QStringLiteral("12a")};
    EXPECT_THROW(wire::ParamValueToJson(notInt), Exception);

    const auto parse = [](const char* json) {
        return wire::ParamsFromJson(QJsonDocument::fromJson(QByteArray("[") + json + "]").array());
    };
    EXPECT_NO_THROW(parse(R"({"name":"P","type":"integer","value":12})"));
    for (const char* bad : {R"({"name":"P","type":"integer","value":1.5})",
                            R"({"name":"P","type":"integer","value":"12"})",
                            R"({"name":"P","type":"integer","value":3000000000})",
                            R"({"name":"P","type":"decimal","value":"1,5"})",
                            R"({"name":"P","type":"date","value":"2023-02-30"})",
                            R"({"name":"P","type":"blob","value":"@@"})",
                            R"({"name":"P","type":"varchar","value":"x"})",
                            R"({"type":"string","value":"x"})", R"("P")"}) {
        EXPECT_THROW(parse(bad), EProtocolError) << bad;
    }
    try {
        parse(R"({"name":"PPKULTIMO","type":"integer","value":true})");
        FAIL();
    } catch (const EProtocolError& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Provider parameter PPKULTIMO: true is not a valid integer value"));
    }
    EXPECT_THROW(wire::ParamsFromJson(QJsonObject{}), EProtocolError);
}
