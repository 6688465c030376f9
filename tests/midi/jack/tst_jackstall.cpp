// A JACK server that stops answering (SIGSTOP) for three seconds never freezes the window:
// during playback, during the setup dialog's listing and at File > Exit, the UI thread
// never waits more than half a second, the user is told once, and the program ends at
// once, leaving the stopped server to clean up after it when it runs again.
//
// The real window over the real MIDI systems (both ports on one JACK server link, as
// makeSystemMidiPorts makes them), on a JACK server of the test's own (the fixture's is not
// stopped), with a receiving client on it.

#include <QComboBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTimer>

#include "midi/machineports.h"
#include "midi/ports/midioutput.h"
#include "support/jackreceiver.h"
#include "support/modal.h"
#include "support/ownjackserver.h"
#include "support/recordingports.h"
#include "ui/frmmain.h"
#include "ui/midisetupform.h"

namespace {

constexpr int kStoppedMs = 3000;
constexpr qint64 kLongestWaitMs = 500;

// The longest time the UI thread goes without turning its event loop: a timer due every
// 5 ms notes each gap, and calls the test makes on the UI thread itself are timed too.
class UiWatch {
public:
    UiWatch() {
        m_timer.setInterval(5);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { note(); });
        m_timer.start();
        m_clock.start();
    }
    template <typename Call>
    qint64 timed(Call call) {
        note();
        QElapsedTimer t;
        t.start();
        call();
        const qint64 ms = t.elapsed();
        m_longest = std::max(m_longest, ms);
        note();
        return ms;
    }
    qint64 longestMs() const { return m_longest; }

private:
    void note() {
        const qint64 now = m_clock.elapsed();
        m_longest = std::max(m_longest, now - m_last);
        m_last = now;
    }
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    qint64 m_longest = 0;
};

// The window with the real ports, ending into a flag.
struct Window {
    Window() {
        FrmMainParts parts;
        SystemMidiPorts ports = makeSystemMidiPorts();
        parts.output = std::move(ports.output);
        parts.input = std::move(ports.input);
        parts.endProgram = [this] { ended = true; };
        window = std::make_unique<frmMain>(std::move(parts));
        window->rock->click();  // the rock preset, played at 5 ms steps
        window->HScroll1->setValue(5);
        errors = std::make_unique<ErrorRecorder>(*window->MIDIOutput1);
        closer = autoCloseMessageBoxes(boxes);
    }
    // Opens MIDI Setup and picks the output entry `entry` (or keeps entry 0), then OK;
    // `whileOpen` runs once the dialog shows. Returns the entries listed.
    QStringList setup(const QString& entry, std::function<void(MIDISetupForm*)> whileOpen = {}) {
        QStringList listed;
        onNextModal(
            [&, whileOpen](QWidget* w) {
                auto* form = qobject_cast<MIDISetupForm*>(w);
                for (int i = 0; i < form->ComboMidiOut->count(); ++i)
                    listed << form->ComboMidiOut->itemText(i);
                const int at = form->ComboMidiOut->findText(entry);
                if (at > 0)
                    form->ComboMidiOut->setCurrentIndex(at);
                if (whileOpen)
                    whileOpen(form);
                else
                    form->CmdOk->click();
            },
            10000, isA<MIDISetupForm>);
        window->mnuMidiSetup_Click();
        return listed;
    }
    int told(int16_t code) const { return int(errors->codes.count(code)); }

    std::unique_ptr<frmMain> window;
    std::unique_ptr<ErrorRecorder> errors;
    QStringList boxes;
    std::unique_ptr<QTimer> closer;
    bool ended = false;
};

QString receiverEntry(const JackReceiver& r) {
    return QStringLiteral("JACK: ") + QString::fromStdString(r.portName());
}

}  // namespace

class TestJackStall : public QObject {
    Q_OBJECT

    std::unique_ptr<OwnJackServer> m_server;

private slots:
    void initTestCase() {
        qputenv("JACK_NO_START_SERVER", "1");
        // A server of the test's own, named after the fixture's so that builds side by
        // side do not meet.
        m_server = std::make_unique<OwnJackServer>(
            QString::fromLocal8Bit(qgetenv("JACK_DEFAULT_SERVER")) + QStringLiteral("-stall"));
        QVERIFY2(m_server->start(), qPrintable(m_server->output()));
    }

    void cleanupTestCase() { m_server.reset(); }

    void cleanup() { m_server->resume(); }

    void stoppedDuringPlayback() {
        JackReceiver receiver("seq-test-stall-playing");
        QVERIFY2(receiver.ok(), receiver.error().c_str());
        Window w;
        const QStringList listed = w.setup(receiverEntry(receiver));
        QVERIFY2(listed.contains(receiverEntry(receiver)), qPrintable(listed.join(" | ")));
        QCOMPARE(w.window->MIDIOutput1->PortState(), int16_t(1));
        w.window->Command2->click();
        QTRY_VERIFY_WITH_TIMEOUT(receiver.events().size() >= 20, 5000);

        UiWatch watch;
        QElapsedTimer stopped;
        stopped.start();
        m_server->pause();
        // Told while it is stopped, and only once.
        QTRY_COMPARE_WITH_TIMEOUT(w.told(MidiError::kNotAnswering), 1, kStoppedMs);
        // Held stopped for the rest of the three seconds: the time is the scenario itself.
        QTest::qWait(int(kStoppedMs - stopped.elapsed()));
        m_server->resume();
        QVERIFY2(watch.longestMs() < kLongestWaitMs,
                 qPrintable(QStringLiteral("the window waited %1 ms").arg(watch.longestMs())));
        qInfo("playback: the longest wait of the window was %lld ms", watch.longestMs());

        // It plays on into the same port, without a burst of the notes held up meanwhile.
        receiver.clear();
        QTRY_VERIFY_WITH_TIMEOUT(receiver.events().size() >= 40, 5000);
        const auto events = receiver.events();
        int firstTwentyMs = 0;
        for (const ReceivedEvent& e : events)
            if (e.clockNs - events.front().clockNs < 20'000'000)
                ++firstTwentyMs;
        QVERIFY2(firstTwentyMs <= 12, qPrintable(QString::number(firstTwentyMs)));
        QCOMPARE(w.window->MIDIOutput1->PortState(), int16_t(1));
        w.window->Command2->click();
        QCOMPARE(w.told(MidiError::kNotAnswering), 1);
        QCOMPARE(w.errors->count(), 1);
    }

    void stoppedDuringTheSetupDialogsListing() {
        JackReceiver receiver("seq-test-stall-listed");
        QVERIFY2(receiver.ok(), receiver.error().c_str());
        Window w;
        // Once before, with the server running: the built-in synth's soundfont, loaded at
        // the first open, is not what is measured.
        w.setup(QString(), [](MIDISetupForm* form) { form->CmdCancel->click(); });
        UiWatch watch;
        QElapsedTimer stopped;
        stopped.start();
        m_server->pause();
        // The dialog lists while the server is stopped; the user sees no JACK port and
        // cancels. The server is resumed.
        const QStringList listed = w.setup(QString(), [&](MIDISetupForm* form) {
            QTimer::singleShot(std::max<qint64>(0, kStoppedMs - stopped.elapsed()), [&, form] {
                m_server->resume();
                form->CmdCancel->click();
            });
        });
        QVERIFY2(watch.longestMs() < kLongestWaitMs,
                 qPrintable(QStringLiteral("the window waited %1 ms").arg(watch.longestMs())));
        qInfo("setup dialog: the longest wait of the window was %lld ms", watch.longestMs());
        QVERIFY2(!listed.contains(receiverEntry(receiver)), qPrintable(listed.join(" | ")));
        // Told once, by the listing; the built-in synth, reopened by the dialog on a server
        // that does not answer, plays to nothing without a word of its own.
        QTRY_COMPARE(w.told(MidiError::kNotAnswering), 1);
        QCOMPARE(w.errors->count(), 1);

        // Answering again, the server finishes the calls left waiting (the synth's client
        // closes); then the dialog, opened anew, lists its ports, and nothing more is told.
        QTRY_VERIFY_WITH_TIMEOUT(receiver.portsMatching("^midi pattern sequencer synth:").empty(),
                                 5000);
        const int toldBefore = w.errors->count();
        const QString entry = receiverEntry(receiver);
        QStringList again;
        for (int attempt = 0; attempt < 20 && !again.contains(entry); ++attempt) {
            again = w.setup(entry, [&](MIDISetupForm* form) {
                // The last call may still be finishing: then it is tried again.
                (form->ComboMidiOut->findText(entry) > 0 ? form->CmdOk : form->CmdCancel)->click();
            });
        }
        QVERIFY2(again.contains(entry), qPrintable(again.join(" | ")));
        QCOMPARE(w.window->MIDIOutput1->PortState(), int16_t(1));
        QCoreApplication::processEvents();
        QCOMPARE(w.errors->count(), toldBefore);
        QCOMPARE(w.told(MidiError::kNotAnswering), 1);
    }

    void stoppedAtExit() {
        auto receiver = std::make_unique<JackReceiver>("seq-test-stall-exit");
        QVERIFY2(receiver->ok(), receiver->error().c_str());
        const QString entry = receiverEntry(*receiver);
        auto w = std::make_unique<Window>();
        w->setup(entry);
        QCOMPARE(w->window->MIDIOutput1->PortState(), int16_t(1));
        w->window->Command2->click();
        QTRY_VERIFY_WITH_TIMEOUT(receiver->events().size() >= 20, 5000);

        UiWatch watch;
        m_server->pause();
        const qint64 exitMs = watch.timed([&] { w->window->mnuFileExit_Click(); });
        QVERIFY(w->ended);
        // What the program does after its event loop: the window and the ports go.
        const qint64 endMs = watch.timed([&] { w.reset(); });
        qInfo("exit: File > Exit took %lld ms, ending the window and its ports %lld ms", exitMs,
              endMs);
        QVERIFY2(exitMs + endMs < 2000,
                 qPrintable(QStringLiteral("%1 + %2 ms").arg(exitMs).arg(endMs)));
        QVERIFY2(watch.longestMs() < kLongestWaitMs,
                 qPrintable(QStringLiteral("the window waited %1 ms").arg(watch.longestMs())));

        // Running again, the server cleans up what the program left.
        m_server->resume();
        QTRY_VERIFY_WITH_TIMEOUT(receiver->portsMatching("^midi pattern sequencer").empty(), 5000);
    }
};

QTEST_MAIN(TestJackStall)
#include "tst_jackstall.moc"
