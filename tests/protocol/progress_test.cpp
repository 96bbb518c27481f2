#include "protocol/upload_progress.h"

#include <gtest/gtest.h>

using namespace talvex;

TEST(SpeedWindow, SlotsAndShift)
{
    CSpeedWindow w;
    w.Reset(1000);
    w.Add(999, 10); // before the window: slot 0
    w.Add(1000, 5);
    EXPECT_EQ(w.Counter(0), 15);
    bool known = false;
    EXPECT_EQ(w.Speed(known), 15); // no complete second yet: the first slot
    EXPECT_TRUE(known);
    w.Add(1002, 100);
    EXPECT_TRUE(w.Complete(0));
    EXPECT_TRUE(w.Complete(1));
    EXPECT_FALSE(w.Complete(2));
    EXPECT_EQ(w.Speed(known), 15 / 2);

    // 90 seconds of 1,000 bytes a second plus t bytes in second t: the window then holds the last
    // 60 seconds, 59 of them complete.
    w.Reset(0);
    for (int t = 0; t < 90; ++t)
        w.Add(t, 1000 + t);
    EXPECT_EQ(w.Start(), 30);
    EXPECT_EQ(w.Counter(59), 1089);
    EXPECT_FALSE(w.Complete(59));
    int64_t sum = 0;
    for (int t = 30; t <= 88; ++t)
        sum += 1000 + t;
    EXPECT_EQ(w.Speed(known), sum / 59);

    w.Add(500, 7); // a jump past the whole window clears it
    EXPECT_EQ(w.Start(), 500);
    EXPECT_EQ(w.Counter(0), 7);
    EXPECT_FALSE(w.Complete(0));
}

TEST(Progress, Formulas)
{
    CSpeedWindow w;
    w.Reset(0);
    CUploadProgress first = ComputeProgress(1000, 1000, 0, w);
    EXPECT_EQ(first.sent, 0);
    EXPECT_EQ(first.percent, 0);
    EXPECT_EQ(first.elapsed, 0);
    EXPECT_EQ(first.speed, 0);
    EXPECT_EQ(first.remaining, -1);
    EXPECT_EQ(first.valid, 1);

    w.Add(0, 100);
    w.Add(1, 150);
    w.Add(2, 50);
    CUploadProgress p = ComputeProgress(1000, 700, 3, w); // 30 % after 3 s
    EXPECT_EQ(p.percent, 30);
    EXPECT_EQ(p.remaining, 7); // 3 / 30 * 70
    EXPECT_EQ(p.speed, 125);

    EXPECT_EQ(ComputeProgress(1000, -50, 3, w).percent, 100); // capped
    CUploadProgress empty = ComputeProgress(0, 0, 3, w);
    EXPECT_EQ(empty.percent, -1);
    EXPECT_EQ(empty.remaining, -1);
}

TEST(ProgressLimiter, FifteenASecond)
{
    // The clock starting at zero and at a large value: the first report is never held back.
    for (const int64_t t0 : {int64_t{0}, int64_t{1} << 42}) {
        ProgressLimiter limit;
        const int64_t f = 1500;
        EXPECT_TRUE(limit.Allow(t0, f)) << t0;
        EXPECT_FALSE(limit.Allow(t0 + 99, f)) << t0;
        EXPECT_TRUE(limit.Allow(t0 + 100, f)) << t0;
        int allowed = 0;
        for (int64_t t = t0 + 101; t < t0 + 101 + f; ++t)
            allowed += limit.Allow(t, f);
        EXPECT_EQ(allowed, 15) << t0;
        limit.Clear();
        EXPECT_TRUE(limit.Allow(t0 + 101 + f, f)) << t0;
    }
}
