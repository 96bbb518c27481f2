#include "res/string_table.h"

#include <gtest/gtest.h>

#include <string_view>

namespace {

struct Expected {
    unsigned id;
    std::string_view text;
};

// A spread over every group of the table, weighted towards texts whose blanks, line feeds,
// escapes or format specifiers are easy to get wrong.
constexpr Expected kSamples[] = {
    {129, "파일명"},
    {173, "전체 : %d     "},
    {174, "완료 : %d  "},
    {175, "파일크기 : %I64d %s"},
    {194, "Talvex"},
    {206, ": < > * \" / ? \\ | 값은 사용할 수 없습니다"},
    {207, "Talvex login"},
    {209, "비밀번호  :"},
    {212, "원본 이름 : "},
    {213, "대상 이름 : "},
    {234, "c:/Temp"},
    {239, "서버 점검중입니다.\n잠시후 다시 시도해주시기 바랍니다."},
    {244, "로그인 계정을 찾을 수 없습니다.\n다시 시도하시겠습니까?"},
    {249, "%s 파일을 이름 바꾸기 할 수 없습니다"},
    {253, "동기화 확인을 할 수 없습니다. [%d]"},
    {254, "수동 동기화를 할 수 없습니다. [%d]"},
    {257, "동기화 대기중"},
    {261, "동기화 진행중이므로 디렉토리 검색 Skip"},
    {283, "대상 경로를 설정하셔야 합니다"},
    {285, "스케줄 설정"},
    {311, "동기화 진행중"},
    {320, "업로드 완료"},
    {322, "Talvex가 이미 실행중입니다. 프로세스를 먼저 종료하세요"},
    {329, "서버와의 연결이 끊겼습니다. 다시 시도해 주시기 바랍니다."},
    {341, "원격 사이트"},
    {32785, "수동동기화를 시작합니다\n수동동기화 시작"},
    {32812, "스케줄 설정\n지정된 시각에 동기화를 수행합니다."},
    {32795, "동기화 확인(&S)"},
    {57344, "Talvex"},
    {57665, "끝내기(&X)"},
};

} // namespace

TEST(StringTable, SampleIdsHaveTheirExactTexts)
{
    for (const Expected& e : kSamples) {
        SCOPED_TRACE(e.id);
        EXPECT_TRUE(talvex::HasString(e.id));
        EXPECT_EQ(talvex::LoadString(e.id), e.text);
    }
}

TEST(StringTable, UnknownIdsAreEmpty)
{
    for (unsigned id : {0u, 1u, 100u, 128u, 248u, 337u, 32773u, 65535u}) {
        SCOPED_TRACE(id);
        EXPECT_FALSE(talvex::HasString(id));
        EXPECT_EQ(talvex::LoadString(id), "");
    }
}

TEST(StringTable, IdsAreStrictlyAscendingAndAllFindable)
{
    const std::vector<unsigned> ids = talvex::StringIds();
    ASSERT_GT(ids.size(), 100u);
    for (size_t i = 1; i < ids.size(); ++i)
        EXPECT_LT(ids[i - 1], ids[i]) << "at index " << i;
    for (unsigned id : ids) {
        SCOPED_TRACE(id);
        EXPECT_TRUE(talvex::HasString(id));
        EXPECT_FALSE(talvex::LoadString(id).empty());
    }
}

TEST(StringTable, FormatStringFillsSpecifiers)
{
    EXPECT_EQ(talvex::FormatString(173, 12), "전체 : 12     ");
    EXPECT_EQ(talvex::FormatString(254, 500), "수동 동기화를 할 수 없습니다. [500]");
    EXPECT_EQ(talvex::FormatString(249, "/a/b.txt"), "/a/b.txt 파일을 이름 바꾸기 할 수 없습니다");
    // 64-bit sizes beyond 32 bits must survive the Windows-style specifier.
    EXPECT_EQ(talvex::FormatString(175, 5368709120LL, "MB"), "파일크기 : 5368709120 MB");
    EXPECT_EQ(talvex::FormatString(175, -1LL, "KB"), "파일크기 : -1 KB");
    EXPECT_EQ(talvex::FormatString(1), "");
}
