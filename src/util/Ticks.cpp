#include "util/Ticks.h"

#include <chrono>

namespace corvan {

int64_t MonotonicMillis() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

uint32_t GetTickCount() {
    return static_cast<uint32_t>(MonotonicMillis());
}

} // namespace corvan
