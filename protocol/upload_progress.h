#pragma once
// Speed and progress of an upload: a sliding window of 60 one-second byte counters, and the
// progress record computed from it.

#include "protocol/records.h"

#include <cstdint>

namespace talvex {

class CSpeedWindow {
public:
    static constexpr int kSlots = 60;

    // All counters and flags cleared; the window starts at second now.
    void Reset(int64_t now);
    // Counts bytes sent during second t.
    void Add(int64_t t, int64_t bytes);
    // Mean bytes per second over the complete seconds; when none is complete, the counter of
    // the first slot (known = false when that is 0 as well).
    int64_t Speed(bool& known) const;

    int64_t Start() const { return m_start; }
    int64_t Counter(int slot) const { return m_counters[slot]; }
    bool Complete(int slot) const { return m_complete[slot] != 0; }

private:
    int64_t m_counters[kSlots] = {};
    uint8_t m_complete[kSlots] = {};
    int64_t m_start = 0;
};

// The progress record of a transfer of total bytes with stillToSend left, elapsed seconds after
// its start.
CUploadProgress ComputeProgress(int64_t total, int64_t stillToSend, int64_t elapsed, const CSpeedWindow& window);

// At most 15 reports a second: Allow is true when no report was made yet or the last one is at
// least ticksPerSecond / 15 ticks old (and then remembers now).
class ProgressLimiter {
public:
    bool Allow(int64_t now, int64_t ticksPerSecond);
    void Clear() { m_reported = false; }

private:
    bool m_reported = false;
    int64_t m_last = 0;
};

} // namespace talvex
