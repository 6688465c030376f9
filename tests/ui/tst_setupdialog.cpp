// The setup dialog and the MIDI commands of the main window, through the real widgets:
// the exact sequences of port writes, loaded/hidden/unloaded, the open button, panic,
// thru, error reports, About, window close and Exit.

#include <QComboBox>
#include <QPushButton>
#include <QTest>

#include "midi/ports/midiport.h"
#include "support/modal.h"
#include "support/windowrig.h"
#include "ui/midisetupform.h"

namespace {
QStringList lines(std::initializer_list<const char*> l) {
    QStringList out;
    for (const char* s : l)
        out << QString::fromLatin1(s);
    return out;
}

// The writes of loading the dialog with two output and two input devices.
const QStringList kLoadSequence = lines({
    "out.DeviceCount?",
    "out.DeviceID=-1",
    "out.DeviceID=0",
    "out.DeviceID=1",
    "out.DeviceID=-1",
    // OpenMidiOut: DeviceID reads -1, so the port is closed first whatever its state.
    "out.PortState?",
    "out.DeviceID?",
    "out.Action=2",
    "out.DeviceID=-1",
    "out.Action=1",
    "in.DeviceCount?",
    "in.DeviceID=0",
    "in.DeviceID=1",
    "in.DeviceID=0",
    // OpenMidiIn
    "in.PortState?",
    "in.DeviceID=0",
    "in.Action=1",
});

QStringList entries(QComboBox* box) {
    QStringList out;
    for (int i = 0; i < box->count(); ++i)
        out << box->itemText(i);
    return out;
}
}  // namespace

class TestSetupDialog : public QObject {
    Q_OBJECT
private slots:
    void loadListsDevicesAndOpensOutputThenInputOnEntryZero() {
        WindowRig rig;
        QStringList atShow;
        QStringList outEntries, inEntries;
        onNextModal([&](QWidget* w) {
            auto* form = qobject_cast<MIDISetupForm*>(w);
            QVERIFY(form);
            atShow = rig.portCalls();
            outEntries = entries(form->ComboMidiOut);
            inEntries = entries(form->ComboMidiIn);
            QCOMPARE(form->ComboMidiOut->currentIndex(), 0);
            QCOMPARE(form->ComboMidiIn->currentIndex(), 0);
            form->CmdCancel->click();
        });
        QCOMPARE(rig.window->SetupPending, int16_t(-1));
        rig.window->mnuMidiSetup_Click();
        QCOMPARE(atShow, kLoadSequence);
        QCOMPARE(outEntries, lines({"Built-in synth", "TEST: synth A", "TEST: synth B"}));
        QCOMPARE(inEntries, lines({"TESTIN: keys A", "TESTIN: keys B"}));
        // Cancel leaves the ports open on entry 0 and unloads the dialog.
        QCOMPARE(rig.portCalls(), atShow);
        QCOMPARE(rig.ports.builtin->openPort, std::string("Built-in synth"));
        QCOMPARE(rig.ports.inSystem->openPort, std::string("keys A"));
        QVERIFY(rig.window->setupForm() == nullptr);
        QCOMPARE(rig.window->SetupPending, int16_t(0));
    }

    void okReopensInputThenOutputOnTheSelections() {
        WindowRig rig;
        onNextModal([&](QWidget* w) {
            auto* form = qobject_cast<MIDISetupForm*>(w);
            form->ComboMidiOut->setCurrentIndex(2);
            form->ComboMidiIn->setCurrentIndex(1);
            rig.ports.log.clear();
            form->CmdOk->click();
        });
        rig.window->mnuMidiSetup_Click();
        QCOMPARE(rig.portCalls(), lines({"in.PortState?", "in.Action=2", "in.DeviceID=1",
                                         "in.Action=1", "out.PortState?", "out.DeviceID?",
                                         "out.Action=2", "out.DeviceID=1", "out.Action=1"}));
        QCOMPARE(rig.ports.outSystem->openPort, std::string("synth B"));
        QCOMPARE(rig.ports.inSystem->openPort, std::string("keys B"));
        QVERIFY(rig.window->setupForm() != nullptr);  // hidden, still loaded
        QVERIFY(!rig.window->setupForm()->isVisible());
        QCOMPARE(rig.window->SetupPending, int16_t(0));

        // Shown again: the previous selections, and the ports untouched until OK.
        rig.ports.log.clear();
        int outIndex = -1, inIndex = -1;
        onNextModal([&](QWidget* w) {
            auto* form = qobject_cast<MIDISetupForm*>(w);
            outIndex = form->ComboMidiOut->currentIndex();
            inIndex = form->ComboMidiIn->currentIndex();
            form->CmdCancel->click();
        });
        rig.window->mnuMidiSetup_Click();
        QCOMPARE(outIndex, 2);
        QCOMPARE(inIndex, 1);
        QCOMPARE(rig.portCalls(), QStringList());
        QVERIFY(rig.window->setupForm() == nullptr);  // Cancel unloaded it
    }

    void afterCancelTheListsAreRebuiltAndThePortsReopened() {
        WindowRig rig;
        onNextModal([](QWidget* w) { qobject_cast<MIDISetupForm*>(w)->CmdCancel->click(); });
        rig.window->mnuMidiSetup_Click();
        rig.ports.outSystem->ports.push_back("synth C");  // a device plugged in since
        rig.ports.log.clear();
        QStringList outEntries;
        onNextModal([&](QWidget* w) {
            auto* form = qobject_cast<MIDISetupForm*>(w);
            outEntries = entries(form->ComboMidiOut);
            form->CmdCancel->click();
        });
        rig.window->mnuMidiSetup_Click();
        QCOMPARE(outEntries.size(), qsizetype(4));
        const QStringList calls = rig.portCalls();
        // The output was open (PortState 1) and is closed before it is reopened on -1.
        QVERIFY(calls.contains(QStringLiteral("out.Action=2")));
        QCOMPARE(calls.filter(QStringLiteral("Action=1")), lines({"out.Action=1", "in.Action=1"}));
        QVERIFY(calls.indexOf(QStringLiteral("in.Action=2")) <
                calls.indexOf(QStringLiteral("in.Action=1")));
    }

    void closingByTheFrameUnloadsLikeCancel() {
        WindowRig rig;
        onNextModal([&](QWidget* w) {
            rig.ports.log.clear();
            w->close();
        });
        rig.window->mnuMidiSetup_Click();
        QCOMPARE(rig.portCalls(), QStringList());
        QVERIFY(rig.window->setupForm() == nullptr);
        QCOMPARE(rig.window->SetupPending, int16_t(0));
    }

    void escapeDoesNotCloseTheDialog() {
        WindowRig rig;
        bool stillOpen = false;
        onNextModal([&](QWidget* w) {
            QTest::keyClick(w, Qt::Key_Escape);
            QTest::keyClick(w, Qt::Key_Return);
            stillOpen = w->isVisible();
            qobject_cast<MIDISetupForm*>(w)->CmdCancel->click();
        });
        rig.window->mnuMidiSetup_Click();
        QVERIFY(stillOpen);
    }

    void noInputDevicesLeavesTheInputClosed() {
        WindowRig rig({"synth A"}, {});
        int inEntries = -1;
        onNextModal([&](QWidget* w) {
            auto* form = qobject_cast<MIDISetupForm*>(w);
            inEntries = form->ComboMidiIn->count();
            form->CmdOk->click();
        });
        rig.window->mnuMidiSetup_Click();
        QCOMPARE(inEntries, 0);
        QVERIFY(rig.ports.log.filtered(QStringLiteral("in.Action=1")).isEmpty());
        QCOMPARE(rig.in->PortState(), int16_t(0));
        QCOMPARE(rig.out->PortState(), int16_t(1));
    }

    void aDeviceGoneBeforeOkIsReportedOnce() {
        WindowRig rig;
        SeenBox box;
        onNextModal([&](QWidget* w) {
            auto* form = qobject_cast<MIDISetupForm*>(w);
            form->ComboMidiOut->setCurrentIndex(2);
            rig.ports.outSystem->failOpen = true;  // as if synth B left after the listing
            closeNextMessageBox(box);
            form->CmdOk->click();
        });
        rig.window->mnuMidiSetup_Click();
        QTRY_VERIFY(box.seen);
        QVERIFY2(box.text.contains(QStringLiteral("synth B")), qPrintable(box.text));
        QCOMPARE(rig.out->PortState(), int16_t(0));
    }

    void openButtonRunsSetupOnceThenSendsCodeFour() {
        WindowRig rig;
        bool dialogShown = false;
        onNextModal([&](QWidget* w) {
            dialogShown = true;
            rig.ports.log.clear();
            qobject_cast<MIDISetupForm*>(w)->CmdOk->click();
        });
        rig.window->Command1->click();
        QVERIFY(dialogShown);
        QCOMPARE(rig.portCalls().mid(rig.portCalls().size() - 2),
                 lines({"in.Action=4", "out.Action=4"}));
        QCOMPARE(rig.in->PortState(), int16_t(2));
        QCOMPARE(rig.window->SetupPending, int16_t(0));
        rig.ports.log.clear();
        rig.window->Command1->click();
        QCOMPARE(rig.portCalls(), lines({"in.Action=4", "out.Action=4"}));
        QVERIFY(rig.ports.log.sends().isEmpty());
    }

    void startStopRunsSetupOnlyWhilePending() {
        WindowRig rig;
        int shown = 0;
        onNextModal([&](QWidget* w) {
            ++shown;
            qobject_cast<MIDISetupForm*>(w)->CmdCancel->click();
        });
        rig.window->Command2->click();
        QCOMPARE(shown, 1);
        QVERIFY(rig.window->Pulsor2.Enabled());
        rig.window->Command2->click();
        QVERIFY(!rig.window->Pulsor2.Enabled());
        rig.window->Command2->click();
        QTest::qWait(50);
        QCOMPARE(shown, 1);
        QVERIFY(rig.window->Pulsor2.Enabled());
        rig.window->Pulsor2.setEnabled(false);
    }

    void panicSendsOneMessageAndKeepsPlaying() {
        WindowRig rig;
        rig.out->setDeviceID(0);
        rig.out->setAction(1);
        rig.window->Pulsor2.setEnabled(true);
        rig.ports.log.clear();
        rig.window->Command3->click();
        QCOMPARE(rig.portCalls(),
                 lines({"out.Status=185", "out.Data1=123", "out.Data2=0", "out.Action=7"}));
        QCOMPARE(rig.ports.log.sends(), lines({"b9 7b 00"}));
        QCOMPARE(rig.ports.outSystem->lastDueNs, int64_t(0));  // at once, not scheduled
        QVERIFY(rig.window->Pulsor2.Enabled());
        rig.window->Pulsor2.setEnabled(false);
    }

    void thruTogglesItsMarkAndNothingElse() {
        WindowRig rig;
        QVERIFY(rig.window->mnuMidiThru->isChecked());
        rig.window->mnuMidiThru->trigger();
        QVERIFY(!rig.window->mnuMidiThru->isChecked());
        rig.window->mnuMidiThru->trigger();
        QVERIFY(rig.window->mnuMidiThru->isChecked());
        QCOMPARE(rig.ports.log.lines(), QStringList());
    }

    void errorsShownUnlessCodeZeroOrEight_data() {
        QTest::addColumn<int>("code");
        QTest::addColumn<bool>("shown");
        QTest::newRow("0") << 0 << false;
        QTest::newRow("8") << 8 << false;
        QTest::newRow("1") << 1 << true;
        QTest::newRow("4") << 4 << true;
        QTest::newRow("-1") << -1 << true;
        QTest::newRow("-32768") << -32768 << true;
        QTest::newRow("32767") << 32767 << true;
    }
    void errorsShownUnlessCodeZeroOrEight() {
        QFETCH(int, code);
        QFETCH(bool, shown);
        WindowRig rig;
        for (MidiPort* port : {static_cast<MidiPort*>(rig.out), static_cast<MidiPort*>(rig.in)}) {
            SeenBox box;
            closeNextMessageBox(box, 300);
            int16_t c = int16_t(code);
            QString text = QStringLiteral("trouble %1").arg(code);
            emit port->Error(c, text);
            QTest::qWait(shown ? 0 : 350);
            QTRY_COMPARE(box.seen, shown);
            if (shown) {
                QCOMPARE(box.text, text);
                QCOMPARE(box.title, QStringLiteral("midi pattern sequencer 1"));
                QCOMPARE(box.buttons, 1);
            }
        }
    }

    void anErrorDuringAnOpenBoxWaitsForIt() {
        WindowRig rig;
        QStringList seen;
        int nestedBoxes = 0;
        std::function<void(QWidget*)> answer = [&](QWidget* w) {
            auto* box = qobject_cast<QMessageBox*>(w);
            seen << box->text();
            if (seen.size() == 1) {
                // A second report comes in while the first box is open.
                int16_t c = 3;
                QString t = QStringLiteral("second");
                emit rig.out->Error(c, t);
                QTest::qWait(50);
                if (QApplication::activeModalWidget() != w)
                    ++nestedBoxes;
                onNextModal(answer, 2000, [](QWidget* m) {
                    auto* b = qobject_cast<QMessageBox*>(m);
                    return b && b->text() != QLatin1String("first");
                });
            }
            box->button(QMessageBox::Ok)->click();
        };
        onNextModal(answer);
        int16_t c = 3;
        QString t = QStringLiteral("first");
        emit rig.out->Error(c, t);
        QTRY_COMPARE(seen.size(), 2);
        QCOMPARE(seen, lines({"first", "second"}));
        QCOMPARE(nestedBoxes, 0);
    }

    void aboutShowsItsLine() {
        WindowRig rig;
        SeenBox box;
        closeNextMessageBox(box);
        rig.window->mnuHelpAbout->trigger();
        QVERIFY(box.seen);
        QCOMPARE(box.text, QStringLiteral("this is a really cool pattern sequencer"));
        QCOMPARE(box.title, QStringLiteral("midi pattern sequencer 1"));
        QCOMPARE(box.buttons, 1);
    }

    void windowCloseClosesPortsAsTheirStateAsks_data() {
        QTest::addColumn<int>("inputState");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("closed") << 0 << lines({"in.PortState?", "in.PortState?", "out.Action=2"});
        QTest::newRow("open") << 1
                              << lines({"in.PortState?", "in.PortState?", "in.Action=2",
                                        "out.Action=2"});
        QTest::newRow("receiving") << 2
                                   << lines({"in.PortState?", "in.Action=5", "in.PortState?",
                                             "in.Action=2", "out.Action=2"});
        QTest::newRow("another value") << 3
                                       << lines({"in.PortState?", "in.Action=5", "in.PortState?",
                                                 "in.Action=2", "out.Action=2"});
    }
    void windowCloseClosesPortsAsTheirStateAsks() {
        QFETCH(int, inputState);
        QFETCH(QStringList, expected);
        WindowRig rig;
        if (inputState >= 1) {
            rig.in->setDeviceID(0);
            rig.in->setAction(1);
        }
        if (inputState == 2)
            rig.in->setAction(4);
        if (inputState == 3)
            rig.in->forcePortState(3);
        rig.ports.log.clear();
        rig.window->close();
        QCOMPARE(rig.portCalls(), expected);
        QCOMPARE(rig.ended, 1);
    }

    void exitBeforeAnySetupClosesBothPorts() {
        WindowRig rig;
        rig.window->mnuFileExit->trigger();
        QCOMPARE(rig.portCalls(), lines({"in.Action=5", "in.Action=2", "out.Action=2"}));
        QCOMPARE(rig.ended, 1);
    }

    void exitButtonRunsExitWithoutStoppingTheTimer() {
        WindowRig rig;
        rig.window->Pulsor2.setEnabled(true);
        rig.window->stopbutton->click();
        QCOMPARE(rig.portCalls(), lines({"in.Action=5", "in.Action=2", "out.Action=2"}));
        QCOMPARE(rig.ended, 1);
        rig.window->Pulsor2.setEnabled(false);
    }
};

QTEST_MAIN(TestSetupDialog)
#include "tst_setupdialog.moc"
