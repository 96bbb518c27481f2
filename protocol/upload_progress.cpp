#include "protocol/upload_progress.h"

#include <algorithm>
#include <climits>

namespace talvex {

void CSpeedWindow::Reset(int64_t now)
{
    std::fill(std::begin(m_counters), std::end(m_counters), 0);
    std::fill(std::begin(m_complete), std::end(m_complete), 0);
    m_start = now;
}

void CSpeedWindow::Add(int64_t t, int64_t bytes)
{
    const int64_t d = t - m_start;
    int slot = 0;
    if (d < 0) {
        slot = 0;
    } else if (d < kSlots) {
        slot = static_cast<int>(d);
    } else {
        const int64_t shift = d - (kSlots - 1);
        for (int i = 0; i < kSlots; ++i) {
            const int64_t from = i + shift;
            m_counters[i] = from < kSlots ? m_counters[from] : 0;
            m_complete[i] = from < kSlots ? m_complete[from] : 0;
        }
        if (shift < kSlots) {
            m_start += shift;
            slot = static_cast<int>((t - m_start) % kSlots);
        } else {
            m_start = t;
            slot = 0;
        }
    }
    m_counters[slot] += bytes;
    for (int i = 0; i < slot; ++i)
        m_complete[i] = 1;
}

int64_t CSpeedWindow::Speed(bool& known) const
{
    int64_t sum = 0;
    int count = 0;
    for (int i = 0; i < kSlots; ++i) {
        if (m_complete[i]) {
            sum += m_counters[i];
            ++count;
        }
    }
    known = true;
    if (count > 0)
        return sum / count;
    if (m_counters[0] != 0)
        return m_counters[0];
    known = false;
    return 0;
}

CUploadProgress ComputeProgress(int64_t total, int64_t stillToSend, int64_t elapsed, const CSpeedWindow& window)
{
    CUploadProgress p;
    p.elapsed = static_cast<int32_t>(std::clamp<int64_t>(elapsed, INT32_MIN, INT32_MAX));
    p.sent = total - stillToSend;
    if (total <= 0) {
        p.percent = -1;
        p.remaining = -1;
    } else {
        p.percent = static_cast<int32_t>(std::min<int64_t>(100, p.sent * 100 / total));
        double u = static_cast<double>(p.sent) * 100.0 / static_cast<double>(total);
        if (u == 0.0)
            u = 1.0;
        const double remaining = static_cast<double>(elapsed) / u * (100.0 - u);
        p.remaining = remaining < 0 ? -1 : static_cast<int32_t>(std::min<double>(remaining, INT32_MAX));
    }
    bool known = false;
    const int64_t speed = window.Speed(known);
    p.speed = static_cast<int32_t>(std::min<int64_t>(speed, INT32_MAX));
    if (!known)
        p.remaining = -1;
    p.valid = 1;
    return p;
}

bool ProgressLimiter::Allow(int64_t now, int64_t ticksPerSecond)
{
    if (m_reported && now - m_last < ticksPerSecond / 15)
        return false;
    m_reported = true;
    m_last = now;
    return true;
}

} // namespace talvex
