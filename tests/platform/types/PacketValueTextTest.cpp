// One cell's text into the column store, without the XML around it.

#include "platform/types/PacketValueText.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

struct Cell
{
    packet::Column col;
    packet::CellFault fault = packet::CellFault::None;
    bool ok = false;
};

Cell Decode(TFieldType type, const char* text, int width = 0, int scale = 0)
{
    Cell c;
    c.col.kind = packet::KindOf(type);
    c.col.OpenRow(0);
    c.fault = packet::DecodeCell({type, width, scale}, c.col, 0, text, text + std::strlen(text));
    c.ok = c.fault == packet::CellFault::None;
    return c;
}

} // namespace

TEST(PacketValueText, CellTextBecomesTheStoredNumberAndMarksTheRowPresent)
{
    const Cell small = Decode(TFieldType::ftSmallint, "-32768");
    ASSERT_TRUE(small.ok);
    EXPECT_TRUE(small.col.IsPresent(0));
    EXPECT_EQ(small.col.nums[0], -32768);

    // Fewer decimals than the scale are filled up; the sign covers the fraction.
    EXPECT_EQ(Decode(TFieldType::ftFMTBcd, "-1.5", 0, 2).col.nums[0], -150);
    EXPECT_EQ(Decode(TFieldType::ftFMTBcd, "7", 0, 2).col.nums[0], 700);
    EXPECT_EQ(Decode(TFieldType::ftDate, "19700101").col.nums[0], packet::kEpochJulianDay);
    EXPECT_EQ(Decode(TFieldType::ftTime, "01:02:03004").col.nums[0], 3723004);
    EXPECT_EQ(Decode(TFieldType::ftTimeStamp, "19700102T00:00:01500").col.nums[0], packet::kMsPerDay + 1500);

    // A fixed-width string is padded to its width; the offset ends its value.
    const Cell fixed = Decode(TFieldType::ftFixedChar, "\xC3\xA9", 3);
    ASSERT_TRUE(fixed.ok);
    EXPECT_EQ(fixed.col.nums[0], 3);
    EXPECT_EQ(QStringView(fixed.col.chars.Data(), 3), u"\u00E9  ");

    const Cell memo = Decode(TFieldType::ftMemo, "w6k=");
    ASSERT_TRUE(memo.ok);
    EXPECT_EQ(QByteArray(memo.col.bytes.Data(), memo.col.nums[0]), QByteArray("\xC3\xA9"));
}

TEST(PacketValueText, AFaultSaysWhatTheTextShouldHaveBeen)
{
    const struct
    {
        TFieldType type;
        const char* text;
        int width, scale;
        const char16_t* expected;
    } cases[] = {
        {TFieldType::ftInteger, "2147483648", 0, 0, u"an i4 integer"},
        {TFieldType::ftFMTBcd, "1.234", 0, 2, u"a decimal with at most 2 decimals"},
        {TFieldType::ftTimeStamp, "20230101 12:00:00000", 0, 0, u"a date and time (YYYYMMDDTHH:MM:SSmmm)"},
        {TFieldType::ftString, "abcd", 3, 0, u"a string of at most 3 characters"},
        {TFieldType::ftMemo, "/w==", 0, 0, u"base64 of UTF-8 text"},
    };
    for (const auto& c : cases) {
        const Cell cell = Decode(c.type, c.text, c.width, c.scale);
        EXPECT_FALSE(cell.ok) << c.text;
        EXPECT_EQ(packet::ExpectedText(cell.fault, {c.type, c.width, c.scale}), QStringView(c.expected)) << c.text;
    }
}
