#include "protocol/upload_rate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace talvex;

namespace {

// Milliseconds that the test sets, from where the test starts them.
class SetClock final : public Clock {
public:
    explicit SetClock(int64_t start) : m_ms(start) {}
    int64_t Seconds() const override { return m_ms.load() / 1000; }
    int64_t Ticks() const override { return m_ms.load(); }
    int64_t TicksPerSecond() const override { return 1000; }
    void Advance(int64_t ms) { m_ms += ms; }

private:
    std::atomic<int64_t> m_ms;
};

// Every case with its clock starting at zero and at a large value.
class UploadRateLimiterTest : public ::testing::TestWithParam<int64_t> {
protected:
    std::shared_ptr<SetClock> clock = std::make_shared<SetClock>(GetParam());
};

} // namespace

INSTANTIATE_TEST_SUITE_P(Clocks, UploadRateLimiterTest, ::testing::Values(int64_t{0}, int64_t{1} << 42));

TEST_P(UploadRateLimiterTest, AKilobyteIs1024BytesAndEachSecondGivesExactlyTheRate)
{
    // Taken every quarter second (the bucket's size), a counted interval gives the rate exactly.
    struct Case {
        int64_t kbps, bytesPerSecond;
    };
    for (const Case c : {Case{1, 1024}, Case{3, 3072}, Case{1000, 1'024'000}, Case{10 * 1024 * 1024, 10'737'418'240}}) {
        EXPECT_EQ(UploadRateLimiter::FromKBps(c.kbps), c.bytesPerSecond);
        UploadRateLimiter limit(UploadRateLimiter::FromKBps(c.kbps), clock);
        int64_t total = 0;
        int waitMs = 0;
        for (int quarter = 0; quarter < 32; ++quarter) {
            clock->Advance(250);
            total += limit.Take(int64_t{1} << 40, waitMs);
        }
        EXPECT_EQ(total, 8 * c.bytesPerSecond) << c.kbps << " KB/s for 8 s";
    }
    EXPECT_EQ(UploadRateLimiter::FromKBps(0), 0);
    EXPECT_EQ(UploadRateLimiter::FromKBps(-1), 0);
}

TEST_P(UploadRateLimiterTest, StartsEmptyAndFillsAtTheRate)
{
    UploadRateLimiter limit(8000, clock); // a bucket of 2,000 bytes; grants of 250 at least
    int waitMs = -1;
    EXPECT_EQ(limit.Take(1000, waitMs), 0);
    EXPECT_EQ(waitMs, 32); // 250 bytes at 8 bytes a millisecond, rounded up
    clock->Advance(31);
    EXPECT_EQ(limit.Take(1000, waitMs), 0);
    EXPECT_EQ(waitMs, 1);
    clock->Advance(1);
    EXPECT_EQ(limit.Take(1000, waitMs), 256); // all there is, once a grant is worth making
    EXPECT_EQ(waitMs, 0);
    clock->Advance(100);
    EXPECT_EQ(limit.Take(300, waitMs), 300); // never more than asked
    EXPECT_EQ(limit.Take(1000, waitMs), 500);
    EXPECT_EQ(limit.Take(100, waitMs), 0); // a small request waits for its own size only
    EXPECT_EQ(waitMs, 13);
    EXPECT_EQ(limit.Take(0, waitMs), 0);
    EXPECT_EQ(waitMs, 0);
}

TEST_P(UploadRateLimiterTest, AnIdleSpellBurstsAQuarterSecondAtMost)
{
    UploadRateLimiter limit(10'000'000, clock);
    clock->Advance(3'600'000);
    int waitMs = 0;
    EXPECT_EQ(limit.Take(int64_t{1} << 40, waitMs), 2'500'000);
    EXPECT_EQ(limit.Take(int64_t{1} << 40, waitMs), 0);

    // Ten seconds of greedy taking in 1 ms steps: the rate, give or take the bucket.
    int64_t total = 0;
    for (int ms = 0; ms < 10'000; ++ms) {
        clock->Advance(1);
        total += limit.Take(256 * 1024, waitMs);
    }
    EXPECT_GE(total, 100'000'000 - 2'500'000);
    EXPECT_LE(total, 100'000'000);
}

TEST_P(UploadRateLimiterTest, NoLimitAndChangesOfTheRate)
{
    UploadRateLimiter limit(0, clock);
    int waitMs = -1;
    EXPECT_EQ(limit.Take(int64_t{1} << 40, waitMs), int64_t{1} << 40);
    EXPECT_EQ(waitMs, 0);

    limit.SetRate(4000); // starts from an empty bucket, not from what "no limit" would have given
    EXPECT_EQ(limit.Rate(), 4000);
    EXPECT_EQ(limit.Take(1000, waitMs), 0);
    clock->Advance(10'000);
    limit.SetRate(400); // a fuller bucket shrinks to the new quarter second
    EXPECT_EQ(limit.Take(1 << 20, waitMs), 100);
    limit.SetRate(-1);
    EXPECT_EQ(limit.Rate(), 0);
    EXPECT_EQ(limit.Take(7, waitMs), 7);

    // The slowest limits still move: a bucket of at least one byte.
    UploadRateLimiter crawl(1, clock);
    clock->Advance(999);
    EXPECT_EQ(crawl.Take(10, waitMs), 0);
    EXPECT_GE(waitMs, 1);
    EXPECT_LE(waitMs, 2);
    clock->Advance(2);
    EXPECT_EQ(crawl.Take(10, waitMs), 1);
}

TEST_P(UploadRateLimiterTest, ChannelsTakingAtOnceShareOneAllowance)
{
    UploadRateLimiter limit(1'000'000, clock); // 1,000 bytes a millisecond
    std::atomic<bool> stop{false};
    std::atomic<int64_t> granted{0};
    std::vector<std::thread> channels;
    for (int i = 0; i < 4; ++i)
        channels.emplace_back([&] {
            int waitMs = 0;
            while (!stop)
                granted += limit.Take(4096, waitMs);
        });
    for (int ms = 0; ms < 2000; ++ms) {
        clock->Advance(1);
        if (ms % 100 == 0)
            std::this_thread::yield();
    }
    clock->Advance(1000); // whatever was left over fills the bucket, no more
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    stop = true;
    for (std::thread& t : channels)
        t.join();
    // Never more than the clock has earned, however the takers interleave.
    int waitMs = 0;
    const int64_t rest = limit.Take(int64_t{1} << 40, waitMs);
    EXPECT_GT(granted.load(), 0);
    EXPECT_LE(rest, 250'000);
    EXPECT_LE(granted.load() + rest, 3'000'000);
}
