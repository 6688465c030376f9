// The editing commands on the pattern on screen, through a live pattern of the test's own
// that records every write: the random fill's arithmetic, the rock preset's cells, the
// order in which reset sets the voice notes, and what each command leaves alone.

#include <QTest>

#include <array>
#include <random>
#include <set>

#include "core/livepattern.h"
#include "core/pattern.h"
#include "editing/editing.h"

namespace {

// The pattern on screen as plain fields; every write is logged ("cell 5=1", "note 2=42").
// Like the window's scroll bars, a note set to the value it has raises nothing and is not
// logged.
class FakeLivePattern : public LivePattern {
public:
    std::array<int16_t, kCells> cells{};
    std::array<int16_t, kVoices> notes{};
    QStringList log;

    int16_t cell(int i) const override { return cells[size_t(i)]; }
    void setCell(int i, int16_t state) override {
        cells[size_t(i)] = state;
        log << QStringLiteral("cell %1=%2").arg(i).arg(state);
    }
    int16_t note(int voice) const override { return notes[size_t(voice)]; }
    void setNote(int voice, int16_t note) override {
        if (notes[size_t(voice)] == note)
            return;
        notes[size_t(voice)] = note;
        log << QStringLiteral("note %1=%2").arg(voice).arg(note);
    }
    // A grid with every state in it and notes of its own, to see what a command leaves.
    void fillWithEverything() {
        for (int i = 0; i < kCells; ++i)
            cells[size_t(i)] = int16_t(i % 3);
        notes = {1, 2, 3, 4};
        log.clear();
    }
};

}  // namespace

class TestEditing : public QObject {
    Q_OBJECT
private slots:
    void randomFillIsFloorOfTwiceA24BitFraction() {
        // r = (top 24 bits of a Mersenne Twister draw) / 2^24, the generator seeded from
        // the seed's two 32-bit halves; the cell is floor(2r), which is the draw's top bit.
        for (uint64_t seed : {uint64_t(0), uint64_t(1), uint64_t(0x0123456789abcdefULL),
                              uint64_t(1700000000123456789ULL)}) {
            FakeLivePattern live;
            live.fillWithEverything();
            randomFill(live, seed);
            std::seed_seq seq{uint32_t(seed), uint32_t(seed >> 32)};
            std::mt19937 draws(seq);
            for (int i = 0; i < kCells; ++i) {
                const auto r24 = uint32_t(draws() >> 8);
                QCOMPARE(live.cells[size_t(i)], int16_t(r24 >= (1u << 23) ? 1 : 0));
            }
            QCOMPARE(live.log.size(), kCells);  // each cell once, in order
            QCOMPARE(live.log.first(), QStringLiteral("cell 0=%1").arg(live.cells[0]));
            QCOMPARE(live.notes, (std::array<int16_t, kVoices>{1, 2, 3, 4}));
        }
    }

    void randomFillIsOnAboutHalfTheTimeAndNeverDimmed() {
        int on = 0;
        std::set<std::array<int16_t, kCells>> grids;
        for (uint64_t seed = 0; seed < 200; ++seed) {
            FakeLivePattern live;
            randomFill(live, seed * 1'000'003);
            for (int16_t c : live.cells) {
                QVERIFY(c == kOff || c == kOn);
                on += c;
            }
            grids.insert(live.cells);
        }
        QCOMPARE(grids.size(), size_t(200));  // two seeds, two grids
        const double share = double(on) / (200.0 * kCells);
        QVERIFY2(share > 0.47 && share < 0.53, qPrintable(QString::number(share)));
    }

    void rockPresetIsTwentyOneCellsOnAClearGrid() {
        FakeLivePattern live;
        live.fillWithEverything();
        rockPreset(live);
        std::set<int> want{0, 6, 8, 20, 28};  // bass drum 0, 6, 8; snare 4 and 12
        for (int step = 0; step < kSteps; step += 2)
            want.insert(cellIndex(2, step));  // hi-hat on the even steps
        for (int step = 1; step < kSteps; step += 2)
            want.insert(cellIndex(3, step));  // the fourth voice on the odd ones
        QCOMPARE(want.size(), size_t(21));
        for (int i = 0; i < kCells; ++i)
            QCOMPARE(live.cells[size_t(i)], int16_t(want.count(i) ? kOn : kOff));
        // Cleared first, dimmed cells too, then the beat; the notes stay.
        QCOMPARE(live.log.size(), kCells + 21);
        QCOMPARE(live.log.at(kCells - 1), QStringLiteral("cell 63=0"));
        QCOMPARE(live.notes, (std::array<int16_t, kVoices>{1, 2, 3, 4}));
    }

    void clearSwitchesEveryCellOffAndKeepsTheNotes() {
        FakeLivePattern live;
        live.fillWithEverything();
        clearGrid(live);
        for (int16_t c : live.cells)
            QCOMPARE(c, kOff);
        QCOMPARE(live.notes, (std::array<int16_t, kVoices>{1, 2, 3, 4}));
    }

    void resetSetsTheNotesInVoiceOrder() {
        FakeLivePattern live;
        live.fillWithEverything();
        resetVoiceNotes(live);
        QCOMPARE(live.log, (QStringList{QStringLiteral("note 0=35"), QStringLiteral("note 1=40"),
                                        QStringLiteral("note 2=42"), QStringLiteral("note 3=82")}));
        // Notes that are already right raise nothing; the cells stay.
        live.notes[2] = 7;
        live.log.clear();
        resetVoiceNotes(live);
        QCOMPARE(live.log, QStringList{QStringLiteral("note 2=42")});
        QCOMPARE(live.cells[1], int16_t(1));
        QCOMPARE(live.cells[2], int16_t(2));
    }
};

QTEST_GUILESS_MAIN(TestEditing)
#include "tst_editing.moc"
