// The two file commands over a scripted dialog and a real folder, the file dialog
// component's own rules, and how a loaded grid meets the step engine and the bank.

#include <QTemporaryDir>
#include <QTest>

#include "core/patternbank.h"
#include "core/sequencer.h"
#include "editing/editing.h"
#include "files/patterncommands.h"
#include "filestestsupport.h"
#include "support/fakecontrols.h"
#include "support/manualclock.h"
#include "support/recordingports.h"

namespace {
using Mode = FileDialogPresenter::Mode;

/// The component with a script behind it, as the main window holds it.
struct Dialog {
    ScriptedDialog* script = nullptr;
    CommonDialog component;
    Dialog() : component(make(script)) {}
    static std::unique_ptr<FileDialogPresenter> make(ScriptedDialog*& out) {
        auto s = std::make_unique<ScriptedDialog>();
        out = s.get();
        return s;
    }
};

struct Told {
    QStringList messages;
    TellUser callback() {
        return [this](const std::string& m) { messages << QString::fromStdString(m); };
    }
};

CellStates rockCells() {
    FakeControls live;
    rockPreset(live);
    return cellsOf(live);
}

/// The sequencer with a clock the test ticks and a recording output, as in the step engine
/// tests.
struct Rig {
    RecordingPorts ports;
    ManualClock timer;
    Sequencer seq{timer, *ports.output};
    Rig() {
        seq.initVoiceNotes();
        seq.edit(resetVoiceNotes);
        ports.output->setDeviceID(0);
        ports.output->setAction(1);
        ports.log.clear();
    }
    LiveGrid grid() { return seq.pattern(); }
    void setCell(int i, int16_t state) {
        seq.edit([i, state](LivePattern& live) { live.setCell(i, state); });
    }
    /// The load command as the window runs it: the file's cells go in as one edit.
    LoadResult load(CommonDialog& dialog, std::string& LoadFileName) {
        return loadPattern(
            dialog, [this](const std::function<void(LivePattern&)>& change) { seq.edit(change); },
            LoadFileName);
    }
    /// The bytes the next step sends; playback starts at the first.
    QStringList tick() {
        if (!seq.playing())
            seq.startOrStop();
        ports.log.clear();
        timer.tick();
        return ports.log.sends();
    }
};
}  // namespace

class TestPatternCommands : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    std::string path(const char* name) const {
        return str(m_dir.filePath(QString::fromLatin1(name)));
    }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    // ------------------------------------------------------------ the dialog component

    void filterInTheToolkitsForm_data() {
        QTest::addColumn<QString>("filter");
        QTest::addColumn<QString>("toolkit");
        QTest::newRow("the program's filter")
            << QString::fromLatin1(kPatternFilter) << "pattern files (*.pat);;all files (*)";
        QTest::newRow("patterns added") << "Text|*.txt"
                                        << "Text (*.txt)";
        QTest::newRow("several patterns") << "Songs|*.pat;*.song"
                                          << "Songs (*.pat *.song)";
        QTest::newRow("other parentheses") << "Text (plain)|*.txt"
                                           << "Text (plain) (*.txt)";
        QTest::newRow("lone description dropped") << "Text|*.txt|Odd"
                                                  << "Text (*.txt)";
        QTest::newRow("empty") << ""
                               << "";
    }

    void filterInTheToolkitsForm() {
        QFETCH(QString, filter);
        QFETCH(QString, toolkit);
        QCOMPARE(QString::fromStdString(CommonDialog::toolkitFilter(filter.toStdString())),
                 toolkit);
    }

    void dialogKeepsTheNameAcrossUses() {
        Dialog d;
        d.script->choose("/music/a.pat");
        d.script->cancel();
        d.script->fail();
        d.script->choose("");  // "chosen" but nothing named
        d.script->choose("/music/b.pat");
        d.script->choose("/music/c.pat");

        d.component.setDialogTitle("first");
        QCOMPARE(d.component.ShowSave(), DialogResult::Chosen);
        QCOMPARE(d.component.FileName(), std::string("/music/a.pat"));
        QCOMPARE(d.component.ShowOpen(), DialogResult::Cancelled);
        QCOMPARE(d.component.ShowOpen(), DialogResult::Failed);
        QCOMPARE(d.component.ShowSave(), DialogResult::Failed);
        QCOMPARE(d.component.FileName(), std::string("/music/a.pat"));
        QCOMPARE(d.component.ShowOpen(), DialogResult::Chosen);
        d.component.setDialogTitle("last");
        QCOMPARE(d.component.ShowSave(), DialogResult::Chosen);

        const auto& asked = d.script->requests;
        QCOMPARE(asked.size(), std::size_t(6));
        QCOMPARE(asked[0].fileName, std::string());
        for (int i : {1, 2, 3, 4})
            QCOMPARE(asked[i].fileName, std::string("/music/a.pat"));
        QCOMPARE(asked[5].fileName, std::string("/music/b.pat"));
        QCOMPARE(asked[0].title, std::string("first"));
        QCOMPARE(asked[5].title, std::string("last"));
        QCOMPARE(int(asked[1].mode), int(Mode::Open));
        QCOMPARE(int(asked[5].mode), int(Mode::Save));
    }

    // ------------------------------------------------------------ the commands

    void saveReplacesAnExistingFile() {
        Dialog d;
        Told told;
        FakeControls live;
        rockPreset(live);
        std::string SaveFileName;
        QVERIFY(writeBytes(m_dir.filePath("old.pat"), QByteArray(500, '7')));
        d.script->choose(path("old.pat"));
        savePatternAs(d.component, live, SaveFileName, told.callback());
        QCOMPARE(readBytes(m_dir.filePath("old.pat")), patternBytes(rockCells()));
        QCOMPARE(told.messages, QStringList());
    }

    void cancelOrFailureChangesNothing() {
        for (bool cancel : {true, false}) {
            Dialog d;
            Told told;
            FakeControls live;
            rockPreset(live);
            d.component.setFileName("/remembered.pat");
            std::string SaveFileName = "/saved-before.pat", LoadFileName = "/loaded-before.pat";
            const QStringList before = entries(m_dir.path());
            for (int i = 0; i < 2; ++i)
                cancel ? d.script->cancel() : d.script->fail();

            savePatternAs(d.component, live, SaveFileName, told.callback());
            const LoadResult r = loadPattern(d.component, live, LoadFileName);
            QVERIFY(!r.applied);
            QCOMPARE(live.cells, rockCells());
            QCOMPARE(SaveFileName, std::string("/saved-before.pat"));
            QCOMPARE(LoadFileName, std::string("/loaded-before.pat"));
            QCOMPARE(d.component.FileName(), std::string("/remembered.pat"));
            QCOMPARE(entries(m_dir.path()), before);
            QCOMPARE(told.messages, QStringList());
            QCOMPARE(d.script->unexpectedShows, 0);
        }
    }

    void theNamesAreKeptApart() {
        Dialog d;
        Told told;
        FakeControls live;
        std::string SaveFileName, LoadFileName;
        QVERIFY(writeBytes(m_dir.filePath("in.pat"), patternBytes(rockCells())));
        d.script->choose(path("out.pat"));
        d.script->choose(path("in.pat"));
        d.script->cancel();
        savePatternAs(d.component, live, SaveFileName, told.callback());
        loadPattern(d.component, live, LoadFileName);
        savePatternAs(d.component, live, SaveFileName, told.callback());
        QCOMPARE(SaveFileName, path("out.pat"));
        QCOMPARE(LoadFileName, path("in.pat"));
        // The one dialog shows the name last chosen in either command.
        QCOMPARE(d.script->requests[1].fileName, path("out.pat"));
        QCOMPARE(d.script->requests[2].fileName, path("in.pat"));
        QCOMPARE(d.component.FileName(), path("in.pat"));
    }

    void aSaveThatFailsTellsTheUserOnce() {
        Dialog d;
        Told told;
        FakeControls live;
        rockPreset(live);
        std::string SaveFileName;
        const QByteArray old = QByteArray("previous\r\n");
        QVERIFY(writeBytes(m_dir.filePath("full.pat"), old));
        SaveOptions options;
        options.write = [](int, const void*, std::size_t) -> ssize_t {
            errno = ENOSPC;
            return -1;
        };
        d.script->choose(path("full.pat"));
        savePatternAs(d.component, live, SaveFileName, told.callback(), options);
        QCOMPARE(told.messages,
                 QStringList{"Cannot save \"" + m_dir.filePath("full.pat") +
                             "\": no space left on device. The file that was there is unchanged."});
        QCOMPARE(readBytes(m_dir.filePath("full.pat")), old);
        // The name was taken from the dialog before the save was tried.
        QCOMPARE(SaveFileName, path("full.pat"));
    }

    void aLoadThatFailsIsSilentAndChangesNothing() {
        Dialog d;
        FakeControls live;
        rockPreset(live);
        std::string LoadFileName;
        const QString file = m_dir.filePath("vanishing.pat");
        QVERIFY(writeBytes(file, repeat("0\r\n")));
        // Removed while the dialog is still open, after the user picked it.
        d.script->choose(str(file), [file] { QFile::remove(file); });
        d.script->choose(str(m_dir.path()));
        const LoadResult gone = loadPattern(d.component, live, LoadFileName);
        QVERIFY(!gone.applied);
        QCOMPARE(LoadFileName, str(file));
        const LoadResult folder = loadPattern(d.component, live, LoadFileName);
        QVERIFY(!folder.applied);
        QCOMPARE(live.cells, rockCells());
    }

    // ------------------------------------------------------------ loaded grids in use

    void aDimmedCellIsShownButNotPlayed() {
        Rig rig;
        Dialog d;
        std::string LoadFileName;
        // Step 0: voice 0 dimmed, voice 1 on, voice 2 off, voice 3 dimmed.
        QByteArray file;
        for (int i = 0; i < kCells; ++i) {
            const bool dimmed = i == cellIndex(0, 0) || i == cellIndex(3, 0);
            file += dimmed ? "2\r\n" : i == cellIndex(1, 0) ? "1\r\n" : "0\r\n";
        }
        QVERIFY(writeBytes(m_dir.filePath("dim.pat"), file));
        d.script->choose(path("dim.pat"));
        rig.load(d.component, LoadFileName);
        QCOMPARE(rig.grid().cell(cellIndex(0, 0)), kDimmed);
        QCOMPARE(rig.grid().cell(cellIndex(3, 0)), kDimmed);
        QCOMPARE(rig.tick(), QStringList{QStringLiteral("99 28 66")});
    }

    void loadingTouchesOnlyTheGrid() {
        Rig rig;
        Dialog d;
        std::string LoadFileName;
        rig.seq.selectPattern(5);  // pattern 5 on screen, pattern 0 stored
        rig.seq.edit([](LivePattern& live) {
            const int16_t notes[4] = {36, 38, 44, 70};
            for (int v = 0; v < 4; ++v)
                live.setNote(v, notes[v]);
        });
        auto bank = [&rig] {
            PatternBank b;
            for (int p = 0; p < kPatterns; ++p)
                b[size_t(p)] = rig.seq.storedPattern(int16_t(p));
            return b;
        };
        const PatternBank bankBefore = bank();
        auto sameBank = [](const PatternBank& a, const PatternBank& b) {
            for (int p = 0; p < kPatterns; ++p)
                if (a[p].steps != b[p].steps || a[p].notes != b[p].notes)
                    return false;
            return true;
        };
        QVERIFY(writeBytes(m_dir.filePath("rock.pat"), patternBytes(rockCells())));
        d.script->choose(path("rock.pat"));
        rig.load(d.component, LoadFileName);
        QCOMPARE(rig.grid().cells, rockCells());
        QCOMPARE(rig.grid().notes, (std::array<int16_t, 4>{36, 38, 44, 70}));
        QCOMPARE(rig.seq.snapshot().currentPattern, int16_t(5));
        QVERIFY(sameBank(bank(), bankBefore));

        // Moving the selector stores the loaded grid into the pattern that was on screen.
        rig.seq.selectPattern(6);
        QCOMPARE(rig.seq.storedPattern(5).steps[0], kOn);
        for (int i = 0; i < kCells; ++i)
            QCOMPARE(rig.seq.storedPattern(5).steps[i], rockCells()[i]);
    }

    void loadingWhilePlayingIsHeardFromTheNextStep() {
        Rig rig;
        Dialog d;
        std::string LoadFileName;
        rig.setCell(cellIndex(0, 0), kOn);
        rig.setCell(cellIndex(0, 1), kOn);
        QCOMPARE(rig.tick(), QStringList{QStringLiteral("99 23 66")});
        // Step 1 of the loaded file has only the snare.
        CellStates next{};
        next[cellIndex(1, 1)] = kOn;
        QVERIFY(writeBytes(m_dir.filePath("next.pat"), patternBytes(next)));
        d.script->choose(path("next.pat"));
        rig.load(d.component, LoadFileName);
        QCOMPARE(rig.tick(), QStringList{QStringLiteral("99 28 66")});
    }

private:
    static QByteArray repeat(const QByteArray& unit) {
        QByteArray out;
        for (int i = 0; i < 64; ++i)
            out += unit;
        return out;
    }
};

QTEST_GUILESS_MAIN(TestPatternCommands)
#include "tst_patterncommands.moc"
