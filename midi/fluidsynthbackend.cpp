#include "fluidsynthbackend.h"

#include <alsa/asoundlib.h>
#include <fluidsynth.h>
#include <jack/jack.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include "audioclock.h"
#include "core/monotonicclock.h"
#include "core/rtpriorities.h"
#include "duequeue.h"
#include "faultwatcher.h"
#include "jackclient.h"

const char* const kBuiltinSynthName = "Built-in synth (General MIDI)";
const char* const kDefaultSoundfontPath = "/usr/share/sounds/sf2/default-GM.sf2";
const char* const kOfflineAudio = "offline";

namespace {

// FluidSynth renders in blocks of 64 frames and starts a voice only at a block boundary,
// so that is the finest grid a message can be placed on.
constexpr int kBlockFrames = 64;
// MIDI channel 10: General MIDI's drum kit.
constexpr int kDrumChannel = 9;
constexpr std::size_t kQueueCapacity = 1024;
// Time on top of one audio period for a tick handler to hand its messages over.
constexpr int64_t kHandoverMarginNs = 4'000'000;
// An open audio output whose thread has not rendered for this long has stopped.
constexpr int64_t kStallNs = 1'000'000'000;
// Reverb and chorus ring on for about a second after the voices stop (-50 dBFS at first,
// below -100 dBFS after 1.5 s).
constexpr int kFlushMs = 1500;
// The audio clock is read from the audio callbacks of about the last 50 ms (at least 4).
constexpr double kClockWindowNs = 50e6;
constexpr int kClockSlots = 64;

// What keeps the synth from playing. Render failures are raised on the audio thread, a
// stall by the watcher; the causes found while opening are told once per run.
enum Fault : uint32_t {
    kRenderFailed = 1u << 0,
    kStalled = 1u << 1,
    kNoSynth = 1u << 2,
    kNoSoundfont = 1u << 3,
    kNoAudio = 1u << 4,
};
constexpr uint32_t kCauses = kNoSynth | kNoSoundfont | kNoAudio;

std::string driverLabel(const std::string& driver) {
    if (driver == "pipewire")
        return "PipeWire";
    if (driver == "pulseaudio")
        return "PulseAudio";
    if (driver == "alsa")
        return "ALSA";
    if (driver == "jack")
        return "JACK";
    return driver;
}

void collectOption(void* data, const char* /*name*/, const char* option) {
    static_cast<std::vector<std::string>*>(data)->push_back(option);
}

// Where a JACK client's audio outputs are connected: (port's short name, destination).
using JackConnections = std::vector<std::pair<std::string, std::string>>;

// Calls `each(probe, fullName, shortName)` for every audio output of the client
// `clientName`, through `probe`, a short-lived client of our own; false when no server can
// be reached.
template <typename Each>
bool forEachAudioOutput(const std::string& clientName, Each each) {
    jack_client_t* probe = jackclient::open(jackclient::kProbe);
    if (!probe)
        return false;
    const std::string prefix = clientName + ":";
    if (const char** ports =
            jack_get_ports(probe, nullptr, JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput)) {
        for (const char** p = ports; *p; ++p) {
            const std::string full = *p;
            if (full.compare(0, prefix.size(), prefix) == 0)
                each(probe, full, full.substr(prefix.size()));
        }
        jack_free(ports);
    }
    jack_client_close(probe);
    return true;
}

std::vector<std::string> connectionsOf(jack_client_t* probe, const std::string& port) {
    std::vector<std::string> to;
    const jack_port_t* p = jack_port_by_name(probe, port.c_str());
    if (!p)
        return to;  // gone since it was listed
    if (const char** names = jack_port_get_all_connections(probe, p)) {
        for (const char** n = names; *n; ++n)
            to.emplace_back(*n);
        jack_free(names);
    }
    return to;
}

}  // namespace

struct FluidSynthBackend::Impl {
    Impl(FluidSynthBackend& backend, FluidSynthOptions opts)
        : owner(backend),
          options(std::move(opts)),
          faults({{kRenderFailed, MidiError::kSynthUnavailable},
                  {kStalled, MidiError::kDeviceLost},
                  // One report per cause for the whole run: the setup dialog opens device
                  // -1 when it loads and again at OK, and the user needs to be told once.
                  {kNoSynth, MidiError::kSynthUnavailable, true},
                  {kNoSoundfont, MidiError::kSynthUnavailable, true},
                  {kNoAudio, MidiError::kSynthUnavailable, true}},
                 [this](int16_t code, const std::string& text) { owner.reportAsync(code, text); }),
          periodFrames(options.periodFrames) {}
    ~Impl() {
        close();
        if (synth)
            delete_fluid_synth(synth);
        if (synthSettings)
            delete_fluid_settings(synthSettings);
    }

    void open();
    void close();
    bool send(const unsigned char* bytes, std::size_t size, int64_t dueNs, std::string& error);
    void withdrawAfter(int64_t nowNs);

    bool ensureSynth(std::string& cause);
    bool loadSoundfont(std::string& cause);
    bool startAudio(std::string& cause);
    fluid_settings_t* driverSettings(const std::string& driver, int rate) const;
    std::string jackClientName() const {
        return options.jackClientName.empty() ? jackclient::kSynth : options.jackClientName;
    }
    void setRate(int rate);
    void prepareToRender();
    void silenceSynth();
    void reportCause(uint32_t fault, const std::string& cause);
    void watch();

    // Audio thread.
    static int audioCallback(void* data, int len, int nfx, float* fx[], int nout, float* out[]);
    void renderAudio(float* left, float* right, int frames, int64_t now);
    void followClock(int64_t now, int frames);
    void applyDue(int blockOffset);
    void apply(const ShortMessage& m);

    FluidSynthBackend& owner;
    const FluidSynthOptions options;

    // The synth and its soundfont live as long as this object.
    fluid_settings_t* synthSettings = nullptr;
    fluid_synth_t* synth = nullptr;
    int synthRate = 0;
    bool soundfontLoaded = false;

    // UI-thread state.
    bool isOpen = false;
    bool silent = true;  // open, but playing to nothing
    bool offline = false;
    std::string driverName;
    fluid_settings_t* driverSettingsInUse = nullptr;
    fluid_audio_driver_t* driver = nullptr;
    int64_t openedNs = 0;
    FaultWatcher faults;
    // The connections the synth's JACK ports had when it was last closed. The setup dialog
    // closes and reopens the synth at every OK; without this, wiring the user made in a
    // patchbay would be lost and replaced by the automatic one to the speakers.
    std::optional<JackConnections> jackWiring;
    void keepJackWiring();
    void restoreJackWiring();

    // Shared between the UI thread (the producer) and the audio thread (the consumer).
    DueQueue<kQueueCapacity> queue;
    std::atomic<int64_t> lastRenderNs{0};
    std::atomic<int> periodFrames;

    // Audio-thread state; the UI thread touches it only while no audio thread runs.
    int64_t frame = 0;             // frames the synth has rendered; its block grid starts at 0
    double bufferStartNs = 0;      // estimated CLOCK_MONOTONIC time of the buffer's first frame
    // Start time of frame 0 as each recent callback saw it (its time minus its frame's).
    std::array<double, kClockSlots> clockOrigins{};
    int clockCount = 0;
    int clockNext = 0;
};

// ---------------------------------------------------------------- UI thread

void FluidSynthBackend::Impl::open() {
    isOpen = true;
    silent = true;
    std::string cause;
    // The port stays open and plays to nothing when the synth cannot play; the program
    // keeps working.
    if (!ensureSynth(cause)) {
        reportCause(kNoSynth, cause);
        return;
    }
    if (!loadSoundfont(cause)) {
        reportCause(kNoSoundfont, cause);
        return;
    }
    if (!startAudio(cause)) {
        reportCause(kNoAudio, cause);
        return;
    }
    // A cause that comes back later is told again.
    faults.forget(kCauses);
    silent = false;
    watch();
}

bool FluidSynthBackend::Impl::ensureSynth(std::string& cause) {
    if (synth)
        return true;
    if (!synthSettings)
        synthSettings = new_fluid_settings();
    if (synthSettings) {
        fluid_settings_setnum(synthSettings, "synth.sample-rate", options.sampleRate);
        fluid_settings_setnum(synthSettings, "synth.gain", options.gain);
        // One thread at a time uses the synth: the UI thread while no audio thread runs,
        // otherwise the audio thread alone. FluidSynth's own lock is not needed, and the
        // audio thread never waits on it.
        fluid_settings_setint(synthSettings, "synth.threadsafe-api", 0);
        synth = new_fluid_synth(synthSettings);
    }
    if (!synth) {
        cause = "FluidSynth could not be started";
        return false;
    }
    synthRate = options.sampleRate;
    fluid_synth_set_channel_type(synth, kDrumChannel, CHANNEL_TYPE_DRUM);
    return true;
}

bool FluidSynthBackend::Impl::loadSoundfont(std::string& cause) {
    // Loaded at the first open that finds it, then kept for the rest of the run: a
    // reopen (the setup dialog closes and opens again) costs nothing.
    if (soundfontLoaded)
        return true;
    const std::string& path = options.soundfontPath;
    const std::string quoted = "the soundfont \"" + path + "\"";
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        const int e = errno;
        cause = e == ENOENT ? quoted +
                                  " does not exist (install timgm6mb-soundfont or another "
                                  "General MIDI soundfont)"
                            : quoted + " cannot be read: " + std::strerror(e);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        cause = quoted + " is not a file";
        return false;
    }
    if (::access(path.c_str(), R_OK) != 0) {
        cause = quoted + " cannot be read: " + std::strerror(errno);
        return false;
    }
    if (fluid_synth_sfload(synth, path.c_str(), 1) == FLUID_FAILED) {
        cause = quoted + " is not a SoundFont that FluidSynth can load";
        return false;
    }
    soundfontLoaded = true;
    return true;
}

bool FluidSynthBackend::Impl::startAudio(std::string& cause) {
    std::vector<std::string> builtIn;
    fluid_settings_foreach_option(synthSettings, "audio.driver", &builtIn, &collectOption);

    std::vector<std::string> reasons;
    for (const std::string& name : options.audioDrivers) {
        if (name == kOfflineAudio) {
            setRate(options.sampleRate);
            prepareToRender();
            offline = true;
            driverName = name;
            return true;
        }
        if (std::find(builtIn.begin(), builtIn.end(), name) == builtIn.end())
            continue;
        int rate = options.sampleRate;
        int period = options.periodFrames;
        if (name == "jack") {
            // FluidSynth's own JACK driver would start a server if none ran.
            jackclient::ServerInfo server;
            if (!jackclient::serverRunning(&server) || server.sampleRate <= 0) {
                reasons.push_back("JACK: no JACK server is running");
                continue;
            }
            rate = server.sampleRate;
            period = server.periodFrames;
        }
        // The rate is set while no audio thread runs; on JACK it must be the server's.
        setRate(rate);
        prepareToRender();
        periodFrames.store(period, std::memory_order_relaxed);
        fluid_settings_t* settings = driverSettings(name, rate);
        fluid_audio_driver_t* drv =
            settings ? new_fluid_audio_driver2(settings, &Impl::audioCallback, this) : nullptr;
        if (drv) {
            driver = drv;
            driverSettingsInUse = settings;
            driverName = name;
            openedNs = monotonicNowNs();
            if (name == "jack")
                restoreJackWiring();
            return true;
        }
        if (settings)
            delete_fluid_settings(settings);
        reasons.push_back(driverLabel(name) + ": could not be opened");
    }
    std::string tried;
    for (const std::string& r : reasons)
        tried += (tried.empty() ? "" : "; ") + r;
    if (tried.empty()) {
        for (const std::string& name : options.audioDrivers)
            tried += (tried.empty() ? "" : ", ") + driverLabel(name);
        tried = tried.empty() ? "no audio driver to try"
                              : "FluidSynth has none of the audio drivers " + tried;
    }
    cause = "no audio output is available (" + tried + ")";
    return false;
}

fluid_settings_t* FluidSynthBackend::Impl::driverSettings(const std::string& name, int rate) const {
    fluid_settings_t* s = new_fluid_settings();
    if (!s)
        return nullptr;
    fluid_settings_setstr(s, "audio.driver", name.c_str());
    fluid_settings_setnum(s, "synth.sample-rate", rate);
    // A small buffer keeps the notes of a tick close to their time: 64-frame periods, 4 of
    // them in the device buffer (256 frames, 5.3 ms at 48 kHz) on ALSA; PulseAudio and
    // PipeWire take the period as their target latency and may round it up.
    fluid_settings_setint(s, "audio.period-size", options.periodFrames);
    fluid_settings_setint(s, "audio.realtime-prio", rtpriority::kSynthAudio);
    fluid_settings_setint(s, "audio.periods", options.periods);
    fluid_settings_setstr(s, "audio.jack.id", jackClientName().c_str());
    // On JACK the synth plays to the speakers without the user wiring it.
    fluid_settings_setint(s, "audio.jack.autoconnect", 1);
    return s;
}

void FluidSynthBackend::Impl::keepJackWiring() {
    JackConnections wiring;
    const bool reached = forEachAudioOutput(
        jackClientName(), [&](jack_client_t* probe, const std::string& full,
                                    const std::string& port) {
            for (std::string& to : connectionsOf(probe, full))
                wiring.emplace_back(port, std::move(to));
        });
    // A server that is gone tells nothing; what was kept before still stands.
    if (reached)
        jackWiring = std::move(wiring);
}

void FluidSynthBackend::Impl::restoreJackWiring() {
    if (!jackWiring)
        return;  // first time on JACK: the automatic connection to the speakers stands
    forEachAudioOutput(jackClientName(), [&](jack_client_t* probe,
                                                   const std::string& full,
                                                   const std::string& port) {
        const std::vector<std::string> now = connectionsOf(probe, full);
        for (const std::string& to : now)
            if (std::find(jackWiring->begin(), jackWiring->end(), std::make_pair(port, to)) ==
                jackWiring->end())
                jack_disconnect(probe, full.c_str(), to.c_str());
        for (const auto& [from, to] : *jackWiring)
            if (from == port && std::find(now.begin(), now.end(), to) == now.end())
                jack_connect(probe, full.c_str(), to.c_str());  // gone meanwhile: skipped
    });
}

void FluidSynthBackend::Impl::setRate(int rate) {
    if (rate == synthRate)
        return;
        // Deprecated because a rate change clicks; here no sound plays and no audio thread runs.
        // The alternative, a new synth at the new rate, would load the soundfont again.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    fluid_synth_set_sample_rate(synth, static_cast<float>(rate));
#pragma GCC diagnostic pop
    synthRate = rate;
}

void FluidSynthBackend::Impl::prepareToRender() {
    // No audio thread runs: the UI thread may take the consumer's side of the queue.
    queue.reset();
    clockCount = 0;
    clockNext = 0;
    lastRenderNs.store(0, std::memory_order_relaxed);
    periodFrames.store(options.periodFrames, std::memory_order_relaxed);
}

void FluidSynthBackend::Impl::close() {
    if (!isOpen)
        return;
    const bool played = driver || offline;
    faults.stop();
    if (driver && driverName == "jack")
        keepJackWiring();
    if (driver) {
        // Returns once the audio thread has stopped (JACK: the client is closed).
        delete_fluid_audio_driver(driver);
        driver = nullptr;
        delete_fluid_settings(driverSettingsInUse);
        driverSettingsInUse = nullptr;
    }
    if (played)
        silenceSynth();
    queue.reset();
    isOpen = false;
    silent = true;
    offline = false;
    driverName.clear();
}

void FluidSynthBackend::Impl::silenceSynth() {
    // Voices stop at once; the reverb and chorus tails are rendered out here and thrown
    // away, so the next open starts from silence rather than from where this one stopped.
    fluid_synth_all_sounds_off(synth, -1);
    std::array<float, 1024> scratch;
    int64_t left = static_cast<int64_t>(synthRate) * kFlushMs / 1000;
    left += (kBlockFrames - (frame + left) % kBlockFrames) % kBlockFrames;  // end on the grid
    while (left > 0) {
        const int n = static_cast<int>(std::min<int64_t>(left, scratch.size()));
        fluid_synth_write_float(synth, n, scratch.data(), 0, 1, scratch.data(), 0, 1);
        frame += n;
        left -= n;
    }
}

void FluidSynthBackend::Impl::reportCause(uint32_t fault, const std::string& cause) {
    faults.tell(fault, "The built-in synth cannot play: " + cause +
                           ". It plays nothing; choose another MIDI output in MIDI Setup.");
}

void FluidSynthBackend::Impl::watch() {
    // The watcher tells what the audio thread raised, and finds an audio output that has
    // stopped calling back: a JACK server that stopped, a sound server that died.
    const bool hasThread = driver != nullptr;
    const int64_t opened = openedNs;
    const std::string label = driverLabel(driverName);
    faults.start(
        [label](uint32_t fault) -> std::string {
            if (fault == kRenderFailed)
                return "The built-in synth failed to render its sound.";
            return "The built-in synth's audio output (" + label +
                   ") has stopped. Open it again or choose another output in MIDI Setup.";
        },
        [this, hasThread, opened] {
            if (!hasThread)
                return;
            const int64_t since = std::max(lastRenderNs.load(std::memory_order_relaxed), opened);
            if (monotonicNowNs() - since >= kStallNs)
                faults.raise(kStalled);
        });
}

bool FluidSynthBackend::Impl::send(const unsigned char* bytes, std::size_t size, int64_t dueNs,
                                   std::string& error) {
    ShortMessage message;
    if (!checkShortMessage(bytes, size, message, error))
        return false;
    if (!isOpen) {
        error = "the port is not open";
        return false;
    }
    // The system messages a synth has no use for (clock, start, stop ...) are taken and
    // dropped; only System Reset (FF) means something to it.
    const bool ignored = message.isSystem() && message.status() != 0xFF;
    // A stalled output has been reported; what is sent to it goes nowhere.
    if (silent || ignored || faults.raised(kStalled))
        return true;
    if (!queue.post(message, dueNs)) {
        error = "the built-in synth is not keeping up: " + std::to_string(queue.kMaxWaiting) +
                " messages are already waiting";
        return false;
    }
    return true;
}

void FluidSynthBackend::Impl::withdrawAfter(int64_t nowNs) {
    if (!isOpen || silent)
        return;
    queue.withdrawAfter(nowNs);
}

// ---------------------------------------------------------------- audio thread

int FluidSynthBackend::Impl::audioCallback(void* data, int len, int /*nfx*/, float* /*fx*/[],
                                           int nout, float* out[]) {
    // The effects are mixed into the two main buffers (fluid_synth_write_float), so the
    // drivers' separate effects buffers, when any, stay silent.
    if (nout < 1 || len <= 0)
        return FLUID_OK;
    static_cast<Impl*>(data)->renderAudio(out[0], nout >= 2 ? out[1] : out[0], len,
                                          monotonicNowNs());
    return FLUID_OK;
}

void FluidSynthBackend::Impl::renderAudio(float* left, float* right, int frames, int64_t now) {
    lastRenderNs.store(now, std::memory_order_relaxed);
    periodFrames.store(frames, std::memory_order_relaxed);
    followClock(now, frames);
    int done = 0;
    while (done < frames) {
        const int intoBlock = static_cast<int>(frame % kBlockFrames);
        // Messages take effect at the next block FluidSynth renders, so they are applied
        // just before the block they fall nearest to.
        if (intoBlock == 0)
            applyDue(done);
        const int n = std::min(frames - done, kBlockFrames - intoBlock);
        if (fluid_synth_write_float(synth, n, left, done, 1, right, done, 1) != FLUID_OK) {
            std::fill(left + done, left + frames, 0.0f);
            std::fill(right + done, right + frames, 0.0f);
            faults.raise(kRenderFailed);
            return;
        }
        done += n;
        frame += n;
    }
}

void FluidSynthBackend::Impl::followClock(int64_t now, int frames) {
    // Maps this buffer's first frame to CLOCK_MONOTONIC. Callbacks come late by a varying
    // scheduling delay but never early, so the earliest of the recent ones marks the audio
    // clock best: a callback that comes earlier counts at once, and a lasting shift (an
    // xrun, the sound card's clock drifting against the system's) counts once the window
    // has passed. A jump of more than a few periods starts the estimate afresh.
    const double nsPerFrame = 1e9 / synthRate;
    const double origin = static_cast<double>(now) - static_cast<double>(frame) * nsPerFrame;
    const int window =
        std::clamp(static_cast<int>(kClockWindowNs / (frames * nsPerFrame)) + 1, 4, kClockSlots);
    double earliest = origin;
    for (int k = 1; k <= std::min(window - 1, clockCount); ++k)
        earliest = std::min(earliest, clockOrigins[(clockNext - k + kClockSlots) % kClockSlots]);
    if (origin - earliest > 20e6 + 4.0 * frames * nsPerFrame) {
        clockCount = 0;
        earliest = origin;
    }
    clockOrigins[clockNext] = origin;
    clockNext = (clockNext + 1) % kClockSlots;
    clockCount = std::min(clockCount + 1, kClockSlots);
    bufferStartNs = earliest + static_cast<double>(frame) * nsPerFrame;
}

void FluidSynthBackend::Impl::applyDue(int blockOffset) {
    // A message is placed on the block boundary nearest its due frame: at most half a
    // block early or late.
    const double framesPerNs = synthRate / 1e9;
    const double limit = blockOffset + kBlockFrames / 2.0;
    // A little beyond the limit; the exact test is made on each message.
    const auto limitNs = static_cast<int64_t>(bufferStartNs + limit / framesPerNs) + 1;
    queue.takeDue(limitNs, [&](const TimedMessage& m) {
        if (m.dueNs != 0 && (static_cast<double>(m.dueNs) - bufferStartNs) * framesPerNs >= limit)
            return false;
        apply(m.message);
        return true;
    });
}

void FluidSynthBackend::Impl::apply(const ShortMessage& m) {
    const uint8_t status = m.bytes[0];
    const int chan = status & 0x0F;
    const int d1 = m.bytes[1];
    const int d2 = m.bytes[2];
    switch (status & 0xF0) {
        case 0x80:
            fluid_synth_noteoff(synth, chan, d1);
            break;
        case 0x90:
            fluid_synth_noteon(synth, chan, d1, d2);
            break;  // velocity 0 is a note off
        case 0xA0:
            fluid_synth_key_pressure(synth, chan, d1, d2);
            break;
        case 0xB0:
            // All Sound Off (120) and All Notes Off (123) both silence the channel at once:
            // drum sounds ignore note offs and would ring on, and the program's panic is an
            // All Notes Off on channel 10.
            if (d1 == 120 || d1 == 123)
                fluid_synth_all_sounds_off(synth, chan);
            else
                fluid_synth_cc(synth, chan, d1, d2);
            break;
        case 0xC0:
            fluid_synth_program_change(synth, chan, d1);
            break;
        case 0xD0:
            fluid_synth_channel_pressure(synth, chan, d1);
            break;
        case 0xE0:
            fluid_synth_pitch_bend(synth, chan, d1 | (d2 << 7));
            break;
        default:
            if (status == 0xFF) {
                fluid_synth_all_sounds_off(synth, -1);
                fluid_synth_system_reset(synth);
            }
            break;
    }
}

// ---------------------------------------------------------------- public face

namespace {
void quietAlsa(const char*, int, const char*, int, const char*, ...) {}

// FluidSynth prints its errors and warnings to stderr ("Help! Lost the connection to the
// JACK server"), and so does the ALSA library when the synth tries a machine without a
// sound card ("cannot find card '0'"); what the user must know reaches them through the
// port's Error report instead. Only FluidSynth's panic messages, which come right before
// it gives up, are left on.
void quietFluidSynthLog() {
    // FluidSynth's JACK driver talks to libjack, which prints its own failures.
    jackclient::muteLibrary();
    static const bool quiet = [] {
        for (int level : {FLUID_ERR, FLUID_WARN, FLUID_INFO, FLUID_DBG})
            fluid_set_log_function(level, nullptr, nullptr);
        snd_lib_error_set_handler(&quietAlsa);
        return true;
    }();
    (void)quiet;
}
}  // namespace

FluidSynthBackend::FluidSynthBackend(FluidSynthOptions options)
    : d((quietFluidSynthLog(), std::make_unique<Impl>(*this, std::move(options)))) {}

FluidSynthBackend::~FluidSynthBackend() {
    d->close();
}

std::vector<std::string> FluidSynthBackend::listPorts() {
    return {kBuiltinSynthName};
}

bool FluidSynthBackend::open(const std::string& port, std::string& error) {
    close();
    if (port != kBuiltinSynthName) {
        error = "the built-in synth has no port \"" + port + "\"";
        return false;
    }
    d->open();
    return true;
}

void FluidSynthBackend::close() {
    d->close();
}

bool FluidSynthBackend::send(const unsigned char* bytes, std::size_t size, int64_t dueNs,
                             std::string& error) {
    return d->send(bytes, size, dueNs, error);
}

void FluidSynthBackend::withdrawAfter(int64_t nowNs) {
    d->withdrawAfter(nowNs);
}

int64_t FluidSynthBackend::schedulingLeadNs() const {
    if (!d->isOpen || d->silent || d->synthRate <= 0)
        return 0;
    return framesToNs(d->periodFrames.load(std::memory_order_relaxed), d->synthRate) +
           kHandoverMarginNs;
}

std::string FluidSynthBackend::audioOutput() const {
    return d->isOpen && !d->silent ? d->driverName : std::string();
}

int FluidSynthBackend::sampleRate() const {
    return d->synthRate > 0 ? d->synthRate : d->options.sampleRate;
}

bool FluidSynthBackend::render(float* left, float* right, int frames, int64_t startNs) {
    if (!d->isOpen || !d->offline || d->silent || !left || !right)
        return false;
    if (frames > 0)
        d->renderAudio(left, right, frames, startNs);
    return true;
}
