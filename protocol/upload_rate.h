#pragma once
// The upload speed limit of a session: one token bucket shared by all its upload channels.
// Allowance fills at the limit's rate and holds at most a quarter of a second's worth, so an idle
// spell never turns into a burst of more than that; the bucket starts empty. Thread-safe: any
// channel may take from it and the settings may change the rate while uploads run.

#include "protocol/clock.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>

namespace talvex {

class UploadRateLimiter {
public:
    // bytesPerSecond 0 (or less) = no limit. The clock's ticks measure time (null: the system's).
    explicit UploadRateLimiter(int64_t bytesPerSecond, std::shared_ptr<const Clock> clock = nullptr);

    void SetRate(int64_t bytesPerSecond);
    int64_t Rate() const;

    // Asks for up to want bytes. Returns how many may be sent now (never more than want), or 0
    // with waitMs set to how long to wait before asking again (at least 1). Small grants are held
    // back until an eighth of the bucket has gathered, so a slow limit still sends in pieces of
    // a sensible size.
    int64_t Take(int64_t want, int& waitMs);

    // A rate in KB/s (1 KB = 1,024 bytes, as in the lists) as bytes per second; 0 = no limit.
    static int64_t FromKBps(int64_t kbps) { return kbps > 0 ? kbps * 1024 : 0; }

private:
    void Refill(int64_t now); // with m_mutex held
    double Capacity() const { return std::max(1.0, static_cast<double>(m_rate) / 4.0); }

    mutable std::mutex m_mutex;
    std::shared_ptr<const Clock> m_clock;
    int64_t m_rate = 0;
    double m_tokens = 0;
    int64_t m_last = 0;
};

} // namespace talvex
