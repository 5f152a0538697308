#include "remote/wire/JsonCodec.h"
#include "remote/wire/WireProtocol.h"

#include <QCborArray>
#include <QCborMap>
#include <QCborValue>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

using wire::EProtocolError;

namespace {

// Equal including the integer/double distinction, which QJsonValue's == ignores.
QCborValue Strict(const QJsonValue& v) { return QCborValue::fromJsonValue(v); }

std::string Show(const QJsonValue& v) { return Strict(v).toDiagnosticNotation().toStdString(); }

// What Qt's parser gives, as the public API would build it: keys inserted one by one
// sort by UTF-16, where Qt's parser sorts astral characters after U+FFFF.
QJsonValue Normal(const QJsonValue& v)
{
    if (v.isArray()) {
        QJsonArray a;
        for (const QJsonValue& e : v.toArray())
            a.append(Normal(e));
        return a;
    }
    if (v.isObject()) {
        QJsonObject o;
        const QJsonObject in = v.toObject();
        for (auto it = in.begin(); it != in.end(); ++it)
            o.insert(it.key(), Normal(it.value()));
        return o;
    }
    return v;
}

QJsonValue QtParse(const QByteArray& text)
{
    // Qt only takes a container at the top; wrap and unwrap.
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson("[" + text + "]", &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << text.constData();
    return Normal(doc.array().at(0));
}

QByteArray Ours(const QJsonValue& v)
{
    QByteArray out;
    wire::AppendJson(out, v);
    return out;
}

QByteArray Qts(const QJsonValue& v)
{
    const QByteArray text = QJsonDocument(QJsonArray{v}).toJson(QJsonDocument::Compact);
    return text.mid(1, text.size() - 2);
}

// Random values of every kind. No U+FEFF: Qt drops it at the start of a string
// without escapes, where this codec keeps it (tested on its own below).
class TRandomJson
{
public:
    explicit TRandomJson(unsigned seed) : m_rng(seed) {}

    QJsonValue Value(int depth)
    {
        switch (Pick(depth < 4 ? 9 : 6)) {
        case 0: return QJsonValue::Null;
        case 1: return Pick(2) == 0;
        case 2: return Integer();
        case 3: return Double();
        case 4:
        case 5: return Text();
        case 6: {
            QJsonArray a;
            for (int i = Pick(6); i > 0; --i)
                a.append(Value(depth + 1));
            return a;
        }
        default: {
            QJsonObject o;
            for (int i = Pick(6); i > 0; --i)
                o.insert(Text(), Value(depth + 1));
            return o;
        }
        }
    }

    QString Text()
    {
        static const char32_t kPool[] = {'"', '\\', '/', '\b', '\f', '\n', '\r', '\t', 0x01, 0x1f, 0x7f,
                                         0xe7, 0xe3, 0x20ac, 0x2028, 0xfffd, 0x1f600, 0x10ffff, 0};
        QString s;
        for (int n = Pick(3) == 0 ? Pick(60) : Pick(12); n > 0; --n) {
            const int kind = Pick(10);
            const char32_t c = kind < 6 ? char32_t(' ' + Pick(95)) : kind < 9 ? kPool[Pick(std::size(kPool))]
                                                                                : char32_t(0x80 + Pick(0xd800 - 0x80));
            s.append(QChar::fromUcs4(c));
        }
        return s;
    }

private:
    int Pick(size_t n) { return int(std::uniform_int_distribution<size_t>(0, n - 1)(m_rng)); }

    qint64 Integer()
    {
        constexpr qint64 kEdges[] = {0, -1, 1, 9007199254740993LL, std::numeric_limits<qint64>::max(),
                                     std::numeric_limits<qint64>::min()};
        if (Pick(4) == 0)
            return kEdges[Pick(std::size(kEdges))];
        const qint64 v = qint64(m_rng() >> Pick(64));
        return Pick(2) ? v : -v;
    }

    double Double()
    {
        if (Pick(3) == 0)
            return double(qint64(m_rng() % 2000001) - 1000000) / std::pow(10.0, Pick(8));
        if (Pick(2)) // whole, around the ends of qint64
            return std::ldexp(double(m_rng() >> 11), 4 + Pick(8)) * (Pick(2) ? 1 : -1);
        double d;
        do {
            const quint64 bits = m_rng();
            std::memcpy(&d, &bits, sizeof d);
        } while (!std::isfinite(d));
        return d;
    }

    std::mt19937_64 m_rng;
};

} // namespace

TEST(JsonCodec, ReadsDocumentsAsQtDoes)
{
    const char* docs[] = {
        R"({"jsonrpc":"2.0","id":1,"method":"open","params":{"server":"X","guid":"","protocol":1}})",
        R"( { "a" : [ 1 , [ ] , { } , [ [ [ "deep" ] ] ] , "" ] , "b" : { "c" : { "d" : null } } } )",
        "\t\r\n[true,false,null]\n",
        R"(["\"\\\/\b\f\n\r\t\u0041\u00e9\u20AC\ud83d\ude00\u0000x"])",
        "[\"A\xc3\xa7\xc3\xba" "car \xe2\x82\xac \xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf\"]",
        R"([0,-0,1,-1,2147483648,9007199254740993,9223372036854775807,-9223372036854775808])",
        R"([9223372036854775808,-9223372036854775809,18446744073709551616,-123456789012345678901234567890])",
        R"([1.0,15e-1,1.5e1,61e15,1e18,922337203685477580.7,-9223372036854775808.0,9223372036854775807.0,-1e19])",
        R"([0.0,-0.0,1.0,1.5,-2.25e-3,1E+2,1e2,5e-324,2.5e-324,1.7976931348623157e308,0.1,1e-7,0e-999])",
        R"({"k":1,"k":2,"j":[],"k":{"last":true}})",
        R"({"":"","\u0000":"\u001f","é":"\\u00e9"})",
        R"([[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[{}]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]])",
    };
    for (const char* text : docs) {
        const QJsonValue ours = wire::ParseJson(text);
        const QJsonValue qt = QtParse(text);
        EXPECT_EQ(Strict(ours), Strict(qt)) << text << "\n  ours " << Show(ours) << "\n  Qt   " << Show(qt);
    }
    // Exactness at the edges, and where Qt's own reading differs: a leading U+FEFF
    // is kept as text.
    EXPECT_EQ(wire::ParseJson("9223372036854775807").toInteger(), std::numeric_limits<qint64>::max());
    EXPECT_TRUE(Strict(wire::ParseJson("9223372036854775808")).isDouble());
    EXPECT_EQ(wire::ParseJson("1e18").toInteger(), 1000000000000000000LL);
    EXPECT_EQ(wire::ParseJson("\"\xef\xbb\xbfz\"").toString(), QString(QChar(0xfeff)) + u'z');
    EXPECT_EQ(wire::ParseJson(R"("\ufeffz")").toString(), QString(QChar(0xfeff)) + u'z');
}

TEST(JsonCodec, WritesWhatQtWrites)
{
    QString controls;
    for (char16_t c = 0; c < 0x20; ++c)
        controls.append(QChar(c));
    const QJsonValue values[] = {
        QJsonObject{{"b", 1}, {"a", QJsonArray{}}, {"c", QJsonObject{}}, {"", ""}},
        controls + QStringLiteral("\"\\/\x7f") + QString::fromUtf8("\xc3\xa7 \xe2\x80\xa8 \xf0\x9f\x98\x80"),
        QJsonArray{0, -1, std::numeric_limits<qint64>::max(), std::numeric_limits<qint64>::min(),
                   qint64(9007199254740993LL)},
        QJsonArray{0.0, -0.0, 3.0, -2.5, 0.1, 1e18, 1e21, 1e-7, 5e-324, 1.7976931348623157e308, 123456789012.0},
        QJsonArray{std::nan(""), std::numeric_limits<double>::infinity(), QJsonValue(QJsonValue::Undefined)},
        QJsonArray{true, false, QJsonValue::Null, QJsonArray{QJsonArray{}}},
    };
    for (const QJsonValue& v : values)
        EXPECT_EQ(Ours(v), Qts(v)) << Show(v);

    // Every position of an escaped or multi-byte character around the 16-byte blocks.
    const QString specials[] = {QStringLiteral("\""), QStringLiteral("\\"), QStringLiteral("\n"), QStringLiteral("\x01"),
                                QStringLiteral("\u00e9"), QString::fromUcs4(U"\U0001F600")};
    for (int len = 0; len < 40; ++len) {
        for (int at = 0; at <= len; ++at) {
            for (const QString& special : specials) {
                const QString s = QString(at, u'a') + special + QString(len - at, u'b');
                const QByteArray text = Ours(s);
                ASSERT_EQ(text, Qts(s)) << len << " " << at;
                ASSERT_EQ(wire::ParseJson(text).toString(), s) << text.constData();
            }
        }
    }

    // Text given in UTF-8 is written as the same text given as a QString, and
    // text that is not UTF-8 is refused before anything is written.
    for (int len = 0; len < 40; ++len) {
        for (int at = 0; at <= len; ++at) {
            for (const QString& special : specials) {
                const QString s = QString(at, u'a') + special + QString(len - at, u'b');
                QByteArray text;
                wire::AppendJsonString(text, s.toUtf8());
                ASSERT_EQ(text, Ours(s)) << len << " " << at;
            }
        }
    }
    for (const QByteArray& bad : {QByteArray("a\xc3"), QByteArray("\xed\xa0\x80"), QByteArray("\xff"), QByteArray("\xc0\xaf")}) {
        QByteArray out = "x";
        EXPECT_THROW(wire::AppendJsonString(out, bad), EProtocolError);
        EXPECT_THROW(wire::EncodeRequestFrame(1, "M", QJsonArray{QJsonValue()}, {{0, bad}}), EProtocolError);
    }

    // A string that cannot be UTF-8 is refused rather than sent garbled.
    for (const QString& bad : {QString(QChar(0xd800)), QStringLiteral("ab") + QChar(0xdc00), QString(QChar(0xd83d)) + u'x'}) {
        QByteArray out;
        EXPECT_THROW(wire::AppendJson(out, QJsonArray{"ok", bad}), EProtocolError);
    }
}

// Data packets are mostly escapes: two of them at every pair of places around
// the 16-byte blocks, through every way a string is written and read.
TEST(JsonCodec, StringsDenseWithEscapesCrossEveryBlockEdge)
{
    const QString specials[] = {QStringLiteral("\""), QStringLiteral("\\"), QStringLiteral("\n"), QStringLiteral("\x01"),
                                QStringLiteral("/"), QStringLiteral("\u00e9"), QString::fromUcs4(U"\U0001F600")};
    for (int len = 14; len < 36; ++len) {
        for (int at = 0; at < len; ++at) {
            for (const QString& first : specials) {
                for (const QString& second : specials) {
                    QString s = QString(len, u'a');
                    s.replace(at, 1, first);
                    s.insert(std::min(s.size(), at + first.size() + (len + at) % 3), second);
                    const QByteArray text = Ours(s);
                    ASSERT_EQ(text, Qts(s)) << len << " " << at;
                    QByteArray fromUtf8;
                    wire::AppendJsonString(fromUtf8, s.toUtf8());
                    ASSERT_EQ(fromUtf8, text);
                    ASSERT_EQ(wire::ParseJson(text).toString(), s) << text.constData();
                    // As an answer's value taken in UTF-8, and as an argument skipped before another.
                    const QByteArray answer = "{\"result\":{\"args\":[" + text + ",7],\"value\":" + text + "}}";
                    std::optional<QByteArray> bytes;
                    const QJsonObject got = wire::ParseJson(answer, 1, &bytes).toObject();
                    ASSERT_EQ(bytes, s.toUtf8()) << text.constData();
                    ASSERT_EQ(got["result"].toObject()["args"].toArray(), (QJsonArray{QJsonValue::Null, 7}));
                }
            }
        }
    }
    // The same text with a \u escape where a short one could be, and an unknown escape.
    EXPECT_EQ(wire::ParseJson("\"" + QByteArray(15, 'a') + "\\u0022\\/\\\"" + QByteArray(20, 'b') + "\"").toString(),
              QString(15, u'a') + "\"/\"" + QString(20, u'b'));
    EXPECT_THROW(wire::ParseJson("\"" + QByteArray(15, 'a') + "\\x" + QByteArray(20, 'b') + "\""), EProtocolError);
    EXPECT_THROW(wire::ParseJson("{\"result\":{\"args\":[\"" + QByteArray(30, 'a') + "\\\"" + QByteArray(3, 'b') + "\x02\"]}}", 1),
                 EProtocolError);
}

TEST(JsonCodec, RandomValuesAgreeWithQtBothWays)
{
    TRandomJson random(20240229);
    for (int i = 0; i < 3000; ++i) {
        const QJsonValue v = random.Value(0);
        const QByteArray ours = Ours(v);
        ASSERT_EQ(ours, Qts(v)) << i;
        const QJsonValue back = wire::ParseJson(ours);
        ASSERT_EQ(Strict(back), Strict(QtParse(ours))) << i << " " << ours.constData();
        if (v.isArray() || v.isObject()) { // white space wherever Qt's indented form puts it
            const QByteArray indented = v.isArray() ? QJsonDocument(v.toArray()).toJson() : QJsonDocument(v.toObject()).toJson();
            ASSERT_EQ(Strict(wire::ParseJson(indented)), Strict(back)) << i;
        }
    }
}

TEST(JsonCodec, RefusesMalformedText)
{
    const QByteArray deep = QByteArray(wire::kMaxJsonDepth, '[') + QByteArray(wire::kMaxJsonDepth, ']');
    EXPECT_NO_THROW(wire::ParseJson(deep));
    const QByteArray bad[] = {
        // truncated
        "", " ", "{", R"({"a")", R"({"a":)", R"({"a":1)", "[1,2", R"("abc)", R"("ab\)", R"("\u12)", "tru", "-",
        // structure
        "[1,]", R"({"a":1,})", "[1 2]", R"({"a" 1})", R"({a:1})", "{1:2}", "['x']", "{} x", "{}{}", "[]]",
        // numbers
        "01", "-01", "00", "1.", ".5", "+1", "1e", "1e+", "0x10", "NaN", "Infinity", "-Infinity", "1e400", "-1e400",
        "1e-400",
        // strings: escapes, surrogates, control characters, UTF-8
        R"("\x")", R"("\U0041")", R"("\u12G4")", R"("\')", R"("\ud800")", R"("\udc00")", R"("\ud800\u0041")",
        R"("\ud800x")", R"("\ud800\")", R"("\udbff\udbff")", "\"a\tb\"", "\"a\nb\"", "\"\x01\"", "\"\x1f\"",
        "\"\xff\"", "\"\xc0\xaf\"", "\"\xc3\"", "\"\xe2\x82\"", "\"\xed\xa0\x80\"", "\"\xf4\x90\x80\x80\"",
        "\"\x80\"", "\"abcdefghijklmnopqrstuvwxyz\xe9\"",
        // depth
        QByteArray(wire::kMaxJsonDepth + 1, '[') + QByteArray(wire::kMaxJsonDepth + 1, ']'),
        QByteArray(100000, '['),
    };
    for (const QByteArray& text : bad)
        EXPECT_THROW(wire::ParseJson(text), EProtocolError) << text.left(60).constData();

    try {
        wire::ParseJson(R"({"a":[1,]})");
        FAIL();
    } catch (const EProtocolError& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("invalid value at byte 8"));
    }
}

TEST(JsonCodec, LargePacketStringCrossesTheWireUnchanged)
{
    // A packet-shaped text: attributes in quotes, accents, a newline, a tab, an astral character.
    QString xml;
    for (int i = 0; i < 20000; ++i)
        xml += QStringLiteral("<ROW NR=\"%1\" NOME=\"Ação \\ %1\" OBS=\"a\tb\nc 😀\"/>").arg(i);
    const QJsonObject message = wire::Request(7, QStringLiteral("AS_ApplyUpdates"), QJsonArray{"Vendas", xml, 3});
    const QByteArray frame = wire::EncodeFrame(message);
    EXPECT_EQ(frame.mid(4), QJsonDocument(message).toJson(QJsonDocument::Compact));
    // Sent from its UTF-8 text, the packet makes the same frame.
    const QByteArray utf8 = xml.toUtf8();
    EXPECT_EQ(wire::EncodeRequestFrame(7, QStringLiteral("AS_ApplyUpdates"), QJsonArray{"Vendas", QJsonValue(), 3},
                                       {{1, utf8}}),
              frame);

    wire::TFrameReader reader;
    reader.Append(frame);
    const auto got = reader.Next();
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, message);
    EXPECT_EQ(got->value("params").toArray().at(1).toString(), xml);

    // The same with a raw tab inside the string.
    const QByteArray body = frame.mid(4).replace("\\t", "\t");
    const quint32 n = quint32(body.size());
    wire::TFrameReader broken;
    broken.Append(QByteArray(1, char(n >> 24)) + char(n >> 16) + char(n >> 8) + char(n) + body);
    try {
        broken.Next();
        FAIL();
    } catch (const EProtocolError& e) {
        EXPECT_TRUE(e.Message().startsWith(QStringLiteral("Malformed message: control character in a string at byte")))
            << e.what();
    }
    EXPECT_EQ(broken.Buffered(), 0);
}

TEST(JsonCodec, AnswerArgumentsNobodyReadsAreSkippedNotDecoded)
{
    const QString packet = QStringLiteral("<ROW NOME=\"Ação \\\" \t\"/>").repeated(1000);
    const QJsonObject answer = wire::Result(
        3, wire::MethodResult(true, QJsonArray{"TBX", packet, "C1", 7, QJsonArray{packet}, packet}));
    const QByteArray text = wire::EncodeFrame(answer).mid(4);
    // Arguments 1, 3, 4 and 5 are not read: strings among them come back as null,
    // anything else as it stands.
    const QJsonObject got = wire::ParseJson(text, 0b111010).toObject();
    const QJsonArray args = got["result"].toObject()["args"].toArray();
    EXPECT_EQ(args, (QJsonArray{"TBX", QJsonValue::Null, "C1", 7, QJsonArray{packet}, QJsonValue::Null}));
    EXPECT_EQ(got["result"].toObject()["value"], true);
    EXPECT_EQ(wire::ParseJson(text, 0), QJsonValue(answer));
    // Only the answer's own arguments: the same array elsewhere is read whole.
    const QByteArray other = wire::EncodeFrame(wire::Request(4, "X", QJsonArray{packet, packet})).mid(4);
    EXPECT_EQ(wire::ParseJson(other, 0b11), QJsonValue(wire::Request(4, "X", QJsonArray{packet, packet})));
    // A skipped string must still end properly.
    EXPECT_THROW(wire::ParseJson(R"({"result":{"args":["abc\"]}})", 1), EProtocolError);
    EXPECT_THROW(wire::ParseJson("{\"result\":{\"args\":[\"a\x01\"]}}", 1), EProtocolError);
}

TEST(JsonCodec, AnswerValueComesOutAsUtf8BytesWithTheSameChecks)
{
    // Escapes, accents, an astral character given as a surrogate pair, a leading U+FEFF.
    const QString packet = QStringLiteral("\uFEFF<ROW NOME=\"Ação \\\" \t\"/>\n").repeated(500) + QChar(0x1F600);
    const QJsonObject answer = wire::Result(5, wire::MethodResult(packet, QJsonArray{"DspX", 3}));
    const QByteArray text = wire::EncodeFrame(answer).mid(4);
    std::optional<QByteArray> bytes;
    const QJsonObject got = wire::ParseJson(text, 0, &bytes).toObject();
    ASSERT_TRUE(bytes);
    EXPECT_EQ(*bytes, packet.toUtf8());
    EXPECT_TRUE(got["result"].toObject()["value"].isNull());
    EXPECT_EQ(got["result"].toObject()["args"].toArray(), (QJsonArray{"DspX", 3}));
    const QByteArray escaped = R"({"result":{"value":"a\u00e7\ud83d\ude00\"","args":[]}})";
    EXPECT_EQ(wire::ParseJson(escaped, 0, &bytes).toObject()["result"].toObject()["value"], QJsonValue::Null);
    EXPECT_EQ(*bytes, QStringLiteral("a\u00e7\U0001F600\"").toUtf8());

    // Not a string, or not the answer's value: nothing comes out, the value reads as usual.
    EXPECT_EQ(wire::ParseJson(R"({"result":{"value":true,"args":[]}})", 0, &bytes).toObject()["result"].toObject()["value"],
              true);
    EXPECT_FALSE(bytes);
    EXPECT_EQ(wire::ParseJson(R"({"value":"x","result":{"args":["y"]}})", 0, &bytes).toObject()["value"], "x");
    EXPECT_FALSE(bytes);

    // The same faults as for strings read as text.
    const auto message = [&](const QByteArray& json) {
        try {
            wire::ParseJson(json, 0, &bytes);
        } catch (const EProtocolError& e) {
            return e.Message();
        }
        return QString();
    };
    EXPECT_EQ(message("{\"result\":{\"value\":\"a\xc3(\"}}"), QStringLiteral("invalid UTF-8 in a string at byte 19"));
    EXPECT_EQ(message("{\"result\":{\"value\":\"\xed\xa0\x80\"}}"), QStringLiteral("invalid UTF-8 in a string at byte 19"));
    EXPECT_EQ(message(R"({"result":{"value":"\udc00"}})"), QStringLiteral("unpaired surrogate at byte 20"));
    EXPECT_EQ(message("{\"result\":{\"value\":\"a\x01\"}}"), QStringLiteral("control character in a string at byte 21"));
    EXPECT_THROW(wire::ParseJson("{\"result\":{\"value\":\"a\xc3(\"}}"), EProtocolError);
}

TEST(JsonCodec, LongRequestArgumentsComeOutAsUtf8Bytes)
{
    // Escapes, accents, an astral character, a leading U+FEFF: long enough to be taken as bytes.
    const QString packet = QStringLiteral("\uFEFF<ROW NOME=\"Ação \\\" \t\"/>\n").repeated(4000) + QChar(0x1F600);
    ASSERT_GE(packet.toUtf8().size(), wire::kLongStringBytes);
    const QString justShort = QString(wire::kLongStringBytes - 1, u'a');
    const QString justLong = QString(wire::kLongStringBytes, u'a');
    const QJsonArray params{"TBX", packet, 5, justShort, justLong, QJsonArray{packet}};
    const QByteArray body = wire::EncodeFrame(wire::Request(9, "Exclui_No_Servidor", params)).mid(4);

    wire::TUtf8Strings longParams;
    const QJsonObject got = wire::ParseJson(body, 0, nullptr, &longParams).toObject();
    EXPECT_EQ(got["params"].toArray(), (QJsonArray{"TBX", QJsonValue::Null, 5, justShort, QJsonValue::Null,
                                                   QJsonArray{packet}}));
    EXPECT_EQ(longParams, (wire::TUtf8Strings{{1, packet.toUtf8()}, {4, justLong.toUtf8()}}));
    EXPECT_EQ(wire::TextOfUtf8(longParams[1]), packet);
    EXPECT_EQ(wire::ParseJson(body), QJsonValue(wire::Request(9, "Exclui_No_Servidor", params)));

    // Only the request's own arguments, and of a repeated key the last one's.
    const QByteArray answer = wire::EncodeFrame(wire::Result(3, wire::MethodResult(packet, {packet}))).mid(4);
    EXPECT_EQ(wire::ParseJson(answer, 0, nullptr, &longParams), QJsonValue(wire::Result(3, wire::MethodResult(packet, {packet}))));
    EXPECT_TRUE(longParams.empty());
    const QByteArray twice = "{\"params\":[\"" + justLong.toUtf8() + "\"],\"params\":[1]}";
    EXPECT_EQ(wire::ParseJson(twice, 0, nullptr, &longParams).toObject()["params"], QJsonArray{1});
    EXPECT_TRUE(longParams.empty());

    // The same faults as text.
    QByteArray bad = "{\"params\":[\"" + justLong.toUtf8() + "\xc3(\"]}";
    try {
        wire::ParseJson(bad, 0, nullptr, &longParams);
        FAIL();
    } catch (const EProtocolError& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("invalid UTF-8 in a string at byte 11"));
    }
    EXPECT_THROW(wire::TextOfUtf8("a\xc3("), EProtocolError);

    // Written back from the bytes, the answer is the frame Qt's values give.
    QJsonArray echoed = params;
    echoed[1] = QJsonValue::Null;
    const QByteArray utf8 = packet.toUtf8();
    EXPECT_EQ(wire::EncodeResultFrame(9, true, echoed, {{1, utf8}}),
              wire::EncodeFrame(wire::Result(9, wire::MethodResult(true, params))));
    EXPECT_EQ(wire::EncodeResultFrame(9, QJsonValue(), {"DspX", 3}, {}, utf8),
              wire::EncodeFrame(wire::Result(9, wire::MethodResult(packet, {"DspX", 3}))));
    // An argument the method rewrote is answered as rewritten.
    QJsonArray rewritten = echoed;
    rewritten[1] = "novo";
    EXPECT_EQ(wire::EncodeResultFrame(9, 1, rewritten, {{1, utf8}}),
              wire::EncodeFrame(wire::Result(9, wire::MethodResult(1, rewritten))));
    EXPECT_THROW(wire::EncodeResultFrame(9, 1, echoed, {{1, "a\xc3("}}), EProtocolError);
}
