// The program's JACK output on a real JACK server (dummy driver, started by the test
// fixture), with a separate JACK client stamping what it receives with frame times:
// messages land on the frames of their due times, the panic leaves at once, and a receiver
// or a server that goes away during playback gives one Error.

#include <QProcess>
#include <QTest>

#include <jack/jack.h>
#include <semaphore.h>
#include <signal.h>
#include <chrono>
#include <cmath>
#include <map>
#include <memory>
#include <thread>

#include "core/monotonicclock.h"
#include "core/pulsor.h"
#include "core/sequencer.h"
#include "editing/editing.h"
#include "midi/midiport.h"
#include "midi/midiports.h"
#include "midi/systemports.h"
#include "support/fakecontrols.h"
#include "support/jackreceiver.h"
#include "support/ownjackserver.h"
#include "support/playback.h"
#include "support/recordingports.h"

namespace {
// A server that misses periods (xruns) says nothing about the output's timing: an attempt
// that saw any is made again.
constexpr int kAttempts = 8;

QString hex(const ReceivedEvent& e) {
    return hexBytes(e.bytes.data(), e.size);
}

// Finds the output device called `name`; -2 when it is not listed.
int16_t findDevice(MIDIOutput& out, const QString& name) {
    const int16_t n = out.DeviceCount();
    for (int16_t i = 0; i < n; ++i) {
        out.setDeviceID(i);
        if (out.DeviceName() == name)
            return i;
    }
    return -2;
}

bool openOn(MIDIOutput& out, const JackReceiver& receiver) {
    const int16_t id =
        findDevice(out, QStringLiteral("JACK: ") + QString::fromStdString(receiver.portName()));
    if (id < 0)
        return false;
    out.setDeviceID(id);
    out.setAction(1);
    return out.PortState() == 1;
}

// Sends Note On `note` due at `dueNs` the way a tick does.
void noteAt(MIDIOutput& out, int16_t note, int64_t dueNs) {
    sendMessage(out, 0x99, note, 0x66, dueNs);
}

// Opens the output on the receiver and waits until a message gets through: a new JACK
// client and connection take a few periods to join the server's graph.
QString openAndWarmUp(MIDIOutput& out, JackReceiver& receiver) {
    if (!openOn(out, receiver))
        return QStringLiteral("the output did not open");
    noteAt(out, 127, 0);
    const bool through = receiver.waitForEvents(1, 5000);
    receiver.clear();
    return through ? QString() : QStringLiteral("nothing came through the open output");
}

// The frame on which JACK places CLOCK_MONOTONIC time `dueNs`, by the clock readings of the
// period the event arrived in.
double expectedFrame(const ReceivedEvent& e, int64_t dueNs) {
    const double intoPeriodNs =
        double(dueNs + e.jackMinusMonotonicNs - int64_t(e.periodStartUs) * 1000);
    return double(e.periodStartFrame) +
           intoPeriodNs * e.periodFrames / (double(e.periodEndUs - e.periodStartUs) * 1000.0);
}

struct Errors {
    explicit Errors(MidiPort& port) {
        QObject::connect(&port, &MidiPort::Error, [this](int16_t& code, QString& text) {
            codes << code;
            texts << text;
        });
    }
    QList<int16_t> codes;
    QStringList texts;
};

}  // namespace

class TestJackTiming : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { qputenv("JACK_NO_START_SERVER", "1"); }

    void messagesLandOnTheFramesOfTheirDueTimes() {
        JackReceiver receiver("seq-test-frames");
        QVERIFY2(receiver.ok(), receiver.error().c_str());
        auto out = makeSystemMidiOutput();
        QCOMPARE(openAndWarmUp(*out, receiver), QString());
        const uint32_t period = receiver.bufferSize();
        QVERIFY(period > 0);

        for (int attempt = 0;; ++attempt) {
            QVERIFY2(attempt < kAttempts, "the server had xruns in every attempt");
            receiver.clear();
            const int xruns = receiver.xruns();
            // Aimed at 8 frames into a period about 30 periods ahead, so that the first
            // messages (within 2 ms) share one period.
            const uint32_t start = (receiver.frameTime() / period + 30) * period + 8;
            const int64_t t0 = receiver.monotonicNsOfFrame(start);
            // 48 kHz: 62.5 ms is 3000 frames.
            const std::vector<int64_t> afterNs{
                0,          0,          62'500'000 / 3000, 500'000,
                1'000'000,  2'000'000,  5'500'000,         9'000'000,
                13'000'000, 13'010'000, 40'000'000,        40'000'000 + 62'500'000 / 30};
            // Sent out of due order on purpose: the output puts them in order.
            for (size_t i : {0, 1, 2, 3, 5, 4, 6, 7, 8, 9, 11, 10})
                noteAt(*out, int16_t(i + 1), t0 + afterNs[i]);
            noteAt(*out, 100, t0 + afterNs[5]);  // same due time as note 6, sent later

            const bool all = receiver.waitForEvents(afterNs.size() + 1, 5000);
            if (receiver.xruns() != xruns)
                continue;
            QVERIFY2(all, qPrintable(QString::number(receiver.events().size())));
            const auto events = receiver.events();
            QCOMPARE(events.size(), afterNs.size() + 1);

            // In due order; equal due times in the order they were sent.
            QStringList got, want;
            for (const auto& e : events)
                got << hex(e);
            for (size_t i = 0; i < afterNs.size(); ++i) {
                want << QStringLiteral("99 %1 66").arg(i + 1, 2, 16, QLatin1Char('0'));
                if (i == 5)
                    want << QStringLiteral("99 64 66");
            }
            QCOMPARE(got, want);

            std::map<uint32_t, int> perPeriod;
            for (size_t k = 0; k < events.size(); ++k) {
                const auto& e = events[k];
                const size_t i = k <= 5 ? k : k == 6 ? 5 : k - 1;
                // Each lands, within the period that covers its due time, on the frame that
                // JACK's clock of that period gives the due time. (That clock, not the nominal
                // rate, is the truth: a dummy server that falls behind runs its frames slower
                // than the wall clock.)
                const double expected = expectedFrame(e, t0 + afterNs[i]);
                QVERIFY2(std::abs(double(e.frame) - expected) <= 1.0,
                         qPrintable(QStringLiteral("message %1: frame %2, expected %3")
                                        .arg(k)
                                        .arg(e.frame)
                                        .arg(expected, 0, 'f', 1)));
                ++perPeriod[e.periodStartFrame];
            }
            QCOMPARE(events[1].frame, events[0].frame);
            QCOMPARE(events[6].frame, events[5].frame);
            QVERIFY(events[2].frame > events[0].frame);
            int most = 0;
            for (const auto& p : perPeriod)
                most = std::max(most, p.second);
            QVERIFY2(most >= 5, qPrintable(QStringLiteral("at most %1 in one period").arg(most)));
            break;
        }
        out->setAction(2);
    }

    void aMessageAlreadyDueGoesAtTheStartOfTheNextPeriod() {
        JackReceiver receiver("seq-test-late");
        QVERIFY2(receiver.ok(), receiver.error().c_str());
        auto out = makeSystemMidiOutput();
        const uint32_t period = receiver.bufferSize();
        for (int attempt = 0;; ++attempt) {
            QVERIFY2(attempt < kAttempts, "the server had xruns in every attempt");
            receiver.clear();
            const int xruns = receiver.xruns();
            // Sent the moment the port is open: opening returns once the connection is live.
            QVERIFY(openOn(*out, receiver));
            const uint32_t before = receiver.frameTime();
            noteAt(*out, 35, monotonicNowNs() - 50'000'000);
            noteAt(*out, 36, monotonicNowNs() - 40'000'000);
            const bool both = receiver.waitForEvents(2, 5000);
            out->setAction(2);
            if (receiver.xruns() != xruns)
                continue;
            QVERIFY(both);
            const auto events = receiver.events();
            QCOMPARE(hex(events[0]), QStringLiteral("99 23 66"));
            QCOMPARE(hex(events[1]), QStringLiteral("99 24 66"));
            QCOMPARE(events[0].offset, 0u);
            QCOMPARE(events[1].offset, 0u);
            // Within the period after the one running at the send.
            QVERIFY2(events[0].frame <= before + 2 * period,
                     qPrintable(QStringLiteral("%1 frames late").arg(events[0].frame - before)));
            break;
        }
        // Closed, the output leaves no client behind (nor does listing the devices).
        QVERIFY(!receiver.clientExists("midi pattern sequencer"));
        QVERIFY(out->DeviceCount() > 0);
        QVERIFY(!receiver.clientExists("midi pattern sequencer"));
        // The check itself sees a client that is there.
        QVERIFY(receiver.clientExists("seq-test-late"));
    }

    void thePanicLeavesAtOnceAndWaitingNotesStillPlay() {
        JackReceiver receiver("seq-test-panic");
        QVERIFY2(receiver.ok(), receiver.error().c_str());
        auto out = makeSystemMidiOutput();
        QCOMPARE(openAndWarmUp(*out, receiver), QString());
        const uint32_t period = receiver.bufferSize();

        for (int attempt = 0;; ++attempt) {
            QVERIFY2(attempt < kAttempts, "the server had xruns in every attempt");
            receiver.clear();
            const int xruns = receiver.xruns();
            noteAt(*out, 40, 0);  // at once
            const int64_t soon = monotonicNowNs() + 150'000'000;
            noteAt(*out, 41, soon);
            noteAt(*out, 42, soon + 10'000'000);
            const uint32_t before = receiver.frameTime();
            sendPanic(*out);
            noteAt(*out, 43, soon + 50'000'000);

            const bool all = receiver.waitForEvents(5, 5000);
            if (receiver.xruns() != xruns)
                continue;
            QVERIFY(all);
            const auto events = receiver.events();
            QStringList got;
            for (const auto& e : events)
                got << hex(e);
            // The panic overtakes the notes handed over before it, which keep their steps.
            QCOMPARE(got, (QStringList{QStringLiteral("99 28 66"), QStringLiteral("b9 7b 00"),
                                       QStringLiteral("99 29 66"), QStringLiteral("99 2a 66"),
                                       QStringLiteral("99 2b 66")}));
            QVERIFY2(
                events[1].frame <= before + 2 * period,
                qPrintable(QStringLiteral("panic %1 frames late").arg(events[1].frame - before)));
            const int64_t due[] = {soon, soon + 10'000'000, soon + 50'000'000};
            for (int i = 0; i < 3; ++i)
                QVERIFY(std::abs(double(events[size_t(2 + i)].frame) -
                                 expectedFrame(events[size_t(2 + i)], due[i])) <= 1.0);
            break;
        }
    }

    void withdrawnNotesNeverArrive() {
        // What a stop does: notes handed over for later are withdrawn; one due at once before
        // it and one handed over after it still go.
        JackReceiver receiver("seq-test-withdraw");
        QVERIFY2(receiver.ok(), receiver.error().c_str());
        auto out = makeSystemMidiOutput();
        QCOMPARE(openAndWarmUp(*out, receiver), QString());
        for (int attempt = 0;; ++attempt) {
            QVERIFY2(attempt < kAttempts, "the server had xruns in every attempt");
            receiver.clear();
            const int xruns = receiver.xruns();
            noteAt(*out, 40, 0);
            const int64_t soon = monotonicNowNs() + 100'000'000;
            noteAt(*out, 41, soon);
            noteAt(*out, 42, soon + 10'000'000);
            out->cancelPending();
            noteAt(*out, 43, soon + 20'000'000);
            // Once a period after the last due time has passed, nothing more can come.
            const bool through = receiver.waitForEvents(2, 5000) &&
                                 receiver.waitForPeriodAfter(soon + 20'000'000, 5000);
            if (receiver.xruns() != xruns)
                continue;
            QVERIFY(through);
            QStringList got;
            for (const auto& e : receiver.events())
                got << hex(e);
            QCOMPARE(got, (QStringList{QStringLiteral("99 28 66"), QStringLiteral("99 2b 66")}));
            break;
        }
    }

    void aPortThatLeavesWhileBeingOpenedEndsClosed() {
        // A receiving program that drops its port the moment the output connects to it:
        // the loss comes while the output is still opening. One report, the port ends up
        // closed, and opening does not wait out its whole grace time for the connection.
        struct Victim {
            jack_client_t* client = nullptr;
            jack_port_t* port = nullptr;
            sem_t connected{};
        } v;
        sem_init(&v.connected, 0, 0);
        v.client = jack_client_open("seq-test-victim", JackNoStartServer, nullptr);
        QVERIFY(v.client);
        v.port = jack_port_register(v.client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        QVERIFY(v.port);
        jack_set_port_connect_callback(
            v.client,
            [](jack_port_id_t, jack_port_id_t, int connect, void* arg) {
                if (connect) sem_post(&static_cast<Victim*>(arg)->connected);
            },
            &v);
        QCOMPARE(jack_activate(v.client), 0);
        std::thread dropper([&v] {
            timespec until{};
            clock_gettime(CLOCK_REALTIME, &until);
            until.tv_sec += 10;
            if (sem_timedwait(&v.connected, &until) == 0) jack_port_unregister(v.client, v.port);
        });

        auto out = makeSystemMidiOutput();
        Errors errors(*out);
        const int16_t id = findDevice(*out, QStringLiteral("JACK: seq-test-victim:in"));
        QVERIFY(id >= 0);
        out->setDeviceID(id);
        const auto started = std::chrono::steady_clock::now();
        out->setAction(1);
        const auto openMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - started)
                                .count();
        dropper.join();
        QTRY_COMPARE_WITH_TIMEOUT(errors.codes.size(), 1, 5000);
        QCOMPARE(errors.codes[0], MidiError::kDeviceLost);
        QTRY_COMPARE(out->PortState(), int16_t(0));
        QVERIFY2(openMs < 1000, qPrintable(QStringLiteral("open took %1 ms").arg(openMs)));
        // Closed, the output has no watcher left to report anything; what it posted before
        // is delivered now.
        QCoreApplication::processEvents();
        QCOMPARE(errors.codes.size(), 1);
        out.reset();
        jack_client_close(v.client);
        sem_destroy(&v.connected);
    }

    void aReceiverThatLeavesDuringPlaybackGivesOneError() {
        auto receiver = std::make_unique<JackReceiver>("seq-test-leaving");
        QVERIFY2(receiver->ok(), receiver->error().c_str());
        const QString portName = QString::fromStdString(receiver->portName());
        auto out = makeSystemMidiOutput();
        Errors errors(*out);
        QVERIFY(openOn(*out, *receiver));
        Playback play(*out);
        play.start(5);
        // Waited for in the event loop: the ticks come through it.
        QTRY_VERIFY_WITH_TIMEOUT(receiver->events().size() >= 20, 5000);
        receiver.reset();

        QTRY_COMPARE_WITH_TIMEOUT(errors.codes.size(), 1, 5000);
        QCOMPARE(errors.codes[0], MidiError::kDeviceLost);
        QVERIFY2(errors.texts[0].contains(portName), qPrintable(errors.texts[0]));
        // Playback goes on; the port reads as closed and says nothing more.
        const int32_t ticks = play.timer.TickCount();
        QTRY_VERIFY_WITH_TIMEOUT(play.timer.TickCount() > ticks + 40, 5000);
        QCOMPARE(out->PortState(), int16_t(0));
        QCOMPARE(errors.codes.size(), 1);
        play.timer.setEnabled(false);
    }

    void aConnectionChangedInAPatchbayIsNoLoss() {
        // While playing into one receiver the user connects a second one and removes the
        // first connection: the output stays open, says nothing, and plays to the second;
        // connected again, the first one hears it again.
        JackReceiver first("seq-test-patch-1");
        JackReceiver second("seq-test-patch-2");
        QVERIFY2(first.ok() && second.ok(), (first.error() + second.error()).c_str());
        auto out = makeSystemMidiOutput();
        Errors errors(*out);
        QVERIFY(openOn(*out, first));
        const std::vector<std::string> ours = first.portsMatching("^midi pattern sequencer:");
        QCOMPARE(ours.size(), size_t(1));
        Playback play(*out);
        play.start(5);
        QTRY_VERIFY_WITH_TIMEOUT(first.events().size() >= 8, 5000);

        QVERIFY(second.connectFrom(ours[0]));
        QVERIFY(first.disconnectFrom(ours[0]));
        second.clear();
        QTRY_VERIFY_WITH_TIMEOUT(second.events().size() >= 8, 5000);
        // Sixteen more notes reach the second receiver meanwhile, and none the first.
        first.clear();
        const size_t heard = second.events().size();
        QTRY_VERIFY_WITH_TIMEOUT(second.events().size() >= heard + 16, 5000);
        QVERIFY(first.events().empty());
        QCOMPARE(out->PortState(), int16_t(1));

        QVERIFY(first.connectFrom(ours[0]));
        QTRY_VERIFY_WITH_TIMEOUT(first.events().size() >= 8, 5000);
        QCOMPARE(errors.codes.size(), 0);
        play.timer.setEnabled(false);
    }

    void aKilledServerGivesOneErrorAndANewServerCanBeUsed() {
        // A server of this test's own (a fixed name, so a killed one's registry entry is
        // reclaimed by the next run); the fixture's server stays untouched.
        const QString name = QStringLiteral("seqtest-timing-kill");
        const QByteArray savedDefault = qgetenv("JACK_DEFAULT_SERVER");
        qputenv("JACK_DEFAULT_SERVER", name.toUtf8());
        struct Restore {
            QByteArray value;
            ~Restore() { qputenv("JACK_DEFAULT_SERVER", value); }
        } restore{savedDefault};

        auto server = std::make_unique<OwnJackServer>(name);
        QVERIFY2(server->start(), qPrintable(server->output()));
        auto out = makeSystemMidiOutput();
        Errors errors(*out);
        {
            JackReceiver receiver("seq-test-killed");
            QVERIFY2(receiver.ok(), receiver.error().c_str());
            QVERIFY(openOn(*out, receiver));
            Playback play(*out);
            play.start(5);
            QTRY_VERIFY_WITH_TIMEOUT(receiver.events().size() >= 20, 5000);

            server->kill();
            QTRY_COMPARE_WITH_TIMEOUT(errors.codes.size(), 1, 5000);
            QCOMPARE(errors.codes[0], MidiError::kDeviceLost);
            QVERIFY2(errors.texts[0].contains(QStringLiteral("JACK server")),
                     qPrintable(errors.texts[0]));
            const int32_t ticks = play.timer.TickCount();
            QTRY_VERIFY_WITH_TIMEOUT(play.timer.TickCount() > ticks + 40, 5000);
            QCOMPARE(out->PortState(), int16_t(0));
            QCOMPARE(errors.codes.size(), 1);
            play.timer.setEnabled(false);
            QTRY_VERIFY_WITH_TIMEOUT(receiver.shutDown(), 5000);
        }

        // With no server the output lists nothing from JACK.
        QCOMPARE(findDevice(*out, QStringLiteral("JACK: seq-test-killed:in")), int16_t(-2));

        server = std::make_unique<OwnJackServer>(name);
        QVERIFY2(server->start(), qPrintable(server->output()));
        {
            JackReceiver receiver("seq-test-reborn");
            QVERIFY2(receiver.ok(), receiver.error().c_str());
            QVERIFY(openOn(*out, receiver));
            noteAt(*out, 35, 0);
            QVERIFY(receiver.waitForEvents(1, 5000));
            QCOMPARE(hex(receiver.events()[0]), QStringLiteral("99 23 66"));
            out->setAction(2);
        }
        QCOMPARE(errors.codes.size(), 1);
        // Clients first, then the server.
        server->stop();
    }
};

QTEST_GUILESS_MAIN(TestJackTiming)
#include "tst_jacktiming.moc"
