#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "midi/ports/midisystem.h"

class JackServerLink;

/// Name of the built-in synth's one port, shown as the output device -1.
extern const char* const kBuiltinSynthName;
/// Debian's General MIDI soundfont (an alternatives link; timgm6mb-soundfont provides it).
extern const char* const kDefaultSoundfontPath;
/// An audio output that opens no device: the owner pulls the sound with
/// BuiltinSynth::render(). For tests and benchmarks.
extern const char* const kOfflineAudio;

struct FluidSynthOptions {
    std::string soundfontPath = kDefaultSoundfontPath;
    /// FluidSynth audio drivers tried in this order at each open; the first that opens is
    /// used. Drivers this FluidSynth was built without are passed over, and "jack" is tried
    /// only when a JACK server already runs (it never starts one).
    std::vector<std::string> audioDrivers{"pipewire", "pulseaudio", "alsa", "jack"};
    /// Rate asked of PipeWire, PulseAudio and ALSA; with JACK the server's rate is used.
    int sampleRate = 48000;
    /// Frames per audio period and periods per device buffer (ALSA); PulseAudio and
    /// PipeWire get the period as their target latency. JACK uses its server's period.
    int periodFrames = 64;
    int periods = 4;
    /// Master gain. FluidSynth's own default (0.2) leaves a lone drum hit near -30 dBFS.
    double gain = 0.5;
    /// Name of the JACK client that carries the synth's audio ports; empty for the
    /// program's own (jackclient::kSynth).
    std::string jackClientName;
};

/// The built-in General MIDI synth: FluidSynth with a General MIDI soundfont, playing to
/// the desktop's audio output. MIDI channel 10 plays the drum kit.
///
/// Threads: the MidiOutSystem calls come from one thread at a time (the port component
/// serializes them). An open port runs the audio output's thread (FluidSynth's for ALSA and
/// PulseAudio, the JACK client's for JACK), which takes the messages from the due-time queue
/// and never waits for another thread; closing joins it. What the audio thread flags is
/// raised by poll(), on the port's fault watcher. Loading the soundfont starts FluidSynth's OpenMP
/// pool once per run; its threads idle until the program ends.
///
/// The parts: SynthEngine (the synth, its queue, the rendering), SynthAudio (the audio
/// driver, tried in order), SynthJackWiring (connections kept over a reopen).
///
/// Timing: a message is placed on its due time to within FluidSynth's 64-frame block
/// (voices start only at block boundaries: +/- 32 frames, 0.67 ms at 48 kHz), provided it
/// is handed over schedulingLeadNs() ahead. One due at once starts in the next period.
///
/// Panic: All Notes Off (and All Sound Off) cut the channel's sound at once, since drum
/// sounds ignore note offs.
///
/// Failures: with no soundfont or no audio output the port still opens and plays to
/// nothing; the cause is told to the port's fault watcher (MidiError::kSynthUnavailable,
/// which the watcher tells once until the synth has played again). An audio output that stops
/// calling back for a second is reported once (MidiError::kDeviceLost), and what is sent to it then
/// goes nowhere.
class BuiltinSynth final : public MidiOutSystem {
public:
    /// `jackLink` is the link to the JACK server shared with the other systems (null: one
    /// of its own); FluidSynth's JACK driver and the synth's wiring go through it.
    explicit BuiltinSynth(FluidSynthOptions options = {},
                          std::shared_ptr<JackServerLink> jackLink = {});
    ~BuiltinSynth() override;
    BuiltinSynth(const BuiltinSynth&) = delete;
    BuiltinSynth& operator=(const BuiltinSynth&) = delete;

    std::string systemName() const override { return {}; }
    std::vector<std::string> listPorts() override;
    /// Loads the soundfont at the first open (once per object) and starts the audio output.
    bool open(const std::string& port, std::string& error) override;
    /// Stops the audio output and silences everything the synth was playing.
    void close() override;
    bool send(const ShortMessage& message, int64_t dueNs) override;
    /// The clock port is on a JACK client of the program's own, there while the synth plays
    /// to JACK; on any other audio output the clock goes nowhere.
    bool sendClock(const ShortMessage& message, int64_t dueNs) override;
    void withdrawClockAfter(int64_t nowNs) override;
    std::string clockSendFailure() const override;
    std::string sendFailure() const override;
    void withdrawAfter(int64_t nowNs) override;
    /// One audio period plus a margin for the UI thread to hand the message over.
    int64_t schedulingLeadNs() const override;
    /// A render that failed, and an audio output that stopped calling back.
    void poll() override;
    std::string describe(int16_t code) const override;

    /// The audio driver in use ("pulseaudio", "alsa", "jack", kOfflineAudio); empty while
    /// closed or playing to nothing.
    std::string audioOutput() const;
    /// Sample rate the synth renders at (the JACK server's rate when on JACK).
    int sampleRate() const;
    /// Renders `frames` stereo frames exactly as the audio thread does, the first one at the
    /// CLOCK_MONOTONIC time `startNs`. Only while open on kOfflineAudio; false otherwise.
    bool render(float* left, float* right, int frames, int64_t startNs);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
