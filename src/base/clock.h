#pragma once
// The monotonic clock in milliseconds, for deadlines and rate limits; the real-time clock, for
// what must outlive the process.
#include <cstdint>
#include <time.h>

inline int64_t clock_ms(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

inline int64_t monotonic_ms() {
    return clock_ms(CLOCK_MONOTONIC);
}

inline int64_t realtime_ms() {
    return clock_ms(CLOCK_REALTIME);
}
