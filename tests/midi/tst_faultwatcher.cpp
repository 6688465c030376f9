// The watcher that turns the fault flags of real-time threads into reports: each condition
// told once per open (or once per run), the ways of one loss told as one, and nothing
// after the port is closed.

#include <QTest>

#include <mutex>
#include <thread>

#include "midi/ports/faultwatcher.h"

namespace {

enum : uint32_t { kA = 1, kB = 2, kC = 4, kRun = 8 };

struct Reports {
    std::mutex mutex;
    QStringList lines;
    FaultWatcher::Report handler() {
        return [this](int16_t code, const std::string& text) {
            std::lock_guard<std::mutex> lock(mutex);
            lines << QStringLiteral("%1 %2").arg(code).arg(QString::fromStdString(text));
        };
    }
    QStringList get() {
        std::lock_guard<std::mutex> lock(mutex);
        return lines;
    }
};

std::string describe(uint32_t fault) {
    return fault == kA ? "a" : fault == kB ? "b" : fault == kC ? "c" : "run";
}

// Counts the watcher's looks at the fault word, so a test can wait until it has looked
// again instead of sleeping.
struct Looks {
    std::atomic<int> count{0};
    FaultWatcher::Poll poll() {
        return [this] { ++count; };
    }
    // The poll runs before the word is read: two more polls, and one whole look has passed.
    bool passTwo() {
        const int now = count.load();
        return QTest::qWaitFor([&] { return count.load() >= now + 2; }, 5000);
    }
};

}  // namespace

class TestFaultWatcher : public QObject {
    Q_OBJECT
private slots:
    void eachConditionOncePerOpen() {
        Reports reports;
        FaultWatcher w({{kA, 3}, {kB, 4, false, kC}, {kC, 4, false, kB}, {kRun, 6, true}},
                       reports.handler());
        Looks looks;
        w.start(&describe, looks.poll());
        // Raised over and over from another thread, as an audio callback would.
        std::thread rt([&w] {
            for (int i = 0; i < 1000; ++i)
                w.raise(kA);
        });
        rt.join();
        QTRY_COMPARE(reports.get(), QStringList{QStringLiteral("3 a")});
        QVERIFY(w.raised(kA));
        QVERIFY(!w.raised(kB));

        // B and C are one loss: the one told first silences the other.
        w.raiseAndWake(kC);
        QTRY_COMPARE(reports.get().size(), 2);
        QCOMPARE(reports.get().at(1), QStringLiteral("4 c"));
        w.raise(kB);
        QVERIFY(looks.passTwo());
        QCOMPARE(reports.get().size(), 2);
        w.tell(kRun, "no soundfont");
        w.tell(kRun, "no soundfont");
        QVERIFY(looks.passTwo());
        QCOMPARE(reports.get().size(), 3);

        // Opened again: the per-open conditions are told again, the per-run one is not.
        w.stop();
        w.raise(kA);  // after the close, with no watcher: not told
        w.start(&describe, looks.poll());
        QVERIFY(looks.passTwo());
        QCOMPARE(reports.get().size(), 3);
        QVERIFY(!w.raised(kA));
        w.raise(kA);
        w.tell(kRun, "no soundfont");
        QTRY_COMPARE(reports.get().size(), 4);
        QCOMPARE(reports.get().at(3), QStringLiteral("3 a"));
        // Until the backend forgets it (the cause went away, and may come back).
        w.forget(kRun);
        w.tell(kRun, "no audio output");
        QCOMPARE(reports.get().at(4), QStringLiteral("6 no audio output"));
    }

    void aPollRaisesWhatItFinds() {
        Reports reports;
        FaultWatcher w({{kA, 4}}, reports.handler());
        std::atomic<int> looks{0};
        w.start(&describe, [&] {
            if (++looks == 3)
                w.raise(kA);
        });
        QTRY_COMPARE(reports.get(), QStringList{QStringLiteral("4 a")});
        QVERIFY(looks.load() >= 3);
    }
};

QTEST_GUILESS_MAIN(TestFaultWatcher)
#include "tst_faultwatcher.moc"
