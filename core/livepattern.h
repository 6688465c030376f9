#pragma once

#include <cstdint>

/// The pattern on screen: the 64 grid check boxes and the four voice-note scroll bars.
/// The window implements it over its controls, which stay the only live copy; tests
/// implement it over plain arrays.
class LivePattern {
public:
    virtual ~LivePattern() = default;
    /// State of grid cell i (0..63): 0 off, 1 on, 2 dimmed.
    virtual int16_t cell(int i) const = 0;
    virtual void setCell(int i, int16_t state) = 0;
    /// Note number (0..127) of voice v (0..3).
    virtual int16_t note(int voice) const = 0;
    /// Sets the voice's bar. A new value raises the bar's change event (its label follows);
    /// setting the value the bar already has raises nothing.
    virtual void setNote(int voice, int16_t note) = 0;
};
