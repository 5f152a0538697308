#include "platform/types/Decimal.h"

#include <gtest/gtest.h>

TEST(Decimal, ParsesPlainTextExactly)
{
    // A double cannot hold this value; the decimal must keep every digit.
    const auto big = Decimal::Parse(u"12345678901234.56");
    ASSERT_TRUE(big);
    EXPECT_EQ(big->Units(), 1234567890123456LL);
    EXPECT_EQ(big->Scale(), 2);
    EXPECT_EQ(big->ToString(), QStringLiteral("12345678901234.56"));

    EXPECT_EQ(Decimal::Parse(u"-0.05")->ToString(), QStringLiteral("-0.05"));
    EXPECT_EQ(Decimal::Parse(u"+7")->ToString(), QStringLiteral("7"));
    EXPECT_EQ(Decimal::Parse(u".5")->ToString(), QStringLiteral("0.5"));
    EXPECT_EQ(Decimal::Parse(u"-9223372036854775808")->Units(), INT64_MIN);
    EXPECT_EQ(Decimal::Parse(u"-9223372036854775808")->ToString(), QStringLiteral("-9223372036854775808"));
}

TEST(Decimal, RefusesWhatIsNotAPlainDecimal)
{
    for (const char16_t* bad : {u"", u"-", u".", u"1.2.3", u"1e5", u"1,5", u" 1", u"1 ", u"0x10", u"12a",
                                u"9223372036854775808", u"0.1234567890123456789"})
        EXPECT_FALSE(Decimal::Parse(bad)) << QString::fromUtf16(bad).toStdString();
}

TEST(Decimal, RescalesExactlyUpAndRoundsHalfAwayFromZeroDown)
{
    EXPECT_EQ(Decimal(15, 1).Rescaled(3)->ToString(), QStringLiteral("1.500"));
    EXPECT_EQ(Decimal(125, 2).Rescaled(1)->ToString(), QStringLiteral("1.3"));
    EXPECT_EQ(Decimal(-125, 2).Rescaled(1)->ToString(), QStringLiteral("-1.3"));
    EXPECT_EQ(Decimal(124, 2).Rescaled(1)->ToString(), QStringLiteral("1.2"));
    EXPECT_FALSE(Decimal(INT64_MAX / 5, 0).Rescaled(1));
    EXPECT_FALSE(Decimal(1, 0).Rescaled(19));
}

TEST(Decimal, ComparesByValueAcrossScales)
{
    EXPECT_EQ(Decimal(150, 2), Decimal(15, 1));
    EXPECT_NE(Decimal(151, 2), Decimal(15, 1));
    EXPECT_EQ(Decimal(0, 4).ToString(), QStringLiteral("0.0000"));
    EXPECT_EQ(Decimal(-5, 3).ToString(), QStringLiteral("-0.005"));
    // No overflow when one side cannot be brought to the other's scale.
    EXPECT_NE(Decimal(INT64_MAX, 0), Decimal(1, 18));
}

TEST(Decimal, ExactRescaleNeverLosesDigits)
{
    EXPECT_EQ(Decimal(1500, 3).ExactlyAt(1)->Units(), 15);
    EXPECT_FALSE(Decimal(1501, 3).ExactlyAt(1));
    EXPECT_EQ(Decimal(15, 1).ExactlyAt(4)->Units(), 15000);
    EXPECT_FALSE(Decimal(INT64_MAX / 5, 0).ExactlyAt(1));
}
