#pragma once

// The rock preset played through the real step engine into an output, ticked by the real
// timer with the output's lead time, as the window plays it.

#include <chrono>

#include "core/pulsor.h"
#include "core/sequencer.h"
#include "editing/editing.h"
#include "midi/midiport.h"
#include "support/fakecontrols.h"

struct Playback {
    explicit Playback(MIDIOutput& out) : output(out), seq(controls, timer, out) {
        seq.Form_Load([this] { resetVoiceNotes(controls); });
        rockPreset(controls);
        QObject::connect(&timer, &Pulsor::Tick, [this] {
            output.setDueTimeNs(timer.dueTimeNs());
            seq.Pulsor2_Tick();
            output.setDueTimeNs(0);
        });
    }
    void start(int intervalMs) {
        timer.setInterval(intervalMs);
        timer.setLeadTime(std::chrono::nanoseconds(output.schedulingLeadNs()));
        timer.setEnabled(true);
    }
    /// Stops as the window's stop does: the timer, then the notes handed over for later.
    void stop() {
        timer.setEnabled(false);
        output.cancelPending();
    }
    MIDIOutput& output;
    FakeControls controls;
    Pulsor timer;
    Sequencer seq;
};
