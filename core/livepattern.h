#pragma once

#include <cstdint>

/// A grid of 64 cells and four voice notes, as the editing commands, the pattern bank and
/// the pattern file see it. The live pattern of the program is a LiveGrid held by the
/// sequencer; tests and the file code implement it over plain arrays too.
class LivePattern {
public:
    virtual ~LivePattern() = default;
    /// State of grid cell i (0..63): 0 off, 1 on, 2 dimmed.
    virtual int16_t cell(int i) const = 0;
    /// Sets cell i; a value that is no cell state is not taken.
    virtual void setCell(int i, int16_t state) = 0;
    /// Note number (0..127) of voice v (0..3).
    virtual int16_t note(int voice) const = 0;
    virtual void setNote(int voice, int16_t note) = 0;
};
