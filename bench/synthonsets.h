#pragma once

// Part (3) of the timing benchmark: the built-in synth's onsets against the step grid.
//
// The measuring half (detectOnsets / fitOnsetsToGrid, checked against a synthetic click
// buffer by the benchmark) and the capturing half, captureBuiltinSynth() below.

#include <string>
#include <vector>

/// Mono audio the built-in synth produced while playing the rock preset, and where its
/// grid starts.
struct SynthCapture {
    bool connected = false;    // false when the synth could not play
    std::string note;          // why there is no audio, or how it was obtained
    std::vector<float> audio;  // mono
    double sampleRate = 48000;
    double firstStepFrame = 0;      // frame in `audio` at which step 0 is due
    std::vector<double> dueFrames;  // frames in `audio` at which a note was due
};

/// Plays the rock preset at `stepMs` for `seconds` through the built-in synth (device -1)
/// and returns its audio: the synth's send() gets each step's notes one lead time ahead of
/// their due times, and its own audio path is rendered offline block by block. The
/// benchmark then measures with detectOnsets() and fitOnsetsToGrid(), and against the due
/// times themselves.
/// `onlyNote` >= 0 plays only the cells of the voice with that note, so each sound's onsets
/// can be measured against its own attack.
SynthCapture captureBuiltinSynth(int stepMs, double seconds, int onlyNote = -1);
