#pragma once
// Monotonic milliseconds. GetTickCount keeps the 32-bit wrap-around arithmetic that the rate
// windows and time-outs are written for: differences are taken as uint32_t, so they stay right
// across the wrap every 49.7 days.

#include <cstdint>

namespace corvan {

// Milliseconds of a monotonic clock, wrapping at 2^32.
uint32_t GetTickCount();
// Milliseconds of the same clock, without wrap-around.
int64_t MonotonicMillis();
// Milliseconds from start to now on the 32-bit clock (wrap-safe while below 2^31).
inline uint32_t TickDelta(uint32_t now, uint32_t start) {
    return now - start;
}

} // namespace corvan
