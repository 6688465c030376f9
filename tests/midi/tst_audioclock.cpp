// The synth's audio clock, driven with made-up callback times: late callbacks do not move
// it, an early one counts at once, a lasting shift counts once the window has passed, and a
// jump starts it afresh; and when an output whose callbacks stopped counts as stalled.

#include <QTest>

#include <random>

#include "midi/audioclock.h"

namespace {

constexpr int kRate = 48000;
constexpr int kFrames = 256;                         // per callback
constexpr double kPeriodNs = kFrames * 1e9 / kRate;  // 5.33 ms
constexpr int64_t kStartNs = 1'000'000'000'000;      // when frame 0 plays
constexpr int kWindow = int(50e6 / kPeriodNs) + 1;   // callbacks the clock looks back on

struct Stream {
    AudioClock clock;
    int64_t frame = 0;
    Stream() { clock.reset(kRate); }
    // One callback `lateNs` after its buffer's true start (+ `shiftNs` of lasting shift);
    // returns how far the estimate is from the true start.
    double callback(double lateNs, double shiftNs = 0) {
        const double trueStart = double(kStartNs) + double(frame) * 1e9 / kRate + shiftNs;
        const double estimate = clock.bufferStartNs(int64_t(trueStart + lateNs), frame, kFrames);
        frame += kFrames;
        return estimate - trueStart;
    }
};

}  // namespace

class TestAudioClock : public QObject {
    Q_OBJECT
private slots:
    void lateCallbacksDoNotMoveIt() {
        // Callbacks up to 3 ms late, one in each window on time: the estimate stays on the
        // true clock, to within rounding.
        Stream s;
        std::mt19937 random(7);
        std::uniform_real_distribution<double> late(0, 3e6);
        for (int k = 0; k < 1000; ++k) {
            const double error = s.callback(k % 4 == 0 ? 0 : late(random));
            QVERIFY2(std::abs(error) < 1.0 || k < 1,
                     qPrintable(QStringLiteral("callback %1: %2 ns off").arg(k).arg(error)));
        }
    }

    void anEarlierCallbackCountsAtOnce() {
        Stream s;
        for (int k = 0; k < 20; ++k)
            QVERIFY(std::abs(s.callback(2e6) - 2e6) < 1.0);  // all 2 ms late: so is the clock
        QVERIFY(std::abs(s.callback(0.5e6) - 0.5e6) < 1.0);
        QVERIFY(std::abs(s.callback(2e6) - 0.5e6) < 1.0);
    }

    void aLastingShiftCountsOnceTheWindowHasPassed() {
        // The audio clock moves 4 ms later (a short xrun): the estimate keeps the old clock
        // while an earlier callback is still in the window, then follows.
        Stream s;
        for (int k = 0; k < 20; ++k)
            s.callback(0);
        int followedAfter = -1;
        for (int k = 0; k < 3 * kWindow; ++k) {
            const double error = s.callback(0, 4e6);
            if (std::abs(error) < 1.0) {
                followedAfter = k;
                break;
            }
            QVERIFY(std::abs(error + 4e6) < 1.0);  // still on the old clock
        }
        QCOMPARE(followedAfter, kWindow - 1);
    }

    void aJumpStartsItAfresh() {
        // A stall of 100 ms: the clock follows at the first callback after it.
        Stream s;
        for (int k = 0; k < 20; ++k)
            s.callback(0);
        QVERIFY(std::abs(s.callback(0, 100e6)) < 1.0);
        QVERIFY(std::abs(s.callback(1e6, 100e6)) < 1.0);
    }

    void aStallIsASecondWithoutCallbacksOrFiveBeforeTheFirst() {
        const int64_t opened = kStartNs, ms = 1'000'000;
        // Never called back since the open (the last callback was before it): a slow
        // sound server gets five seconds for its first period.
        QVERIFY(!audioStalled(opened + 4999 * ms, opened, 0));
        QVERIFY(!audioStalled(opened + 4999 * ms, opened, opened - 3000 * ms));
        QVERIFY(audioStalled(opened + 5000 * ms, opened, opened - 1));
        // Once running, one second of quiet.
        QVERIFY(!audioStalled(opened + 1999 * ms, opened, opened + 1000 * ms));
        QVERIFY(audioStalled(opened + 2000 * ms, opened, opened + 1000 * ms));
        // Callbacks that come again end the stall.
        QVERIFY(!audioStalled(opened + 9000 * ms, opened, opened + 8990 * ms));
    }
};

QTEST_GUILESS_MAIN(TestAudioClock)
#include "tst_audioclock.moc"
