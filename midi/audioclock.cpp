#include "midi/audioclock.h"

#include <algorithm>

void AudioClock::reset(int rate) {
    m_nsPerFrame = 1e9 / (rate > 0 ? rate : 48000);
    m_count = 0;
    m_next = 0;
}

double AudioClock::bufferStartNs(int64_t callbackNs, int64_t firstFrame, int frames) {
    const double origin =
        static_cast<double>(callbackNs) - static_cast<double>(firstFrame) * m_nsPerFrame;
    const int window =
        std::clamp(static_cast<int>(kWindowNs / (frames * m_nsPerFrame)) + 1, 4, kSlots);
    double earliest = origin;
    for (int k = 1; k <= std::min(window - 1, m_count); ++k)
        earliest = std::min(earliest, m_origins[(m_next - k + kSlots) % kSlots]);
    // Far later than the window's earliest: the stream jumped (a long xrun, a stall).
    if (origin - earliest > 20e6 + 4.0 * frames * m_nsPerFrame) {
        m_count = 0;
        earliest = origin;
    }
    m_origins[m_next] = origin;
    m_next = (m_next + 1) % kSlots;
    m_count = std::min(m_count + 1, kSlots);
    return earliest + static_cast<double>(firstFrame) * m_nsPerFrame;
}
