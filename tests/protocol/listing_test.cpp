#include "protocol/listing.h"
#include "protocol/notices.h"

#include "platform/text_codec.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace talvex;

TEST(Listing, ParsesLinesAndSkipsIncompleteOnes)
{
    SetWireEncoding("CP949");
    CRemoteEntryList list;
    ParseListing("0 1536 2006 11 30 14 5 9 report final.doc\r\n"
                 "\r\n"
                 "1  0   2006 1 2 3 4 5 My Folder\n"
                 "0 1 2006 11 30 14 5 9\n"            // no name
                 "0 1 2006 11 30 14 5\n"              // seven numbers
                 "0 9000000000 2006 2 30 0 0 0  lead\n" // day rolls over, name keeps its leading space
                 "0 2 2006 13 1 0 0 0 \xB9\xAE\xBC\xAD.txt",
                 list);
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[0].name, "report final.doc");
    EXPECT_EQ(list[0].size, 1536);
    EXPECT_FALSE(list[0].IsFolder());
    CalendarTime t;
    ASSERT_TRUE(OleDateToSystemTime(list[0].modified, t));
    EXPECT_EQ(t.year, 2006);
    EXPECT_EQ(t.month, 11);
    EXPECT_EQ(t.day, 30);
    EXPECT_EQ(t.hour, 14);
    EXPECT_EQ(t.minute, 5);
    EXPECT_EQ(t.second, 9);

    EXPECT_TRUE(list[1].IsFolder());
    EXPECT_EQ(list[1].name, "My Folder");

    EXPECT_EQ(list[2].size, 9000000000LL);
    EXPECT_EQ(list[2].name, " lead");
    ASSERT_TRUE(OleDateToSystemTime(list[2].modified, t));
    EXPECT_EQ(t.month, 3);
    EXPECT_EQ(t.day, 2);

    EXPECT_EQ(list[3].name, "문서.txt");
    EXPECT_FALSE(list[3].modified.IsValid()); // month 13
}

TEST(Notices, KindsNumbersAndTexts)
{
    SetWireEncoding("CP949");
    CSyncNoticeList list;
    list.notices.push_back({"old", 1, 3});
    ParseNotices("5 MKDIR____ /docs/new\r\n200 putfile__ /a b.txt\n\n404 FOO /x\n7\n", list);
    ASSERT_EQ(list.notices.size(), 4u); // the old notice is gone
    EXPECT_EQ(list.notices[0].number, 5);
    EXPECT_EQ(list.notices[0].kind, kNoticeMkDir);
    EXPECT_EQ(list.notices[0].text, "/docs/new");
    EXPECT_EQ(list.notices[1].kind, kNoticePutFile);
    EXPECT_EQ(list.notices[1].text, "/a b.txt");
    EXPECT_EQ(list.notices[2].kind, kNoticeUnknown);
    EXPECT_EQ(list.notices[3].number, 7);
    EXPECT_EQ(NoticeKindOf("RMDIR____"), kNoticeRmDir);
    EXPECT_EQ(NoticeKindOf("DelFile__"), kNoticeDelFile);
    EXPECT_EQ(NoticeKindOf("RENAME___"), kNoticeRename);
}

TEST(SyncResult, ReadsCountsFromTheCheckSyncSection)
{
    char name[] = "/tmp/talvex-syncresult-XXXXXX";
    const int fd = ::mkstemp(name);
    ASSERT_GE(fd, 0);
    const std::string text = "[Other]\nTotalCount=1\n[checksync]\n TotalSize = 100\nTotalCount = \"12\"\nFailCount=3x\n";
    ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ::close(fd);
    auto result = ReadSyncResultFile(name);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->totalCount, 12);
    EXPECT_EQ(result->failCount, 3);
    std::remove(name);
    EXPECT_FALSE(ReadSyncResultFile(name));
}
