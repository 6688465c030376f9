#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "midi/audioclock.h"
#include "midi/duequeue.h"

typedef struct _fluid_synth_t fluid_synth_t;
typedef struct _fluid_hashtable_t fluid_settings_t;

/// The built-in synth's sound: one FluidSynth synth with its soundfont, the due-time queue
/// of the messages waiting for it, and the audio thread's rendering, which places each
/// message on the 64-frame block nearest its due time.
///
/// Threads: the producer side (post, withdrawAfter) is the thread that sends; render() runs
/// on the audio thread (or a test's, offline); everything else only while no audio thread
/// runs. The audio thread never locks, allocates or formats text: a failure to render
/// leaves it as a flag (renderFailed()).
class SynthEngine {
public:
    static constexpr std::size_t kQueueCapacity = 1024;
    /// FluidSynth renders in blocks of 64 frames and starts a voice only at a block
    /// boundary, so that is the finest grid a message can be placed on.
    static constexpr int kBlockFrames = 64;

    /// A synth rendering at `rate` with master gain `gain`. ok() tells whether FluidSynth
    /// could make one.
    SynthEngine(int rate, double gain);
    ~SynthEngine();
    SynthEngine(const SynthEngine&) = delete;
    SynthEngine& operator=(const SynthEngine&) = delete;
    bool ok() const { return m_synth != nullptr; }

    /// Loads the General MIDI soundfont at `path` (once; later calls succeed at once).
    /// False with the reason otherwise.
    bool loadSoundfont(const std::string& path, std::string& cause);
    int rate() const { return m_rate; }
    /// Renders at `rate` from now on. No sound may be playing.
    void setRate(int rate);
    /// Makes ready for a new audio thread with periods of `periodFrames`: nothing waits,
    /// the clock starts afresh, no failure is flagged.
    void prepare(int periodFrames);
    /// Stops every voice and renders out the reverb and chorus tails, so the next audio
    /// thread starts from silence rather than from where this one stopped.
    void silence();

    // ---- the thread that sends
    /// Queues a message due at `dueNs` (CLOCK_MONOTONIC, 0 for at once); false when
    /// kQueueCapacity - 1 wait already.
    bool post(const ShortMessage& message, int64_t dueNs) { return m_queue.post(message, dueNs); }
    /// Withdraws the messages posted so far that are due after `nowNs`.
    void withdrawAfter(int64_t nowNs) { m_queue.withdrawAfter(nowNs); }

    // ---- the audio thread
    /// Renders `frames` stereo frames into `left` and `right`, the first one at CLOCK_MONOTONIC
    /// `nowNs` as this callback sees it. On failure the buffers are silent and the failure
    /// flagged.
    void render(float* left, float* right, int frames, int64_t nowNs);
    /// FluidSynth's audio callback (new_fluid_audio_driver2), `data` being the engine.
    static int audioCallback(void* data, int len, int nfx, float* fx[], int nout, float* out[]);

    // ---- any thread
    /// When the audio thread last rendered (0: not since prepare()).
    int64_t lastRenderNs() const { return m_lastRenderNs.load(std::memory_order_relaxed); }
    /// Frames per audio period, as the audio thread last rendered.
    int periodFrames() const { return m_periodFrames.load(std::memory_order_relaxed); }
    bool renderFailed() const { return m_renderFailed.load(std::memory_order_relaxed); }
    /// Whether an audio driver that calls the engine back is still being opened or closed
    /// by a call that waits for a JACK server that stopped answering: until it lets go, no
    /// other driver may use the engine.
    bool held() const { return m_held.load(std::memory_order_acquire); }
    void setHeld(bool held) { m_held.store(held, std::memory_order_release); }

private:
    void applyDue(int blockOffset);

    fluid_settings_t* m_settings = nullptr;
    fluid_synth_t* m_synth = nullptr;
    int m_rate = 0;
    bool m_soundfontLoaded = false;

    DueQueue<kQueueCapacity> m_queue;
    std::atomic<int64_t> m_lastRenderNs{0};
    std::atomic<int> m_periodFrames{0};
    std::atomic<bool> m_renderFailed{false};
    std::atomic<bool> m_held{false};

    // The audio thread's.
    int64_t m_frame = 0;         // frames rendered; the synth's block grid starts at 0
    double m_bufferStartNs = 0;  // estimated CLOCK_MONOTONIC time of the buffer's first frame
    AudioClock m_clock;
};
