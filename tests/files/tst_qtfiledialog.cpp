// The file dialog component over the toolkit's real file dialog, offscreen: a timer finds
// the modal dialog, looks at what it shows, types a name and accepts, or cancels.

#include <QApplication>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "files/patterncommands.h"
#include "files/qtfiledialog.h"
#include "filestestsupport.h"

namespace {
/// What the dialog showed when it came up.
struct Seen {
    QString title;
    QStringList nameFilters;
    QString typedName;  // the name field's text on opening
    QString folder;
    QFileDialog::AcceptMode mode = QFileDialog::AcceptOpen;
    bool found = false;
};

/// Waits for the modal file dialog, activates it, notes what it shows, types `name` into its name
/// field and then accepts it as soon as its accept button takes the name (the dialog checks the
/// name against its folder's listing, which it reads in the background), or cancels it with
/// Escape. A dialog still open after ten seconds is rejected, so a test fails, not hangs.
class DialogDriver : public QObject {
public:
    enum class Action { Accept, Cancel };
    DialogDriver(Action action, QString name) : m_action(action), m_name(std::move(name)) {
        connect(&m_timer, &QTimer::timeout, this, &DialogDriver::poll);
        m_clock.start();
        m_timer.start(20);
    }
    Seen seen;
    bool timedOut = false;

private:
    void poll() {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (m_clock.elapsed() > 10000) {
            m_timer.stop();
            timedOut = true;
            if (dialog)
                dialog->reject();
            return;
        }
        if (!dialog || !dialog->isVisible())
            return;
        auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        auto* box = dialog->findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
        if (!name || !box)
            return;
        // Without a window manager nobody activates the dialog, and its name field only
        // follows typing while it has the focus; do what the window manager would.
        if (QApplication::activeWindow() != dialog) {
            dialog->activateWindow();
            return;
        }
        if (!seen.found) {
            seen.found = true;
            seen.title = dialog->windowTitle();
            seen.nameFilters = dialog->nameFilters();
            seen.typedName = name->text();
            seen.folder = dialog->directory().absolutePath();
            seen.mode = dialog->acceptMode();
            name->setFocus();
            name->selectAll();
            QTest::keyClick(name, Qt::Key_Backspace);
            QTest::keyClicks(name, m_name);
        }
        if (m_action == Action::Cancel) {
            m_timer.stop();
            QTest::keyClick(dialog, Qt::Key_Escape);
            return;
        }
        QPushButton* accept =
            box->button(dialog->acceptMode() == QFileDialog::AcceptSave ? QDialogButtonBox::Save
                                                                        : QDialogButtonBox::Open);
        if (!accept || !accept->isEnabled())
            return;
        m_timer.stop();
        QTest::mouseClick(accept, Qt::LeftButton);
    }

    Action m_action;
    QString m_name;
    QTimer m_timer;
    QElapsedTimer m_clock;
};
}  // namespace

class TestQtFileDialog : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    QWidget m_window;

private slots:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        m_window.show();
    }

    void saveThenOpenWithTheRealDialog() {
        CommonDialog dialog(std::make_unique<QtFileDialogPresenter>(&m_window));
        dialog.setDialogTitle("Save Pattern File");
        dialog.setFilter(kPatternFilter);
        // Opens in the folder of the name last chosen, with the name filled in.
        dialog.setFileName(str(m_dir.filePath(QStringLiteral("earlier.pat"))));

        DialogDriver save(DialogDriver::Action::Accept, QStringLiteral("groove.pat"));
        QCOMPARE(dialog.ShowSave(), DialogResult::Chosen);
        QVERIFY(!save.timedOut);
        QVERIFY(save.seen.found);
        QCOMPARE(save.seen.title, QStringLiteral("Save Pattern File"));
        QCOMPARE(save.seen.nameFilters, (QStringList{"pattern files (*.pat)", "all files (*)"}));
        QCOMPARE(save.seen.mode, QFileDialog::AcceptSave);
        QCOMPARE(save.seen.typedName, QStringLiteral("earlier.pat"));
        QCOMPARE(save.seen.folder, QDir(m_dir.path()).absolutePath());
        QCOMPARE(dialog.FileName(), str(m_dir.filePath(QStringLiteral("groove.pat"))));
        QVERIFY2(!QFile::exists(m_dir.filePath(QStringLiteral("groove.pat"))),
                 "the dialog itself writes nothing");

        // The open dialog takes only an existing file.
        QVERIFY(writeBytes(m_dir.filePath(QStringLiteral("there.pat")), "1\r\n"));
        dialog.setDialogTitle("Open Pattern File");
        DialogDriver open(DialogDriver::Action::Accept, QStringLiteral("there.pat"));
        QCOMPARE(dialog.ShowOpen(), DialogResult::Chosen);
        QVERIFY(!open.timedOut);
        QCOMPARE(open.seen.title, QStringLiteral("Open Pattern File"));
        QCOMPARE(open.seen.mode, QFileDialog::AcceptOpen);
        QCOMPARE(open.seen.typedName, QStringLiteral("groove.pat"));
        QCOMPARE(dialog.FileName(), str(m_dir.filePath(QStringLiteral("there.pat"))));
    }

    void cancelKeepsTheName() {
        CommonDialog dialog(std::make_unique<QtFileDialogPresenter>(&m_window));
        dialog.setDialogTitle("Open Pattern File");
        dialog.setFilter(kPatternFilter);
        const std::string before = str(m_dir.filePath(QStringLiteral("kept.pat")));
        dialog.setFileName(before);
        DialogDriver cancel(DialogDriver::Action::Cancel,
                            QStringLiteral("typed but not taken.pat"));
        QCOMPARE(dialog.ShowOpen(), DialogResult::Cancelled);
        QVERIFY(cancel.seen.found && !cancel.timedOut);
        QCOMPARE(dialog.FileName(), before);
    }
};

QTEST_MAIN(TestQtFileDialog)
#include "tst_qtfiledialog.moc"
