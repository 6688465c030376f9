#pragma once

// The grid's check boxes and the voice bars as plain fields: a live pattern whose voice
// notes, like the real bars, raise a change event when their value changes.

#include <array>
#include <functional>

#include "core/livepattern.h"

class FakeControls : public LivePattern {
public:
    std::array<int16_t, 64> cells{};
    std::array<int16_t, 4> notes{};
    int noteChangeEvents = 0;
    /// Raised when a voice bar changes value.
    std::function<void(int)> onNoteChanged;

    int16_t cell(int i) const override { return cells[static_cast<size_t>(i)]; }
    void setCell(int i, int16_t state) override {
        // Like the grid check boxes, a value that is no cell state is not taken.
        if (state >= 0 && state <= 2)
            cells[static_cast<size_t>(i)] = state;
    }
    int16_t note(int voice) const override { return notes[static_cast<size_t>(voice)]; }
    void setNote(int voice, int16_t n) override {
        if (notes[static_cast<size_t>(voice)] == n)
            return;
        notes[static_cast<size_t>(voice)] = n;
        ++noteChangeEvents;
        if (onNoteChanged)
            onNoteChanged(voice);
    }
};
