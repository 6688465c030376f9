// The MIDI setup dialog's frame and controls as the user meets them: positions, kinds,
// captions, font, focus order, a fixed frame with only a close button, no icon, and neither
// Enter nor Esc pressing a button of their own. The real dialog runs offscreen over recording
// ports.

#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <cmath>

#include "support/recordingports.h"
#include "ui/midisetupform.h"

namespace {
struct Dialog {
    RecordingPorts ports;
    // The main window it is shown over has an icon of its own.
    QWidget owner;
    MIDISetupForm form{*ports.output, *ports.input, &owner};

    Dialog() { owner.setWindowIcon(QIcon(QStringLiteral(":/icons/midi-pattern-sequencer.xpm"))); }

    int px(int twips) const { return int(std::lround(twips * form.logicalDpiX() / 1440.0)); }
    bool showActive() {
        form.show();
        form.activateWindow();
        return QTest::qWaitForWindowActive(&form);
    }
};
}  // namespace

class TestMIDISetupForm : public QObject {
    Q_OBJECT
private slots:
    void controls_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QRect>("twips");
        auto row = [](const char* name, const char* kind, const char* caption, QRect twips) {
            QTest::newRow(name) << QString::fromLatin1(name) << QString::fromLatin1(kind)
                                << QString::fromLatin1(caption) << twips;
        };
        row("Label1", "label", "MIDI In Device", {150, 240, 2115, 255});
        row("ComboMidiIn", "list", "", {120, 540, 2265, 300});
        row("Label2", "label", "MIDI Out Device", {2490, 240, 2025, 255});
        row("ComboMidiOut", "list", "", {2460, 540, 2265, 300});
        row("CmdOk", "button", "Ok", {5010, 240, 1005, 375});
        row("CmdCancel", "button", "Cancel", {5010, 690, 1005, 375});
    }

    void controls() {
        QFETCH(QString, name);
        QFETCH(QString, kind);
        QFETCH(QString, caption);
        QFETCH(QRect, twips);
        Dialog d;
        auto* w = d.form.findChild<QWidget*>(name);
        QVERIFY(w);
        QCOMPARE(w->parentWidget(), &d.form);
        QCOMPARE(w->geometry(), QRect(d.px(twips.x()), d.px(twips.y()), d.px(twips.width()),
                                      d.px(twips.height())));
        QVERIFY(w->isVisibleTo(&d.form));
        QVERIFY(w->isEnabled());
        QCOMPARE(w->font().family(), QStringLiteral("MS Sans Serif"));
        QCOMPARE(w->font().pointSizeF(), 8.25);
        QCOMPARE(w->font().weight(), QFont::Bold);
        QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(w);
        QVERIFY(iface && !iface->text(QAccessible::Name).isEmpty());

        if (kind == QLatin1String("label")) {
            auto* l = qobject_cast<QLabel*>(w);
            QVERIFY(l);
            QCOMPARE(l->text(), caption);
            QCOMPARE(l->frameShape(), QFrame::NoFrame);
            QCOMPARE(l->focusPolicy(), Qt::NoFocus);
        } else if (kind == QLatin1String("list")) {
            auto* c = qobject_cast<QComboBox*>(w);
            QVERIFY(c);
            // A drop-down list: the user picks an entry, types no text of his own.
            QVERIFY(!c->isEditable());
            QVERIFY(!c->lineEdit());
            QVERIFY(!iface->text(QAccessible::Description).isEmpty());
        } else if (kind == QLatin1String("button")) {
            auto* b = qobject_cast<QPushButton*>(w);
            QVERIFY(b);
            QCOMPARE(b->text(), caption);
            QVERIFY(!b->isDefault());
            QVERIFY(!b->autoDefault());
            QVERIFY(!iface->text(QAccessible::Description).isEmpty());
        } else {
            QFAIL("unknown kind in the table");
        }
    }

    void frame() {
        Dialog d;
        QCOMPARE(d.form.windowTitle(), QStringLiteral("MIDI Setup"));
        QCOMPARE(d.form.size(), QSize(d.px(6315), d.px(1200)));
        QCOMPARE(d.form.minimumSize(), d.form.maximumSize());
        const Qt::WindowFlags flags = d.form.windowFlags();
        QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
        QVERIFY(!flags.testFlag(Qt::WindowMinimizeButtonHint));
        QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
        QVERIFY(!flags.testFlag(Qt::WindowContextHelpButtonHint));
        // No icon, not even the one of the window it belongs to.
        QVERIFY(!d.owner.windowIcon().isNull());
        QVERIFY(d.form.windowIcon().isNull());
        QVERIFY(!d.form.isSizeGripEnabled());
    }

    void focusOrder() {
        Dialog d;
        QVERIFY(d.showActive());
        const QStringList expected = {"ComboMidiIn", "ComboMidiOut", "CmdOk", "CmdCancel"};
        QStringList walked;
        for (int i = 0; i < expected.size(); ++i) {
            walked << QApplication::focusWidget()->objectName();
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        }
        QCOMPARE(walked, expected);
        QCOMPARE(QApplication::focusWidget(), d.form.ComboMidiIn);
    }

    void neitherEnterNorEscPressesAButton() {
        Dialog d;
        QVERIFY(d.showActive());
        d.ports.log.clear();
        for (QWidget* w : {static_cast<QWidget*>(d.form.ComboMidiIn),
                           static_cast<QWidget*>(d.form.ComboMidiOut)}) {
            w->setFocus();
            QTRY_COMPARE(QApplication::focusWidget(), w);
            QTest::keyClick(w, Qt::Key_Escape);
            QTest::keyClick(w, Qt::Key_Return);
            QTest::keyClick(w, Qt::Key_Enter);
            QVERIFY(d.form.isVisible());
            QVERIFY(!d.form.unloaded());
        }
        // No port was reopened: OK did not run.
        QCOMPARE(d.ports.log.filtered(QStringLiteral("out.Action")), QStringList());
        QCOMPARE(d.ports.log.filtered(QStringLiteral("in.Action")), QStringList());
    }
};

QTEST_MAIN(TestMIDISetupForm)
#include "tst_midisetupform.moc"
