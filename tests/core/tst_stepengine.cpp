// The step engine, transport, tempo, song mode and pattern selection, driven headless
// through the sequencer's interface, a clock the test ticks and a recording output port.

#include <QTest>

#include "core/patternbank.h"
#include "core/sequencer.h"
#include "editing/editing.h"
#include "midi/ports/portroutines.h"
#include "support/manualclock.h"
#include "support/recordingports.h"

namespace {
// What a clock output would send: each message with its due time in ms, less what was
// withdrawn ("fa@60", "f8@70"...).
struct ClockLog final : MessageOutput {
    QStringList sent;
    std::vector<int64_t> dues;
    void send(const uint8_t* bytes, std::size_t, int64_t dueNs) override {
        sent << QStringLiteral("%1@%2").arg(bytes[0], 2, 16).arg(double(dueNs) / 1e6);
        dues.push_back(dueNs);
    }
    void withdrawAfter(int64_t timeNs) override {
        for (size_t i = dues.size(); i-- > 0;) {
            if (dues[i] > timeNs) {
                sent.removeAt(qsizetype(i));
                dues.erase(dues.begin() + long(i));
            }
        }
    }
    int64_t leadNs() const override { return 0; }
};

struct Rig {
    RecordingPorts ports;
    ManualClock timer;
    ClockLog clock;
    Sequencer seq{timer, *ports.output, &clock};

    Rig() {
        seq.initVoiceNotes();
        seq.edit(resetVoiceNotes);
        ports.output->setDeviceID(0);
        ports.output->setAction(1);
        ports.log.clear();
    }
    SequencerSnapshot now() { return seq.snapshot(); }
    void setCell(int i, int16_t state) {
        seq.edit([i, state](LivePattern& live) { live.setCell(i, state); });
    }
    /// Start/stop.
    void press() { seq.startOrStop(); }
    void songMode(bool on) {
        if (seq.songMode() != on)
            seq.toggleSongMode();
    }
    /// The bytes sent by the next tick, once its due time has passed.
    QStringList tick() {
        ports.log.clear();
        timer.tick();
        return ports.log.sends();
    }
    /// Plays `n` ticks.
    void ticks(int n) {
        for (int i = 0; i < n; ++i)
            timer.tick();
    }
    /// Selects pattern `n` and puts cell 0 on with voice 0 on `note`.
    void storeBassDrum(int16_t n, int16_t note) {
        seq.selectPattern(n);
        setCell(0, 1);
        seq.setNote(0, note);
    }
};

QStringList messages(std::initializer_list<const char*> hex) {
    QStringList out;
    for (const char* h : hex)
        out << QString::fromLatin1(h);
    return out;
}
}  // namespace

class TestStepEngine : public QObject {
    Q_OBJECT
private slots:
    void startUpState() {
        Rig rig;
        const SequencerSnapshot s = rig.now();
        QCOMPARE(s.currentStep, int16_t(0));
        QCOMPARE(s.currentPattern, int16_t(0));
        QVERIFY(!s.playing);
        QVERIFY(!rig.timer.Enabled());
        QCOMPARE(s.pattern.notes, (std::array<int16_t, 4>{35, 40, 42, 82}));
        QCOMPARE(rig.seq.storedPattern(63).notes[3], int16_t(82));
        QCOMPARE(rig.seq.storedPattern(64).notes[0], int16_t(0));
    }

    void sendsEachMessageWholeInVoiceOrder() {
        Rig rig;
        for (int v = 0; v < 4; ++v)
            rig.setCell(cellIndex(v, 0), 1);
        rig.press();
        QCOMPARE(rig.tick(), messages({"99 23 66", "99 28 66", "99 2a 66", "99 52 66"}));
    }

    void onlyStateOnePlays() {
        Rig rig;
        rig.setCell(cellIndex(0, 0), 2);
        rig.setCell(cellIndex(1, 0), 1);
        rig.press();
        QCOMPARE(rig.tick(), messages({"99 28 66"}));
    }

    void sameNoteTwiceSendsTwoMessages() {
        Rig rig;
        rig.seq.setNote(2, 40);
        rig.setCell(cellIndex(1, 3), 1);
        rig.setCell(cellIndex(2, 3), 1);
        rig.press();
        rig.ticks(3);
        QCOMPARE(rig.tick(), messages({"99 28 66", "99 28 66"}));
    }

    void emptyGridStillAdvancesAndWraps() {
        Rig rig;
        rig.press();
        for (int i = 0; i < 15; ++i)
            QVERIFY(rig.tick().isEmpty());
        QCOMPARE(rig.now().currentStep, int16_t(15));
        rig.tick();
        QCOMPARE(rig.now().currentStep, int16_t(0));
    }

    void rockBarPlaysItsCellsAtTheirSteps() {
        Rig rig;
        rig.seq.edit(rockPreset);
        rig.press();
        QStringList bar;
        for (int s = 0; s < 16; ++s) {
            const QStringList sent = rig.tick();
            bar << QStringLiteral("%1:%2").arg(s).arg(sent.join(QLatin1Char(',')));
        }
        QCOMPARE(bar.at(0), QStringLiteral("0:99 23 66,99 2a 66"));
        QCOMPARE(bar.at(1), QStringLiteral("1:99 52 66"));
        QCOMPARE(bar.at(4), QStringLiteral("4:99 28 66,99 2a 66"));
        QCOMPARE(bar.at(6), QStringLiteral("6:99 23 66,99 2a 66"));
        QCOMPARE(bar.at(8), QStringLiteral("8:99 23 66,99 2a 66"));
        QCOMPARE(bar.at(12), QStringLiteral("12:99 28 66,99 2a 66"));
        QCOMPARE(bar.at(15), QStringLiteral("15:99 52 66"));
        qsizetype total = 0;
        for (const QString& b : bar)
            total += b.count(QStringLiteral("99 "));
        QCOMPARE(total, qsizetype(21));
    }

    void editsAreHeardFromTheNextTick() {
        Rig rig;
        rig.setCell(cellIndex(0, 1), 1);
        rig.press();
        rig.tick();  // step 0
        rig.seq.setNote(0, 36);
        QCOMPARE(rig.tick(), messages({"99 24 66"}));  // step 1, new note
        QCOMPARE(rig.seq.toggleCell(cellIndex(3, 2)), int16_t(1));
        QCOMPARE(rig.tick(), messages({"99 52 66"}));
    }

    void clockTicksHandEachStepOverWithItsDueTime() {
        Rig rig;
        rig.seq.edit(rockPreset);
        rig.press();
        rig.timer.raise(5'000'000'000);
        QCOMPARE(rig.ports.log.sends(), messages({"99 23 66", "99 2a 66"}));
        QCOMPARE(rig.ports.outSystem->lastDueNs, int64_t(5'000'000'000));
        rig.timer.setNow(5'000'000'000);
        QCOMPARE(rig.now().tickCount, 1);
        QCOMPARE(rig.now().currentStep, int16_t(1));
    }

    void aStopWithdrawsWhatIsHandedOverAndATickOfTheStoppedRunPlaysNothing() {
        Rig rig;
        rig.seq.edit(rockPreset);
        rig.press();
        const uint64_t run = rig.timer.run();
        rig.tick();
        rig.ports.log.clear();
        rig.press();  // stop
        QCOMPARE(rig.ports.log.filtered(QStringLiteral("TEST ")),
                 QStringList{QStringLiteral("TEST withdraw")});
        // A tick that was on its way when the stop came is not played, nor counted.
        rig.timer.raiseOf(run, 1'100'000'000);
        rig.timer.setNow(1'100'000'000);
        QVERIFY(rig.ports.log.sends().isEmpty());
        QCOMPARE(rig.now().currentStep, int16_t(1));
        QCOMPARE(rig.timer.TickCount(), 1);
        // Nor one of a run started and stopped since.
        rig.press();
        rig.press();
        rig.timer.raiseOf(run, 1'200'000'000);
        QVERIFY(rig.ports.log.sends().isEmpty());
    }

    // The engine plays each step a lead ahead; what the step changes counts from its due
    // time on. A stop inside the lead leaves the state of the last step heard, in plain and
    // in song mode, and the steps not heard are not counted.
    void aStopInsideTheLeadLeavesTheStateOfTheLastStepHeard() {
        Rig rig;
        rig.storeBassDrum(1, 50);  // pattern 1: bass drum on step 0, note 50
        rig.seq.selectPattern(0);
        rig.seq.edit(rockPreset);  // the grid of pattern 0, not stored yet
        rig.seq.setSongList(u"01");
        rig.songMode(true);
        rig.ports.outSystem->leadNs = 19'000'000;  // a lead of 20 ms
        rig.press();                               // stores the rock beat into pattern 0
        rig.ticks(16);                             // bar 0, pattern 0
        const SequencerSnapshot heard = rig.now();
        QCOMPARE(heard.songPosition, int16_t(1));
        QCOMPARE(heard.currentStep, int16_t(0));
        QCOMPARE(heard.tickCount, 16);
        // Bar 1 is played ahead: pattern 1 is handed over, not yet heard.
        const int64_t barDue = rig.timer.lastDueNs() + 100'000'000;
        rig.ports.log.clear();
        rig.timer.raise(barDue);
        QCOMPARE(rig.ports.log.sends(), messages({"99 32 66"}));
        const SequencerSnapshot ahead = rig.now();
        QCOMPARE(ahead.songPosition, heard.songPosition);
        QCOMPARE(ahead.songBarsStarted, heard.songBarsStarted);
        QCOMPARE(ahead.pattern.cells, heard.pattern.cells);
        QCOMPARE(ahead.tickCount, 16);
        // Stopped 2 ms before the bar was due: as if it never played.
        rig.timer.setNow(barDue - 2'000'000);
        rig.ports.log.clear();
        rig.press();
        QCOMPARE(rig.ports.log.filtered(QStringLiteral("TEST ")),
                 QStringList{QStringLiteral("TEST withdraw")});
        const SequencerSnapshot stopped = rig.now();
        QVERIFY(!stopped.playing);
        QCOMPARE(stopped.songPosition, heard.songPosition);
        QCOMPARE(stopped.songBar, int16_t(0));
        QCOMPARE(stopped.pattern.cells, heard.pattern.cells);
        QCOMPARE(rig.timer.TickCount(), 16);
        // Started again, the song stores the grid it had (the rock beat) into the selected
        // pattern, not the pattern of the bar that never sounded.
        rig.press();
        QCOMPARE(rig.seq.storedPattern(0).steps[cellIndex(3, 1)], kOn);
        QCOMPARE(rig.seq.storedPattern(1).notes[0], int16_t(50));
        // Heard once due: the bar loads its pattern and the window may show it.
        rig.ticks(17);
        QCOMPARE(rig.now().songBar, int16_t(1));
        QCOMPARE(rig.now().pattern.note(0), int16_t(50));
    }

    void aStartStopBeforeTheTickThatEndsTheSongIsAStop() {
        Rig rig;
        rig.seq.setSongList(u"0");
        rig.songMode(true);
        rig.ports.outSystem->leadNs = 19'000'000;  // a lead of 20 ms
        rig.press();
        rig.ticks(16);
        const int64_t endDue = rig.timer.lastDueNs() + 100'000'000;
        rig.timer.raise(endDue);  // the end of the song, decided ahead
        QVERIFY(!rig.timer.Enabled());
        QVERIFY(rig.now().playing);
        rig.timer.setNow(endDue - 1'000'000);
        QVERIFY(!rig.seq.startOrStop());  // a stop, not a start
        QVERIFY(!rig.timer.Enabled());
        // After its due time the song has ended, and the button starts it again.
        rig.press();
        rig.ticks(16);
        rig.timer.raise(rig.timer.lastDueNs() + 100'000'000);
        rig.timer.setNow(rig.timer.lastDueNs() + 100'000'000);
        QVERIFY(!rig.now().playing);
        QVERIFY(rig.seq.startOrStop());
    }

    void theLeadIsTheOutputsLeadAndTheEngineCoverAndFollowsTheOutput() {
        Rig rig;
        rig.ports.outSystem->leadNs = 2'000'000;
        rig.press();
        QCOMPARE(rig.timer.leadTime(), std::chrono::nanoseconds(3'000'000));
        // A JACK server given a new period mid-play: the next tick comes the new lead ahead.
        rig.ports.outSystem->leadNs = 5'000'000;
        rig.tick();
        QCOMPARE(rig.timer.leadTime(), std::chrono::nanoseconds(6'000'000));
        // An output that sends at once gets each step at its due time, not early.
        rig.ports.outSystem->leadNs = 0;
        rig.seq.outputChanged();
        QCOMPARE(rig.timer.leadTime(), std::chrono::nanoseconds(0));
        QCOMPARE(Sequencer::leadFor(0), std::chrono::nanoseconds(0));
        QCOMPARE(Sequencer::leadFor(-5), std::chrono::nanoseconds(0));
    }

    void startAndStop() {
        Rig rig;
        QVERIFY(rig.seq.startOrStop());
        QVERIFY(rig.timer.Enabled());
        rig.tick();
        rig.tick();
        QVERIFY(!rig.seq.startOrStop());
        QVERIFY(!rig.timer.Enabled());
        QCOMPARE(rig.now().currentStep, int16_t(2));  // stopping leaves the step where it was
        rig.press();
        QCOMPARE(rig.now().currentStep, int16_t(0));
        QVERIFY(rig.timer.Enabled());
    }

    void songModeOffLeavesSongStateAlone() {
        Rig rig;
        rig.seq.setSongList(u"12");
        rig.songMode(true);
        rig.press();
        rig.ticks(16);
        rig.songMode(false);
        rig.press();
        rig.press();
        rig.ticks(40);
        QCOMPARE(rig.now().songPosition, int16_t(1));
        QCOMPARE(rig.now().songBarsStarted, uint64_t(1));
    }

    void songPlaysItsBarsThenStops() {
        Rig rig;
        // Pattern 3: bass drum on step 0 with note 50; pattern 0: the same cell, note 35.
        rig.storeBassDrum(3, 50);
        rig.seq.selectPattern(0);  // stores pattern 3, shows pattern 0
        QCOMPARE(rig.seq.storedPattern(3).notes[0], int16_t(50));
        rig.setCell(0, 1);

        rig.seq.setSongList(u"303");
        rig.songMode(true);
        rig.press();
        QCOMPARE(rig.now().songPosition, int16_t(0));
        QCOMPARE(rig.tick(), messages({"99 32 66"}));  // bar 0 = pattern 3
        QCOMPARE(rig.now().songBar, int16_t(0));
        QCOMPARE(rig.now().songBarPattern, int16_t(3));
        rig.ticks(15);
        QCOMPARE(rig.tick(), messages({"99 23 66"}));  // bar 1 = pattern 0 as stored at start
        QCOMPARE(rig.now().songBar, int16_t(1));
        QCOMPARE(rig.now().songBarPattern, int16_t(0));
        rig.ticks(15);
        QCOMPARE(rig.tick(), messages({"99 32 66"}));
        rig.ticks(15);
        QVERIFY(rig.timer.Enabled());
        // The tick that would start bar 3 ends the song.
        QVERIFY(rig.tick().isEmpty());
        QVERIFY(!rig.timer.Enabled());
        const SequencerSnapshot end = rig.now();
        QVERIFY(!end.playing);
        QCOMPARE(end.currentStep, int16_t(0));
        QCOMPARE(end.songPosition, int16_t(3));
        QCOMPARE(end.songBar, int16_t(2));
        QCOMPARE(end.songBarPattern, int16_t(3));
    }

    void emptySongStopsAtOnce() {
        Rig rig;
        rig.setCell(0, 1);
        rig.songMode(true);
        rig.press();
        QVERIFY(rig.tick().isEmpty());
        QVERIFY(!rig.now().playing);
        QVERIFY(rig.clock.sent.isEmpty());  // nor Start or Stop to a follower
    }

    void restartRereadsTheSongAndStoresTheGrid() {
        Rig rig;
        rig.seq.setSongList(u"12");
        rig.songMode(true);
        rig.press();
        rig.ticks(20);
        rig.press();  // stop mid-song
        QCOMPARE(rig.now().songPosition, int16_t(2));
        rig.seq.setSongList(u"5");
        rig.seq.edit(clearGrid);
        rig.setCell(5, 1);  // the grid now holds an edit of the selected pattern 0
        rig.press();
        QCOMPARE(rig.now().songPosition, int16_t(0));
        QCOMPARE(rig.now().currentStep, int16_t(0));
        QCOMPARE(rig.seq.songSteps()[0], int16_t(5));
        QCOMPARE(rig.seq.songSteps()[1], int16_t(2));  // beyond the new list: kept
        QCOMPARE(rig.seq.storedPattern(0).steps[5], int16_t(1));
    }

    void afterASongStartingAgainStoresTheLastBarIntoTheSelectedPattern() {
        Rig rig;
        rig.setCell(9, 1);
        rig.seq.selectPattern(4);  // pattern 0 keeps cell 9; the grid shows pattern 4 (empty)
        rig.seq.setSongList(u"0");
        rig.songMode(true);
        rig.press();
        rig.ticks(17);
        QVERIFY(!rig.now().playing);
        QCOMPARE(rig.now().pattern.cell(9), int16_t(1));  // the song's last pattern is heard
        rig.press();
        QCOMPARE(rig.seq.storedPattern(4).steps[9], int16_t(1));  // and went into pattern 4
    }

    void songModeToggledDuringPlaybackActsAtTheNextBar() {
        Rig rig;
        rig.seq.setSongList(u"11");
        rig.press();  // song mode off
        rig.tick();
        rig.songMode(true);
        rig.ticks(15);
        QCOMPARE(rig.now().songPosition, int16_t(0));
        // Song mode on without a restart: the song runs from SongPosition with the table of
        // the last parse (all zeros here), and the text's length ends it.
        rig.tick();
        QCOMPARE(rig.now().songPosition, int16_t(1));
        QCOMPARE(rig.now().songBar, int16_t(0));
        QCOMPARE(rig.now().songBarPattern, int16_t(0));
        rig.songMode(false);
        rig.ticks(32);
        QCOMPARE(rig.now().songPosition, int16_t(1));
        QVERIFY(rig.now().playing);
    }

    void songEditedDuringPlaybackMovesItsEnd() {
        Rig rig;
        rig.seq.setSongList(u"1");
        rig.songMode(true);
        rig.press();
        rig.tick();
        rig.seq.setSongList(u"1111");
        rig.ticks(16 * 3 - 1);
        QVERIFY(rig.now().playing);
        QCOMPARE(rig.now().songPosition, int16_t(3));
    }

    void aSongCannotRunPastTheTable() {
        Rig rig;
        rig.seq.setSongList(std::u16string(101, u'1'));
        rig.songMode(true);
        rig.press();
        // Whatever the list's length, bar 101 ends the song instead of reading past it.
        rig.seq.setSongList(std::u16string(300, u'1'));
        rig.ticks(101 * 16);
        QCOMPARE(rig.now().songPosition, int16_t(101));
        QVERIFY(rig.tick().isEmpty());
        QVERIFY(!rig.now().playing);
        QCOMPARE(rig.now().songPosition, int16_t(101));
    }

    void songModeToggles() {
        Rig rig;
        QVERIFY(rig.seq.toggleSongMode());
        QVERIFY(rig.seq.songMode());
        QVERIFY(!rig.seq.toggleSongMode());
        QVERIFY(!rig.now().songMode);
    }

    // MIDI clock: Start with the first step, six clocks spread over each step at its period,
    // the clocks of steps not heard withdrawn at a stop and Stop sent then; Stop at the end
    // of a song; nothing while stopped or at a panic, and no clock at steps under 2 ms.
    void midiClockFollowsTheSteps() {
        Rig rig;
        rig.seq.setTempo(60);
        rig.press();
        rig.tick();  // due at 60 ms
        rig.seq.setTempo(120);
        rig.tick();  // due at 180 ms
        rig.timer.setNow(200'000'000);
        rig.press();  // stop
        sendPanic(*rig.ports.output);
        QCOMPARE(rig.clock.sent, QStringList({"fa@60", "f8@60", "f8@70", "f8@80", "f8@90", "f8@100",
                                              "f8@110", "f8@180", "f8@200", "fc@200"}));
        rig.clock.sent.clear();
        rig.clock.dues.clear();
        rig.seq.setSongList(u"0");
        rig.songMode(true);
        rig.press();
        rig.ticks(17);
        QCOMPARE(rig.clock.sent.size(), 2 + 16 * 6);
        QCOMPARE(rig.clock.sent.last(),
                 QStringLiteral("fc@%1").arg(double(rig.timer.lastDueNs()) / 1e6));
        rig.clock.sent.clear();
        rig.songMode(false);
        rig.seq.setTempo(1);
        rig.press();
        rig.ticks(3);
        QCOMPARE(rig.clock.sent.size(), 1);
    }

    void tempoGoesUnchangedToTheTimer() {
        Rig rig;
        QCOMPARE(rig.timer.Interval(), 100);
        for (int v : {0, 1, 137, 200}) {
            rig.seq.setTempo(v);
            QCOMPARE(rig.timer.Interval(), v);
        }
        rig.press();
        rig.seq.setTempo(50);
        QVERIFY(rig.timer.Enabled());
        QCOMPARE(rig.timer.Interval(), 50);
    }

    void patternSelectionKeepsEdits() {
        Rig rig;
        rig.setCell(12, 1);
        rig.seq.setNote(1, 77);
        rig.seq.selectPattern(1);
        QCOMPARE(rig.now().pattern.cell(12), int16_t(0));  // never stored: empty grid
        QCOMPARE(rig.now().pattern.notes, (std::array<int16_t, 4>{35, 40, 42, 82}));
        rig.seq.selectPattern(0);
        QCOMPARE(rig.now().pattern.cell(12), int16_t(1));
        QCOMPARE(rig.now().pattern.note(1), int16_t(77));
        QCOMPARE(rig.now().currentPattern, int16_t(0));
    }
};

QTEST_GUILESS_MAIN(TestStepEngine)
#include "tst_stepengine.moc"
