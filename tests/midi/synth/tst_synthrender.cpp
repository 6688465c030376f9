// The built-in synth rendered offline: the same code the audio thread runs, driven with
// no audio device, and the sound measured.

#include <QTest>

#include <cstdio>
#include <fstream>

#include "core/monotonicclock.h"
#include "core/sequencer.h"
#include "editing/editing.h"
#include "midi/ports/midioutput.h"
#include "midi/synth/builtinsynth.h"
#include "support/audioanalysis.h"
#include "support/manualclock.h"
#include "support/recordingports.h"

namespace {

FluidSynthOptions offlineOptions() {
    FluidSynthOptions o;
    o.audioDrivers = {kOfflineAudio};
    return o;
}

// Level that counts as sound: far above the synth's idle output and the reverb tails
// between the hits, far below a drum hit (0.05 .. 0.2 of full scale).
constexpr float kSound = 0.002f;
// Audio periods of the offline render, as a JACK server at 48 kHz might use.
constexpr int kPeriodFrames = 256;

// The output port over the built-in synth with no audio device; the test pulls the sound.
struct OfflineSynth {
    explicit OfflineSynth(const FluidSynthOptions& options = offlineOptions()) {
        auto owned = std::make_unique<BuiltinSynth>(options);
        synth = owned.get();
        out = std::make_unique<MIDIOutput>(std::move(owned),
                                           std::vector<std::unique_ptr<MidiOutSystem>>{});
        out->setDeviceID(-1);
    }
    void open() {
        out->setAction(1);
        left.clear();
        right.clear();
        // The render clock starts now, so cancels (stamped with the real clock) meet the
        // due times the way they do while playing.
        startNs = monotonicNowNs();
    }
    double rate() const { return synth->sampleRate(); }
    int64_t timeOf(std::size_t frame) const {
        return startNs + static_cast<int64_t>(std::llround(double(frame) * 1e9 / rate()));
    }
    double framesPerMs() const { return rate() / 1000.0; }
    std::size_t frameAt(int64_t ns) const {
        return static_cast<std::size_t>(std::llround(double(ns - startNs) * rate() / 1e9));
    }
    // Renders in periods until `frames` more frames are recorded. `beforePeriod` runs
    // before each period with the time of its first frame.
    bool renderFrames(std::size_t frames, const std::function<void(int64_t)>& beforePeriod = {}) {
        const std::size_t end = left.size() + frames;
        while (left.size() < end) {
            const std::size_t at = left.size();
            if (beforePeriod)
                beforePeriod(timeOf(at));
            left.resize(at + kPeriodFrames);
            right.resize(at + kPeriodFrames);
            if (!synth->render(left.data() + at, right.data() + at, kPeriodFrames, timeOf(at)))
                return false;
        }
        return true;
    }
    void send(int status, int data1, int data2, int64_t dueNs = 0) {
        sendMessage(*out, status, data1, data2, dueNs);
    }
    float peak(std::size_t from, std::size_t to) const { return peakOf(left, right, from, to); }

    BuiltinSynth* synth = nullptr;
    std::unique_ptr<MIDIOutput> out;
    std::vector<float> left, right;
    int64_t startNs = 0;
};

}  // namespace

class TestSynthRender : public QObject {
    Q_OBJECT
private slots:
    void rockBarSoundsEachNoteOnItsStep() {
        OfflineSynth s;
        ErrorRecorder errors(*s.out);
        ManualClock timer;
        Sequencer seq(timer, *s.out);
        seq.edit(resetVoiceNotes);

        const int64_t stepNs = 125'000'000;  // 6000 frames at 48 kHz: not on the 64-frame grid
        const int notes[4] = {35, 40, 42, 82};
        // One voice at a time, so each hit starts from quiet and its onset can be seen.
        for (int voice = 0; voice < 4; ++voice) {
            seq.edit([voice](LivePattern& live) {
                rockPreset(live);
                for (int i = 0; i < 64; ++i)
                    if (i / 16 != voice)
                        live.setCell(i, 0);
            });
            s.open();
            QCOMPARE(s.out->PortState(), int16_t(1));
            QCOMPARE(QString::fromStdString(s.synth->audioOutput()), QString(kOfflineAudio));
            seq.startOrStop();

            // The timer raises each tick ahead of its due time by the synth's lead, and the
            // sequencer sends the step's notes with that due time.
            const int64_t firstDue = s.startNs + 50'000'000;
            int nextStep = 0;
            const bool rendered =
                s.renderFrames(static_cast<std::size_t>(s.rate() * 2.6), [&](int64_t periodStart) {
                    const int64_t lead = s.synth->schedulingLeadNs();
                    while (nextStep < 16 && firstDue + nextStep * stepNs - lead <= periodStart) {
                        timer.raise(firstDue + nextStep * stepNs);
                        ++nextStep;
                    }
                });
            QVERIFY(rendered);
            QCOMPARE(nextStep, 16);

            float loudest = 0;
            for (int step = 0; step < 16; ++step) {
                const bool on = seq.pattern().cell(voice * 16 + step) == 1;
                const std::size_t due = s.frameAt(firstDue + step * stepNs);
                const auto ms = [&](double m) {
                    return static_cast<std::size_t>(m * s.framesPerMs());
                };
                const float before = s.peak(due - ms(20), due - ms(2));
                const long onset = firstAbove(s.left, s.right, due - ms(2), due + ms(10), kSound);
                if (!on) {
                    // An earlier hit may still ring here, but nothing new starts.
                    const float tail = s.peak(due - ms(10), due);
                    const float here = s.peak(due, due + ms(10));
                    QVERIFY2(here <= std::max(kSound, 1.5f * tail),
                             qPrintable(QStringLiteral("voice %1 sounds on step %2, which is off")
                                            .arg(voice)
                                            .arg(step)));
                    continue;
                }
                QVERIFY2(before < kSound, qPrintable(QStringLiteral("voice %1 step %2: %3 before "
                                                                    "the onset")
                                                         .arg(voice)
                                                         .arg(step)
                                                         .arg(before)));
                QVERIFY2(onset >= 0, qPrintable(QStringLiteral("note %1 (voice %2) is silent on "
                                                               "step %3")
                                                    .arg(notes[voice])
                                                    .arg(voice)
                                                    .arg(step)));
                const double errorMs = double(onset - static_cast<long>(due)) / s.framesPerMs();
                QVERIFY2(std::fabs(errorMs) <= 2.0,
                         qPrintable(QStringLiteral("note %1 step %2 starts %3 ms off its time")
                                        .arg(notes[voice])
                                        .arg(step)
                                        .arg(errorMs)));
                loudest = std::max(loudest, s.peak(due, due + ms(100)));
            }
            QVERIFY2(
                loudest > 0.005f,
                qPrintable(QStringLiteral("note %1 peaks at %2").arg(notes[voice]).arg(loudest)));
            s.out->setAction(2);
            seq.startOrStop();
        }

        // The whole bar together: every step has a hit (hi-hat on even steps, voice 3 on
        // odd ones) and sounds within a few milliseconds of its time.
        seq.edit(rockPreset);
        s.open();
        seq.startOrStop();
        const int64_t firstDue = s.startNs + 50'000'000;
        for (int step = 0; step < 16; ++step)
            timer.raise(firstDue + step * stepNs);
        QVERIFY(s.renderFrames(static_cast<std::size_t>(s.rate() * 2.2)));
        for (int step = 0; step < 16; ++step) {
            const std::size_t due = s.frameAt(firstDue + step * stepNs);
            const auto ms = static_cast<std::size_t>(s.framesPerMs());
            QVERIFY2(s.peak(due + 2 * ms, due + 20 * ms) > 0.005f,
                     qPrintable(QStringLiteral("step %1 is silent").arg(step)));
        }
        QCoreApplication::processEvents();
        QCOMPARE(errors.count(), 0);
    }

    void channelTenPlaysTheDrumKit() {
        // A closed hi-hat (note 42 on channel 10) dies away within half a second; the same
        // note on channel 1 is a piano note that still sounds then.
        OfflineSynth s;
        s.open();
        const std::size_t halfSecond = static_cast<std::size_t>(s.rate() / 2);
        s.send(0x99, 42, 102);
        QVERIFY(s.renderFrames(halfSecond + 4800));
        const float hatHit = s.peak(0, 4800);
        const float hatLater = s.peak(halfSecond, halfSecond + 4800);
        s.out->setAction(2);

        s.open();
        s.send(0x90, 42, 102);
        QVERIFY(s.renderFrames(halfSecond + 4800));
        const float pianoLater = s.peak(halfSecond, halfSecond + 4800);
        QVERIFY2(hatHit > 0.005f, qPrintable(QString::number(hatHit)));
        QVERIFY2(hatLater < hatHit / 20, qPrintable(QString::number(hatLater)));
        QVERIFY2(pianoLater > 4 * hatLater,
                 qPrintable(QStringLiteral("piano %1, hi-hat %2").arg(pianoLater).arg(hatLater)));
    }

    void closingStopsTheSoundItMade() {
        OfflineSynth s;
        s.open();
        s.send(0x90, 60, 110);  // a piano note, held: it would sound for seconds
        s.send(0x99, 49, 110);
        QVERIFY(s.renderFrames(4800));
        QVERIFY(s.peak(0, 4800) > 0.01f);
        s.out->setAction(2);
        QCOMPARE(s.out->PortState(), int16_t(0));
        s.open();
        QVERIFY(s.renderFrames(4800));
        const float after = s.peak(0, 4800);
        QVERIFY2(after < 1e-4f, qPrintable(QString::number(after)));
    }

    void atOnceAndLateMessagesStartInTheNextPeriod() {
        OfflineSynth s;
        s.open();
        QVERIFY(s.renderFrames(4 * kPeriodFrames));
        const std::size_t next = s.left.size();
        s.send(0x99, 40, 102);                               // due 0: at once
        s.send(0x99, 42, 102, s.timeOf(next) - 50'000'000);  // due 50 ms ago
        QVERIFY(s.renderFrames(4800));
        const long onset = firstAbove(s.left, s.right, 0, s.left.size(), kSound);
        QVERIFY(onset >= static_cast<long>(next));
        // On the first block boundary of the period, plus the sound's own attack.
        QVERIFY2(
            onset < static_cast<long>(next) + 64,
            qPrintable(QStringLiteral("onset %1 frames into the period").arg(onset - long(next))));
    }
};

QTEST_GUILESS_MAIN(TestSynthRender)
#include "tst_synthrender.moc"
