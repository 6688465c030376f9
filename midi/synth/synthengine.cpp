#include "midi/synth/synthengine.h"

#include <fluidsynth.h>

#include <algorithm>
#include <array>

#include "core/monotonicclock.h"
#include "midi/synth/soundfontfile.h"
#include "midi/synth/synthdispatch.h"

namespace {
// MIDI channel 10: General MIDI's drum kit.
constexpr int kDrumChannel = 9;
// Reverb and chorus ring on for about a second after the voices stop (-50 dBFS at first,
// below -100 dBFS after 1.5 s).
constexpr int kFlushMs = 1500;
}  // namespace

SynthEngine::SynthEngine(int rate, double gain) : m_rate(rate) {
    m_settings = new_fluid_settings();
    if (!m_settings)
        return;
    fluid_settings_setnum(m_settings, "synth.sample-rate", rate);
    fluid_settings_setnum(m_settings, "synth.gain", gain);
    // One thread at a time uses the synth: the UI thread while no audio thread runs,
    // otherwise the audio thread alone. FluidSynth's own lock is not needed, and the audio
    // thread never waits on it.
    fluid_settings_setint(m_settings, "synth.threadsafe-api", 0);
    m_synth = new_fluid_synth(m_settings);
    if (m_synth)
        fluid_synth_set_channel_type(m_synth, kDrumChannel, CHANNEL_TYPE_DRUM);
    m_clock.reset(rate);
}

SynthEngine::~SynthEngine() {
    if (m_synth)
        delete_fluid_synth(m_synth);
    if (m_settings)
        delete_fluid_settings(m_settings);
}

bool SynthEngine::loadSoundfont(const std::string& path, std::string& cause) {
    // Loaded once, then kept: a reopen (the setup dialog closes and opens again) costs
    // nothing.
    if (m_soundfontLoaded)
        return true;
    if (!checkSoundfontFile(path, cause))
        return false;
    if (fluid_synth_sfload(m_synth, path.c_str(), 1) == FLUID_FAILED) {
        cause = "the soundfont \"" + path + "\" is not a SoundFont that FluidSynth can load";
        return false;
    }
    m_soundfontLoaded = true;
    return true;
}

void SynthEngine::setRate(int rate) {
    if (rate == m_rate)
        return;
        // Deprecated because a rate change clicks; here no sound plays and no audio thread runs.
        // The alternative, a new synth at the new rate, would load the soundfont again.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    fluid_synth_set_sample_rate(m_synth, static_cast<float>(rate));
#pragma GCC diagnostic pop
    m_rate = rate;
}

void SynthEngine::prepare(int periodFrames) {
    // No audio thread runs: this thread may take the consumer's side of the queue.
    m_queue.reset();
    m_clock.reset(m_rate);
    m_lastRenderNs.store(0, std::memory_order_relaxed);
    m_periodFrames.store(periodFrames, std::memory_order_relaxed);
    m_renderFailed.store(false, std::memory_order_relaxed);
}

void SynthEngine::silence() {
    fluid_synth_all_sounds_off(m_synth, -1);
    std::array<float, 1024> scratch;
    int64_t left = static_cast<int64_t>(m_rate) * kFlushMs / 1000;
    left += (kBlockFrames - (m_frame + left) % kBlockFrames) % kBlockFrames;  // end on the grid
    while (left > 0) {
        const int n = static_cast<int>(std::min<int64_t>(left, scratch.size()));
        fluid_synth_write_float(m_synth, n, scratch.data(), 0, 1, scratch.data(), 0, 1);
        m_frame += n;
        left -= n;
    }
    m_queue.reset();
}

// ---------------------------------------------------------------- audio thread

int SynthEngine::audioCallback(void* data, int len, int /*nfx*/, float* /*fx*/[], int nout,
                               float* out[]) {
    // The effects are mixed into the two main buffers (fluid_synth_write_float), so the
    // drivers' separate effects buffers, when any, stay silent.
    if (nout < 1 || len <= 0)
        return FLUID_OK;
    static_cast<SynthEngine*>(data)->render(out[0], nout >= 2 ? out[1] : out[0], len,
                                            monotonicNowNs());
    return FLUID_OK;
}

void SynthEngine::render(float* left, float* right, int frames, int64_t nowNs) {
    m_lastRenderNs.store(nowNs, std::memory_order_relaxed);
    m_periodFrames.store(frames, std::memory_order_relaxed);
    m_bufferStartNs = m_clock.bufferStartNs(nowNs, m_frame, frames);
    int done = 0;
    while (done < frames) {
        const int intoBlock = static_cast<int>(m_frame % kBlockFrames);
        // Messages take effect at the next block FluidSynth renders, so they are applied
        // just before the block they fall nearest to.
        if (intoBlock == 0)
            applyDue(done);
        const int n = std::min(frames - done, kBlockFrames - intoBlock);
        if (fluid_synth_write_float(m_synth, n, left, done, 1, right, done, 1) != FLUID_OK) {
            std::fill(left + done, left + frames, 0.0f);
            std::fill(right + done, right + frames, 0.0f);
            m_renderFailed.store(true, std::memory_order_relaxed);
            return;
        }
        done += n;
        m_frame += n;
    }
}

void SynthEngine::applyDue(int blockOffset) {
    // A message is placed on the block boundary nearest its due frame: at most half a
    // block early or late.
    const double framesPerNs = m_rate / 1e9;
    const double limit = blockOffset + kBlockFrames / 2.0;
    // A little beyond the limit; the exact test is made on each message.
    const auto limitNs = static_cast<int64_t>(m_bufferStartNs + limit / framesPerNs) + 1;
    m_queue.takeDue(limitNs, [&](const TimedMessage& m) {
        if (m.dueNs != 0 && (static_cast<double>(m.dueNs) - m_bufferStartNs) * framesPerNs >= limit)
            return false;
        playOnSynth(m_synth, m.message);
        return true;
    });
}
