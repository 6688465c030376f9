// The one place where faults become reports: each condition told once per open (or, lasting,
// until its cause goes away), the conditions one silences not told after it, raised
// conditions found by the watcher's own thread.

#include <QTest>

#include <atomic>
#include <mutex>
#include <thread>

#include "midi/ports/faultwatcher.h"

namespace {

enum : int16_t { kA = 1, kB = 2, kC = 3, kLasting = 6 };

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

std::string describe(int16_t code) {
    return code == kA ? "a" : code == kB ? "b" : code == kC ? "c" : "lasting";
}

}  // namespace

class TestFaultWatcher : public QObject {
    Q_OBJECT
private slots:
    void eachConditionOncePerOpen() {
        Reports reports;
        int polls = 0;
        FaultWatcher w(
            {{kA}, {kB, false, {kC}}, {kC}, {kLasting, true}}, &describe, [&] { ++polls; },
            reports.handler());
        // Raised over and over from another thread, as an audio callback would.
        std::thread rt([&w] {
            for (int i = 0; i < 1000; ++i)
                w.raise(kA);
        });
        rt.join();
        QCOMPARE(reports.get(), QStringList());  // raised only: told at a look
        w.look();
        w.look();
        QCOMPARE(polls, 2);
        QCOMPARE(reports.get(), QStringList{QStringLiteral("1 a")});

        // B silences C: raised at the same look, C is not told, nor later.
        w.raise(kC);
        w.raise(kB);
        w.look();
        w.raise(kC);
        w.look();
        QCOMPARE(reports.get().mid(1), QStringList{QStringLiteral("2 b")});
        w.tell(kLasting, "no soundfont");
        w.tell(kLasting, "no soundfont");
        w.tell(kA, "a again");
        QCOMPARE(reports.get().mid(2), QStringList{QStringLiteral("6 no soundfont")});

        // Opened again: what was raised is dropped, the per-open conditions are told again,
        // the lasting one is not.
        w.raise(kA);
        w.rearm();
        w.look();
        QCOMPARE(reports.get().size(), 3);
        w.raise(kA);
        w.tell(kLasting, "no soundfont");
        w.look();
        QCOMPARE(reports.get().mid(3), QStringList{QStringLiteral("1 a")});
        // Until its cause goes away, and may come back.
        w.forget(kLasting);
        w.tell(kLasting, "no audio output");
        QCOMPARE(reports.get().mid(4), QStringList{QStringLiteral("6 no audio output")});
    }

    void theWatchersThreadTellsWhatItsPollRaises() {
        Reports reports;
        std::atomic<int> looks{0};
        FaultWatcher w(
            {{kA}}, &describe,
            [&] {
                if (++looks == 3)
                    w.raise(kA);
            },
            reports.handler());
        w.start();
        QTRY_COMPARE(reports.get(), QStringList{QStringLiteral("1 a")});
        w.stop();
        QVERIFY(looks.load() >= 3);
    }
};

QTEST_GUILESS_MAIN(TestFaultWatcher)
#include "tst_faultwatcher.moc"
