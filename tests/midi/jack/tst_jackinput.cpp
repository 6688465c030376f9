// The program's JACK input on a real JACK server (the dummy driver, started by the test
// fixture): it connects from another client's output and leaves nothing behind.

#include <QTest>

#include <jack/jack.h>

#include "midi/machineports.h"
#include "midi/ports/midiinput.h"
#include "support/recordingports.h"

class TestJackInput : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { qputenv("JACK_NO_START_SERVER", "1"); }

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

QTEST_GUILESS_MAIN(TestJackInput)
#include "tst_jackinput.moc"
