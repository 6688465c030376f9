// The timing benchmark's figures on inputs whose answer is known: a grid with a known
// drift and known displacements, steps that went missing, and clicks at known places.

#include <QTest>

#include <cmath>
#include <vector>

#include "timingstats.h"

namespace {
constexpr double kRate = 48000.0;

// A bar of two steps: step 0 sends notes 35 and 42, step 1 sends 82.
const std::vector<std::vector<uint8_t>> kBar{{35, 42}, {82}};

ReceivedEvent noteOn(uint32_t frame, uint8_t note, int64_t clockNs = 0) {
    ReceivedEvent e;
    e.frame = frame;
    e.clockNs = clockNs;
    e.size = 3;
    e.bytes = {0x99, note, 0x66};
    return e;
}

// The events of `steps` steps of kBar, step k at start + k * stepFrames (+ displacement(k)).
template <typename Displacement>
std::vector<ReceivedEvent> play(int steps, uint32_t start, double stepFrames, Displacement d,
                                std::vector<int> skip = {}) {
    std::vector<ReceivedEvent> events;
    for (int k = 0; k < steps; ++k) {
        if (std::find(skip.begin(), skip.end(), k) != skip.end())
            continue;
        const auto frame = uint32_t(std::llround(start + k * stepFrames + d(k)));
        for (uint8_t note : kBar[size_t(k) % kBar.size()])
            events.push_back(noteOn(frame, note));
    }
    return events;
}
}  // namespace

class TestTimingStats : public QObject {
    Q_OBJECT
private slots:
    void anExactGridHasNoDriftAndNoJitter() {
        // 20 ms steps, starting just below the 32-bit wrap of JACK's frame counter.
        const auto events = play(400, 0xFFFFF000u, 960.0, [](int) { return 0.0; });
        const GridFigures g = fitEventsToGrid(events, kBar, 20.0, kRate);
        QCOMPARE(g.events, events.size());
        QCOMPARE(g.steps, size_t(400));
        QCOMPARE(g.mismatched, size_t(0));
        QCOMPARE(g.lost, size_t(0));
        QVERIFY(std::abs(g.driftPpm) < 1e-6);
        QVERIFY(g.maxMs < 1e-9);
    }

    void driftIsTheStepLengthAgainstTheNominalOne() {
        // 100 ppm long steps: 960.096 frames for 20 ms.
        const auto events = play(2000, 1000, 960.0 * 1.0001, [](int) { return 0.0; });
        const GridFigures g = fitEventsToGrid(events, kBar, 20.0, kRate);
        QVERIFY2(std::abs(g.driftPpm - 100.0) < 1.0, qPrintable(QString::number(g.driftPpm)));
        // Rounding to whole frames is all that is left.
        QVERIFY(g.maxMs <= 0.5 / kRate * 1000 + 1e-9);
    }

    // A late tick restarts the sender's grid: every step from it on is later by the same
    // amount, and the grid after it is a stretch of its own. A lone late note is no restart.
    void aGridRestartedByALateTickIsAStretchOfItsOwn() {
        const auto shifted = play(400, 1000, 960.0, [](int k) { return k >= 150 ? 58.0 : 0.0; });
        const GridFigures g = fitEventsToGrid(shifted, kBar, 20.0, kRate);
        QCOMPARE(g.restarts, size_t(1));
        QVERIFY2(g.maxMs < 0.03, qPrintable(QString::number(g.maxMs)));
        const auto lone = play(400, 1000, 960.0, [](int k) { return k == 151 ? 58.0 : 0.0; });
        const GridFigures h = fitEventsToGrid(lone, kBar, 20.0, kRate);
        QCOMPARE(h.restarts, size_t(0));
        QVERIFY2(h.maxMs > 1.1, qPrintable(QString::number(h.maxMs)));
        // At 1 ms steps a late tick moves the grid by more than a step (here 1.54): the steps
        // are late, none lost, and the notes after it still in sequence.
        const auto fast = play(2000, 1000, 48.0, [](int k) { return k >= 700 ? 74.0 : 0.0; });
        const GridFigures f = fitEventsToGrid(fast, kBar, 1.0, kRate);
        QCOMPARE(f.lost, size_t(0));
        QCOMPARE(f.mismatched, size_t(0));
        QCOMPARE(f.restarts, size_t(1));
    }

    void jitterIsTheDistanceFromTheFittedGrid() {
        // Every tenth step 48 frames (1 ms) late, the others on time. Those are odd steps of
        // one note each, 100 of the 1500 events: the fitted grid sits 1/15 ms late, so the
        // late notes are 14/15 ms off it and the others 1/15 ms.
        const auto events = play(1000, 5000, 960.0, [](int k) { return k % 10 == 5 ? 48.0 : 0.0; });
        QCOMPARE(events.size(), size_t(1500));
        const GridFigures g = fitEventsToGrid(events, kBar, 20.0, kRate);
        QVERIFY2(std::abs(g.maxMs - 14.0 / 15) < 1e-3, qPrintable(QString::number(g.maxMs)));
        QVERIFY2(std::abs(g.p99Ms - 14.0 / 15) < 1e-3, qPrintable(QString::number(g.p99Ms)));
        QVERIFY2(std::abs(g.p50Ms - 1.0 / 15) < 1e-3, qPrintable(QString::number(g.p50Ms)));
        QVERIFY(std::abs(g.driftPpm) < 1.0);
        QCOMPARE(int(g.worstStep) % 10, 5);
    }

    void missingStepsAreCountedAndDoNotShiftTheRest() {
        const auto events = play(200, 1000, 240.0, [](int) { return 0.0; }, {17, 50, 51, 52});
        const GridFigures g = fitEventsToGrid(events, kBar, 5.0, kRate);
        QCOMPARE(g.mismatched, size_t(0));
        // Steps 17 (82), 50 (35 42), 51 (82), 52 (35 42).
        QCOMPARE(g.lost, size_t(6));
        QCOMPARE(g.lostSteps, size_t(4));
        QVERIFY(g.maxMs < 1e-9);
    }

    void anXrunStartsAStretchWithItsOwnOffset() {
        // The server's frame clock falls 64 frames behind at step 300 (an xrun); the steps
        // themselves stay on time. Seen as one grid that would be jitter and drift.
        const auto events = play(600, 1000, 960.0, [](int k) { return k >= 300 ? -64.0 : 0.0; });
        const uint32_t xrunAt = 1000 + 300 * 960 - 64 - 100;
        const GridFigures whole = fitEventsToGrid(events, kBar, 20.0, kRate);
        QVERIFY(whole.maxMs > 0.6);
        const GridFigures g = fitEventsToGrid(events, kBar, 20.0, kRate, {xrunAt}, 30.0);
        QCOMPARE(g.segments, size_t(2));
        // Steps 299 (82), 300 (35 42) and 301 (82) are within 30 ms of the xrun.
        QCOMPARE(g.excluded, size_t(4));
        QCOMPARE(g.events, events.size() - 4);
        QVERIFY(g.maxMs < 1e-9);
        QVERIFY(std::abs(g.driftPpm) < 1e-6);
    }

    void stepsLostAtAnXrunArePlacedByJacksClock() {
        // At step 100 the frame clock falls 5 steps' worth of frames behind (the server
        // stalled) and the events of steps 100..103 are lost; JACK's clock runs on.
        std::vector<ReceivedEvent> events;
        for (int k = 0; k < 200; ++k) {
            if (k >= 100 && k < 104)
                continue;
            const auto frame = uint32_t(1000 + k * 240 - (k >= 100 ? 5 * 240 : 0));
            const int64_t clockNs = 1'000'000'000 + int64_t(k) * 5'000'000;
            for (uint8_t note : kBar[size_t(k) % kBar.size()])
                events.push_back(noteOn(frame, note, clockNs));
        }
        const GridFigures g = fitEventsToGrid(events, kBar, 5.0, kRate, {}, 0, true);
        QCOMPARE(g.mismatched, size_t(0));
        QCOMPARE(g.lost, size_t(6));
        QCOMPARE(g.lostSteps, size_t(4));
        QVERIFY(g.maxMs < 1e-6);
    }

    void latenessIsNotTakenForMissingSteps() {
        // A sender that sends at once and is late by 0.5 to 4.5 ms at 5 ms steps (the naive
        // form with a busy UI thread) loses nothing.
        std::vector<ReceivedEvent> events;
        uint32_t seed = 1;
        for (int k = 0; k < 2000; ++k) {
            seed = seed * 1103515245u + 12345u;
            const double lateMs = 0.5 + 4.0 * double((seed >> 8) % 1000) / 1000.0;
            const double t = k * 5.0 + lateMs;
            for (uint8_t note : kBar[size_t(k) % kBar.size()])
                events.push_back(
                    noteOn(uint32_t(1000 + t * 48), note, 1'000'000'000 + int64_t(t * 1e6)));
        }
        const GridFigures g = fitEventsToGrid(events, kBar, 5.0, kRate);
        QCOMPARE(g.mismatched, size_t(0));
        QCOMPARE(g.lost, size_t(0));
        QCOMPARE(g.events, events.size());
        QVERIFY2(g.maxMs < 2.1, qPrintable(QString::number(g.maxMs)));
    }

    void aNoteOutOfSequenceIsNotPlaced() {
        auto events = play(20, 1000, 960.0, [](int) { return 0.0; });
        events.insert(events.begin() + 5, noteOn(events[5].frame, 60));
        const GridFigures g = fitEventsToGrid(events, kBar, 20.0, kRate);
        QCOMPARE(g.mismatched, size_t(1));
        QVERIFY(g.maxMs < 1e-9);
    }

    void clockFiguresAreWhatAFollowerSees() {
        // 20 ms steps at 48 kHz: a clock every 160 frames, 750 BPM. The step's note arrives
        // on Start's frame just before it; clock 50 is lost, clock 80 is a frame late, and a
        // late tick restarts the grid 60 frames (1.25 ms) later from clock 100 on.
        const auto at = [](uint32_t frame, uint8_t status, uint8_t size = 1) {
            ReceivedEvent e;
            e.frame = frame;
            e.clockNs = int64_t(frame) * 1'000'000'000 / int64_t(kRate);
            e.size = size;
            e.bytes = {status, 35, 0x66};
            return e;
        };
        std::vector<ReceivedEvent> events{at(960, 0x99, 3), at(960, 0xFA)};
        for (uint32_t k = 0; k < 120; ++k)
            if (k != 50)
                events.push_back(at(960 + 160 * k + (k == 80 ? 1 : 0) + (k >= 100 ? 60 : 0), 0xF8));
        events.push_back(at(960 + 160 * 120 + 60, 0xFC));
        const ClockFigures c = clockFigures(events, 20.0, kRate);
        QVERIFY(c.started && c.stopped);
        QCOMPARE(c.clocks, size_t(119));
        QCOMPARE(c.lost, size_t(1));
        QCOMPARE(c.restarts, size_t(1));
        QCOMPARE(c.firstNoteFrames, 0L);
        QCOMPARE(c.firstClockFrames, 0L);
        // One frame is 0.0208 ms: the late clock is that far off the grid, the rest nearly on.
        QVERIFY2(c.maxMs > 0.019 && c.maxMs < 0.021, qPrintable(QString::number(c.maxMs)));
        QVERIFY2(c.p99Ms < 0.002, qPrintable(QString::number(c.p99Ms)));
        // The windows over the lost clock or the restart are no follower's reading.
        // Windows start at the clocks kept up to 95 (all but 50), less the 24 over clock 50
        // and the 20 (76..95) over the restart; those that end on the late clock are a frame
        // long (those that start on it span the restart).
        QCOMPARE(c.tempoWindows, size_t(96 - 24 - 20 - 1));
        QVERIFY2(std::abs(c.bpmMean - 750.0) < 0.01, qPrintable(QString::number(c.bpmMean)));
        QVERIFY2(c.bpmSpread > 0.15 && c.bpmSpread < 0.25,
                 qPrintable(QString::number(c.bpmSpread)));
    }

    void tempoChangesAreJudgedByTheWindowTheGapsAndEachStretchsGrid_data() {
        QTest::addColumn<int>("burstSteps");
        QTest::addColumn<int>("earlyFrames");
        QTest::addColumn<int>("mostNotes");
        QTest::addColumn<double>("shortestGapMs");
        QTest::addColumn<double>("maxFromGridMs");
        QTest::newRow("on time") << 0 << 0 << 2 << 1.0 << 0.0;
        // 20 overdue steps written to one frame: 10 of two notes, 10 of one.
        QTest::newRow("burst") << 20 << 0 << 30 << 0.0 << 0.0;
        // One step 12 frames early: it and the step before (one note and two) lie 0.75 ms
        // apart, and it is 0.25 ms off its stretch's grid.
        QTest::newRow("one step early") << 0 << 12 << 3 << 0.75 << 0.25;
    }

    void tempoChangesAreJudgedByTheWindowTheGapsAndEachStretchsGrid() {
        QFETCH(int, burstSteps);
        QFETCH(int, earlyFrames);
        QFETCH(int, mostNotes);
        QFETCH(double, shortestGapMs);
        QFETCH(double, maxFromGridMs);
        // 10 steps 200 ms apart; 70 ms after the last the tempo goes to 1 ms steps (the
        // overdue ones, if any, at once), 300 of them; 0.4 ms after the last back to 200 ms.
        std::vector<ReceivedEvent> events;
        int k = 0;
        auto step = [&](uint32_t frame) {
            for (uint8_t note : kBar[size_t(k++) % kBar.size()])
                events.push_back(noteOn(frame, note));
        };
        uint32_t at = 1000;
        for (int i = 0; i < 10; ++i, at += 9600)
            step(at);
        at += 3360 - 9600;
        for (int i = 0; i < burstSteps; ++i)
            step(at);
        for (int i = 0; i < 300; ++i)
            step(at += 48 - (i == 150 ? earlyFrames : 0) + (i == 151 ? earlyFrames : 0));
        at += 19;
        for (int i = 0; i < 10; ++i)
            step(at += 9600);
        const TempoFigures t = tempoChangeFigures(events, {200.0, 1.0}, 1.0, kRate);
        QCOMPARE(t.mostNotesInWindow, size_t(mostNotes));
        QVERIFY2(std::abs(t.shortestGapMs - shortestGapMs) < 1e-9,
                 qPrintable(QString::number(t.shortestGapMs)));
        QCOMPARE(t.grid.segments, size_t(3));
        QVERIFY2(std::abs(t.grid.maxMs - maxFromGridMs) < 0.005,
                 qPrintable(QString::number(t.grid.maxMs)));
    }

    void onsetsOfDrumLikeClicksAreFoundWithinAQuarterMillisecond() {
        // A burst of noise has no sharper start than its first samples that stand out from
        // the tail of the hit before; a quiet hit 20 ms after a loud one stands out a few
        // samples late. A quarter millisecond is still a sixth of the 1.5 ms the built-in
        // synth's onsets are held to.
        for (double stepMs : {125.0, 20.0}) {
            std::vector<double> truth;
            for (double t = 2400.3; t < kRate * 5; t += stepMs * kRate / 1000 + 0.37)
                truth.push_back(t);
            const auto audio = syntheticClicks(truth, size_t(kRate * 5.2), kRate, 0.03, 0.07, 3);
            const auto found = detectOnsets(audio, kRate);
            QCOMPARE(found.size(), truth.size());
            for (size_t i = 0; i < truth.size(); ++i)
                QVERIFY2(std::abs(found[i] - truth[i]) < 0.25e-3 * kRate,
                         qPrintable(QStringLiteral("step %1 ms, click %2: %3 frames off")
                                        .arg(stepMs)
                                        .arg(i)
                                        .arg(found[i] - truth[i])));
            const GridFigures g = fitOnsetsToGrid(found, stepMs * kRate / 1000 + 0.37, kRate);
            QVERIFY2(g.p99Ms < 0.25, qPrintable(QString::number(g.p99Ms)));
        }
    }

    void silenceHasNoOnsets() {
        const auto audio = syntheticClicks({}, size_t(kRate), kRate, 0.03, 0.07, 1);
        QCOMPARE(detectOnsets(audio, kRate).size(), size_t(0));
    }
};

QTEST_GUILESS_MAIN(TestTimingStats)
#include "tst_timingstats.moc"
