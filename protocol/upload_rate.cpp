#include "protocol/upload_rate.h"

#include <algorithm>
#include <cmath>

namespace talvex {

UploadRateLimiter::UploadRateLimiter(int64_t bytesPerSecond, std::shared_ptr<const Clock> clock)
    : m_clock(clock ? std::move(clock) : SystemClock()), m_rate(std::max<int64_t>(0, bytesPerSecond)),
      m_last(m_clock->Ticks())
{
}

void UploadRateLimiter::SetRate(int64_t bytesPerSecond)
{
    std::lock_guard lock(m_mutex);
    Refill(m_clock->Ticks());
    m_rate = std::max<int64_t>(0, bytesPerSecond);
    m_tokens = std::min(m_tokens, Capacity());
}

int64_t UploadRateLimiter::Rate() const
{
    std::lock_guard lock(m_mutex);
    return m_rate;
}

void UploadRateLimiter::Refill(int64_t now)
{
    const int64_t perSecond = std::max<int64_t>(1, m_clock->TicksPerSecond());
    // Only the last second matters (the bucket holds less), which also keeps the product small.
    const int64_t elapsed = std::clamp<int64_t>(now - m_last, 0, perSecond);
    m_last = std::max(m_last, now);
    if (m_rate > 0)
        m_tokens = std::min(Capacity(), m_tokens + static_cast<double>(m_rate) * static_cast<double>(elapsed) /
                                                       static_cast<double>(perSecond));
}

int64_t UploadRateLimiter::Take(int64_t want, int& waitMs)
{
    waitMs = 0;
    if (want <= 0)
        return 0;
    std::lock_guard lock(m_mutex);
    Refill(m_clock->Ticks());
    if (m_rate <= 0)
        return want;
    const double least = std::min(static_cast<double>(want), std::max(1.0, std::floor(Capacity() / 8.0)));
    if (m_tokens >= least) {
        const int64_t granted = std::min(want, static_cast<int64_t>(std::floor(m_tokens)));
        m_tokens -= static_cast<double>(granted);
        return granted;
    }
    const double seconds = (least - m_tokens) / static_cast<double>(m_rate);
    waitMs = static_cast<int>(std::clamp(std::ceil(seconds * 1000.0), 1.0, 1000.0));
    return 0;
}

} // namespace talvex
