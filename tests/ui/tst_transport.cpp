// Transport, tempo, song list, pattern selection and the editing buttons, through the real
// window and its timer.

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStyleOptionButton>
#include <QTest>
#include <QThread>

#include <mutex>

#include "midi/ports/midiport.h"
#include "support/modal.h"
#include "support/windowrig.h"
#include "ui/gridcell.h"
#include "ui/midisetupform.h"

namespace {
void openOutput(WindowRig& rig) {
    rig.window->SetupPending = 0;
    rig.out->setDeviceID(0);
    rig.out->setAction(1);
    rig.ports.log.clear();
}

std::array<int16_t, 64> grid(frmMain& w) {
    std::array<int16_t, 64> g{};
    for (int i = 0; i < 64; ++i)
        g[size_t(i)] = w.livePattern().cell(i);
    return g;
}

/// Clicks a grid cell where a user clicks it: inside the box's click rectangle.
void clickCell(GridCell* cell) {
    QStyleOptionButton opt;
    opt.initFrom(cell);
    const QRect r = cell->style()->subElementRect(QStyle::SE_CheckBoxClickRect, &opt, cell);
    QTest::mouseClick(cell, Qt::LeftButton, {}, r.center());
}

void paste(QLineEdit* box, const QString& text) {
    QApplication::clipboard()->setText(text);
    box->setFocus();
    box->paste();
}
}  // namespace

class TestTransport : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QApplication::setEffectEnabled(Qt::UI_AnimateMenu, false); }

    void startUpState() {
        WindowRig rig;
        frmMain& w = *rig.window;
        QCOMPARE(w.SetupPending, int16_t(-1));
        QCOMPARE(w.sequencer().snapshot().currentStep, int16_t(0));
        QCOMPARE(w.sequencer().snapshot().currentPattern, int16_t(0));
        QVERIFY(!w.Pulsor2.Enabled());
        QCOMPARE(rig.startupLog, QStringList());  // start-up touched no port
        QCOMPARE(rig.out->PortState(), int16_t(0));
        QCOMPARE(rig.in->PortState(), int16_t(0));
        for (int i = 0; i < 4; ++i)
            QCOMPARE(w.Label1[size_t(i)]->text(), QString::number(kDefaultNotes[size_t(i)]));
        QCOMPARE(w.labelpatno->text(), QStringLiteral("0"));
        QCOMPARE(w.patno->value(), 0);
        QCOMPARE(w.HScroll1->value(), 100);
        // Nothing writes the period at start-up: the timer keeps its own starting period.
        QCOMPARE(w.Pulsor2.Interval(), Pulsor::kInitialIntervalMs);
    }

    void everyChangeOnScreenIsInTheModelWhenItsHandlerReturns() {
        WindowRig rig;
        frmMain& w = *rig.window;
        Sequencer& seq = w.sequencer();
        auto model = [&] { return seq.pattern(); };
        w.VScroll1[2]->setValue(77);
        QCOMPARE(model().note(2), int16_t(77));
        QCOMPARE(w.Label1[2]->text(), QStringLiteral("77"));
        w.rock->click();
        QCOMPARE(model().cells, grid(w));
        QCOMPARE(model().cell(cellIndex(0, 6)), kOn);
        w.songlist->setText(QStringLiteral("0120"));
        w.songmode->click();
        QCOMPARE(w.songmodeTag(), std::string("1"));
        // A pattern switch stores the grid with the bar's note and shows the new pattern.
        w.patno->setValue(3);
        QCOMPARE(seq.storedPattern(0).notes[2], int16_t(77));
        QCOMPARE(model().cells, grid(w));
        QCOMPARE(model().note(2), int16_t(42));
        QCOMPARE(w.VScroll1[2]->value(), 42);
        w.reset->click();
        w.clear->click();
        QCOMPARE(model().cells, (std::array<int16_t, 64>{}));
    }

    void playsTheGridOnTheTimersTicks() {
        WindowRig rig;
        openOutput(rig);
        frmMain& w = *rig.window;
        w.rock->click();
        w.HScroll1->setValue(2);
        QCOMPARE(w.Pulsor2.Interval(), 2);
        w.Command2->click();
        QVERIFY(w.Pulsor2.Enabled());
        // Two bars of the rock beat: 21 messages a bar.
        QTRY_VERIFY_WITH_TIMEOUT(rig.ports.log.sends().size() >= 42, 5000);
        w.Command2->click();
        QVERIFY(!w.Pulsor2.Enabled());
        const QStringList sent = rig.ports.log.sends();
        QCOMPARE(sent.mid(0, 3),
                 (QStringList{QStringLiteral("99 23 66"), QStringLiteral("99 2a 66"),
                              QStringLiteral("99 52 66")}));
        QVERIFY(!w.ticks->text().isEmpty());
        QVERIFY(w.ticks->text().toInt() >= 32);
        // Every message of a tick carried that tick's due time.
        QVERIFY(rig.ports.outSystem->lastDueNs > 0);
    }

    void tempoChangeDuringPlaybackKeepsPlaying() {
        WindowRig rig;
        openOutput(rig);
        frmMain& w = *rig.window;
        w.livePattern().setCell(0, 1);
        w.HScroll1->setValue(1);
        w.Command2->click();
        QTRY_VERIFY_WITH_TIMEOUT(rig.ports.log.sends().size() >= 2, 3000);
        w.HScroll1->setValue(0);  // the shortest period
        QCOMPARE(w.Pulsor2.Interval(), 0);
        const auto before = rig.ports.log.sends().size();
        QVERIFY(w.Pulsor2.Enabled());
        QTRY_VERIFY_WITH_TIMEOUT(rig.ports.log.sends().size() >= before + 2, 3000);
        w.HScroll1->setValue(200);
        QCOMPARE(w.Pulsor2.Interval(), 200);
        QVERIFY(w.Pulsor2.Enabled());
        w.Pulsor2.setEnabled(false);
    }

    void songListTakesOnlyDigitsUpToTheTableSize() {
        WindowRig rig;
        QLineEdit* box = rig.window->songlist;
        box->setFocus();
        QTest::keyClicks(box, QStringLiteral("12a 3-4.5\t"));
        QCOMPARE(box->text(), QStringLiteral("12345"));
        box->clear();
        // A paste keeps its digits 0-9 and nothing else.
        paste(box, QStringLiteral("4x5"));
        QCOMPARE(box->text(), QStringLiteral("45"));
        box->clear();
        paste(box, QStringLiteral("0,1,0,1\r\n"));
        QCOMPARE(box->text(), QStringLiteral("0101"));
        box->clear();
        paste(box, QStringLiteral("12\n34\n"));
        QCOMPARE(box->text(), QStringLiteral("1234"));
        box->clear();
        paste(box,
              QString::fromUtf8("\u0661\u0662 \uff13"));  // other scripts' digits name no pattern
        QCOMPARE(box->text(), QString());
        // Into the middle: the cursor ends after what was put in.
        box->setText(QStringLiteral("1199"));
        box->setCursorPosition(2);
        paste(box, QStringLiteral("a2b3c"));
        QCOMPARE(box->text(), QStringLiteral("112399"));
        QCOMPARE(box->cursorPosition(), 4);
        QTest::keyClicks(box, QStringLiteral("x5"));
        QCOMPARE(box->text(), QStringLiteral("1123599"));
        box->clear();
        paste(box, QString(150, QLatin1Char('7')));
        QCOMPARE(box->text(), QString(101, QLatin1Char('7')));  // a long paste keeps what fits
        QTest::keyClicks(box, QStringLiteral("8"));
        QCOMPARE(box->text().size(), qsizetype(101));
        paste(box, QStringLiteral("999"));
        QCOMPARE(box->text().size(), qsizetype(101));
    }

    void aSongPlaysThroughTheWindowAndEnds() {
        WindowRig rig;
        openOutput(rig);
        frmMain& w = *rig.window;
        w.livePattern().setCell(0, 1);
        w.patno->setValue(2);  // pattern 0 keeps cell 0; the grid shows pattern 2
        w.livePattern().setCell(1, 1);
        w.patno->setValue(0);
        w.songlist->setFocus();
        QTest::keyClicks(w.songlist, QStringLiteral("202"));
        w.songmode->click();
        QCOMPARE(w.songmode->text(), QStringLiteral("S"));
        w.HScroll1->setValue(1);
        w.Command2->click();
        QTRY_VERIFY_WITH_TIMEOUT(!w.sequencer().playing(), 5000);
        // The song list was read at the start: bars 2, 0, 2.
        QCOMPARE(w.sequencer().songSteps()[2], int16_t(2));
        QCOMPARE(w.sequencer().snapshot().songPosition, int16_t(3));
        QTRY_COMPARE(w.labelsongstep->text(), QStringLiteral("2:2"));
        // Bars 2, 0, 2: cell 1, cell 0, cell 1 of voice 0.
        QCOMPARE(rig.ports.log.sends().size(), qsizetype(3));
        QCOMPARE(w.labelpatno->text(), QStringLiteral("0"));  // the selector did not move
        QCOMPARE(w.livePattern().cell(1), int16_t(1));        // the grid holds the last bar
    }

    void patternSelectorStoresAndRecalls() {
        WindowRig rig;
        frmMain& w = *rig.window;
        w.rock->click();
        w.VScroll1[2]->setValue(44);
        const auto rock = grid(w);
        w.patno->setValue(63);
        QCOMPARE(w.labelpatno->text(), QStringLiteral("63"));
        QCOMPARE(grid(w), (std::array<int16_t, 64>{}));
        QCOMPARE(w.Label1[2]->text(), QStringLiteral("42"));
        w.patno->setValue(64);  // beyond the range: stays at 63
        QCOMPARE(w.patno->value(), 63);
        w.patno->setValue(0);
        QCOMPARE(grid(w), rock);
        QCOMPARE(w.Label1[2]->text(), QStringLiteral("44"));
    }

    void voiceBarsShowTheirNotes() {
        WindowRig rig;
        frmMain& w = *rig.window;
        w.VScroll1[0]->setValue(0);
        QCOMPARE(w.Label1[0]->text(), QStringLiteral("0"));
        w.VScroll1[0]->setValue(200);
        QCOMPARE(w.Label1[0]->text(), QStringLiteral("127"));
        // Reset when the notes already stand at the defaults raises no change.
        w.reset->click();
        w.Label1[1]->setText(QStringLiteral("untouched"));
        w.reset->click();
        QCOMPARE(w.Label1[1]->text(), QStringLiteral("untouched"));
        QCOMPARE(w.Label1[0]->text(), QStringLiteral("35"));
    }

    void editingButtons() {
        WindowRig rig;
        frmMain& w = *rig.window;
        w.livePattern().setCell(5, 2);
        w.rock->click();
        int on = 0;
        for (int16_t c : grid(w))
            on += c == 1;
        QCOMPARE(on, 21);
        QCOMPARE(w.livePattern().cell(5), int16_t(0));
        w.clear->click();
        QCOMPARE(grid(w), (std::array<int16_t, 64>{}));

        w.rando->click();
        const auto first = grid(w);
        w.rando->click();
        const auto second = grid(w);
        for (int16_t c : first)
            QVERIFY(c == 0 || c == 1);
        for (int16_t c : second)
            QVERIFY(c == 0 || c == 1);
        QVERIFY2(first != second, "two quick presses gave the same grid");
        QCOMPARE(w.Label1[3]->text(), QStringLiteral("82"));
        QCOMPARE(w.sequencer().storedPattern(0).steps,
                 (std::array<int16_t, 65>{}));  // nothing stored
    }

    // A song bar loads its pattern on the engine's thread; the window shows it at its next
    // frame. A click or a key in between acts on the model's value, not on what the widget
    // still shows, and the window then shows the result. A bar whose thumb is held is not
    // moved under it.
    void inputBetweenASongBarAndTheFrameActsOnTheModel() {
        WindowRig rig;
        openOutput(rig);
        frmMain& w = *rig.window;
        const int cell = cellIndex(2, 5);
        w.patno->setValue(1);
        w.livePattern().setCell(cell, 1);
        w.VScroll1[0]->setValue(50);
        w.VScroll1[1]->setValue(60);
        w.patno->setValue(0);  // shows pattern 0: the cell off, notes 35 and 40
        QCOMPARE(w.Check1[size_t(cell)]->state(), int16_t(0));
        QSignalSpy thirdBar(w.VScroll1[2], &QScrollBar::valueChanged);
        QScrollBar* held = w.VScroll1[1];
        held->setSliderDown(true);
        held->setSliderPosition(100);
        w.songlist->setText(QStringLiteral("1"));
        w.songmode->click();
        w.HScroll1->setValue(50);
        w.Command2->click();
        // No event is handled here, so no frame shows the bar before the click.
        QDeadlineTimer deadline(2000);
        while (w.sequencer().snapshot().songBarsStarted == 0 && !deadline.hasExpired())
            QThread::usleep(200);
        QCOMPARE(w.Check1[size_t(cell)]->state(), int16_t(0));
        clickCell(w.Check1[size_t(cell)]);
        QCOMPARE(w.livePattern().cell(cell), int16_t(0));
        QCOMPARE(w.Check1[size_t(cell)]->state(), int16_t(0));
        w.VScroll1[0]->setFocus();
        QTest::keyClick(w.VScroll1[0], Qt::Key_Down);
        QCOMPARE(w.livePattern().note(0), int16_t(51));
        QCOMPARE(w.Label1[0]->text(), QStringLiteral("51"));
        // Frames go by: the held thumb stays, the bar whose note did not change never moved.
        QTest::qWait(100);
        QCOMPARE(held->sliderPosition(), 100);
        QCOMPARE(thirdBar.count(), 0);
        held->setSliderDown(false);
        QCOMPARE(w.livePattern().note(1), int16_t(100));
        w.Command2->click();
    }

    void stopThenStartRestartsAtStepZero() {
        WindowRig rig;
        openOutput(rig);
        frmMain& w = *rig.window;
        w.HScroll1->setValue(1);
        w.Command2->click();
        QTRY_VERIFY_WITH_TIMEOUT(w.sequencer().snapshot().currentStep >= 3, 3000);
        w.Command2->click();
        QVERIFY(w.sequencer().snapshot().currentStep != 0);
        w.HScroll1->setValue(200);
        w.Command2->click();
        QCOMPARE(w.sequencer().snapshot().currentStep, int16_t(0));
        w.Command2->click();
    }
};

QTEST_MAIN(TestTransport)
#include "tst_transport.moc"
