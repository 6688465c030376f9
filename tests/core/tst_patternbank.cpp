// The pattern bank's routines and the song-list parser.

#include <QTest>

#include "core/patternbank.h"
#include "support/fakecontrols.h"

class TestPatternBank : public QObject {
    Q_OBJECT
private slots:
    void startUpBank() {
        PatternBank bank{};
        InitVoiceNotes(bank);
        for (int p = 0; p < 64; ++p) {
            for (int v = 0; v < 4; ++v)
                QCOMPARE(bank[p].notes[v], kDefaultNotes[v]);
            for (int i = 0; i < 65; ++i)
                QCOMPARE(bank[p].steps[i], int16_t(0));
            QCOMPARE(bank[p].notes[4], int16_t(0));
        }
        for (int v = 0; v < 5; ++v)
            QCOMPARE(bank[64].notes[v], int16_t(0));
    }

    void storeThenRecallRestoresEverything() {
        PatternBank bank{};
        FakeControls live;
        for (int i = 0; i < 64; ++i)
            live.cells[i] = int16_t(i % 3);
        live.notes = {1, 64, 127, 0};
        StorePattern(bank, live, 17);
        // Nothing beyond the 64 cells and 4 notes is touched.
        QCOMPARE(bank[17].steps[64], int16_t(0));
        QCOMPARE(bank[17].notes[4], int16_t(0));

        FakeControls other;
        other.cells.fill(1);
        other.notes = {35, 40, 42, 82};
        RecallPattern(bank, other, 17);
        QCOMPARE(other.cells, live.cells);
        QCOMPARE(other.notes, live.notes);
    }

    void recallRaisesNoteChangesOnlyForChangedBars() {
        PatternBank bank{};
        InitVoiceNotes(bank);
        FakeControls live;
        live.notes = {35, 40, 0, 82};
        RecallPattern(bank, live, 5);
        QCOMPARE(live.noteChangeEvents, 1);
        QCOMPARE(live.notes[2], int16_t(42));
    }

    void patternSixtyFourIsUsable() {
        PatternBank bank{};
        FakeControls live;
        live.cells[63] = 1;
        live.notes = {9, 9, 9, 9};
        StorePattern(bank, live, 64);
        FakeControls back;
        RecallPattern(bank, back, 64);
        QCOMPARE(back.cells[63], int16_t(1));
        QCOMPARE(back.notes[3], int16_t(9));
    }

    void songListParsesDigitsAndKeepsTheRest() {
        SongStepTable steps{};
        QVERIFY(ParseSongList(u"3014", steps));
        QCOMPARE(steps[0], int16_t(3));
        QCOMPARE(steps[1], int16_t(0));
        QCOMPARE(steps[2], int16_t(1));
        QCOMPARE(steps[3], int16_t(4));
        QVERIFY(ParseSongList(u"12", steps));
        QCOMPARE(steps[0], int16_t(1));
        QCOMPARE(steps[1], int16_t(2));
        QCOMPARE(steps[2], int16_t(1));
        QCOMPARE(steps[3], int16_t(4));
        const SongStepTable before = steps;
        QVERIFY(ParseSongList(u"", steps));
        QCOMPARE(steps, before);
    }

    void songListFillsTheWholeTable() {
        SongStepTable steps{};
        std::u16string full(101, u'7');
        QVERIFY(ParseSongList(full, steps));
        for (int16_t s : steps)
            QCOMPARE(s, int16_t(7));
    }

    void hostileSongListsChangeNothing_data() {
        QTest::addColumn<QString>("text");
        QTest::newRow("letter") << QStringLiteral("12a4");
        QTest::newRow("space") << QStringLiteral("1 2");
        QTest::newRow("sign") << QStringLiteral("-1");
        QTest::newRow("plus") << QStringLiteral("+3");
        QTest::newRow("dot") << QStringLiteral("1.5");
        QTest::newRow("102 digits") << QString(102, QLatin1Char('1'));
        QTest::newRow("1000 digits") << QString(1000, QLatin1Char('9'));
        QTest::newRow("arabic-indic digit") << QString::fromUtf8("1\u0663");
        QTest::newRow("devanagari digit") << QString::fromUtf8("\u0967");
        QTest::newRow("fullwidth digit") << QString::fromUtf8("\uff11\uff12");
        QTest::newRow("superscript two") << QString::fromUtf8("\u00b2");
        QTest::newRow("newline") << QStringLiteral("12\n34");
        QTest::newRow("carriage return") << QStringLiteral("12\r");
        QTest::newRow("tab") << QStringLiteral("\t1");
        QTest::newRow("nul") << QString(QChar(0)) + QStringLiteral("1");
        QTest::newRow("emoji") << QString::fromUtf8("1\U0001F941");
        QTest::newRow("lone surrogate") << QString(QChar(0xD800));
        QTest::newRow("colon after nine") << QStringLiteral("9:");
        QTest::newRow("slash before zero") << QStringLiteral("/0");
        QTest::newRow("hex") << QStringLiteral("0x1");
    }
    void hostileSongListsChangeNothing() {
        QFETCH(QString, text);
        SongStepTable steps{};
        steps.fill(5);
        const SongStepTable before = steps;
        QVERIFY(!ParseSongList(text.toStdU16String(), steps));
        QCOMPARE(steps, before);
        QVERIFY(!isValidSongList(text.toStdU16String()));
    }
};

QTEST_GUILESS_MAIN(TestPatternBank)
#include "tst_patternbank.moc"
