#pragma once

// Part (3) of the timing benchmark: the built-in synth's onsets against the step grid.
//
// The measuring half is here and working (detectOnsets / fitOnsetsToGrid, checked against
// a synthetic click buffer by the benchmark). The capturing half is a slot for the built-in
// synth backend: captureBuiltinSynth() below.

#include <string>
#include <vector>

/// Mono audio the built-in synth produced while playing the rock preset, and where its
/// grid starts.
struct SynthCapture {
    bool connected = false;    // false until the slot is filled
    std::string note;          // why there is no audio, or how it was obtained
    std::vector<float> audio;  // mono
    double sampleRate = 48000;
    double firstStepFrame = 0;  // frame in `audio` at which step 0 is due
};

/// SLOT for the built-in synth (midi/fluidsynthbackend, device -1): play the rock preset
/// at `stepMs` for `seconds` through the built-in synth and return its audio. Two ways fit:
///  - rendered: drive the synth backend's send() with due times on a step grid and render
///    it offline (fluid_synth_write_float) block by block;
///  - captured: run seq_timing_player with the output on device -1 and FluidSynth's JACK
///    audio driver, connect the synth's output port to the FrameStamper's "audio_in", arm
///    it with recordAudio, and take FrameStamper::audio().
/// The benchmark then measures with detectOnsets() and fitOnsetsToGrid().
SynthCapture captureBuiltinSynth(int stepMs, double seconds);
