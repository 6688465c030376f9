#pragma once

// Small measurements on rendered or captured audio, for tests and benchmarks.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

/// Largest magnitude in [from, to) of either channel.
inline float peakOf(const std::vector<float>& left, const std::vector<float>& right,
                    std::size_t from, std::size_t to) {
    to = std::min({to, left.size(), right.size()});
    float peak = 0.0f;
    for (std::size_t i = from; i < to; ++i)
        peak = std::max({peak, std::fabs(left[i]), std::fabs(right[i])});
    return peak;
}

/// First frame in [from, to) where either channel's magnitude exceeds `threshold`;
/// -1 when none does.
inline long firstAbove(const std::vector<float>& left, const std::vector<float>& right,
                       std::size_t from, std::size_t to, float threshold) {
    to = std::min({to, left.size(), right.size()});
    for (std::size_t i = from; i < to; ++i) {
        if (std::fabs(left[i]) > threshold || std::fabs(right[i]) > threshold)
            return static_cast<long>(i);
    }
    return -1;
}
