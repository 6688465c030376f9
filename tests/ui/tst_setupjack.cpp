// The setup dialog over the real MIDI systems with a JACK server running (the dummy
// driver, started by the test fixture) and a separate receiving client.

#include <QComboBox>
#include <QPushButton>
#include <QTest>

#include "midi/machineports.h"
#include "midi/ports/midiinput.h"
#include "midi/ports/midioutput.h"
#include "support/jackreceiver.h"
#include "support/modal.h"
#include "support/recordingports.h"
#include "ui/frmmain.h"
#include "ui/midisetupform.h"

namespace {
QString hex(const ReceivedEvent& e) {
    return hexBytes(e.bytes.data(), e.size);
}
}  // namespace

class TestSetupJack : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { qputenv("JACK_NO_START_SERVER", "1"); }

    void chooseTheReceiverPanicThenExit() {
        JackReceiver receiver("seq-test-dialog");
        QVERIFY2(receiver.ok(), receiver.error().c_str());
        const QString entry =
            QStringLiteral("JACK: ") + QString::fromStdString(receiver.portName());

        int ended = 0;
        FrmMainParts parts;
        parts.output = makeSystemMidiOutput();
        parts.input = makeSystemMidiInput();
        parts.endProgram = [&] { ++ended; };
        auto window = std::make_unique<frmMain>(std::move(parts));
        // Port errors (none is expected from JACK) would open message boxes; close them.
        QStringList errors;
        auto closer = autoCloseMessageBoxes(errors);

        QStringList listed;
        bool chosen = false;
        onNextModal(
            [&](QWidget* w) {
                auto* form = qobject_cast<MIDISetupForm*>(w);
                for (int i = 0; i < form->ComboMidiOut->count(); ++i)
                    listed << form->ComboMidiOut->itemText(i);
                const int at = form->ComboMidiOut->findText(entry);
                if (at > 0) {
                    form->ComboMidiOut->setCurrentIndex(at);
                    chosen = true;
                }
                form->CmdOk->click();
            },
            5000, isA<MIDISetupForm>);
        window->mnuMidiSetup_Click();
        QVERIFY2(chosen, qPrintable(listed.join(QStringLiteral(" | "))));
        QCOMPARE(window->MIDIOutput1->PortState(), int16_t(1));

        window->Command3->click();
        QVERIFY(receiver.waitForEvents(1, 5000));
        const auto events = receiver.events();
        QCOMPARE(events.size(), size_t(1));
        QCOMPARE(hex(events[0]), QStringLiteral("b9 7b 00"));

        QVERIFY(!receiver.portsMatching("^midi pattern sequencer").empty());
        window->mnuFileExit_Click();
        QCOMPARE(ended, 1);
        // Ending left nothing of ours on the server.
        QTRY_VERIFY_WITH_TIMEOUT(receiver.portsMatching("^midi pattern sequencer").empty(), 3000);
        window.reset();
        QVERIFY(receiver.portsMatching("^midi pattern sequencer").empty());
        QVERIFY2(errors.filter(QStringLiteral("JACK")).isEmpty(),
                 qPrintable(errors.join(QLatin1Char('\n'))));
    }
};

QTEST_MAIN(TestSetupJack)
#include "tst_setupjack.moc"
