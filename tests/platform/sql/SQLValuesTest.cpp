// Values travel through TSQLDataSet unchanged: every column type in and out,
// exact numerics, the ISO8859_1 text of the branch databases and large blobs.

#include "SqlFixture.h"

#include <QDateTime>

namespace {

const char* const kAllTypes =
    "CREATE TABLE ALLTYPES (ID INTEGER NOT NULL PRIMARY KEY, SM SMALLINT, IT INTEGER, BI BIGINT,"
    " N152 NUMERIC(15,2), N184 NUMERIC(18,4), N41 NUMERIC(4,1), D92 DECIMAL(9,2),"
    " DT DATE, TM TIME, TS TIMESTAMP, CH CHAR(6), VC VARCHAR(20), MEMO BLOB SUB_TYPE TEXT,"
    " BIN BLOB SUB_TYPE BINARY, DBL DOUBLE PRECISION, FL BOOLEAN)";

const char* const kInsertAll =
    "INSERT INTO ALLTYPES (ID, SM, IT, BI, N152, N184, N41, D92, DT, TM, TS, CH, VC, MEMO, BIN, DBL, FL)"
    " VALUES (:ID, :SM, :IT, :BI, :N152, :N184, :N41, :D92, :DT, :TM, :TS, :CH, :VC, :MEMO, :BIN, :DBL, :FL)";

} // namespace

TEST_F(SqlTest, EveryTypeRoundTripsWithItsFieldDefinition)
{
    Exec(QString::fromLatin1(kAllTypes));

    const QDate date(2023, 2, 28);
    const QTime time(23, 59, 58, 123);
    const QDateTime stamp(QDate(1999, 12, 31), QTime(7, 8, 9, 450));

    TSQLDataSet ins(m_conn.get());
    ins.SetCommandText(QString::fromLatin1(kInsertAll));
    ASSERT_EQ(ins.Params().Count(), 17);
    TParams& p = ins.Params();
    p.ParamByName(u"ID").Value = 1;
    p.ParamByName(u"SM").Value = -32768;
    p.ParamByName(u"IT").Value = 2147483647;
    p.ParamByName(u"BI").Value = qint64(-9223372036854775807LL);
    p.ParamByName(u"N152").Value = QVariant::fromValue(Dec("12345678901234.56"));
    p.ParamByName(u"N184").Value = QVariant::fromValue(Dec("-99999999999999.9999"));
    p.ParamByName(u"N41").Value = QVariant::fromValue(Dec("-123.4"));
    p.ParamByName(u"D92").Value = QVariant::fromValue(Dec("9999999.99"));
    p.ParamByName(u"DT").Value = date;
    p.ParamByName(u"TM").Value = time;
    p.ParamByName(u"TS").Value = stamp;
    p.ParamByName(u"CH").Value = QStringLiteral("ab");
    p.ParamByName(u"VC").Value = QStringLiteral("varchar text");
    p.ParamByName(u"MEMO").Value = QStringLiteral("memo\nlines");
    p.ParamByName(u"BIN").Value = QByteArray("\x00\x01\xff\x7f", 4);
    p.ParamByName(u"DBL").Value = 0.1;
    p.ParamByName(u"FL").Value = true;
    ins.ExecSQL();
    EXPECT_EQ(ins.RowsAffected(), 1);

    // Second row: every nullable column NULL.
    for (TParam& param : p)
        param.Clear();
    p.ParamByName(u"ID").Value = 2;
    ins.ExecSQL();

    TSQLDataSet sel(m_conn.get());
    sel.SetCommandText(QStringLiteral("SELECT A.*, A.IT + 1 AS NEXT_IT FROM ALLTYPES A ORDER BY ID"));
    sel.Open();
    ASSERT_FALSE(sel.IsEmpty());

    EXPECT_EQ(sel.FieldByName(u"SM").Value(), QVariant(qint32(-32768)));
    EXPECT_EQ(sel.FieldByName(u"SM").Value().typeId(), QMetaType::Int);
    EXPECT_EQ(sel.FieldByName(u"IT").Value(), QVariant(qint32(2147483647)));
    EXPECT_EQ(sel.FieldByName(u"BI").Value(), QVariant(qint64(-9223372036854775807LL)));
    EXPECT_EQ(sel.FieldByName(u"BI").Value().typeId(), QMetaType::LongLong);
    EXPECT_EQ(sel.FieldByName(u"N152").Value().value<Decimal>().ToString(), QStringLiteral("12345678901234.56"));
    EXPECT_EQ(sel.FieldByName(u"N184").Value().value<Decimal>().ToString(), QStringLiteral("-99999999999999.9999"));
    EXPECT_EQ(sel.FieldByName(u"N41").Value().value<Decimal>().ToString(), QStringLiteral("-123.4"));
    EXPECT_EQ(sel.FieldByName(u"D92").Value().value<Decimal>().ToString(), QStringLiteral("9999999.99"));
    EXPECT_EQ(sel.FieldByName(u"DT").Value(), QVariant(date));
    EXPECT_EQ(sel.FieldByName(u"TM").Value(), QVariant(time));
    EXPECT_EQ(sel.FieldByName(u"TS").Value().toDateTime(), stamp);
    EXPECT_EQ(sel.FieldByName(u"CH").Value(), QVariant(QStringLiteral("ab    "))); // CHAR keeps its padding
    EXPECT_EQ(sel.FieldByName(u"VC").Value(), QVariant(QStringLiteral("varchar text")));
    EXPECT_EQ(sel.FieldByName(u"MEMO").Value(), QVariant(QStringLiteral("memo\nlines")));
    EXPECT_EQ(sel.FieldByName(u"BIN").Value(), QVariant(QByteArray("\x00\x01\xff\x7f", 4)));
    EXPECT_EQ(sel.FieldByName(u"DBL").Value(), QVariant(0.1));
    EXPECT_EQ(sel.FieldByName(u"FL").Value(), QVariant(true));
    EXPECT_EQ(sel.FieldByName(u"next_it").Value(), QVariant(qint64(2147483648LL)));

    const TFieldDefs& defs = sel.FieldDefs();
    auto def = [&](const char* name) { return defs[IndexOfField(defs, QString::fromLatin1(name))]; };
    EXPECT_EQ(def("ID").DataType, TFieldType::ftInteger);
    EXPECT_TRUE(def("ID").Required);
    EXPECT_FALSE(def("IT").Required);
    EXPECT_EQ(def("SM").DataType, TFieldType::ftSmallint);
    EXPECT_EQ(def("BI").DataType, TFieldType::ftLargeint);
    EXPECT_EQ(def("N152").DataType, TFieldType::ftFMTBcd);
    EXPECT_EQ(def("N152").Size, 15);
    EXPECT_EQ(def("N152").Scale, 2);
    EXPECT_EQ(def("N184").Size, 18);
    EXPECT_EQ(def("N184").Scale, 4);
    EXPECT_EQ(def("N41").Size, 4);
    EXPECT_EQ(def("N41").Scale, 1);
    EXPECT_EQ(def("D92").Size, 9);
    EXPECT_EQ(def("DT").DataType, TFieldType::ftDate);
    EXPECT_EQ(def("TM").DataType, TFieldType::ftTime);
    EXPECT_EQ(def("TS").DataType, TFieldType::ftTimeStamp);
    EXPECT_EQ(def("CH").DataType, TFieldType::ftFixedChar);
    EXPECT_EQ(def("CH").Size, 6);
    EXPECT_EQ(def("VC").DataType, TFieldType::ftString);
    EXPECT_EQ(def("VC").Size, 20);
    EXPECT_EQ(def("MEMO").DataType, TFieldType::ftMemo);
    EXPECT_EQ(def("BIN").DataType, TFieldType::ftBlob);
    EXPECT_EQ(def("NEXT_IT").DataType, TFieldType::ftLargeint);

    sel.Next();
    ASSERT_FALSE(sel.Eof());
    EXPECT_EQ(sel.FieldByName(u"ID").Value(), QVariant(qint32(2)));
    for (int i = 1; i < sel.FieldCount(); ++i)
        EXPECT_TRUE(sel.Fields(i).IsNull()) << sel.Fields(i).FieldName().toStdString();
    sel.Next();
    EXPECT_TRUE(sel.Eof());
}

TEST_F(SqlTest, NumericsStayExactWhateverTheValueComesAs)
{
    Exec(QStringLiteral("CREATE TABLE MONEY (ID INTEGER NOT NULL PRIMARY KEY, V NUMERIC(15,2), W NUMERIC(18,4))"));
    TSQLDataSet ins(m_conn.get());
    ins.SetCommandText(QStringLiteral("INSERT INTO MONEY (ID, V, W) VALUES (:ID, :V, :W)"));

    struct Case
    {
        QVariant in;
        const char* v; // as NUMERIC(15,2)
        const char* w; // as NUMERIC(18,4)
    };
    const Case cases[] = {
        {QVariant::fromValue(Dec("12345678901234.56")), "12345678901234.56", "12345678901234.5600"},
        {QVariant::fromValue(Dec("0.1")), "0.10", "0.1000"}, // scale raised exactly
        {QVariant::fromValue(Dec("2.345")), "2.35", "2.3450"}, // fewer decimals round half away from zero
        {QVariant::fromValue(Dec("-2.345")), "-2.35", "-2.3450"},
        {QStringLiteral(" 9999999999999.99"), "9999999999999.99", "9999999999999.9900"}, // text that parses
        {QVariant(qint64(1234567890123LL)), "1234567890123.00", "1234567890123.0000"}, // integer
        {QVariant(7), "7.00", "7.0000"},
    };
    int id = 0;
    for (const Case& c : cases) {
        ins.Params().ParamByName(u"ID").Value = ++id;
        ins.Params().ParamByName(u"V").Value = c.in;
        ins.Params().ParamByName(u"W").Value = c.in;
        ins.ExecSQL();
    }

    TSQLDataSet sel(m_conn.get());
    sel.SetCommandText(QStringLiteral("SELECT V, W FROM MONEY WHERE ID = :ID"));
    id = 0;
    for (const Case& c : cases) {
        sel.Params()[0].Value = ++id;
        sel.Open();
        ASSERT_FALSE(sel.IsEmpty());
        const QVariant v = sel.Fields(0).Value();
        ASSERT_EQ(v.typeId(), qMetaTypeId<Decimal>());
        EXPECT_EQ(v.value<Decimal>().ToString(), QString::fromLatin1(c.v)) << "case " << id;
        EXPECT_EQ(sel.Fields(1).Value().value<Decimal>().ToString(), QString::fromLatin1(c.w)) << "case " << id;
    }
    sel.Close();

    // The engine's own arithmetic on the stored values is exact too.
    EXPECT_EQ(Scalar(QStringLiteral("SELECT SUM(W) FROM MONEY WHERE ID IN (1, 2)")).value<Decimal>().ToString(),
              QStringLiteral("12345678901234.6600"));

    // Beyond 64 bits: refused before it reaches the engine.
    ins.Params().ParamByName(u"ID").Value = 100;
    ins.Params().ParamByName(u"V").Value = QStringLiteral("99999999999999999999");
    const QString err = ErrorOf([&] { ins.ExecSQL(); });
    EXPECT_TRUE(err.contains(QStringLiteral("'V'"))) << err.toStdString();
}

TEST_F(SqlTest, ParametersConvertToTheTypeTheStatementExpects)
{
    Exec(QStringLiteral("CREATE TABLE CONV (I INTEGER, S SMALLINT, D DATE, T TIMESTAMP, V VARCHAR(5), C CHAR(3))"));
    TSQLDataSet ins(m_conn.get());
    ins.SetCommandText(QStringLiteral("INSERT INTO CONV (I, S, D, T, V, C) VALUES (:I, :S, :D, :T, :V, :C)"));
    TParams& p = ins.Params();
    p.ParamByName(u"I").SetAsString(QStringLiteral("12"));
    p.ParamByName(u"S").Value = QStringLiteral("-7");
    p.ParamByName(u"D").Value = QStringLiteral("2024-03-01");
    p.ParamByName(u"T").Value = QDate(2024, 3, 2);
    p.ParamByName(u"V").Value = 42;
    p.ParamByName(u"C").Value = QStringLiteral("x");
    ins.ExecSQL();

    TSQLDataSet sel(m_conn.get());
    sel.SetCommandText(QStringLiteral("SELECT I, S, D, T, V, C FROM CONV"));
    sel.Open();
    EXPECT_EQ(sel.Fields(0).Value(), QVariant(qint32(12)));
    EXPECT_EQ(sel.Fields(1).Value(), QVariant(qint32(-7)));
    EXPECT_EQ(sel.Fields(2).Value(), QVariant(QDate(2024, 3, 1)));
    EXPECT_EQ(sel.Fields(3).Value().toDateTime(), QDateTime(QDate(2024, 3, 2), QTime(0, 0)));
    EXPECT_EQ(sel.Fields(4).Value(), QVariant(QStringLiteral("42")));
    EXPECT_EQ(sel.Fields(5).Value(), QVariant(QStringLiteral("x  ")));
    sel.Close();

    // Values that do not convert or fit name the parameter and store nothing.
    p.ParamByName(u"I").Value = QStringLiteral("abc");
    EXPECT_TRUE(ErrorOf([&] { ins.ExecSQL(); }).contains(QStringLiteral("'I'")));
    p.ParamByName(u"I").Value = 1;
    p.ParamByName(u"S").Value = 40000;
    EXPECT_TRUE(ErrorOf([&] { ins.ExecSQL(); }).contains(QStringLiteral("'S'")));
    p.ParamByName(u"S").Value = 1;
    p.ParamByName(u"D").Value = QStringLiteral("2024-13-45");
    EXPECT_TRUE(ErrorOf([&] { ins.ExecSQL(); }).contains(QStringLiteral("'D'")));
    p.ParamByName(u"D").Clear();
    p.ParamByName(u"V").Value = QStringLiteral("123456");
    const QString tooLong = ErrorOf([&] { ins.ExecSQL(); });
    EXPECT_TRUE(tooLong.contains(QStringLiteral("'V'")) && tooLong.contains(QStringLiteral("truncation")))
        << tooLong.toStdString();
    EXPECT_EQ(Scalar(QStringLiteral("SELECT COUNT(*) FROM CONV")), QVariant(qint32(1)));

    // A null value of a parameter whose type nobody set is NULL.
    TSQLDataSet isNull(m_conn.get());
    isNull.SetCommandText(QStringLiteral("SELECT COUNT(*) FROM CONV WHERE :P IS NULL"));
    EXPECT_EQ(isNull.Params()[0].DataType, TFieldType::ftUnknown);
    isNull.Open();
    EXPECT_EQ(isNull.Fields(0).Value(), QVariant(qint32(1)));
}

TEST_F(SqlTest, Latin1TextSurvivesInEveryTextColumn)
{
    Exec(QStringLiteral("CREATE TABLE TXT (ID INTEGER, C CHAR(8), V VARCHAR(20), M BLOB SUB_TYPE TEXT)"));
    const QString word = QStringLiteral("a\u00E7\u00E3o \u00E9"); // "ação é"

    TSQLDataSet ins(m_conn.get());
    ins.SetCommandText(QStringLiteral("INSERT INTO TXT (ID, C, V, M) VALUES (1, :C, :V, :M)"));
    ins.Params()[0].Value = word;
    ins.Params()[1].Value = word;
    ins.Params()[2].Value = word;
    ins.ExecSQL();
    // Literal text in the statement itself travels in the connection's set too.
    Exec(QStringLiteral("INSERT INTO TXT (ID, V) VALUES (2, '") + word + QStringLiteral("')"));

    EXPECT_EQ(Scalar(QStringLiteral("SELECT OCTET_LENGTH(V) FROM TXT WHERE ID = 1")).toInt(), 6); // one byte each
    EXPECT_EQ(Scalar(QStringLiteral("SELECT V FROM TXT WHERE ID = 2")), QVariant(word));

    TSQLDataSet sel(m_conn.get());
    sel.SetCommandText(QStringLiteral("SELECT C, V AS \"DESCRI\u00C7\u00C3O\", M FROM TXT WHERE ID = 1"));
    sel.Open();
    EXPECT_EQ(sel.FindFieldIndex(QStringLiteral("DESCRI\u00C7\u00C3O")), 1); // names in the same set
    EXPECT_EQ(sel.Fields(0).Value(), QVariant(word + QStringLiteral("  ")));
    EXPECT_EQ(sel.Fields(1).Value(), QVariant(word));
    EXPECT_EQ(sel.Fields(2).Value(), QVariant(word));
    sel.Close();

    // A UTF8 connection reads the same characters; CHAR keeps 8 characters.
    auto utf8 = NewConnection(QStringLiteral("UTF8"));
    TSQLDataSet u(utf8.get());
    u.SetCommandText(QStringLiteral("SELECT C, V, M FROM TXT WHERE V = :V"));
    u.Params()[0].Value = word;
    u.Open();
    ASSERT_FALSE(u.IsEmpty());
    EXPECT_EQ(u.Fields(0).Value(), QVariant(word + QStringLiteral("  ")));
    EXPECT_EQ(u.FieldDefs()[0].Size, 8);
    EXPECT_EQ(u.Fields(1).Value(), QVariant(word));
    EXPECT_EQ(u.Fields(2).Value(), QVariant(word));
}

TEST_F(SqlTest, BlobsOfMoreThanAMegabyteAreWrittenAndReadWhole)
{
    Exec(QStringLiteral("CREATE TABLE BLOBS (ID INTEGER, M BLOB SUB_TYPE TEXT, B BLOB SUB_TYPE BINARY)"));
    QString text;
    for (int i = 0; text.size() < 1300 * 1024; ++i)
        text += QStringLiteral("linha %1 com acentua\u00E7\u00E3o\n").arg(i);
    QByteArray bytes(1536 * 1024 + 7, '\0');
    for (qsizetype i = 0; i < bytes.size(); ++i)
        bytes[i] = char((i * 131 + i / 7) & 0xff);

    TSQLDataSet ins(m_conn.get());
    ins.SetCommandText(QStringLiteral("INSERT INTO BLOBS (ID, M, B) VALUES (1, :M, :B)"));
    ins.Params()[0].Value = text;
    ins.Params()[1].Value = bytes;
    ins.ExecSQL();

    TSQLDataSet sel(m_conn.get());
    sel.SetCommandText(QStringLiteral("SELECT M, B, OCTET_LENGTH(B) FROM BLOBS"));
    sel.Open();
    EXPECT_EQ(sel.Fields(2).AsLargeInt(), bytes.size());
    EXPECT_TRUE(sel.Fields(0).Value().toString() == text);
    EXPECT_TRUE(sel.Fields(1).Value().toByteArray() == bytes);
}
