// The step engine, transport, tempo, song mode and pattern selection, driven headless
// through plain controls, a clock the test ticks and a recording output port.

#include <QTest>

#include "core/patternbank.h"
#include "core/pulsor.h"
#include "editing/editing.h"
#include "midi/ports/portroutines.h"
#include "support/fakecontrols.h"
#include "support/manualclock.h"
#include "support/recordingports.h"

namespace {
struct Rig {
    RecordingPorts ports;
    FakeControls controls;
    ManualClock timer;
    Sequencer seq{controls, timer, *ports.output};
    int opens = 0;

    Rig() {
        controls.sequencer = &seq;
        controls.onNoteChanged = [this](int v) { seq.VScroll1_Change(v); };
        seq.Form_Load([this] { seq.edit(resetVoiceNotes); });
        ports.output->setDeviceID(0);
        ports.output->setAction(1);
        ports.log.clear();
    }
    /// The user moves a voice bar: the window writes the note into the model, then the
    /// bar's change event runs.
    void moveBar(int voice, int16_t note) {
        controls.notes[size_t(voice)] = note;
        seq.setNote(voice, note);
        seq.VScroll1_Change(voice);
    }
    void start() {
        seq.Command2_Click([this] {
            ++opens;
            seq.SetupPending = 0;
        });
    }
    void songMode(bool on) {
        if (seq.songModeOn() != on)
            seq.songmode_Click();
    }
    /// The bytes sent by the next tick.
    QStringList tick() {
        ports.log.clear();
        seq.Pulsor2_Tick();
        return ports.log.sends();
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
        QCOMPARE(rig.seq.CurrentStep, int16_t(0));
        QCOMPARE(rig.seq.CurrentPattern, int16_t(0));
        QCOMPARE(rig.seq.SetupPending, int16_t(-1));
        QVERIFY(!rig.timer.Enabled());
        QCOMPARE(rig.controls.notes, (std::array<int16_t, 4>{35, 40, 42, 82}));
        QCOMPARE(rig.controls.voiceCaptions, (std::array<std::string, 4>{"35", "40", "42", "82"}));
        QCOMPARE(rig.seq.bank[63].notes[3], int16_t(82));
        QCOMPARE(rig.seq.bank[64].notes[0], int16_t(0));
    }

    void sendsEachMessageWholeInVoiceOrder() {
        Rig rig;
        for (int v = 0; v < 4; ++v)
            rig.seq.grid.cells[cellIndex(v, 0)] = 1;
        QCOMPARE(rig.tick(), messages({"99 23 66", "99 28 66", "99 2a 66", "99 52 66"}));
    }

    void onlyStateOnePlays() {
        Rig rig;
        rig.seq.grid.cells[cellIndex(0, 0)] = 2;
        rig.seq.grid.cells[cellIndex(1, 0)] = 1;
        QCOMPARE(rig.tick(), messages({"99 28 66"}));
    }

    void sameNoteTwiceSendsTwoMessages() {
        Rig rig;
        rig.moveBar(2, 40);
        rig.seq.grid.cells[cellIndex(1, 3)] = 1;
        rig.seq.grid.cells[cellIndex(2, 3)] = 1;
        rig.seq.CurrentStep = 3;
        QCOMPARE(rig.tick(), messages({"99 28 66", "99 28 66"}));
    }

    void emptyGridStillAdvancesAndWraps() {
        Rig rig;
        for (int i = 0; i < 15; ++i)
            QVERIFY(rig.tick().isEmpty());
        QCOMPARE(rig.seq.CurrentStep, int16_t(15));
        rig.tick();
        QCOMPARE(rig.seq.CurrentStep, int16_t(0));
    }

    void rockBarPlaysItsCellsAtTheirSteps() {
        Rig rig;
        rig.seq.edit(rockPreset);
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
        rig.seq.setCell(cellIndex(0, 1), 1);
        rig.tick();  // step 0
        rig.moveBar(0, 36);
        QCOMPARE(rig.tick(), messages({"99 24 66"}));  // step 1, new note
        rig.seq.setCell(cellIndex(3, 2), 1);
        QCOMPARE(rig.tick(), messages({"99 52 66"}));
    }

    void clockTicksHandEachStepOverWithItsDueTime() {
        Rig rig;
        rig.seq.edit(rockPreset);
        rig.start();
        rig.timer.tick(5'000'000'000);
        QCOMPARE(rig.ports.log.sends(), messages({"99 23 66", "99 2a 66"}));
        QCOMPARE(rig.ports.outSystem->lastDueNs, int64_t(5'000'000'000));
        // Shown by the catch-up the step asked for, with the clock's count.
        QCOMPARE(rig.controls.ticksText, std::string("1"));
        QCOMPARE(rig.seq.CurrentStep, int16_t(1));
        // A panic between steps leaves at once, not at the last step's time.
        rig.ports.log.clear();
        sendPanic(*rig.ports.output);
        QCOMPARE(rig.ports.log.sends(), messages({"b9 7b 00"}));
        QCOMPARE(rig.ports.outSystem->lastDueNs, int64_t(0));
    }

    void aStopWithdrawsWhatIsHandedOverAndATickOfTheStoppedRunPlaysNothing() {
        Rig rig;
        rig.seq.edit(rockPreset);
        rig.start();
        const uint64_t run = rig.timer.run();
        rig.timer.tick(1'000'000'000);
        rig.ports.log.clear();
        rig.start();  // stop
        QCOMPARE(rig.ports.log.filtered(QStringLiteral("TEST ")),
                 QStringList{QStringLiteral("TEST withdraw")});
        // A tick that was on its way when the stop came is not played.
        rig.timer.tickOf(run, 1'100'000'000);
        QVERIFY(rig.ports.log.sends().isEmpty());
        QCOMPARE(rig.seq.CurrentStep, int16_t(1));
        // Nor one of a run started and stopped since.
        rig.start();
        rig.start();
        rig.timer.tickOf(run, 1'200'000'000);
        QVERIFY(rig.ports.log.sends().isEmpty());
    }

    void theLeadIsTheOutputsLeadAndTheEngineCoverAndFollowsTheOutput() {
        Rig rig;
        rig.ports.outSystem->leadNs = 2'000'000;
        rig.start();
        QCOMPARE(rig.timer.leadTime(), std::chrono::nanoseconds(3'000'000));
        // A JACK server given a new period mid-play: the next tick comes the new lead ahead.
        rig.ports.outSystem->leadNs = 5'000'000;
        rig.timer.tick(1'000'000'000);
        QCOMPARE(rig.timer.leadTime(), std::chrono::nanoseconds(6'000'000));
        // An output that sends at once gets each step at its due time, not early.
        rig.ports.outSystem->leadNs = 0;
        rig.seq.outputChanged();
        QCOMPARE(rig.timer.leadTime(), std::chrono::nanoseconds(0));
        QCOMPARE(Sequencer::leadFor(0), std::chrono::nanoseconds(0));
        QCOMPARE(Sequencer::leadFor(-5), std::chrono::nanoseconds(0));
    }

    void tickCountShownOnlyWhenPositive() {
        Rig rig;
        rig.controls.ticksText = "untouched";
        rig.seq.Pulsor2_Tick();  // TickCount is 0: nothing raised by the timer yet
        QCOMPARE(rig.controls.ticksText, std::string("untouched"));
    }

    void startAndStop() {
        Rig rig;
        rig.start();
        QCOMPARE(rig.opens, 1);
        QVERIFY(rig.timer.Enabled());
        rig.tick();
        rig.tick();
        rig.start();  // stop
        QVERIFY(!rig.timer.Enabled());
        QCOMPARE(rig.seq.CurrentStep, int16_t(2));  // stopping leaves the step where it was
        rig.start();
        QCOMPARE(rig.opens, 1);  // setup ran once only
        QCOMPARE(rig.seq.CurrentStep, int16_t(0));
        QVERIFY(rig.timer.Enabled());
    }

    void songModeOffLeavesSongStateAlone() {
        Rig rig;
        rig.seq.SongPosition = 7;
        rig.controls.songStepCaption = "x";
        rig.start();
        for (int i = 0; i < 40; ++i)
            rig.tick();
        QCOMPARE(rig.seq.SongPosition, int16_t(7));
        QCOMPARE(rig.controls.songStepCaption, std::string("x"));
    }

    void songPlaysItsBarsThenStops() {
        Rig rig;
        // Pattern 3: bass drum on step 0 with note 50; pattern 0: the same cell, note 35.
        rig.controls.patno = 3;
        rig.seq.patno_Change();
        rig.seq.setCell(0, 1);
        rig.moveBar(0, 50);
        rig.controls.patno = 0;
        rig.seq.patno_Change();  // stores pattern 3, shows pattern 0
        QCOMPARE(rig.seq.bank[3].notes[0], int16_t(50));
        rig.seq.setCell(0, 1);

        rig.seq.songList = u"303";
        rig.songMode(true);
        rig.start();
        QCOMPARE(rig.seq.SongPosition, int16_t(0));
        QCOMPARE(rig.tick(), messages({"99 32 66"}));  // bar 0 = pattern 3
        QCOMPARE(rig.controls.songStepCaption, std::string("0:3"));
        for (int i = 1; i < 16; ++i)
            rig.tick();
        QCOMPARE(rig.tick(), messages({"99 23 66"}));  // bar 1 = pattern 0 as stored at start
        QCOMPARE(rig.controls.songStepCaption, std::string("1:0"));
        for (int i = 1; i < 16; ++i)
            rig.tick();
        QCOMPARE(rig.tick(), messages({"99 32 66"}));
        for (int i = 1; i < 16; ++i)
            rig.tick();
        QVERIFY(rig.timer.Enabled());
        // The tick that would start bar 3 ends the song.
        QVERIFY(rig.tick().isEmpty());
        QVERIFY(!rig.timer.Enabled());
        QCOMPARE(rig.seq.CurrentStep, int16_t(0));
        QCOMPARE(rig.seq.SongPosition, int16_t(3));
        QCOMPARE(rig.controls.songStepCaption, std::string("2:3"));
    }

    void emptySongStopsAtOnce() {
        Rig rig;
        rig.seq.setCell(0, 1);
        rig.songMode(true);
        rig.start();
        QVERIFY(rig.tick().isEmpty());
        QVERIFY(!rig.timer.Enabled());
    }

    void restartRereadsTheSongAndStoresTheGrid() {
        Rig rig;
        rig.seq.songList = u"12";
        rig.songMode(true);
        rig.start();
        for (int i = 0; i < 20; ++i)
            rig.tick();
        rig.start();  // stop mid-song
        QCOMPARE(rig.seq.SongPosition, int16_t(2));
        rig.seq.songList = u"5";
        rig.seq.edit(clearGrid);
        rig.seq.setCell(5, 1);  // the grid now holds an edit of the selected pattern 0
        rig.start();
        QCOMPARE(rig.seq.SongPosition, int16_t(0));
        QCOMPARE(rig.seq.CurrentStep, int16_t(0));
        QCOMPARE(rig.seq.SongSteps[0], int16_t(5));
        QCOMPARE(rig.seq.SongSteps[1], int16_t(2));  // beyond the new list: kept
        QCOMPARE(rig.seq.bank[0].steps[5], int16_t(1));
    }

    void afterASongStartingAgainStoresTheLastBarIntoTheSelectedPattern() {
        Rig rig;
        rig.seq.setCell(9, 1);
        rig.controls.patno = 4;
        rig.seq.patno_Change();  // pattern 0 keeps cell 9; the grid shows pattern 4 (empty)
        rig.controls.patno = 0;
        rig.seq.patno_Change();
        rig.controls.patno = 4;
        rig.seq.patno_Change();
        rig.seq.songList = u"0";
        rig.songMode(true);
        rig.start();
        for (int i = 0; i < 17; ++i)
            rig.tick();
        QVERIFY(!rig.timer.Enabled());
        QCOMPARE(rig.controls.cells[9], int16_t(1));  // the song's last pattern is on screen
        rig.start();
        QCOMPARE(rig.seq.bank[4].steps[9], int16_t(1));  // and went into pattern 4
    }

    void songModeToggledDuringPlaybackActsAtTheNextBar() {
        Rig rig;
        rig.seq.songList = u"11";
        rig.start();  // song mode off
        rig.tick();
        rig.songMode(true);
        for (int i = 1; i < 16; ++i)
            rig.tick();
        QCOMPARE(rig.seq.SongPosition, int16_t(0));
        // Song mode on without a restart: the song runs from SongPosition with the table of
        // the last parse (all zeros here), and the text's length ends it.
        rig.tick();
        QCOMPARE(rig.seq.SongPosition, int16_t(1));
        QCOMPARE(rig.controls.songStepCaption, std::string("0:0"));
        rig.songMode(false);
        for (int i = 0; i < 32; ++i)
            rig.tick();
        QCOMPARE(rig.seq.SongPosition, int16_t(1));
        QVERIFY(rig.timer.Enabled());
    }

    void songEditedDuringPlaybackMovesItsEnd() {
        Rig rig;
        rig.seq.songList = u"1";
        rig.songMode(true);
        rig.start();
        rig.tick();
        rig.seq.songList = u"1111";
        for (int i = 1; i < 16 * 3; ++i)
            rig.tick();
        QVERIFY(rig.timer.Enabled());
        QCOMPARE(rig.seq.SongPosition, int16_t(3));
    }

    void aSongCannotRunPastTheTable() {
        Rig rig;
        rig.songMode(true);
        rig.start();  // parses an empty list
        // Whatever the list's length, bar 101 ends the song instead of reading past it.
        rig.seq.songList = std::u16string(300, u'1');
        rig.seq.SongPosition = 101;
        rig.seq.CurrentStep = 0;
        QVERIFY(rig.tick().isEmpty());
        QVERIFY(!rig.timer.Enabled());
        QCOMPARE(rig.seq.SongPosition, int16_t(101));
    }

    void songModeButtonToggles() {
        Rig rig;
        rig.seq.songmode_Click();
        QCOMPARE(rig.seq.songModeTag, std::string("1"));
        QCOMPARE(rig.controls.songModeCaptionText, std::string("S"));
        rig.seq.songmode_Click();
        QCOMPARE(rig.seq.songModeTag, std::string("0"));
        QCOMPARE(rig.controls.songModeCaptionText, std::string(""));
    }

    void tempoGoesUnchangedToTheTimer() {
        Rig rig;
        QCOMPARE(rig.timer.Interval(), 100);
        for (int16_t v : {int16_t(0), int16_t(1), int16_t(137), int16_t(200)}) {
            rig.controls.tempo = v;
            rig.seq.HScroll1_Change();
            QCOMPARE(rig.timer.Interval(), int(v));
        }
        rig.start();
        rig.controls.tempo = 50;
        rig.seq.HScroll1_Change();
        QVERIFY(rig.timer.Enabled());
        QCOMPARE(rig.timer.Interval(), 50);
    }

    void patternSelectionKeepsEdits() {
        Rig rig;
        rig.seq.setCell(12, 1);
        rig.moveBar(1, 77);
        rig.controls.patno = 1;
        rig.seq.patno_Change();
        QCOMPARE(rig.controls.patnoCaption, std::string("1"));
        QCOMPARE(rig.controls.cells[12], int16_t(0));  // never stored: empty grid
        QCOMPARE(rig.controls.notes, (std::array<int16_t, 4>{35, 40, 42, 82}));
        QCOMPARE(rig.controls.voiceCaptions[1], std::string("40"));
        rig.controls.patno = 0;
        rig.seq.patno_Change();
        QCOMPARE(rig.controls.cells[12], int16_t(1));
        QCOMPARE(rig.controls.notes[1], int16_t(77));
        QCOMPARE(rig.controls.voiceCaptions[1], std::string("77"));
        QCOMPARE(rig.seq.CurrentPattern, int16_t(0));
    }
};

QTEST_GUILESS_MAIN(TestStepEngine)
#include "tst_stepengine.moc"
