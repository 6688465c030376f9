#include "synthonsets.h"

#include <chrono>
#include <cmath>
#include <cstdint>

#include "midi/synth/builtinsynth.h"

namespace {
// The rock preset, by step: the notes of the voices that are on (bass drum 35 on steps 0, 6
// and 8, snare 40 on 4 and 12, hi-hat 42 on even steps, 82 on odd steps).
std::vector<int> rockNotes(int step) {
    std::vector<int> notes;
    if (step == 0 || step == 6 || step == 8)
        notes.push_back(35);
    if (step == 4 || step == 12)
        notes.push_back(40);
    if (step % 2 == 0)
        notes.push_back(42);
    else
        notes.push_back(82);
    return notes;
}
}  // namespace

SynthCapture captureBuiltinSynth(int stepMs, double seconds, int onlyNote) {
    SynthCapture capture;
    // Rendered: the synth's own render path, the one its audio thread runs, pulled here
    // block by block with no audio device; each step's notes are handed over one lead time
    // ahead of their due time, as the timer does.
    FluidSynthOptions options;
    options.audioDrivers = {kOfflineAudio};
    BuiltinSynth synth(options);
    std::string error;
    if (!synth.open(kBuiltinSynthName, error)) {
        capture.note = "the synth did not open: " + error;
        return capture;
    }
    const int rate = synth.sampleRate();
    // Periods as a JACK server at 48 kHz might use. The render clock starts now, since the
    // synth places due times against the times of its recent periods.
    const int block = 256;
    const int64_t startNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                std::chrono::steady_clock::now().time_since_epoch())
                                .count();
    const int64_t firstDueNs = startNs + 100'000'000;
    const int64_t stepNs = int64_t(stepMs) * 1'000'000;
    const int64_t leadNs = synth.schedulingLeadNs();
    const auto frames = static_cast<std::size_t>(seconds * rate);
    std::vector<float> left(block), right(block);
    capture.audio.reserve(frames);
    int64_t nextStep = 0;
    for (std::size_t done = 0; done < frames; done += block) {
        const int64_t blockNs = startNs + int64_t(double(done) * 1e9 / rate);
        while (firstDueNs + nextStep * stepNs - leadNs <= blockNs) {
            const int64_t due = firstDueNs + nextStep * stepNs;
            for (int note : rockNotes(int(nextStep % 16))) {
                if (onlyNote >= 0 && note != onlyNote)
                    continue;
                capture.dueFrames.push_back(double(due - startNs) * rate / 1e9);
                const ShortMessage msg{3, {0x99, static_cast<uint8_t>(note), 0x66}};
                if (!synth.send(msg, due)) {
                    capture.note = "a send failed: " + synth.sendFailure();
                    return capture;
                }
            }
            ++nextStep;
        }
        if (!synth.render(left.data(), right.data(), block, blockNs)) {
            capture.note = "the synth did not render";
            return capture;
        }
        for (int i = 0; i < block; ++i)
            capture.audio.push_back(0.5f * (left[i] + right[i]));
    }
    synth.close();
    capture.connected = true;
    capture.sampleRate = rate;
    capture.firstStepFrame = double(firstDueNs - startNs) * rate / 1e9;
    capture.note = "rendered offline through the synth's audio path";
    return capture;
}
