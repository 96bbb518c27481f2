#include "platform/profile_reader.h"

#include <gtest/gtest.h>

using namespace talvex;

TEST(ProfileReader, BehavesLikeTheWindowsReader)
{
    const std::string ini = "; comment\r\n[CheckSync]\r\n  totalcount =  42  \r\nQuoted=\"  a b \"\r\nSingle='x'\r\n"
                            "Half=\"x\r\nEmpty=\r\nTotalCount=99\r\n[Next]\r\nKey=next\r\n[checksync]\r\nLate=1\r\n";
    EXPECT_EQ(ProfileStringFromText(ini, "checksync", "TotalCount", "d"), "42"); // first key wins
    EXPECT_EQ(ProfileStringFromText(ini, "CheckSync", "Quoted", ""), "  a b ");
    EXPECT_EQ(ProfileStringFromText(ini, "CheckSync", "Single", ""), "x");
    EXPECT_EQ(ProfileStringFromText(ini, "CheckSync", "Half", ""), "\"x");
    EXPECT_EQ(ProfileStringFromText(ini, "CheckSync", "Empty", "d"), "");
    EXPECT_EQ(ProfileStringFromText(ini, "CheckSync", "Missing", "def  "), "def");
    EXPECT_EQ(ProfileStringFromText(ini, "CheckSync", "Key", "none"), "none");
    EXPECT_EQ(ProfileStringFromText(ini, "CheckSync", "Late", "none"), "none"); // a second section of the name is not read
    EXPECT_EQ(ProfileStringFromText(ini, "Next", "key", ""), "next");
    EXPECT_EQ(ProfileStringFromText("[S]\nK=" + std::string(300, 'v'), "S", "K", "").size(), 254u);
    EXPECT_EQ(ReadProfileString("/nonexistent/file.ini", "S", "K", "dflt"), "dflt");
    EXPECT_EQ(ProfileInt(" -12x"), -12);
    EXPECT_EQ(ProfileInt("abc"), 0);
    EXPECT_EQ(ProfileInt("99999999999"), INT32_MAX);
}
