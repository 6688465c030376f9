// The pattern file commands in the real main window, offscreen: cells set with the mouse,
// saved and loaded through the File menu's actions, a failed save told in a message box.

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QStyleOptionButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "filestestsupport.h"
#include "support/recordingports.h"
#include "ui/frmmain.h"
#include "ui/gridcell.h"

namespace {
/// The window over recording ports and a scripted file dialog.
struct Window {
    RecordingPorts ports;
    ScriptedDialog* dialog = nullptr;
    std::unique_ptr<frmMain> w;

    Window() {
        FrmMainParts parts;
        parts.input = std::move(ports.input);
        parts.output = std::move(ports.output);
        auto scripted = std::make_unique<ScriptedDialog>();
        dialog = scripted.get();
        parts.fileDialog = std::move(scripted);
        parts.endProgram = [] {};
        w = std::make_unique<frmMain>(std::move(parts));
        w->show();
    }
    CellStates grid() const {
        CellStates c{};
        for (int i = 0; i < kCells; ++i)
            c[i] = w->Check1[i]->state();
        return c;
    }
    void click(GridCell* cell) {
        QStyleOptionButton opt;
        opt.initFrom(cell);
        const QRect box = cell->style()->subElementRect(QStyle::SE_CheckBoxClickRect, &opt, cell);
        QTest::mouseClick(cell, Qt::LeftButton, {}, box.center());
    }
};

/// Answers every message box that opens with OK, keeping what it showed.
struct MessageBoxes : QObject {
    struct Box {
        QString title, text;
        QMessageBox::StandardButtons buttons;
    };
    QList<Box> seen;
    QTimer timer;
    MessageBoxes() {
        connect(&timer, &QTimer::timeout, this, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box || !box->isVisible())
                return;
            seen.push_back({box->windowTitle(), box->text(), box->standardButtons()});
            box->button(QMessageBox::Ok)->click();
        });
        timer.start(20);
    }
};
}  // namespace

class TestFrmMainFiles : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void saveClearLoadThroughTheMenu() {
        Window win;
        QVERIFY(QTest::qWaitForWindowExposed(win.w.get()));
        QTest::mouseClick(win.w->rock, Qt::LeftButton);
        win.click(win.w->Check1[0]);  // bass drum on step 0 off
        win.click(win.w->Check1[1]);  // and on step 1 on
        CellStates expected{};
        for (int i : {1, 6, 8, 20, 28})
            expected[i] = kOn;
        for (int i = 32; i <= 46; i += 2)
            expected[i] = kOn;
        for (int i = 49; i <= 63; i += 2)
            expected[i] = kOn;
        QCOMPARE(win.grid(), expected);

        const QString file = m_dir.filePath(QStringLiteral("window.pat"));
        win.dialog->choose(str(file));
        win.w->MnuSavePatternAs->trigger();
        QCOMPARE(readBytes(file), patternBytes(expected));
        QCOMPARE(readBytes(file).size(), 192);
        QCOMPARE(win.w->SaveFileName, str(file));
        QCOMPARE(win.dialog->requests.back().title, std::string("Save Pattern File"));

        QTest::mouseClick(win.w->clear, Qt::LeftButton);
        QCOMPARE(win.grid(), CellStates{});

        win.dialog->choose(str(file));
        win.w->mnuLoadPattern->trigger();
        QCOMPARE(win.grid(), expected);
        QCOMPARE(win.w->LoadFileName, str(file));
        QCOMPARE(win.dialog->requests.back().title, std::string("Open Pattern File"));
        QCOMPARE(win.dialog->requests.back().fileName, str(file));

        // A "2" shows the cell dimmed.
        const QString dimmed = m_dir.filePath(QStringLiteral("dimmed.pat"));
        QVERIFY(writeBytes(dimmed, "0\r\n0\r\n2\r\n"));
        win.dialog->choose(str(dimmed));
        win.w->mnuLoadPattern->trigger();
        QCOMPARE(win.w->Check1[2]->checkState(), Qt::PartiallyChecked);
        QCOMPARE(win.w->Check1[1]->checkState(), Qt::Unchecked);
        QCOMPARE(win.w->Check1[20]->checkState(), Qt::Checked);
        QCOMPARE(win.dialog->unexpectedShows, 0);
    }

    void aFailedSaveIsToldOnceAndCancelSaysNothing() {
        Window win;
        QVERIFY(QTest::qWaitForWindowExposed(win.w.get()));
        QTest::mouseClick(win.w->rock, Qt::LeftButton);
        const CellStates before = win.grid();
        MessageBoxes boxes;

        const QString nowhere = m_dir.filePath(QStringLiteral("missing folder/beat.pat"));
        win.dialog->choose(str(nowhere));
        win.w->MnuSavePatternAs->trigger();
        QCOMPARE(boxes.seen.size(), 1);
        QCOMPARE(boxes.seen[0].title, QStringLiteral("midi pattern sequencer 1"));
        QCOMPARE(boxes.seen[0].text, "Cannot save \"" + nowhere + "\": there is no folder \"" +
                                         m_dir.filePath(QStringLiteral("missing folder")) + "\".");
        QCOMPARE(boxes.seen[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QCOMPARE(win.w->SaveFileName, str(nowhere));
        QCOMPARE(win.grid(), before);

        win.dialog->cancel();
        win.w->MnuSavePatternAs->trigger();
        win.dialog->cancel();
        win.w->mnuLoadPattern->trigger();
        // A load that fails says nothing either.
        win.dialog->choose(str(m_dir.filePath(QStringLiteral("not there.pat"))));
        win.w->mnuLoadPattern->trigger();
        QCOMPARE(boxes.seen.size(), 1);
        QCOMPARE(win.w->SaveFileName, str(nowhere));
        QCOMPARE(win.grid(), before);
        QCOMPARE(win.dialog->unexpectedShows, 0);
    }
};

QTEST_MAIN(TestFrmMainFiles)
#include "tst_frmmain_files.moc"
