#include "res/string_table.h"

#include <gtest/gtest.h>

TEST(StringTable, KnownIdsHaveTheirExactTexts)
{
    EXPECT_EQ(talvex::LoadString(194), "Talvex");
    EXPECT_EQ(talvex::LoadString(322), "Talvex가 이미 실행중입니다. 프로세스를 먼저 종료하세요");
    EXPECT_EQ(talvex::LoadString(1), "");
}
