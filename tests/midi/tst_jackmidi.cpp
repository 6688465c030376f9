// The real output port on a JACK server (the dummy driver, started by the test fixture),
// with a separate JACK client receiving the bytes.

#include <QTest>

#include <jack/jack.h>

#include <algorithm>

#include "core/monotonicclock.h"
#include "core/sequencer.h"
#include "editing/editing.h"
#include "midi/machineports.h"
#include "midi/ports/midiinput.h"
#include "midi/ports/midioutput.h"
#include "midi/ports/portroutines.h"
#include "support/jackreceiver.h"
#include "support/manualclock.h"
#include "support/recordingports.h"

namespace {
QString hex(const ReceivedEvent& e) {
    return hexBytes(e.bytes.data(), e.size);
}
}  // namespace

class TestJackMidi : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { qputenv("JACK_NO_START_SERVER", "1"); }

    void receiverGetsTheStepsBytes() {
        JackReceiver receiver("seq-test-receiver");
        QVERIFY2(receiver.ok(), receiver.error().c_str());

        auto out = makeSystemMidiOutput();
        const QString name = QStringLiteral("JACK: ") + QString::fromStdString(receiver.portName());
        const int16_t id = findDevice(*out, name);
        QVERIFY2(id >= 0, qPrintable(QStringLiteral("%1 is not listed").arg(name)));

        out->setDeviceID(id);
        out->setAction(1);
        QCOMPARE(out->PortState(), int16_t(1));

        ManualClock timer;
        Sequencer seq(timer, *out);
        seq.edit(resetVoiceNotes);
        seq.edit([](LivePattern& live) {
            live.setCell(cellIndex(0, 0), 1);
            live.setCell(cellIndex(3, 1), 1);
        });
        seq.startOrStop();
        const int64_t now = monotonicNowNs();
        timer.raise(now + 20'000'000);
        timer.raise(now + 30'000'000);
        QVERIFY(receiver.waitForEvents(2, 5000));
        sendPanic(*out);

        QVERIFY2(receiver.waitForEvents(3, 5000),
                 qPrintable(QStringLiteral("received %1 events").arg(receiver.events().size())));
        const auto events = receiver.events();
        QCOMPARE(events.size(), size_t(3));
        QCOMPARE(hex(events[0]), QStringLiteral("99 23 66"));
        QCOMPARE(hex(events[1]), QStringLiteral("99 52 66"));
        QCOMPARE(hex(events[2]), QStringLiteral("b9 7b 00"));

        out->setAction(2);
        QCOMPARE(out->PortState(), int16_t(0));
    }

    void aVanishedDeviceIsReportedOnce() {
        auto out = makeSystemMidiOutput();
        QString name;
        int16_t id = -2;
        {
            JackReceiver receiver("seq-test-gone");
            QVERIFY2(receiver.ok(), receiver.error().c_str());
            name = QStringLiteral("JACK: ") + QString::fromStdString(receiver.portName());
            id = findDevice(*out, name);
            QVERIFY(id >= 0);
        }
        // The receiver left between the listing and the open.
        int errors = 0;
        QString text;
        connect(out.get(), &MidiPort::Error, [&](int16_t&, QString& t) {
            ++errors;
            text = t;
        });
        out->setDeviceID(id);
        out->setAction(1);
        QCOMPARE(out->PortState(), int16_t(0));
        QTRY_COMPARE(errors, 1);
        QVERIFY2(text.contains(name), qPrintable(text));
    }

    void theInputConnectsFromAJackOutputAndLeavesNothing() {
        // A program with a MIDI output port, as a keyboard's driver would have.
        jack_client_t* source = jack_client_open("seq-test-keys", JackNoStartServer, nullptr);
        QVERIFY(source);
        jack_port_t* out =
            jack_port_register(source, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        QVERIFY(out);
        QCOMPARE(jack_activate(source), 0);

        auto in = makeSystemMidiInput();
        ErrorRecorder errors(*in);
        int16_t id = -1;
        const int16_t n = in->DeviceCount();
        QStringList listed;
        for (int16_t i = 0; i < n; ++i) {
            in->setDeviceID(i);
            listed << in->DeviceName();
            if (in->DeviceName() == QStringLiteral("JACK: seq-test-keys:out"))
                id = i;
        }
        QVERIFY2(id >= 0, qPrintable(listed.join(QStringLiteral(" | "))));
        in->setDeviceID(id);
        in->setAction(1);
        QCOMPARE(in->PortState(), int16_t(1));
        in->setAction(4);
        QCOMPARE(in->PortState(), int16_t(2));
        // PipeWire's JACK shows a connection a moment after it is made.
        auto connections = [&] {
            QStringList names;
            if (const char** to = jack_port_get_all_connections(source, out)) {
                for (const char** c = to; *c; ++c)
                    names << QString::fromUtf8(*c);
                jack_free(to);
            }
            return names;
        };
        QTRY_COMPARE_WITH_TIMEOUT(
            connections(), QStringList{QStringLiteral("midi pattern sequencer in:in")}, 2000);

        in->setAction(5);
        in->setAction(2);
        QCOMPARE(in->PortState(), int16_t(0));
        QTRY_COMPARE_WITH_TIMEOUT(jack_port_connected(out), 0, 2000);
        // Asked through a client opened now: PipeWire's JACK still finds a client by name for
        // the clients that saw it, after it has gone.
        auto inputClientThere = [] {
            jack_client_t* fresh = jack_client_open("seq-test-look", JackNoStartServer, nullptr);
            if (!fresh)
                return true;
            char* uuid = jack_get_uuid_for_client_name(fresh, "midi pattern sequencer in");
            const bool there = uuid != nullptr;
            if (uuid)
                jack_free(uuid);
            jack_client_close(fresh);
            return there;
        };
        QTRY_VERIFY2_WITH_TIMEOUT(!inputClientThere(), "the input's client is still there", 2000);
        QCoreApplication::processEvents();
        QCOMPARE(errors.count(), 0);
        jack_client_close(source);
    }
};

QTEST_GUILESS_MAIN(TestJackMidi)
#include "tst_jackmidi.moc"
