// The link that bounds the calls waiting for a JACK server, with calls of the test's own
// that block until the test lets them go, as libjack's do while the server is stopped.

#include <QElapsedTimer>
#include <QTest>

#include <atomic>
#include <future>

#include "midi/jack/jackclient.h"
#include "support/threadcount.h"

namespace {

using Result = JackServerLink::Result;
constexpr qint64 kAnswerMs = JackServerLink::kAnswerNs / 1'000'000;

// A call that waits until released, as one to a stopped server does.
struct Stuck {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::function<void()> call() {
        return [f = released] { f.wait(); };
    }
};

}  // namespace

class TestJackServerLink : public QObject {
    Q_OBJECT
private slots:
    void aCallThatAnswersIsDoneAndNothingIsUndone() {
        JackServerLink link;
        bool ran = false, undone = false;
        QCOMPARE(link.run([&] { ran = true; }, [&] { undone = true; }), Result::Done);
        QVERIFY(ran);
        QVERIFY(!undone);
        QVERIFY(link.answering());
    }

    void aCallThatDoesNotAnswerIsLeftToFinishAndUndone() {
        JackServerLink link;
        Stuck stuck;
        std::atomic<int> undone{0}, later{0};
        QElapsedTimer t;
        t.start();
        QCOMPARE(link.run(stuck.call(), [&] { undone = 1; }), Result::Late);
        const qint64 waited = t.elapsed();
        QVERIFY2(waited >= kAnswerMs - 1 && waited < kAnswerMs + 300,
                 qPrintable(QString::number(waited)));
        QVERIFY(!link.answering());

        // Meanwhile every call is refused at once and does not run; a close queued behind
        // it waits its turn.
        bool ran = false;
        t.restart();
        QCOMPARE(link.run([&] { ran = true; }), Result::Refused);
        QVERIFY(t.elapsed() < 50);
        QVERIFY(!ran);
        link.runLater([&] { later = undone.load() + 1; });

        // The server answers: the late call finishes, is undone, then the queued one runs.
        stuck.release.set_value();
        QTRY_COMPARE(later.load(), 2);
        QTRY_VERIFY(link.answering());
        QCOMPARE(link.run([&] { ran = true; }), Result::Done);
        QVERIFY(ran);
    }

    void goingWhileACallWaitsDoesNotWait() {
        const int threads = threadCount();
        Stuck stuck;
        std::atomic<bool> finished{false};
        auto link = std::make_unique<JackServerLink>();
        QCOMPARE(link->run([&, f = stuck.released] {
            f.wait();
            finished = true;
        }),
                 Result::Late);
        // The link goes (the program ends) while its call still waits: at once.
        QElapsedTimer t;
        t.start();
        link.reset();
        QVERIFY(t.elapsed() < 50);
        QVERIFY(!finished);
        stuck.release.set_value();
        // Left to itself, the call finishes and its thread ends.
        QTRY_VERIFY(finished.load());
        QTRY_COMPARE(threadCount(), threads);
    }
};

QTEST_GUILESS_MAIN(TestJackServerLink)
#include "tst_jackserverlink.moc"
