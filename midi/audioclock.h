#pragma once

#include <cstdint>

/// Length in ns of `frames` audio frames at `rate` frames per second; 0 for no rate.
constexpr int64_t framesToNs(int64_t frames, int64_t rate) {
    return rate <= 0 ? 0 : frames * 1'000'000'000 / rate;
}
