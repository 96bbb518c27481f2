#include "platform/text_codec.h"

#include <gtest/gtest.h>

#include <optional>

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

// Printable ASCII is taken as it is only where the encoding keeps it so: each row, a name and the
// bytes it must become (or nothing when it cannot be written).
TEST(TextCodec, AsciiNamesAsEachEncodingWritesThem)
{
    struct Row {
        const char* encoding;
        std::string text;
        std::optional<std::string> wire;
    };
    const Row rows[] = {
        {"CP949", "dir/a b~.TXT", "dir/a b~.TXT"},
        {"CP949", "tab\there", "tab\there"},           // not printable: the converter's way, same bytes
        {"CP949", "bad\xff", std::nullopt},             // not UTF-8 at all
        {"utf-8", "plain.txt", "plain.txt"},
        {"utf-8", "bad\xff", std::nullopt},
        {"UTF-16LE", "ab", std::string("a\0b\0", 4)},   // no wire encoding: never passed through
    };
    for (const Row& row : rows) {
        talvex::SetWireEncoding(row.encoding);
        std::string wire;
        const bool ok = ToWire(row.text, wire);
        EXPECT_EQ(ok, row.wire.has_value()) << row.encoding << " " << row.text;
        if (ok && row.wire) {
            EXPECT_EQ(wire, *row.wire) << row.encoding << " " << row.text;
            std::string back;
            EXPECT_TRUE(FromWire(wire, back) && back == row.text) << row.encoding << " " << row.text;
        }
    }
    talvex::SetWireEncoding("CP949");
}
