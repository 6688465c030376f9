// Where due times fall in a JACK period: the nearest frame, never before the message written
// before, and the period's end; and which messages are too late to play.

#include <QTest>

#include "midi/jack/periodframes.h"

namespace {
// A period of 256 frames at 48 kHz (one frame is 20,833.3 ns) starting at 1 s.
constexpr int64_t kStart = 1'000'000'000;
constexpr int64_t kNext = kStart + 5'333'333;
constexpr int64_t kAtOnce = -1;  // in the table: due 0
constexpr uint32_t kLater = PeriodFrames::kLater;
}  // namespace

class TestPeriodFrames : public QObject {
    Q_OBJECT
private slots:
    void frameOfADueTime_data() {
        QTest::addColumn<int64_t>("sinceStartNs");
        QTest::addColumn<uint>("earliest");
        QTest::addColumn<uint>("frame");
        QTest::newRow("at once") << kAtOnce << 0u << 0u;
        QTest::newRow("at once, after a message at 7") << kAtOnce << 7u << 7u;
        QTest::newRow("the first frame") << int64_t(0) << 0u << 0u;
        QTest::newRow("one frame in") << int64_t(20'833) << 0u << 1u;
        QTest::newRow("just under half a frame") << int64_t(10'416) << 0u << 0u;
        QTest::newRow("just over half a frame") << int64_t(10'417) << 0u << 1u;
        QTest::newRow("the middle") << int64_t(2'666'667) << 0u << 128u;
        QTest::newRow("the last frame") << int64_t(5'312'500) << 0u << 255u;
        QTest::newRow("nearer the next period") << int64_t(5'333'000) << 0u << kLater;
        QTest::newRow("the next period") << int64_t(5'333'333) << 0u << kLater;
        QTest::newRow("past due") << int64_t(-1'000'000) << 0u << 0u;
        QTest::newRow("past due, after a message at 3") << int64_t(-1'000'000) << 3u << 3u;
        QTest::newRow("due before the message written before") << int64_t(20'833) << 5u << 5u;
    }

    void frameOfADueTime() {
        QFETCH(int64_t, sinceStartNs);
        QFETCH(uint, earliest);
        QFETCH(uint, frame);
        const PeriodFrames period(256, kStart, kNext);
        QCOMPARE(period.endNs(), kNext);
        const int64_t due = sinceStartNs == kAtOnce ? 0 : kStart + sinceStartNs;
        QCOMPARE(uint(period.frameOf(due, earliest)), frame);
        // Without the period's times every waiting message goes at once.
        const PeriodFrames untimed(256, kStart, kStart);
        QVERIFY(untimed.endNs() > kNext + 3'600'000'000'000);
        QCOMPARE(uint(untimed.frameOf(due, earliest)), uint(earliest));
    }

    void messagesHeldUpTooLongAreStale() {
        const int64_t now = 10'000'000'000;
        QVERIFY(!isStale(0, now));
        QVERIFY(!isStale(now - 500'000'000, now));
        QVERIFY(isStale(now - 500'000'001, now));
    }
};

QTEST_GUILESS_MAIN(TestPeriodFrames)
#include "tst_periodframes.moc"
