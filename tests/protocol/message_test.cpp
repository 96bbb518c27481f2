#include "protocol/message.h"

#include "platform/text_codec.h"

#include <gtest/gtest.h>

using namespace talvex;
using namespace talvex::tlxsp;

TEST(RequestForms, AreWrittenByteForByte)
{
    EXPECT_EQ(FormatLogin("kim", "pw 1"),
              "TLXSP/1.0 REQUEST__ LOGIN____\r\nREQUEST-ID : login#1\r\nUSER-ID : kim\r\nUSER-PW : pw 1\r\n\r\n");
    EXPECT_EQ(FormatSessionOnly(kLogout, kLogoutId, "S1"),
              "TLXSP/1.0 REQUEST__ LOGOUT___\r\nREQUEST-ID : logout#1\r\nSESSION-ID : S1\r\n\r\n");
    EXPECT_EQ(FormatSessionOnly(kGetSynced, "S1", "S1"),
              "TLXSP/1.0 REQUEST__ GETSYNCED\r\nREQUEST-ID : S1\r\nSESSION-ID : S1\r\n\r\n");
    EXPECT_EQ(FormatPath(kCheckSync, "S1", "S1", "/a"),
              "TLXSP/1.0 REQUEST__ CHECKSYNC\r\nREQUEST-ID : S1\r\nSESSION-ID : S1\r\nPATH : /a\r\n\r\n");
    EXPECT_EQ(FormatTwoPaths(kRename, kRenameId, "S1", "/a", "/b"),
              "TLXSP/1.0 REQUEST__ RENAME___\r\nREQUEST-ID : rename#1\r\nSESSION-ID : S1\r\nPATH : /a\r\nPATH2 : /b\r\n\r\n");
    EXPECT_EQ(FormatSearch("S1", "/docs", "x y"),
              "TLXSP/1.0 REQUEST__ SEARCH___\r\nSESSION-ID : S1\r\nPATH : /docs\r\nPATH2 : x y\r\n\r\n");
    EXPECT_EQ(FormatBrowseRoot("S1"),
              "TLXSP/1.0 REQUEST__ BROWSE___\r\nSESSION-ID : S1\r\nREQUEST-ID : browse#1\r\nPATH : /\r\n\r\n");
    EXPECT_EQ(FormatBrowse("S1", "/d"),
              "TLXSP/1.0 REQUEST__ BROWSE___\r\nSESSION-ID : S1\r\nREQUEST-ID : browse#1\r\nPATH : /d\r\n\r\n");
    EXPECT_EQ(FormatPutFile("S1", kUploadId, 5000000000LL, "d/f.txt"),
              "TLXSP/1.0 REQUEST__ PUTFILE__\r\nSESSION-ID : S1\r\nREQUEST-ID : vornasel\r\n"
              "DATA-LENGTH : 5000000000\r\nPATH : d/f.txt\r\n\r\n");
    EXPECT_EQ(FormatPutFileNoLength("S1", kUploadId, "d/"),
              "TLXSP/1.0 REQUEST__ PUTFILE__\r\nSESSION-ID : S1\r\nREQUEST-ID : vornasel\r\nPATH : d/\r\n\r\n");
}

TEST(RequestForms, TextsAreCheckedBeforeTheyGoOnTheWire)
{
    SetWireEncoding("CP949");
    std::string wire;
    EXPECT_EQ(ToWireText("문서/a", wire), 0);
    EXPECT_EQ(wire, "\xB9\xAE\xBC\xAD/a");
    EXPECT_EQ(ToWireText("\xF0\x9F\x98\x80", wire), kRequestNotEncodable); // an emoji has no CP949 form
    EXPECT_EQ(ToWireText("a\r\nPATH : /etc", wire), kRequestBadText);
    EXPECT_EQ(CheckRequestSize(std::string(kMaxHeaderBytes + 1, 'a')), kRequestTooLong);
}

TEST(ReadHeaderBlock, ReadsFieldsInEachConnectionsOrder)
{
    const std::string text = "TLXSP/1.0 RESPONSE_ DELFILE__\r\nREQUEST-ID : delfile#1\r\nPATH2 : /b\r\nPATH : /a\r\n"
                             "STATUS-CODE :   200  \r\nSTATUS-DESC : fine\r\nDATA-LENGTH : 12\r\nSESSION-ID : S9\r\n\r\nbody";
    CTlxspResponse command;
    EXPECT_EQ(ReadHeaderBlock(text, command, HeaderOrder::Command), static_cast<ptrdiff_t>(text.find("\r\n\r\n")));
    EXPECT_EQ(command.command, "DELFILE__");
    EXPECT_EQ(command.requestId, "delfile#1");
    EXPECT_EQ(command.path, "/a");
    EXPECT_EQ(command.path2, "/b");
    EXPECT_EQ(command.statusCode, 200);
    EXPECT_EQ(command.dataLength, 12);
    EXPECT_EQ(command.sessionId, ""); // the command channel does not read it

    // The control session does not test PATH2, so "PATH2 : /b" is taken as PATH; the later
    // "PATH : /a" line overwrites it.
    CTlxspResponse control;
    ReadHeaderBlock(text, control, HeaderOrder::Control);
    EXPECT_EQ(control.path, "/a");
    EXPECT_EQ(control.sessionId, "S9");

    // The upload channel reads neither REQUEST-ID nor SESSION-ID.
    CTlxspResponse upload;
    ReadHeaderBlock(text, upload, HeaderOrder::Upload);
    EXPECT_EQ(upload.requestId, "");
    EXPECT_EQ(upload.path, "/a");
}

TEST(ReadHeaderBlock, OddInput)
{
    CTlxspResponse r;
    EXPECT_EQ(ReadHeaderBlock("TLXSP/1.0 RESPONSE_ LOGIN____\r\nSTATUS-CODE : 200\r\n", r, HeaderOrder::Control), -1);
    EXPECT_EQ(r.command, "");

    r = {};
    ReadHeaderBlock("tlxsp/1.0 X PUTFILE__\r\nSTATUS-CODE : abc\r\n\r\n", r, HeaderOrder::Upload);
    EXPECT_EQ(r.command, ""); // the protocol word is matched exactly
    EXPECT_EQ(r.statusCode, 0);

    r = {};
    ReadHeaderBlock("TLXSP/1.0   X    putfile__  extra\r\nPATH : a:b\r\nDATA-LENGTH : -7x\r\n\r\n", r, HeaderOrder::Upload);
    EXPECT_EQ(r.command, "putfile__");
    EXPECT_TRUE(SameCommand(r.command, kPutFile));
    EXPECT_EQ(r.path, "a"); // a value is cut at its own colon
    EXPECT_EQ(r.dataLength, -7);

    r = {};
    ReadHeaderBlock("TLXSP/1.0 RESPONSE_\r\nDATA-LENGTH : 99999999999\r\n\r\n", r, HeaderOrder::Upload);
    EXPECT_EQ(r.command, ""); // two words only
    EXPECT_EQ(r.dataLength, INT32_MAX); // saturated, never wrapped

    // Command words and field names fold every letter, 'A' to 'Z', and nothing beside them:
    // '@' and '[' are 32 below '`' and '{' as capitals are below their small letters.
    for (char c = 'A'; c <= 'Z'; ++c) {
        const std::string upper = std::string("PUT") + c, lower = std::string("put") + static_cast<char>(c + 32);
        EXPECT_TRUE(SameCommand(upper, lower)) << c;
        EXPECT_TRUE(SameCommand(lower, upper)) << c;
    }
    for (const char* pair : {"@`", "[{", "`@", "{["})
        EXPECT_FALSE(SameCommand(std::string(1, pair[0]), std::string(1, pair[1]))) << pair;
}

TEST(LeadingNumbers, FollowDecimalTextRules)
{
    EXPECT_EQ(LeadingInt64("  -12abc"), -12);
    EXPECT_EQ(LeadingInt64("+7"), 7);
    EXPECT_EQ(LeadingInt64("x1"), 0);
    EXPECT_EQ(LeadingInt64("-9223372036854775808"), INT64_MIN);
    EXPECT_EQ(LeadingInt64("99999999999999999999"), INT64_MAX);
    EXPECT_EQ(LeadingInt32("-99999999999"), INT32_MIN);
}
