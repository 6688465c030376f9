// The timer component: stopped at creation, absolute deadlines, the shortest period, the
// count, and no tick after a stop.

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <thread>
#include <vector>

#include <sys/resource.h>

#include "core/monotonicclock.h"
#include "core/pulsor.h"

namespace {

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}
}  // namespace

class TestPulsor : public QObject {
    Q_OBJECT
private slots:
    void stoppedAtCreation() {
        Pulsor p;
        QVERIFY(!p.Enabled());
        QCOMPARE(p.TickCount(), 0);
        QCOMPARE(p.Interval(), 100);
        int ticks = 0;
        connect(&p, &Pulsor::Tick, [&] { ++ticks; });
        QTest::qWait(250);
        QCOMPARE(ticks, 0);
    }

    void deadlinesAreAbsoluteEvenWithASlowHandler() {
        Pulsor p;
        p.setInterval(20);
        std::vector<int64_t> due;
        connect(&p, &Pulsor::Tick, [&] {
            due.push_back(p.dueTimeNs());
            // A handler that takes most of the period must not stretch it.
            std::this_thread::sleep_for(std::chrono::milliseconds(12));
        });
        const int64_t started = monotonicNowNs();
        p.setEnabled(true);
        QTRY_VERIFY_WITH_TIMEOUT(due.size() >= 25, 5000);
        p.setEnabled(false);
        for (size_t k = 1; k < due.size(); ++k) QCOMPARE(due[k] - due[k - 1], int64_t(20'000'000));
        // The first tick is due one period after the start.
        QVERIFY(due[0] - started >= 20'000'000);
        QVERIFY(due[0] - started < 25'000'000);
        QCOMPARE(p.dueTimeNs(), int64_t(0));
    }

    void startsAtTheInitialPeriodOfOneHundredMs() {
        Pulsor p;
        std::vector<int64_t> due;
        connect(&p, &Pulsor::Tick, [&] { due.push_back(p.dueTimeNs()); });
        p.setEnabled(true);
        QTRY_VERIFY_WITH_TIMEOUT(due.size() >= 3, 3000);
        p.setEnabled(false);
        QCOMPARE(due[1] - due[0], int64_t(100'000'000));
        QCOMPARE(due[2] - due[1], int64_t(100'000'000));
    }

    void periodZeroTicksEveryMillisecondWithoutSpinning() {
        Pulsor p;
        p.setInterval(0);
        std::vector<int64_t> due;
        connect(&p, &Pulsor::Tick, [&] { due.push_back(p.dueTimeNs()); });
        const double cpuBefore = cpuSeconds();
        QElapsedTimer wall;
        wall.start();
        p.setEnabled(true);
        QTest::qWait(400);
        p.setEnabled(false);
        const double cpu = cpuSeconds() - cpuBefore;
        QVERIFY2(due.size() > 150, qPrintable(QString::number(due.size())));
        for (size_t k = 1; k < due.size(); ++k) QCOMPARE(due[k] - due[k - 1], int64_t(1'000'000));
        // A busy loop would use a whole core for the time waited.
        QVERIFY2(cpu < 0.5 * double(wall.elapsed()) / 1000.0, qPrintable(QString::number(cpu)));
    }

    void newPeriodAppliesFromTheLastDeadline() {
        Pulsor p;
        p.setInterval(30);
        std::vector<int64_t> due;
        connect(&p, &Pulsor::Tick, [&] {
            due.push_back(p.dueTimeNs());
            if (due.size() == 3) p.setInterval(10);
        });
        p.setEnabled(true);
        QTRY_VERIFY_WITH_TIMEOUT(due.size() >= 6, 3000);
        p.setEnabled(false);
        QCOMPARE(due[1] - due[0], int64_t(30'000'000));
        QCOMPARE(due[2] - due[1], int64_t(30'000'000));
        // The tick after the change may already have been on its way at the old period.
        QCOMPARE(due[5] - due[4], int64_t(10'000'000));
    }

    void noTickAfterStopEvenIfAlreadyPosted() {
        Pulsor p;
        p.setInterval(1);
        int after = 0;
        bool stopped = false;
        connect(&p, &Pulsor::Tick, [&] {
            if (stopped) {
                ++after;
                return;
            }
            // Hold the UI thread so that several ticks are posted behind this one, then stop.
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            p.setEnabled(false);
            stopped = true;
        });
        p.setEnabled(true);
        QTRY_VERIFY_WITH_TIMEOUT(stopped, 2000);
        QTest::qWait(100);
        QCOMPARE(after, 0);
    }

    void aStalledUiThreadGetsNoBurstOfTicks() {
        Pulsor p;
        p.setInterval(1);
        std::vector<int64_t> lateness;  // how late each tick was taken, ns
        bool stalled = false;
        int64_t stallEnd = 0;
        QEventLoop loop;
        connect(&p, &Pulsor::Tick, [&] {
            if (!stalled) {
                stalled = true;
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                stallEnd = monotonicNowNs();
                return;
            }
            lateness.push_back(monotonicNowNs() - p.dueTimeNs());
            if (lateness.size() == 100) loop.quit();
        });
        QTimer::singleShot(5000, &loop, &QEventLoop::quit);
        p.setEnabled(true);
        loop.exec();
        p.setEnabled(false);
        QCOMPARE(lateness.size(), size_t(100));
        // Only the ticks of the first 50 ms of the stall waited and come late; the rest of
        // its 300 ms of ticks were dropped, not played in a burst.
        int late = 0;
        for (int64_t l : lateness) late += l > 100'000'000 ? 1 : 0;
        QVERIFY2(late <= 53, qPrintable(QString::number(late)));
        QVERIFY2(late >= 40, qPrintable(QString::number(late)));
        QVERIFY2(p.droppedTicks() >= 200, qPrintable(QString::number(p.droppedTicks())));
        QVERIFY(stallEnd > 0);
    }

    void countsEveryTickSinceCreation() {
        Pulsor p;
        p.setInterval(5);
        int seen = 0;
        int32_t lastCount = 0;
        connect(&p, &Pulsor::Tick, [&] {
            ++seen;
            lastCount = p.TickCount();
        });
        p.setEnabled(true);
        QTRY_VERIFY_WITH_TIMEOUT(seen >= 5, 2000);
        p.setEnabled(false);
        const int firstRun = seen;
        p.setEnabled(true);
        QTRY_VERIFY_WITH_TIMEOUT(seen >= firstRun + 5, 2000);
        p.setEnabled(false);
        QCOMPARE(lastCount, seen);
        QCOMPARE(p.TickCount(), seen);
    }

    void leadTimeRaisesTheTickBeforeItsDueTime() {
        Pulsor p;
        p.setInterval(20);
        p.setLeadTime(std::chrono::milliseconds(8));
        std::vector<int64_t> early;
        // A plain event loop, which wakes for a posted tick at once (QTest's waits poll).
        QEventLoop loop;
        connect(&p, &Pulsor::Tick, [&] {
            early.push_back(p.dueTimeNs() - monotonicNowNs());
            if (early.size() == 10)
                loop.quit();
        });
        QTimer::singleShot(3000, &loop, &QEventLoop::quit);
        p.setEnabled(true);
        loop.exec();
        p.setEnabled(false);
        QCOMPARE(early.size(), size_t(10));
        int ahead = 0;
        for (int64_t e : early) ahead += e > 0 ? 1 : 0;
        // Raised about 8 ms ahead; a loaded test machine may be late now and then.
        QVERIFY2(ahead >= 8, qPrintable(QString::number(ahead)));
    }
};

QTEST_GUILESS_MAIN(TestPulsor)
#include "tst_pulsor.moc"
