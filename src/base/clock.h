#pragma once
// The monotonic clock in milliseconds, for deadlines and rate limits.
#include <cstdint>
#include <time.h>

inline int64_t monotonic_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}
