#include "protocol/resolver.h"

#include <gtest/gtest.h>

#include <sys/eventfd.h>
#include <unistd.h>

using namespace std::chrono_literals;
using talvex::ResolveHost;
using talvex::ResolveOutcome;

TEST(Resolver, AddressesNamesAndNonsense)
{
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    auto numeric = ResolveHost("127.0.0.1", 20001, deadline);
    ASSERT_EQ(numeric.outcome, ResolveOutcome::Resolved);
    ASSERT_TRUE(numeric.addresses);
    EXPECT_EQ(numeric.addresses->ai_family, AF_INET);

    EXPECT_EQ(ResolveHost("localhost", 80, deadline).outcome, ResolveOutcome::Resolved);
    EXPECT_EQ(ResolveHost("no-such-host.invalid", 80, deadline).outcome, ResolveOutcome::Failed);
    EXPECT_EQ(ResolveHost("127.0.0.1", 0, deadline).outcome, ResolveOutcome::Failed);
    EXPECT_EQ(ResolveHost("", 80, deadline).outcome, ResolveOutcome::Failed);
}

TEST(Resolver, AnExpiredDeadlineOrAWakeUpEndsTheWaitForALookUp)
{
    // A deadline already past: the look-up thread may still finish first on a fast machine, so
    // either outcome but a hang is right; what must never happen is waiting beyond it.
    const auto start = std::chrono::steady_clock::now();
    const auto outcome = ResolveHost("localhost", 80, start).outcome;
    EXPECT_TRUE(outcome == ResolveOutcome::TimedOut || outcome == ResolveOutcome::Resolved);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);

    const int wake = ::eventfd(1, EFD_CLOEXEC);
    auto yes = [](void*) { return true; };
    const auto interrupted = ResolveHost("localhost", 80, std::chrono::steady_clock::now() + 10s, wake, yes).outcome;
    EXPECT_TRUE(interrupted == ResolveOutcome::Interrupted || interrupted == ResolveOutcome::Resolved);
    ::close(wake);
}
