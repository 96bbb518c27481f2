#include "platform/ole_date.h"

#include <gtest/gtest.h>

#include <vector>

using namespace talvex;

TEST(OleDate, ConvertsLikeSystemTimeToVariantTime)
{
    struct Case {
        int y, mo, d, h, mi, s;
        bool valid;
        double value;
    } cases[] = {
        {1899, 12, 30, 0, 0, 0, true, 0.0},
        {1980, 1, 1, 0, 0, 0, true, 29221.0},
        {1980, 1, 0, 0, 0, 0, true, 29220.0},   // day 0 rolls back
        {1980, 0, 1, 0, 0, 0, true, 29190.0},   // month 0 is December before
        {1981, 2, 29, 0, 0, 0, true, 29646.0},  // rolls forward into March
        {0, 1, 1, 0, 0, 0, true, 36526.0},      // two-digit years
        {99, 1, 1, 0, 0, 0, true, 36161.0},
        {100, 1, 1, 0, 0, 0, true, -657434.0},
        {1899, 12, 29, 6, 0, 0, true, -1.25},   // before the base: negative day, positive time
        {2006, 11, 30, 12, 0, 0, true, 39051.5},
        // Each unit of the time of day: an hour is 1/24, a minute 60/86400, a second 1/86400.
        {1980, 1, 1, 1, 0, 0, true, 29221.0 + 3600.0 / 86400.0},
        {1980, 1, 1, 0, 1, 0, true, 29221.0 + 60.0 / 86400.0},
        {1980, 1, 1, 0, 0, 1, true, 29221.0 + 1.0 / 86400.0},
        {1980, 1, 1, 0, 0, 60, true, 29221.0 + 60.0 / 86400.0}, // 60 seconds are a minute
        {2006, 11, 30, 23, 59, 59, true, 39051.0 + 86399.0 / 86400.0},
        {1899, 12, 29, 0, 0, 1, true, -1.0 - 1.0 / 86400.0},
        {1980, 1, 32, 0, 0, 0, false, 0},
        {1980, 13, 1, 0, 0, 0, false, 0},
        {10000, 1, 1, 0, 0, 0, false, 0},
        {1980, -1, 1, 0, 0, 0, false, 0},
    };
    for (const Case& c : cases) {
        OleDate d = MakeOleDate(c.y, c.mo, c.d, c.h, c.mi, c.s);
        EXPECT_EQ(d.IsValid(), c.valid) << c.y << "-" << c.mo << "-" << c.d;
        if (c.valid) {
            EXPECT_DOUBLE_EQ(d.value, c.value) << c.y << "-" << c.mo << "-" << c.d;
        }
    }
    OleDate d = MakeOleDate(2006, 11, 30, 25, 61, 0); // hours and minutes roll over
    CalendarTime t;
    ASSERT_TRUE(OleDateToSystemTime(d, t));
    EXPECT_EQ(t.day, 1);
    EXPECT_EQ(t.month, 12);
    EXPECT_EQ(t.hour, 2);
    EXPECT_EQ(t.minute, 1);
    ASSERT_TRUE(OleDateToSystemTime(OleDate{-1.25, 0}, t));
    EXPECT_EQ(t.year, 1899);
    EXPECT_EQ(t.day, 29);
    EXPECT_EQ(t.hour, 6);

    // Back to the same fields, each unit of the time on both sides of the base day.
    for (const CalendarTime& in : {CalendarTime{2006, 11, 30, 23, 59, 59}, CalendarTime{1980, 1, 1, 0, 0, 1},
                                   CalendarTime{1980, 1, 1, 0, 1, 0}, CalendarTime{1980, 1, 1, 1, 0, 0},
                                   CalendarTime{2024, 2, 29, 12, 34, 56}, CalendarTime{1899, 12, 29, 23, 59, 59},
                                   CalendarTime{1899, 12, 30, 0, 0, 0}}) {
        CalendarTime out;
        ASSERT_TRUE(OleDateToSystemTime(MakeOleDate(in.year, in.month, in.day, in.hour, in.minute, in.second), out));
        EXPECT_EQ(std::vector<int>({out.year, out.month, out.day, out.hour, out.minute, out.second}),
                  std::vector<int>({in.year, in.month, in.day, in.hour, in.minute, in.second}));
    }
}
