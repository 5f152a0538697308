#include "platform/types/Exception.h"
#include "platform/types/FieldDefs.h"

#include <gtest/gtest.h>

TEST(FieldList, ReadsTypesSizesAndMarks)
{
    const TFieldDefs defs = ParseFieldList(
        u"PKALIQUOTA int K; NMALIQUOTA str 60; PEALIQUOTA dec 15.2; SGESTADO char 2; CDCONTRATO str 20 F; "
        u"PKNCM int R; PKFILIALDESTINO int F RO; FOTO blob; OBS memo; HR time; DT date; EXCLUIDO small; NM str");
    ASSERT_EQ(defs.size(), 13);
    EXPECT_EQ(defs[0].DataType, TFieldType::ftInteger);
    EXPECT_EQ(defs[0].ProviderFlags, pfInUpdate | pfInWhere | pfInKey);
    EXPECT_TRUE(defs[0].Required);
    EXPECT_EQ(defs[1].DataType, TFieldType::ftString);
    EXPECT_EQ(defs[1].Size, 60);
    EXPECT_EQ(defs[1].ProviderFlags, 0);
    EXPECT_FALSE(defs[1].Required);
    EXPECT_EQ(defs[2].DataType, TFieldType::ftFMTBcd);
    EXPECT_EQ(defs[2].Size, 15);
    EXPECT_EQ(defs[2].Scale, 2);
    EXPECT_EQ(defs[3].DataType, TFieldType::ftFixedChar);
    EXPECT_TRUE(defs[4].InKey());
    EXPECT_FALSE(defs[4].Required);
    EXPECT_TRUE(defs[5].Required);
    EXPECT_FALSE(defs[5].InKey());
    EXPECT_TRUE(defs[6].ReadOnly);
    EXPECT_TRUE(defs[6].InKey());
    EXPECT_EQ(defs[7].DataType, TFieldType::ftBlob);
    EXPECT_EQ(defs[8].DataType, TFieldType::ftMemo);
    EXPECT_EQ(defs[12].Size, 20); // a string without width is 20 wide

    // The notation written back reads the same.
    for (const TFieldDef& d : defs)
        EXPECT_EQ(ParseFieldList(FieldListEntry(d)).first(), d) << FieldListEntry(d).toStdString();
}

TEST(FieldList, TransactionListsMarkRequiredKeysSeparately)
{
    const TFieldDefs defs = ParseFieldList(u"`PKVENDA` int K R; `CDCONTRATO` str 20 K; `NR` int R", false);
    EXPECT_TRUE(defs[0].InKey());
    EXPECT_TRUE(defs[0].Required);
    EXPECT_TRUE(defs[1].InKey());
    EXPECT_FALSE(defs[1].Required);
    EXPECT_FALSE(defs[2].InKey());
    EXPECT_TRUE(defs[2].Required);
}

TEST(FieldList, RefusesWhatItDoesNotUnderstand)
{
    for (const char16_t* bad : {u"PK", u"PK integer", u"NM str x", u"NM char", u"VL dec", u"VL dec 15.2.1",
                                u"VL dec 19.2", u"VL dec 5.6", u"PK int X", u"PK int K; pk int"}) {
        EXPECT_THROW(ParseFieldList(bad), EDatabaseError) << QString::fromUtf16(bad).toStdString();
    }
}

TEST(FieldList, MapsToFirebirdColumnTypes)
{
    const TFieldDefs defs =
        ParseFieldList(u"A int; B small; C str 60; D char 3; E dec 15.2; F date; G time; H memo; I blob");
    QStringList types;
    for (const auto& d : defs)
        types << SqlColumnType(d);
    EXPECT_EQ(types.join(u'|'), QStringLiteral("INTEGER|SMALLINT|VARCHAR(60)|CHAR(3)|NUMERIC(15,2)|DATE|TIME|"
                                               "BLOB SUB_TYPE TEXT|BLOB SUB_TYPE BINARY"));
}

TEST(Identifier, OnlyPlainSqlNamesPass)
{
    for (const char16_t* good : {u"TBVENDA", u"tbVenda", u"PK_1", u"RDB$RELATIONS", u"_X"})
        EXPECT_TRUE(IsPlainIdentifier(good)) << QString::fromUtf16(good).toStdString();
    for (const char16_t* bad : {u"", u"1TB", u"TB VENDA", u"TB;DROP", u"TB\"X", u"TB'X", u"TB--", u"TB/*",
                                u"TBÇ", u"TB.X", u"TB\nX"})
        EXPECT_FALSE(IsPlainIdentifier(bad)) << QString::fromUtf16(bad).toStdString();
    EXPECT_FALSE(IsPlainIdentifier(QString(64, u'A')));
    try {
        RequirePlainIdentifier(u"X; DROP TABLE Y", "table");
        FAIL();
    } catch (const EInvalidIdentifier& e) {
        EXPECT_TRUE(e.Message().contains(QStringLiteral("'X; DROP TABLE Y'")));
        EXPECT_TRUE(e.Message().contains(QStringLiteral("table")));
    }
}
