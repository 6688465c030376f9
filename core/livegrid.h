#pragma once

#include <array>
#include <cstdint>

#include "livepattern.h"
#include "pattern.h"

/// The live pattern as plain values: what the grid's check boxes and the voice bars show
/// and what the step engine plays.
struct LiveGrid final : LivePattern {
    std::array<int16_t, kCells> cells{};
    std::array<int16_t, kVoices> notes{};

    int16_t cell(int i) const override { return cells[static_cast<size_t>(i)]; }
    void setCell(int i, int16_t state) override {
        // As on a check box of the grid, a value that is no cell state is not taken.
        if (state >= kOff && state <= kDimmed)
            cells[static_cast<size_t>(i)] = state;
    }
    int16_t note(int voice) const override { return notes[static_cast<size_t>(voice)]; }
    void setNote(int voice, int16_t note) override {
        // As on a voice bar, a value outside the bar's range is brought into it.
        notes[static_cast<size_t>(voice)] = note < 0          ? int16_t(0)
                                            : note > kMaxNote ? int16_t(kMaxNote)
                                                              : note;
    }
};
