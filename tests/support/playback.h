#pragma once

// The rock preset played through the real step engine into an output, which plays each step
// on the timer's thread one lead ahead of its due time, as the window plays it.

#include "core/pulsor.h"
#include "core/sequencer.h"
#include "editing/editing.h"
#include "support/fakecontrols.h"

struct Playback {
    explicit Playback(MessageOutput& out) : seq(controls, timer, out) {
        seq.Form_Load([this] { seq.edit(resetVoiceNotes); });
        seq.edit(rockPreset);
    }
    void start(int intervalMs) {
        timer.setInterval(intervalMs);
        seq.outputChanged();
        timer.setEnabled(true);
    }
    /// Stops as the window's Start/Stop button does: the clock, then the notes handed over
    /// for steps not yet due.
    void stop() {
        if (timer.Enabled())
            seq.Command2_Click([] {});
    }
    FakeControls controls;
    Pulsor timer;
    Sequencer seq;
};
