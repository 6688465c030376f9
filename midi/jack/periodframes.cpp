#include "midi/jack/periodframes.h"

#include <cmath>
#include <limits>

PeriodFrames::PeriodFrames(uint32_t frames, int64_t startNs, int64_t nextNs)
    : m_frames(frames),
      m_startNs(startNs),
      m_endNs(nextNs > startNs ? nextNs : std::numeric_limits<int64_t>::max()),
      m_framesPerNs(nextNs > startNs ? double(frames) / double(nextNs - startNs) : 0) {}

uint32_t PeriodFrames::frameOf(int64_t dueNs, uint32_t earliest) const {
    double frame = 0;
    if (dueNs != 0)
        frame = std::floor(double(dueNs - m_startNs) * m_framesPerNs + 0.5);
    if (frame >= double(m_frames))
        return kLater;
    return frame > double(earliest) ? static_cast<uint32_t>(frame) : earliest;
}
