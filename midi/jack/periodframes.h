#pragma once

#include <cstdint>

/// Where messages due at CLOCK_MONOTONIC times fall in one JACK period.
///
/// JACK tells a period's first frame and the next period's on its own clock; less the offset
/// of that clock from CLOCK_MONOTONIC, they bound the period on CLOCK_MONOTONIC. A message is
/// written at the frame nearest its due time, and never before a message written earlier in
/// the period, so the order in which they were due holds. Pure: no clock is read.
class PeriodFrames {
public:
    /// frameOf() for a message that belongs to a later period.
    static constexpr uint32_t kLater = UINT32_MAX;

    /// A period of `frames` frames whose first frame is at `startNs` and whose next period
    /// starts at `nextNs`. A period whose times are unknown (`nextNs` not after `startNs`)
    /// takes every waiting message at its earliest frame.
    PeriodFrames(uint32_t frames, int64_t startNs, int64_t nextNs);

    /// Messages due from this time on belong to a later period.
    int64_t endNs() const { return m_endNs; }
    /// The frame at which a message due at `dueNs` (0: at once) is written, given that the
    /// message written before it in this period went at `earliest`: the frame nearest its due
    /// time, or `earliest` when that is earlier (a message due at once, or already past).
    /// kLater when the nearest frame lies in a later period.
    uint32_t frameOf(int64_t dueNs, uint32_t earliest) const;

private:
    uint32_t m_frames;
    int64_t m_startNs;
    int64_t m_endNs;
    double m_framesPerNs;
};

/// How late a message may be when its period comes. One later than this was held up by a
/// server that stopped: played now it would come out of time with the rest, all at once
/// with everything else held up, so it is dropped. (A message is handed over a few
/// milliseconds ahead of its time; a loaded machine makes it late by a period or two.)
constexpr int64_t kStaleNs = 500'000'000;
/// Whether a message due at `dueNs` (0: at once, never stale) is dropped at `nowNs`.
constexpr bool isStale(int64_t dueNs, int64_t nowNs) {
    return dueNs != 0 && dueNs < nowNs - kStaleNs;
}
