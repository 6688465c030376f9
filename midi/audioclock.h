#pragma once

#include <array>
#include <cstdint>

/// Length in ns of `frames` audio frames at `rate` frames per second; 0 for no rate.
constexpr int64_t framesToNs(int64_t frames, int64_t rate) {
    return rate <= 0 ? 0 : frames * 1'000'000'000 / rate;
}

/// Whether an audio output that opened at `openedNs` and whose thread last called back at
/// `lastCallbackNs` (earlier than `openedNs` when it has not since the open) has stopped by
/// `nowNs`: quiet for a second since its last callback, or for five before its first. A
/// sound server may take seconds to start a new stream (PulseAudio's null sink called back
/// 2 s after the open); once running, a second without a callback is not a scheduling delay.
/// It has not stopped any more once callbacks come again.
constexpr int64_t kAudioStallNs = 1'000'000'000;
constexpr int64_t kAudioFirstCallbackNs = 5'000'000'000;
constexpr bool audioStalled(int64_t nowNs, int64_t openedNs, int64_t lastCallbackNs) {
    return lastCallbackNs >= openedNs ? nowNs - lastCallbackNs >= kAudioStallNs
                                      : nowNs - openedNs >= kAudioFirstCallbackNs;
}

/// Where an audio thread's buffers lie on CLOCK_MONOTONIC, from the times its callbacks run.
///
/// A callback comes late by a varying scheduling delay but never early, so the earliest of
/// the recent callbacks marks the audio clock best: one that comes earlier than the others
/// counts at once, and a lasting shift (an xrun, the sound card's clock drifting against
/// the system's) counts once the window of recent callbacks (about 50 ms, at least 4) has
/// passed it. A jump of more than a few periods starts the estimate afresh.
///
/// Used on the audio thread: no lock, no allocation.
class AudioClock {
public:
    /// Forgets every callback seen; `rate` is the frames per second rendered from now on.
    void reset(int rate);
    /// A callback at CLOCK_MONOTONIC `callbackNs` renders `frames` frames, the first being
    /// frame `firstFrame` of the stream. Returns the estimated time of that first frame.
    double bufferStartNs(int64_t callbackNs, int64_t firstFrame, int frames);

private:
    static constexpr int kSlots = 64;
    static constexpr double kWindowNs = 50e6;

    double m_nsPerFrame = 1e9 / 48000;
    // Time of frame 0 as each recent callback saw it (its time less its first frame's).
    std::array<double, kSlots> m_origins{};
    int m_count = 0;
    int m_next = 0;
};
