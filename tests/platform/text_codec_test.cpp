#include "platform/text_codec.h"

#include <gtest/gtest.h>

using talvex::FromWire;
using talvex::ToWire;

TEST(TextCodec, Cp949IsMicrosoftsCodePageIncludingUhcSyllables)
{
    talvex::SetWireEncoding("CP949");
    std::string wire;
    // 똠 lies outside KS X 1001 and exists only in the extended (UHC) part of code page 949.
    ASSERT_TRUE(ToWire("똠방각하", wire));
    EXPECT_EQ(wire, "\x8c\x63\xb9\xe6\xb0\xa2\xc7\xcf");
    std::string back;
    ASSERT_TRUE(FromWire(wire, back));
    EXPECT_EQ(back, "똠방각하");
}

TEST(TextCodec, UnrepresentableTextIsAnErrorNotAMangledName)
{
    talvex::SetWireEncoding("CP949");
    std::string wire = "untouched";
    EXPECT_FALSE(ToWire("snow ☃ man 🙂", wire));
    EXPECT_TRUE(wire.empty());
    std::string text;
    EXPECT_FALSE(FromWire("\xff\xff", text));
    EXPECT_EQ(talvex::FromWireLossy("ab\xff" "c"), "ab\xEF\xBF\xBD" "c");
}

TEST(TextCodec, Utf8WireEncodingPassesValidTextThrough)
{
    talvex::SetWireEncoding("utf-8");
    std::string wire;
    EXPECT_TRUE(ToWire("한글 name", wire));
    EXPECT_EQ(wire, "한글 name");
    EXPECT_FALSE(ToWire("\xc0\x80", wire));
    talvex::SetWireEncoding("CP949");
}
