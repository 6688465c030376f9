// A long run at the shortest period through the real window and timer: the rock preset, a
// 101-bar song restarted whenever it ends, with pattern switches, grid and note edits and
// random fills in between. Checks that every tick played and that memory stops growing
// after warm-up. Under the sanitizers the same run must give no report. SEQ_SOAK_TICKS sets
// the number of ticks (100,000 unless set: the benchmark's run; the tests run fewer).

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <fstream>

#include "midi/ports/midiinput.h"
#include "midi/ports/midioutput.h"
#include "ui/frmmain.h"

namespace {
// An output that only counts what it is given, so the test itself does not grow.
class CountingOutSystem : public MidiOutSystem {
public:
    std::string systemName() const override { return "COUNT"; }
    std::vector<std::string> listPorts() override { return {"counter"}; }
    bool open(const std::string&, std::string&) override { return true; }
    void close() override {}
    bool send(const ShortMessage& m, int64_t) override {
        if (m.size == 3 && m.bytes[0] == 0x99 && m.bytes[2] == 0x66)
            ++notes;
        else
            ++other;
        return true;
    }
    long notes = 0, other = 0;
};

long residentKb() {
    std::ifstream status("/proc/self/status");
    std::string key;
    long value = 0;
    while (status >> key) {
        if (key == "VmRSS:") {
            status >> value;
            return value;
        }
        status.ignore(4096, '\n');
    }
    return -1;
}

bool sanitized() {
#if defined(__SANITIZE_ADDRESS__)
    return true;
#else
    return false;
#endif
}
}  // namespace

class TestSoak : public QObject {
    Q_OBJECT
private slots:
    void longRun() {
        const int target = qEnvironmentVariableIsSet("SEQ_SOAK_TICKS")
                               ? qEnvironmentVariableIntValue("SEQ_SOAK_TICKS")
                               : 100000;
        auto counter = std::make_unique<CountingOutSystem>();
        CountingOutSystem* count = counter.get();
        std::vector<std::unique_ptr<MidiOutSystem>> systems;
        systems.push_back(std::move(counter));
        FrmMainParts parts;
        parts.output = std::make_unique<MIDIOutput>(nullptr, std::move(systems));
        parts.input = std::make_unique<MIDIInput>(std::vector<std::unique_ptr<MidiInSystem>>{});
        parts.endProgram = [] {};
        frmMain w(std::move(parts));
        w.SetupPending = 0;
        w.MIDIOutput1->setDeviceID(0);
        w.MIDIOutput1->setAction(1);

        // Ten patterns to play: the rock beat with each pattern's own notes.
        for (int p = 9; p >= 0; --p) {
            w.patno->setValue(p);
            w.rock->click();
            w.VScroll1[0]->setValue(30 + p);
        }
        QString song;
        for (int i = 0; i < 101; ++i)
            song += QChar(u'0' + (i * 7) % 10);
        w.songlist->setText(song);
        w.songmode->click();
        w.HScroll1->setValue(0);
        w.Command2->click();
        QVERIFY(w.Pulsor2.Enabled());

        // Busy work between ticks, as a user at the controls during playback.
        int round = 0, restarts = 0;
        QTimer user;
        connect(&user, &QTimer::timeout, [&] {
            ++round;
            switch (round % 6) {
                case 0:
                    w.patno->setValue((round / 6) % 64);
                    break;
                case 1:
                    w.livePattern().setCell(round % 64, int16_t(round % 2));
                    break;
                case 2:
                    w.VScroll1[size_t(round % 4)]->setValue(round % 128);
                    break;
                case 3:
                    w.rando->click();
                    break;
                case 4:
                    w.rock->click();
                    break;
                case 5:
                    w.Command3->click();
                    break;
            }
            if (!w.sequencer().playing()) {
                ++restarts;
                w.Command2->click();  // the song ended: play it again from the top
            }
        });
        user.start(7);

        const int warmUp = std::min(10000, target / 10);
        QTRY_VERIFY_WITH_TIMEOUT(w.Pulsor2.TickCount() >= warmUp, 60000);
        const long kbAfterWarmUp = residentKb();
        QTRY_VERIFY_WITH_TIMEOUT(w.Pulsor2.TickCount() >= target, target * 3 + 60000);
        user.stop();
        if (w.sequencer().playing())
            w.Command2->click();
        const long kbAtEnd = residentKb();

        qInfo(
            "ticks %d (%d raised late), notes sent %ld, other "
            "messages %ld, song restarts %d",
            w.Pulsor2.TickCount(), w.Pulsor2.lateTicks(), count->notes, count->other, restarts);
        qInfo("resident memory: %ld kB after %d ticks, %ld kB after %d", kbAfterWarmUp, warmUp,
              kbAtEnd, w.Pulsor2.TickCount());
        QVERIFY(count->notes > target / 2);
        QVERIFY(restarts >= target / 1616 - 1);  // a 101-bar song is 1616 ticks
        if (!sanitized()) {
            // The sanitizers keep freed memory in quarantine; growth is only measured without.
            QVERIFY2(kbAtEnd - kbAfterWarmUp < 2048,
                     qPrintable(QStringLiteral("grew by %1 kB").arg(kbAtEnd - kbAfterWarmUp)));
        }
    }
};

QTEST_MAIN(TestSoak)
#include "tst_soak.moc"
