#pragma once
// Time sources of the upload channel, replaceable in tests.

#include <cstdint>
#include <memory>

namespace talvex {

class Clock {
public:
    virtual ~Clock() = default;
    virtual int64_t Seconds() const = 0;        // wall-clock seconds since 1970
    virtual int64_t Ticks() const = 0;          // a monotonic high-resolution counter
    virtual int64_t TicksPerSecond() const = 0;
};

std::shared_ptr<const Clock> SystemClock();

} // namespace talvex
