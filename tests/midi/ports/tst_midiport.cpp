// The port components over recording systems: device lists, Action codes, and how faults
// are reported (posted, once per condition, from any thread).

#include <QTest>
#include <QThread>

#include <thread>

#include "midi/ports/portroutines.h"
#include "support/recordingports.h"

class TestMidiPort : public QObject {
    Q_OBJECT
private slots:
    void outputListsTheBuiltinSynthThenEachSystemsPorts() {
        RecordingPorts ports({"a", "b", "c"});
        MIDIOutput& out = *ports.output;
        QCOMPARE(out.DeviceCount(), int16_t(3));
        out.setDeviceID(-1);
        QCOMPARE(out.DeviceName(), QStringLiteral("Built-in synth"));
        out.setDeviceID(2);
        QCOMPARE(out.DeviceName(), QStringLiteral("TEST: c"));
        out.setDeviceID(3);
        QCOMPARE(out.DeviceName(), QString());
    }

    void openCloseAndPortState() {
        RecordingPorts ports;
        MIDIOutput& out = *ports.output;
        out.setDeviceID(1);
        out.setAction(1);
        QCOMPARE(out.PortState(), int16_t(1));
        QCOMPARE(ports.outSystem->openPort, std::string("synth B"));
        // DeviceID written while open only selects the device for DeviceName and the next open.
        out.setDeviceID(0);
        QCOMPARE(out.DeviceName(), QStringLiteral("TEST: synth A"));
        QCOMPARE(ports.outSystem->openPort, std::string("synth B"));
        out.setAction(2);
        QCOMPARE(out.PortState(), int16_t(0));
        ports.log.clear();
        out.setAction(2);  // closing a closed port does nothing
        QCOMPARE(ports.log.filtered(QStringLiteral("TEST ")), QStringList());
        out.setDeviceID(-1);
        out.setAction(1);
        QCOMPARE(ports.builtin->openPort, std::string("Built-in synth"));
        QCOMPARE(out.PortState(), int16_t(1));
    }

    void codeFourSendsNothing() {
        RecordingPorts ports;
        ports.output->setDeviceID(0);
        ports.output->setAction(1);
        ports.log.clear();
        ports.output->setAction(4);
        QCOMPARE(ports.log.sends(), QStringList());
        QCOMPARE(ports.output->PortState(), int16_t(1));
    }

    void sendWritesTheThreeBytesWithTheDueTime() {
        RecordingPorts ports;
        MIDIOutput& out = *ports.output;
        out.setDeviceID(0);
        out.setAction(1);
        const uint8_t allNotesOff[3] = {0xb9, 0x7b, 0x00};
        out.send(allNotesOff, 3, 123456789);
        QCOMPARE(ports.log.sends(), QStringList{QStringLiteral("b9 7b 00")});
        QCOMPARE(ports.outSystem->lastDueNs, int64_t(123456789));
        // The properties send at once.
        out.setStatus(185);
        out.setData1(123);
        out.setData2(0);
        out.setAction(7);
        QCOMPARE(ports.outSystem->lastDueNs, int64_t(0));
    }

    void theClockGoesToTheOpenSystemsClockPort() {
        // As far as this machine shows the ALSA output's clock port (it has no ALSA
        // sequencer): what the engine sends to the clock output reaches the open system's
        // clock port whole, with its due time, apart from the notes; a refusal is told as the
        // clock's.
        RecordingPorts ports;
        RecordingMIDIOutput& out = *ports.output;
        ErrorRecorder errors(out);
        MessageOutput& clock = out.clockOutput();
        out.setDeviceID(0);
        out.setAction(1);
        ports.outSystem->leadNs = 1'500'000;
        ports.log.clear();
        const uint8_t start = 0xFA, tick = 0xF8;
        clock.send(&start, 1, 7);
        sendMessage(out, 0x99, 35, 102, 7);
        clock.send(&tick, 1, 9);
        clock.withdrawAfter(8);
        QCOMPARE(
            ports.log.filtered(QStringLiteral("TEST ")),
            (QStringList{QStringLiteral("TEST clock fa at 7"), QStringLiteral("TEST send 99 23 66"),
                         QStringLiteral("TEST clock f8 at 9"),
                         QStringLiteral("TEST clock withdraw after 8")}));
        QCOMPARE(clock.leadNs(), int64_t(1'500'000));
        ports.outSystem->failClock = true;
        clock.send(&tick, 1, 10);
        out.lookForFaults();
        QCoreApplication::processEvents();
        QCOMPARE(errors.codes, QList<int16_t>{MidiError::kSendFailed});
        QVERIFY2(errors.texts[0].contains(QStringLiteral("clock")), qPrintable(errors.texts[0]));
    }

    void errorsArePostedNotRaisedInsideTheCall() {
        RecordingPorts ports({"x"}, {}, /*withBuiltin=*/false);
        MIDIOutput& out = *ports.output;
        ErrorRecorder spy(out);
        out.setDeviceID(-1);
        out.setAction(1);  // no built-in synth: opens nothing
        QCOMPARE(spy.count(), 0);
        QCOMPARE(out.PortState(), int16_t(0));
        QTRY_COMPARE(spy.count(), 1);
        QCOMPARE(spy.codes.at(0), MidiError::kSynthUnavailable);
        QVERIFY(!spy.texts.at(0).isEmpty());
    }

    void errorCodesNameTheCondition() {
        RecordingPorts ports({"x"});
        MIDIOutput& out = *ports.output;
        ErrorRecorder spy(out);
        out.setDeviceID(5);
        out.setAction(1);
        QTRY_COMPARE(spy.count(), 1);
        QCOMPARE(spy.codes.at(0), MidiError::kNoSuchDevice);
        QVERIFY(spy.texts.at(0).contains(QLatin1Char('5')));

        ports.outSystem->failOpen = true;
        out.setDeviceID(0);
        out.setAction(1);
        QTRY_COMPARE(spy.count(), 2);
        QCOMPARE(spy.codes.at(1), MidiError::kOpenFailed);
        // The device's name, the system's cause, and a full stop the cause did not have.
        QVERIFY(spy.texts.at(1).contains(QStringLiteral("TEST: x")));
        QVERIFY2(spy.texts.at(1).endsWith(QStringLiteral("refused by the test.")),
                 qPrintable(spy.texts.at(1)));

        out.setAction(7);  // not open
        QTRY_COMPARE(spy.count(), 3);
        QCOMPARE(spy.codes.at(2), MidiError::kPortNotOpen);
    }

    void oneReportPerConditionUntilReopened() {
        RecordingPorts ports;
        RecordingMIDIOutput& out = *ports.output;
        ErrorRecorder spy(out);
        out.setDeviceID(0);
        out.setAction(1);
        ports.outSystem->failSend = true;
        for (int i = 0; i < 50; ++i)
            sendMessage(out, 0x99, 35, 100);
        out.lookForFaults();
        QCoreApplication::processEvents();
        QCOMPARE(spy.codes, QList<int16_t>{MidiError::kSendFailed});
        // The system's own word for it, after the port's.
        QVERIFY2(spy.texts.at(0).endsWith(QStringLiteral(": device went away.")),
                 qPrintable(spy.texts.at(0)));
        out.setAction(2);
        out.setAction(1);  // reopening clears the condition
        sendMessage(out, 0x99, 35, 100);
        QTRY_COMPARE(spy.count(), 2);
    }

    void bytesThatAreNoShortMessageAreToldOnce_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("reason");
        QTest::newRow("empty") << QByteArray() << QStringLiteral("empty");
        QTest::newRow("no status byte")
            << QByteArray("\x23\x66", 2) << QStringLiteral("does not start with a status byte");
        QTest::newRow("note on cut short")
            << QByteArray("\x99\x23", 2) << QStringLiteral("99 23 is too short");
        QTest::newRow("data byte above 127")
            << QByteArray("\x99\xC8\x66", 3) << QStringLiteral("99 C8 66 has a data byte above 7F");
    }

    void bytesThatAreNoShortMessageAreToldOnce() {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, reason);
        RecordingPorts ports;
        RecordingMIDIOutput& out = *ports.output;
        ErrorRecorder spy(out);
        out.setDeviceID(0);
        out.setAction(1);
        const auto* data = reinterpret_cast<const uint8_t*>(bytes.constData());
        for (int i = 0; i < 3; ++i)
            out.send(data, static_cast<std::size_t>(bytes.size()), 0);
        // What is good still goes.
        const uint8_t hit[3] = {0x99, 38, 100};
        out.send(hit, 3, 0);
        out.lookForFaults();
        QCoreApplication::processEvents();
        QCOMPARE(ports.log.sends(), QStringList{QStringLiteral("99 26 64")});
        QCOMPARE(spy.codes, QList<int16_t>{MidiError::kSendFailed});
        QVERIFY2(spy.texts.at(0).contains(reason), qPrintable(spy.texts.at(0)));
    }

    void faultsOfASystemsThreadArriveOnTheUiThread() {
        RecordingPorts ports;
        MIDIOutput& out = *ports.output;
        out.setDeviceID(0);
        out.setAction(1);
        QThread* uiThread = QThread::currentThread();
        QThread* seenOn = nullptr;
        QString text;
        connect(&out, &MidiPort::Error, [&](int16_t&, QString& t) {
            seenOn = QThread::currentThread();
            text = t;
        });
        std::thread worker(
            [&] { ports.outSystem->raiseAsync(MidiError::kNotAnswering, "server went away"); });
        worker.join();
        QTRY_VERIFY(seenOn != nullptr);
        QCOMPARE(seenOn, uiThread);
        QCOMPARE(text, QStringLiteral("server went away."));
    }

    void aLostDeviceClosesTheOutputWithOneReport() {
        RecordingPorts ports;
        RecordingMIDIOutput& out = *ports.output;
        ErrorRecorder spy(out);
        out.setDeviceID(0);
        out.setAction(1);
        std::thread worker([&] {
            ports.outSystem->raiseAsync(MidiError::kDeviceLost, "gone");
            ports.outSystem->raiseAsync(MidiError::kDeviceLost, "gone again");
        });
        worker.join();
        QTRY_COMPARE(out.PortState(), int16_t(0));
        QCOMPARE(ports.outSystem->openPort, std::string());
        // Playback goes on writing to the closed port: nothing more is reported.
        for (int i = 0; i < 20; ++i)
            out.setAction(7);
        out.lookForFaults();
        QCoreApplication::processEvents();
        QCOMPARE(spy.codes, QList<int16_t>{MidiError::kDeviceLost});
        QCOMPARE(spy.texts, QStringList{QStringLiteral("gone.")});

        // Opened again, the output reports a new loss.
        out.setAction(1);
        QCOMPARE(out.PortState(), int16_t(1));
        ports.outSystem->raiseAsync(MidiError::kDeviceLost, "gone once more");
        QTRY_COMPARE(spy.count(), 2);
        QCOMPARE(out.PortState(), int16_t(0));
    }

    void aLossFromBeforeAReopenLeavesTheNewPortOpen() {
        RecordingPorts ports;
        MIDIOutput& out = *ports.output;
        out.setDeviceID(0);
        out.setAction(1);
        ports.outSystem->raiseAsync(MidiError::kDeviceLost, "gone");
        // Closed and reopened before the loss, told at the close, reached the UI thread.
        out.setAction(2);
        out.setDeviceID(1);
        out.setAction(1);
        ErrorRecorder spy(out);
        QTRY_COMPARE(spy.count(), 1);
        QCOMPARE(out.PortState(), int16_t(1));
        QCOMPARE(ports.outSystem->openPort, std::string("synth B"));
    }

    void aLossWhileOpeningClosesThePort() {
        // The device goes away while the system is still opening it (a JACK port that
        // leaves before the connection is live): one report, and the port ends up closed.
        RecordingPorts ports;
        MIDIOutput& out = *ports.output;
        ErrorRecorder spy(out);
        out.setDeviceID(0);
        ports.outSystem->whileOpening = [&] {
            std::thread([&] {
                ports.outSystem->raiseAsync(MidiError::kDeviceLost, "gone");
            }).join();
        };
        out.setAction(1);
        QTRY_COMPARE(spy.count(), 1);
        QCOMPARE(spy.codes.at(0), MidiError::kDeviceLost);
        QCOMPARE(out.PortState(), int16_t(0));
        QCOMPARE(ports.outSystem->openPort, std::string());
    }

    void inputCodesFourAndFiveStartAndStop() {
        RecordingPorts ports;
        MIDIInput& in = *ports.input;
        QCOMPARE(in.DeviceCount(), int16_t(2));
        in.setDeviceID(1);
        QCOMPARE(in.DeviceName(), QStringLiteral("TESTIN: keys B"));
        in.setAction(4);  // closed: nothing to start
        QCOMPARE(in.PortState(), int16_t(0));
        in.setAction(1);
        QCOMPARE(in.PortState(), int16_t(1));
        in.setAction(4);
        QCOMPARE(in.PortState(), int16_t(2));
        QVERIFY(ports.inSystem->receiving);
        in.setAction(5);
        QCOMPARE(in.PortState(), int16_t(1));
        QVERIFY(!ports.inSystem->receiving);
        in.setAction(2);
        QCOMPARE(in.PortState(), int16_t(0));
    }
};

QTEST_GUILESS_MAIN(TestMidiPort)
#include "tst_midiport.moc"
