// The due-time queue every output sends from: its order, what a withdraw drops and keeps,
// a withdraw that meets a full queue, and the two sides on two threads.

#include <QTest>

#include <limits>
#include <thread>
#include <vector>

#include "midi/duequeue.h"

namespace {

constexpr int64_t kNever = std::numeric_limits<int64_t>::max();

using SmallQueue = DueQueue<8>;  // at most 7 messages wait

// A note on with `id` as its key number, so that what comes out tells what went in.
ShortMessage note(int id) {
    ShortMessage m;
    m.size = 3;
    m.bytes = {0x99, static_cast<uint8_t>(id), 0x66};
    return m;
}

// The ids the queue hands out due by `limitNs`, in order.
template <typename Queue>
QList<int> take(Queue& q, int64_t limitNs = kNever) {
    QList<int> ids;
    q.takeDue(limitNs, [&](const TimedMessage& m) {
        ids << m.message.bytes[1];
        return true;
    });
    return ids;
}

}  // namespace

class TestDueQueue : public QObject {
    Q_OBJECT
private slots:
    void dueOrderAtOnceFirstAndEqualTimesAsPosted() {
        SmallQueue q;
        QVERIFY(q.post(note(1), 300));
        QVERIFY(q.post(note(2), 100));
        QVERIFY(q.post(note(3), 0));  // at once
        QVERIFY(q.post(note(4), 300));
        QVERIFY(q.post(note(5), -5));  // at once too
        QVERIFY(q.post(note(6), 200));
        QCOMPARE(take(q, 99), (QList<int>{3, 5}));
        QCOMPARE(take(q, 250), (QList<int>{2, 6}));
        QCOMPARE(q.waiting(), std::size_t(2));
        QCOMPARE(take(q), (QList<int>{1, 4}));
        QCOMPARE(q.waiting(), std::size_t(0));
    }

    void takeLeavesWhatTheConsumerRefuses() {
        SmallQueue q;
        for (int id = 1; id <= 4; ++id)
            QVERIFY(q.post(note(id), id * 10));
        int offered = 0;
        // A consumer whose buffer holds two messages.
        QCOMPARE(q.takeDue(kNever, [&](const TimedMessage&) { return ++offered <= 2; }),
                 std::size_t(2));
        QCOMPARE(take(q), (QList<int>{3, 4}));
    }

    void withdrawDropsOnlyWaitingMessagesPostedBeforeIt() {
        SmallQueue q;
        QVERIFY(q.post(note(1), 0));    // at once: not waiting for a time
        QVERIFY(q.post(note(2), 500));  // late by the withdraw's time: stays
        QVERIFY(q.post(note(3), 1500));
        QVERIFY(q.post(note(4), 2000));
        q.withdrawAfter(1000);
        QVERIFY(q.post(note(5), 1800));  // after the withdraw: stays
        QCOMPARE(take(q), (QList<int>{1, 2, 5}));
        QCOMPARE(q.waiting(), std::size_t(0));
    }

    void eachWithdrawJudgesWhatCameBeforeItByItsOwnTime() {
        // Two stops before the consumer runs (a server that stalls): a note posted before
        // the first is judged by the first's time, not the later one's.
        SmallQueue q;
        QVERIFY(q.post(note(1), 150));
        q.withdrawAfter(100);
        QVERIFY(q.post(note(2), 150));
        q.withdrawAfter(200);
        q.withdrawAfter(300);  // nothing posted since: drops nothing more
        QCOMPARE(take(q), (QList<int>{2}));
    }

    void aFullQueueRefusesPostsButNeverAWithdraw() {
        SmallQueue q;
        int posted = 0;
        while (q.post(note(posted + 1), 1000 + posted))
            ++posted;
        QCOMPARE(posted, int(SmallQueue::kMaxWaiting));
        QCOMPARE(q.waiting(), SmallQueue::kMaxWaiting);
        q.withdrawAfter(500);
        QVERIFY(!q.post(note(99), 600));  // still full until the consumer runs
        q.withdrawAfter(600);
        QCOMPARE(take(q), QList<int>());
        // Room again, and the withdraws are spent: new posts stay.
        QVERIFY(q.post(note(50), 2000));
        QCOMPARE(take(q), (QList<int>{50}));
    }

    void resetEmptiesBothSides() {
        SmallQueue q;
        QVERIFY(q.post(note(1), 10));
        q.withdrawAfter(0);
        QVERIFY(q.post(note(2), 10));
        q.reset();
        QCOMPARE(q.waiting(), std::size_t(0));
        QCOMPARE(take(q), QList<int>());
        QVERIFY(q.post(note(3), 10));
        QCOMPARE(take(q), (QList<int>{3}));
    }

    void producerAndConsumerOnTheirOwnThreads() {
        // The consumer keeps taking what is due at once while the producer posts at-once
        // notes, timed notes and withdraws that drop every timed note before them. Timed
        // notes are only taken at the end, so the outcome does not depend on how the two
        // threads interleave: every at-once note in posting order, then exactly the timed
        // notes posted after the last withdraw, in due order.
        DueQueue<64> q;
        std::atomic<bool> done{false};
        QList<int> atOnce;
        std::thread consumer([&] {
            while (!done.load()) {
                q.takeDue(0, [&](const TimedMessage& m) {
                    atOnce << m.message.bytes[1] + 128 * (m.message.bytes[2] - 1);
                    return true;
                });
            }
        });
        struct Join {
            std::atomic<bool>& done;
            std::thread& thread;
            ~Join() {
                done.store(true);
                if (thread.joinable())
                    thread.join();
            }
        } join{done, consumer};
        QList<int> wantAtOnce, wantTimed;
        int counter = 0;
        for (int round = 0; round < 2000; ++round) {
            ShortMessage m = note(counter % 128);
            m.bytes[2] = static_cast<uint8_t>(1 + counter / 128 % 127);
            const int id = counter % 128 + 128 * (m.bytes[2] - 1);
            ++counter;
            switch (round % 7) {
                case 0:
                case 3:
                    if (q.post(m, 0))
                        wantAtOnce << id;
                    break;
                case 6:
                    q.withdrawAfter(1);
                    wantTimed.clear();
                    break;
                default:
                    // Due later the later they are posted, so due order is posting order.
                    if (q.post(m, 10 + round))
                        wantTimed << id;
                    break;
            }
        }
        // One more withdraw, then timed notes nothing withdraws.
        q.withdrawAfter(1);
        wantTimed.clear();
        for (int i = 0; i < 5; ++i) {
            ShortMessage m = note(i);
            m.bytes[2] = 127;
            // Room comes once the consumer has taken in the withdraw.
            QVERIFY(QTest::qWaitFor([&] { return q.post(m, 100'000 + i); }, 5000));
            wantTimed << i + 128 * 126;
        }
        QTRY_COMPARE(q.waiting(), std::size_t(5));
        done.store(true);
        consumer.join();
        QCOMPARE(atOnce, wantAtOnce);
        QList<int> timed;
        q.takeDue(kNever, [&](const TimedMessage& m) {
            timed << m.message.bytes[1] + 128 * (m.message.bytes[2] - 1);
            return true;
        });
        QCOMPARE(timed, wantTimed);
    }
};

QTEST_GUILESS_MAIN(TestDueQueue)
#include "tst_duequeue.moc"
