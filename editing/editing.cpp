#include "editing.h"

#include <chrono>
#include <random>

#include "core/pattern.h"

void clearGrid(LivePattern& live) {
    for (int i = 0; i < kCells; ++i)
        live.setCell(i, kOff);
}

uint64_t seedFromClock() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count());
}

void randomFill(LivePattern& live, uint64_t seed) {
    std::seed_seq seq{static_cast<uint32_t>(seed), static_cast<uint32_t>(seed >> 32)};
    std::mt19937 gen(seq);
    for (int i = 0; i < kCells; ++i) {
        // r uniform over [0, 1) in single precision: 24 random bits, so r never rounds up
        // to 1 and floor(2r) is only ever 0 or 1.
        const float r = static_cast<float>(gen() >> 8) * (1.0f / 16777216.0f);
        live.setCell(i, static_cast<int16_t>(2.0f * r));
    }
}

void rockPreset(LivePattern& live) {
    clearGrid(live);
    for (int cell : {0, 6, 8, 20, 28})
        live.setCell(cell, kOn);
    for (int cell = 32; cell <= 46; cell += 2)
        live.setCell(cell, kOn);
    for (int cell = 49; cell <= 63; cell += 2)
        live.setCell(cell, kOn);
}

void resetVoiceNotes(LivePattern& live) {
    for (int v = 0; v < kVoices; ++v)
        live.setNote(v, kDefaultNotes[v]);
}
