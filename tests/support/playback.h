#pragma once

// The rock preset played through the real step engine into an output, which plays each step
// on the timer's thread one lead ahead of its due time, as the window plays it.

#include "core/pulsor.h"
#include "core/sequencer.h"
#include "editing/editing.h"

struct Playback {
    explicit Playback(MessageOutput& out, MessageOutput* clock = nullptr) : seq(timer, out, clock) {
        seq.initVoiceNotes();
        seq.edit(resetVoiceNotes);
        seq.edit(rockPreset);
    }
    void start(int intervalMs) {
        seq.setTempo(intervalMs);
        seq.outputChanged();
        if (!seq.playing())
            seq.startOrStop();
    }
    /// Stops as the window's start/stop button does: the clock, then the notes handed over
    /// for steps not yet due.
    void stop() {
        if (seq.playing())
            seq.startOrStop();
    }
    Pulsor timer;
    Sequencer seq;
};
