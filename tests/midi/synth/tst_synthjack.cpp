// The built-in synth on a real JACK server (dummy driver, started by the test fixture):
// its audio ports appear, carry sound, follow the due times, and go away again.

#include <QTest>

#include "core/monotonicclock.h"
#include "midi/machineports.h"
#include "midi/ports/midioutput.h"
#include "midi/synth/builtinsynth.h"
#include "support/audioanalysis.h"
#include "support/jackcapture.h"
#include "support/jackreceiver.h"
#include "support/ownjackserver.h"
#include "support/recordingports.h"
#include "support/threadcount.h"

namespace {

const std::string kSynthPorts = "^midi pattern sequencer synth:";

struct JackSynth {
    JackSynth() {
        FluidSynthOptions o;
        // Only JACK, so the test takes the same road on a desktop with a sound server.
        o.audioDrivers = {"jack"};
        auto owned = std::make_unique<BuiltinSynth>(o);
        synth = owned.get();
        out = std::make_unique<MIDIOutput>(std::move(owned),
                                           std::vector<std::unique_ptr<MidiOutSystem>>{});
        errors = std::make_unique<ErrorRecorder>(*out);
        out->setDeviceID(-1);
    }
    void send(int status, int data1, int data2, int64_t dueNs = 0) {
        sendMessage(*out, status, data1, data2, dueNs);
    }
    BuiltinSynth* synth = nullptr;
    std::unique_ptr<MIDIOutput> out;
    std::unique_ptr<ErrorRecorder> errors;
};

// Opens the synth and wires its two ports to the capture client.
bool openAndConnect(JackSynth& s, JackCapture& capture, QString& why) {
    s.out->setAction(1);
    if (s.out->PortState() != 1 || s.synth->audioOutput() != "jack") {
        QCoreApplication::processEvents();
        why = QStringLiteral("the synth did not open on JACK: %1")
                  .arg(s.errors->texts.join(QLatin1Char(' ')));
        return false;
    }
    const std::vector<std::string> ports = capture.audioOutputs(kSynthPorts);
    if (ports.size() != 2) {
        why = QStringLiteral("the synth has %1 audio ports").arg(ports.size());
        return false;
    }
    if (!capture.connectFrom(ports[0], 0) || !capture.connectFrom(ports[1], 1)) {
        why = QStringLiteral("cannot connect the synth's ports");
        return false;
    }
    return true;
}

// Sends six hi-hats 150 ms apart, each handed over ahead of its time as the timer does, and
// finds each onset near its due time on the capture's own clock. Empty when every hit
// starts within 3 ms of its due time (the synth's 64-frame grid and the hi-hat's attack
// take about 1 ms of that); otherwise what was wrong.
QString hitsOffTheirTimes(JackSynth& s, JackCapture& capture) {
    const double rate = capture.sampleRate();
    capture.start(static_cast<std::size_t>(rate * 1.2));
    const int64_t first = monotonicNowNs() + 100'000'000;
    const int64_t spacingNs = 150'000'000;
    for (int i = 0; i < 6; ++i)
        s.send(0x99, 42, 102, first + i * spacingNs);
    if (!capture.waitFull(10000))
        return QStringLiteral("the capture did not fill");

    const long ms = long(rate / 1000);
    for (int i = 0; i < 6; ++i) {
        const long due = capture.frameAt(first + i * spacingNs);
        if (due < 30 * ms)
            return QStringLiteral("hi-hat %1 is due before the capture").arg(i);
        const float before = peakOf(capture.left(), capture.right(), std::size_t(due - 30 * ms),
                                    std::size_t(due - 10 * ms));
        if (before >= 0.002f)
            return QStringLiteral("%1 before hi-hat %2").arg(before).arg(i);
        const long at = firstAbove(capture.left(), capture.right(), std::size_t(due - 10 * ms),
                                   std::size_t(due + 15 * ms), 0.002f);
        if (at < 0)
            return QStringLiteral("hi-hat %1 is missing").arg(i);
        const double errorMs = double(at - due) * 1000.0 / rate;
        if (std::fabs(errorMs) > 3.0)
            return QStringLiteral("hi-hat %1 starts %2 ms off its time").arg(i).arg(errorMs);
    }
    return {};
}

}  // namespace

class TestSynthJack : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { qputenv("JACK_NO_START_SERVER", "1"); }

    void deviceMinusOneIsTheBuiltinSynth() {
        auto out = makeSystemMidiOutput();
        out->setDeviceID(-1);
        QCOMPARE(out->DeviceName(), QStringLiteral("Built-in synth (General MIDI)"));
    }

    void itsJackPortsCarrySound() {
        JackCapture capture("seq-test-capture");
        QVERIFY2(capture.ok(), capture.error().c_str());
        JackSynth s;
        QString why;
        QVERIFY2(openAndConnect(s, capture, why), qPrintable(why));
        QCOMPARE(s.synth->sampleRate(), int(capture.sampleRate()));

        const double rate = capture.sampleRate();
        capture.start(static_cast<std::size_t>(rate * 1.2));
        // The four default notes a quarter of a second apart, the first at once.
        const int notes[4] = {35, 40, 42, 82};
        const int64_t first = monotonicNowNs() + s.synth->schedulingLeadNs();
        s.send(0x99, notes[0], 102);
        for (int i = 1; i < 4; ++i)
            s.send(0x99, notes[i], 102, first + i * 250'000'000);
        QVERIFY(capture.waitFull(10000));

        // Each note is looked for from a little before its time, on the capture's clock
        // (which follows the server through missed cycles).
        for (int i = 0; i < 4; ++i) {
            const long at = capture.frameAt(first + i * 250'000'000) - long(rate / 50);
            const auto from = static_cast<std::size_t>(std::max(0L, at));
            const float peak = peakOf(capture.left(), capture.right(), from,
                                      from + static_cast<std::size_t>(rate / 5));
            QVERIFY2(peak > 0.005f,
                     qPrintable(QStringLiteral("note %1 peaks at %2").arg(notes[i]).arg(peak)));
        }
        QCoreApplication::processEvents();
        QCOMPARE(s.errors->count(), 0);
    }

    void wiringMadeInAPatchbaySurvivesAReopen() {
        // The user takes the synth off the speakers and into another program; the setup
        // dialog's OK then closes and opens the synth again. The wiring stays as the user
        // left it, and the sound still arrives.
        JackCapture capture("seq-test-wiring");
        QVERIFY2(capture.ok(), capture.error().c_str());
        JackSynth s;
        QString why;
        QVERIFY2(openAndConnect(s, capture, why), qPrintable(why));
        const std::vector<std::string> ports = capture.audioOutputs(kSynthPorts);
        int removed = 0;
        for (const std::string& port : ports)
            for (const std::string& to : capture.connectionsOf(port))
                if (to.rfind("seq-test-wiring:", 0) != 0) {
                    QVERIFY(capture.disconnect(port, to));
                    ++removed;
                }
        QVERIFY2(removed > 0, "the synth was not wired to the speakers at first");
        std::vector<std::vector<std::string>> before;
        for (const std::string& port : ports)
            before.push_back(capture.connectionsOf(port));

        s.out->setAction(2);
        s.out->setAction(1);
        QCOMPARE(s.out->PortState(), int16_t(1));
        QCOMPARE(capture.audioOutputs(kSynthPorts), ports);
        for (std::size_t i = 0; i < ports.size(); ++i)
            QCOMPARE(capture.connectionsOf(ports[i]), before[i]);

        const double rate = capture.sampleRate();
        capture.start(static_cast<std::size_t>(rate * 0.5));
        s.send(0x99, 40, 102);
        QVERIFY(capture.waitFull(10000));
        const float peak = peakOf(capture.left(), capture.right(), 0, capture.left().size());
        QVERIFY2(peak > 0.005f, qPrintable(QStringLiteral("peak %1").arg(peak)));
        QCoreApplication::processEvents();
        QCOMPARE(s.errors->count(), 0);
    }

    void itsClockPortIsThereWhileItPlaysToJack() {
        // FluidSynth's JACK driver owns the synth's client, so the clock goes out on a client
        // of the program's own with that port alone.
        JackReceiver receiver("seq-test-synth-clock");
        QVERIFY2(receiver.ok(), receiver.error().c_str());
        JackSynth s;
        s.out->setAction(1);
        QCOMPARE(s.synth->audioOutput(), std::string("jack"));
        const std::vector<std::string> ours = receiver.portsMatching("^midi pattern sequencer:");
        QCOMPARE(ours, std::vector<std::string>{"midi pattern sequencer:clock"});
        QVERIFY(receiver.connectFrom(ours[0]));
        // Sent again until one comes through: a new connection joins the graph a little later.
        const uint8_t start = 0xFA;
        for (int i = 0; i < 50 && receiver.events().empty(); ++i) {
            s.out->clockOutput().send(&start, 1, 0);
            receiver.waitForEvents(1, 100);
        }
        QVERIFY(!receiver.events().empty());
        QCOMPARE(receiver.events()[0].size, uint8_t(1));
        QCOMPARE(receiver.events()[0].bytes[0], start);
        s.out->setAction(2);
        QTRY_VERIFY_WITH_TIMEOUT(receiver.portsMatching("^midi pattern sequencer:").empty(), 2000);
        QCoreApplication::processEvents();
        QCOMPARE(s.errors->count(), 0);
    }

    void notesStartOnTheirDueTimes() {
        JackCapture capture("seq-test-capture");
        QVERIFY2(capture.ok(), capture.error().c_str());
        JackSynth s;
        QString why;
        QVERIFY2(openAndConnect(s, capture, why), qPrintable(why));
        // A server that misses cycles (xruns, or skipped time) loses audio time, and with it
        // the hits near the loss: such a run is measured again. A miss in a clean run fails.
        QString fault;
        for (int attempt = 0; attempt < 8; ++attempt) {
            const int missedBefore = capture.missedCycles();
            fault = hitsOffTheirTimes(s, capture);
            if (fault.isEmpty())
                break;
            QVERIFY2(capture.missedCycles() != missedBefore, qPrintable(fault));
        }
        QVERIFY2(fault.isEmpty(),
                 qPrintable(QStringLiteral("every run had xruns; last: ") + fault));
        QCoreApplication::processEvents();
        QCOMPARE(s.errors->count(), 0);
    }

    void aServerThatStopsIsToldOnceAndTheSynthPlaysWhenOpenedAgain() {
        // A server of the test's own, stopped (SIGSTOP) for 1.5 s while the synth plays on
        // it, as a machine under pressure would; jackd2 drops the clients that missed their
        // cycles meanwhile. The user is told once, and opening the synth again (as the
        // message says) plays again.
        OwnJackServer server(QStringLiteral("seqtest-synth-stall"));
        QVERIFY2(server.start(), qPrintable(server.output()));
        JackCapture capture("seq-test-stall");
        QVERIFY2(capture.ok(), capture.error().c_str());
        JackSynth s;
        QString why;
        QVERIFY2(openAndConnect(s, capture, why), qPrintable(why));
        const double rate = capture.sampleRate();
        const auto heard = [&] {
            capture.start(static_cast<std::size_t>(rate * 0.3));
            s.send(0x99, 40, 102);
            return capture.waitFull(5000) &&
                   peakOf(capture.left(), capture.right(), 0, capture.left().size()) > 0.005f;
        };
        QVERIFY(heard());
        server.pause();
        QTest::qWait(1500);
        server.resume();
        QTRY_COMPARE_WITH_TIMEOUT(s.errors->count(), 1, 6000);
        QCOMPARE(s.errors->codes.at(0), MidiError::kDeviceLost);
        QVERIFY2(s.errors->texts.at(0).contains(QStringLiteral("(JACK) has stopped")),
                 qPrintable(s.errors->texts.at(0)));

        // Closed and opened again at once, as the setup dialog's OK does: the close of the
        // dropped client may outlast the wait the JACK link allows, and the open waits for it.
        s.out->setAction(2);
        QVERIFY2(openAndConnect(s, capture, why), qPrintable(why));
        QVERIFY(heard());
        QCoreApplication::processEvents();
        QCOMPARE(s.errors->count(), 1);
        s.out->setAction(2);
    }

    void openAndCloseFiftyTimesLeavesNothing() {
        JackCapture capture("seq-test-capture");
        QVERIFY2(capture.ok(), capture.error().c_str());
        JackSynth s;
        s.out->setAction(1);
        s.out->setAction(2);
        const int threads = threadCount();
        for (int i = 0; i < 50; ++i) {
            s.out->setAction(1);
            QCOMPARE(s.synth->audioOutput(), std::string("jack"));
            s.send(0x99, 42, 102);
            s.out->setAction(2);
        }
        QCOMPARE(threadCount(), threads);
        // Another client learns of ports that went away from the server's notification,
        // which PipeWire's JACK delivers a little later than jackd2.
        QTRY_COMPARE_WITH_TIMEOUT(capture.audioOutputs(kSynthPorts).size(), std::size_t(0), 2000);
        QCoreApplication::processEvents();
        QCOMPARE(s.errors->count(), 0);
    }

    void endingTheProgramWhileOpenLeavesNothing() {
        JackCapture capture("seq-test-capture");
        QVERIFY2(capture.ok(), capture.error().c_str());
        const int threads = threadCount();
        {
            JackSynth s;
            s.out->setAction(1);
            QCOMPARE(capture.audioOutputs(kSynthPorts).size(), std::size_t(2));
            s.send(0x99, 49, 110);
        }
        QCOMPARE(threadCount(), threads);
        QTRY_COMPARE_WITH_TIMEOUT(capture.audioOutputs(kSynthPorts).size(), std::size_t(0), 2000);
    }
};

QTEST_GUILESS_MAIN(TestSynthJack)
#include "tst_synthjack.moc"
