// Latency and timing of the built-in synth.
//
// 1. Offline (always): notes at random due times are rendered through the same code the
//    audio thread runs; each onset is compared with its due time, less the sound's own
//    attack (measured once on its own). This is the placement error of the synth alone.
// 2. JACK (when a server runs; start one with e.g. `jackd -R -P 70 -d dummy -r 48000 -p 64`):
//    the synth plays to JACK and a capture client records its ports, timing each frame on
//    CLOCK_MONOTONIC.
//    - at once: a hi-hat sent with due time 0, from its send to its onset in the audio;
//    - timed: a hi-hat handed over one scheduling lead ahead of its due time, onset vs due.
//    Onsets are less the hi-hat's attack. The figures leave out the audio device's own
//    output latency, which comes on top on real hardware (2 periods with JACK's defaults).
//
// Usage: bench_synthlatency [hits]

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/monotonicclock.h"
#include "midi/synth/builtinsynth.h"
#include "support/audioanalysis.h"
#include "support/jackcapture.h"

namespace {

constexpr float kOnset = 0.002f;
constexpr int kNote = 42;  // closed hi-hat: sharp attack, short decay

struct Stats {
    std::vector<double> values;
    void add(double v) { values.push_back(v); }
    void print(const char* what, const char* unit) const {
        if (values.empty()) {
            std::printf("  %-34s no data\n", what);
            return;
        }
        std::vector<double> v = values;
        std::sort(v.begin(), v.end());
        double sum = 0;
        for (double x : v)
            sum += x;
        std::printf("  %-34s n=%zu  min %7.3f  median %7.3f  mean %7.3f  p95 %7.3f  max %7.3f %s\n",
                    what, v.size(), v.front(), v[v.size() / 2], sum / double(v.size()),
                    v[std::min(v.size() - 1, v.size() * 95 / 100)], v.back(), unit);
    }
};

FluidSynthOptions offline() {
    FluidSynthOptions o;
    o.audioDrivers = {kOfflineAudio};
    return o;
}

// Frames from a note's start to its first sample above kOnset. Measured on the second of
// two hits 200 ms apart, as in the runs below: the first hit of a fresh synth starts a
// little slower (29 frames against 16), and the tail of the one before counts too.
long attackFrames() {
    BuiltinSynth synth(offline());
    std::string error;
    synth.open(kBuiltinSynthName, error);
    const ShortMessage hit{3, {0x99, kNote, 102}};
    const int frames = 9600;  // 200 ms at 48 kHz: a multiple of the 64-frame grid
    std::vector<float> l(2 * frames), r(2 * frames);
    synth.send(hit, 0);
    synth.render(l.data(), r.data(), frames, 1'000'000'000);
    synth.send(hit, 0);  // starts at frame `frames`, on the grid
    synth.render(l.data() + frames, r.data() + frames, frames, 1'200'000'000);
    return firstAbove(l, r, frames, l.size(), kOnset) - frames;
}

void offlinePlacement(int hits, long attack) {
    BuiltinSynth synth(offline());
    std::string error;
    synth.open(kBuiltinSynthName, error);
    const double rate = synth.sampleRate();
    const int period = 256;
    const int64_t start = monotonicNowNs();
    std::mt19937 random(7);
    std::uniform_real_distribution<double> jitter(0.0, 10.0);  // ms
    Stats placement;
    std::vector<float> l, r;
    for (int i = 0; i < hits; ++i) {
        // One hit per 200 ms, at a random point in the first 10 ms of its slot.
        const double dueMs = 200.0 * i + 20.0 + jitter(random);
        const int64_t due = start + static_cast<int64_t>(dueMs * 1e6);
        const ShortMessage hit{3, {0x99, kNote, 102}};
        synth.send(hit, due);
        const std::size_t slotEnd = static_cast<std::size_t>((200.0 * (i + 1)) * rate / 1000);
        while (l.size() < slotEnd) {
            const std::size_t at = l.size();
            l.resize(at + period);
            r.resize(at + period);
            synth.render(l.data() + at, r.data() + at, period,
                         start + static_cast<int64_t>(double(at) * 1e9 / rate));
        }
        const double dueFrame = dueMs * rate / 1000;
        const long onset =
            firstAbove(l, r, static_cast<std::size_t>(200.0 * i * rate / 1000), slotEnd, kOnset);
        if (onset >= 0)
            placement.add((double(onset - attack) - dueFrame) / rate * 1000);
    }
    std::printf("offline, %d Hz, %d-frame periods, placement on the 64-frame grid:\n", int(rate),
                period);
    placement.print("onset - due", "ms");
}

void jack(int hits, long attack) {
    JackCapture capture("bench-capture");
    if (!capture.ok()) {
        std::printf("JACK: %s (skipped)\n", capture.error().c_str());
        return;
    }
    FluidSynthOptions o;
    o.audioDrivers = {"jack"};
    BuiltinSynth synth(o);
    std::string error;
    synth.open(kBuiltinSynthName, error);
    if (synth.audioOutput() != "jack") {
        std::printf("JACK: the synth did not open on JACK (skipped)\n");
        return;
    }
    const auto ports = capture.audioOutputs("^midi pattern sequencer synth:");
    if (ports.size() != 2 || !capture.connectFrom(ports[0], 0) ||
        !capture.connectFrom(ports[1], 1)) {
        std::printf("JACK: cannot connect the synth's ports (skipped)\n");
        return;
    }
    const double rate = capture.sampleRate();
    const long ms = long(rate / 1000);
    const ShortMessage hit{3, {0x99, kNote, 102}};
    std::mt19937 random(11);
    std::uniform_int_distribution<int> phaseUs(0, 10000);

    // Let the synth's clock estimate settle.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const int64_t lead = synth.schedulingLeadNs();

    for (int pass = 0; pass < 2; ++pass) {
        const bool timed = pass == 1;
        capture.start(static_cast<std::size_t>(rate * (0.25 * hits + 0.5)));
        const int xruns = capture.xruns();
        std::vector<int64_t> refs;
        Stats handover;  // how long before its due time each timed hit was handed over
        const int64_t t0 = monotonicNowNs() + 100'000'000;
        for (int i = 0; i < hits; ++i) {
            // Each hit in its own 250 ms slot, at a random phase against the audio periods.
            const int64_t slot = t0 + i * 250'000'000LL + phaseUs(random) * 1000LL;
            if (timed) {
                std::this_thread::sleep_until(
                    std::chrono::steady_clock::time_point(std::chrono::nanoseconds(slot - lead)));
                handover.add(double(slot - monotonicNowNs()) / 1e6);
                synth.send(hit, slot);
                refs.push_back(slot);
            } else {
                std::this_thread::sleep_until(
                    std::chrono::steady_clock::time_point(std::chrono::nanoseconds(slot)));
                const int64_t sent = monotonicNowNs();
                synth.send(hit, 0);
                refs.push_back(sent);
            }
        }
        capture.waitFull(60000);
        Stats latency;
        for (int64_t ref : refs) {
            const long at = capture.frameAt(ref);
            const long onset =
                firstAbove(capture.left(), capture.right(), std::size_t(std::max(0L, at - 10 * ms)),
                           std::size_t(at + 60 * ms), kOnset);
            if (onset < 0)
                continue;
            latency.add(double(capture.frameTimeNs(std::size_t(onset - attack)) - ref) / 1e6);
        }
        std::printf("JACK, %d Hz, %s (lead %.2f ms), xruns during the run: %d\n", int(rate),
                    timed ? "timed hits, handed over one lead ahead" : "hits sent at once",
                    double(lead) / 1e6, capture.xruns() - xruns);
        latency.print(timed ? "onset - due" : "onset - send", "ms");
        if (timed)
            handover.print("handed over before due", "ms");
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int hits = argc > 1 ? std::max(1, std::atoi(argv[1])) : 40;
    const long attack = attackFrames();
    std::printf(
        "hi-hat (note %d) attack to %.3f of full scale: %ld frames, taken off every onset\n", kNote,
        double(kOnset), attack);
    offlinePlacement(hits * 5, attack);
    jack(hits, attack);
    return 0;
}
