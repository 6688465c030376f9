#pragma once

#include <chrono>
#include <cstdint>

/// Now on CLOCK_MONOTONIC (std::chrono::steady_clock), in nanoseconds: the clock every due
/// time in the program is given on.
inline int64_t monotonicNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
