#include "midi/synth/builtinsynth.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "core/monotonicclock.h"
#include "midi/audioclock.h"
#include "midi/jack/jackclient.h"
#include "midi/jack/jackoutput.h"
#include "midi/synth/synthaudio.h"
#include "midi/synth/synthengine.h"
#include "midi/synth/synthjackwiring.h"
#include "midi/synth/synthlibraries.h"

const char* const kBuiltinSynthName = "Built-in synth (General MIDI)";
const char* const kDefaultSoundfontPath = "/usr/share/sounds/sf2/default-GM.sf2";
const char* const kOfflineAudio = SynthAudio::kOffline;

namespace {

// How long an open waits for a JACK driver still being closed to let go of the engine. With
// the close's own wait before it, the UI thread waits less than half a second in all.
constexpr int64_t kReleaseWaitNs = 150'000'000;

// Time on top of one audio period for a tick handler to hand its messages over.
constexpr int64_t kHandoverMarginNs = 4'000'000;

}  // namespace

struct BuiltinSynth::Impl {
    Impl(BuiltinSynth& synth, FluidSynthOptions opts, std::shared_ptr<JackServerLink> link)
        : owner(synth),
          options(std::move(opts)),
          jackLink(link ? std::move(link) : std::make_shared<JackServerLink>()),
          audio(jackLink),
          jackWiring(jackLink),
          jackClock(makeJackMidiOutSystem(jackLink)) {}
    ~Impl() { close(); }

    void open();
    void close();
    bool send(const ShortMessage& message, int64_t dueNs);
    bool sendClock(const ShortMessage& message, int64_t dueNs);
    void withdrawAfter(int64_t nowNs);
    void poll();
    void tellCause(const std::string& cause);
    std::string jackClientName() const {
        return options.jackClientName.empty() ? jackclient::kSynth : options.jackClientName;
    }

    BuiltinSynth& owner;
    const FluidSynthOptions options;
    std::shared_ptr<JackServerLink> jackLink;
    SynthAudio audio;
    SynthJackWiring jackWiring;
    // The clock port, on a JACK client of the program's own (FluidSynth's JACK driver owns
    // the synth's client): open while the synth plays to JACK.
    std::unique_ptr<MidiOutSystem> jackClock;
    bool clockOpen = false;

    // The synth and its soundfont, made at the first open and kept for the run.
    std::shared_ptr<SynthEngine> engine;
    bool mustSilence = false;
    bool isOpen = false;
    bool silent = true;  // open, but playing to nothing
    int64_t openedNs = 0;
    // Set by poll() while the audio output has stopped calling back: what is sent then goes
    // nowhere, or it would sound all at once, late, when the output comes back.
    std::atomic<bool> stalled{false};
};

void BuiltinSynth::Impl::open() {
    isOpen = true;
    silent = true;
    // The port stays open and plays to nothing when the synth cannot play; the program
    // keeps working.
    if (!engine || !engine->ok())
        engine = std::make_shared<SynthEngine>(options.sampleRate, options.gain);
    if (!engine->ok()) {
        tellCause("FluidSynth could not be started");
        return;
    }
    std::string cause;
    // The engine may still be held by its JACK driver, being closed by a call that waited
    // for the server longer than the link allows. Right after a server stall that close
    // usually ends within tens of milliseconds (the setup dialog's OK closes, then opens at
    // once): waited for a little, so that opening again plays. A JACK server that still
    // does not answer is told once, by the part that met it first; the synth then plays to
    // nothing without a word of its own.
    if (engine->held()) {
        const int64_t until = monotonicNowNs() + kReleaseWaitNs;
        while ((engine->held() || !jackLink->answering()) && monotonicNowNs() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (engine->held())
            return;
    }
    if (mustSilence) {
        engine->silence();
        mustSilence = false;
    }
    if (!engine->loadSoundfont(options.soundfontPath, cause)) {
        tellCause(cause);
        return;
    }
    SynthAudio::Settings settings;
    settings.drivers = options.audioDrivers;
    settings.sampleRate = options.sampleRate;
    settings.periodFrames = options.periodFrames;
    settings.periods = options.periods;
    settings.jackClientName = jackClientName();
    if (!audio.open(settings, engine, cause)) {
        if (!audio.jackRefused())
            tellCause(cause);
        return;
    }
    openedNs = monotonicNowNs();
    stalled.store(false);
    if (audio.driver() == "jack") {
        jackWiring.restore(jackClientName());
        // Only JACK has ports for a follower to connect to; on a sound server the synth's
        // clock goes nowhere. A clock port that cannot be made leaves the synth playing.
        clockOpen = jackClock->open(std::string(), cause);
        if (!clockOpen)
            owner.tell(MidiError::kOpenFailed, "Cannot open the MIDI clock port on JACK: " + cause +
                                                   ". The built-in synth plays without it.");
    }
    // The synth plays: a cause that comes back later is told again.
    owner.forget(MidiError::kSynthUnavailable);
    silent = false;
}

void BuiltinSynth::Impl::close() {
    if (!isOpen)
        return;
    const bool played = audio.isOpen();
    if (clockOpen)
        jackClock->close();
    clockOpen = false;
    if (audio.driver() == "jack")
        jackWiring.keep(jackClientName());
    audio.close();
    // An engine still held by its JACK driver is silenced when it is next used.
    if (played && engine->held())
        mustSilence = true;
    else if (played)
        engine->silence();
    isOpen = false;
    silent = true;
}

void BuiltinSynth::Impl::tellCause(const std::string& cause) {
    owner.tell(MidiError::kSynthUnavailable,
               "The built-in synth cannot play: " + cause +
                   ". It plays nothing; choose another MIDI output in MIDI Setup.");
}

void BuiltinSynth::Impl::poll() {
    // What the audio thread flagged, and an audio output that has stopped calling back: a
    // JACK server that stopped, a sound server that died.
    if (!isOpen || silent)
        return;
    if (engine->renderFailed())
        owner.raise(MidiError::kSynthUnavailable);
    if (!audio.hasThread())
        return;
    // A stall is told once per open, and lasts only as long as the audio thread is quiet: a
    // sound server that calls back again is played to again. (A JACK server that was
    // stopped may instead have dropped the synth's client; then it stays stalled until
    // opened again.)
    const bool nowStalled = audioStalled(monotonicNowNs(), openedNs, engine->lastRenderNs());
    stalled.store(nowStalled);
    if (nowStalled)
        owner.raise(MidiError::kDeviceLost);
}

bool BuiltinSynth::Impl::send(const ShortMessage& message, int64_t dueNs) {
    if (!isOpen)
        return false;
    // The system messages a synth has no use for (clock, start, stop ...) are taken and
    // dropped; only System Reset (FF) means something to it.
    const bool ignored = message.isSystem() && message.status() != 0xFF;
    if (silent || ignored || stalled.load(std::memory_order_relaxed))
        return true;
    return engine->post(message, dueNs);
}

bool BuiltinSynth::Impl::sendClock(const ShortMessage& message, int64_t dueNs) {
    if (!isOpen)
        return false;
    if (!clockOpen || stalled.load(std::memory_order_relaxed))
        return true;
    return jackClock->sendClock(message, dueNs);
}

void BuiltinSynth::Impl::withdrawAfter(int64_t nowNs) {
    if (isOpen && !silent)
        engine->withdrawAfter(nowNs);
}

// ---------------------------------------------------------------- public face

BuiltinSynth::BuiltinSynth(FluidSynthOptions options, std::shared_ptr<JackServerLink> jackLink)
    : d((muteSynthLibraries(),
         std::make_unique<Impl>(*this, std::move(options), std::move(jackLink)))) {}

BuiltinSynth::~BuiltinSynth() {
    d->close();
}

std::vector<std::string> BuiltinSynth::listPorts() {
    return {kBuiltinSynthName};
}

bool BuiltinSynth::open(const std::string& port, std::string& error) {
    close();
    if (port != kBuiltinSynthName) {
        error = "the built-in synth has no port \"" + port + "\"";
        return false;
    }
    d->open();
    return true;
}

void BuiltinSynth::close() {
    d->close();
}

bool BuiltinSynth::send(const ShortMessage& message, int64_t dueNs) {
    return d->send(message, dueNs);
}

bool BuiltinSynth::sendClock(const ShortMessage& message, int64_t dueNs) {
    return d->sendClock(message, dueNs);
}

void BuiltinSynth::withdrawClockAfter(int64_t nowNs) {
    if (d->clockOpen)
        d->jackClock->withdrawClockAfter(nowNs);
}

std::string BuiltinSynth::clockSendFailure() const {
    return d->jackClock->clockSendFailure();
}

std::string BuiltinSynth::sendFailure() const {
    return "the built-in synth is not keeping up: " +
           std::to_string(SynthEngine::kQueueCapacity - 1) + " messages are already waiting";
}

void BuiltinSynth::poll() {
    d->poll();
}

std::string BuiltinSynth::describe(int16_t code) const {
    if (code == MidiError::kSynthUnavailable)
        return "The built-in synth failed to render its sound.";
    if (code == MidiError::kDeviceLost)
        return "The built-in synth's audio output (" + SynthAudio::label(d->audio.driver()) +
               ") has stopped. Open it again or choose another output in MIDI Setup.";
    return {};
}

void BuiltinSynth::withdrawAfter(int64_t nowNs) {
    d->withdrawAfter(nowNs);
}

int64_t BuiltinSynth::schedulingLeadNs() const {
    if (!d->isOpen || d->silent || !d->engine)
        return 0;
    return framesToNs(d->engine->periodFrames(), d->engine->rate()) + kHandoverMarginNs;
}

std::string BuiltinSynth::audioOutput() const {
    return d->isOpen && !d->silent ? d->audio.driver() : std::string();
}

int BuiltinSynth::sampleRate() const {
    return d->engine && d->engine->ok() ? d->engine->rate() : d->options.sampleRate;
}

bool BuiltinSynth::render(float* left, float* right, int frames, int64_t startNs) {
    if (!d->isOpen || d->silent || d->audio.driver() != SynthAudio::kOffline || !left || !right)
        return false;
    if (frames > 0)
        d->engine->render(left, right, frames, startNs);
    return true;
}
