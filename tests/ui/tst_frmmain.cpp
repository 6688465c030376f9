// The main window as the user meets it: every control where the layout puts it, with its
// kind, caption, range and starting value; the grid; the focus order; the menus and their one
// shortcut; the fixed frame; the start-up state; the colours as drawn; clicks on the grid;
// the names a screen reader speaks. The real window runs offscreen over recording ports.

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QShortcut>
#include <QSignalSpy>
#include <QStyleOptionButton>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>

#include <cmath>
#include <cstring>
#include <memory>

#include "support/recordingports.h"
#include "ui/frmmain.h"
#include "ui/gridcell.h"

namespace {
// Left edges of the grid's steps and top edges of its voices within the frame, in twips.
const int kStepLeft[16] = {240,  600,  960,  1320, 2040, 2400, 2760, 3120,
                           3720, 4080, 4440, 4800, 5400, 5760, 6120, 6480};
const int kVoiceTop[4] = {240, 600, 1080, 1560};

struct Window {
    RecordingPorts ports;
    int endCalls = 0;
    std::unique_ptr<frmMain> w;

    Window() {
        FrmMainParts parts;
        parts.input = std::move(ports.input);
        parts.output = std::move(ports.output);
        parts.endProgram = [this] { ++endCalls; };
        w = std::make_unique<frmMain>(std::move(parts));
    }
    ~Window() { w->Pulsor2.setEnabled(false); }
    /// Twips to pixels at the window's logical DPI.
    int px(int twips) const { return int(std::lround(twips * w->logicalDpiX() / 1440.0)); }
    QRect rect(int l, int t, int wd, int h) const { return {px(l), px(t), px(wd), px(h)}; }
    template <typename T>
    T* find(const QString& name) const {
        return w->findChild<T*>(name);
    }
    bool showActive() {
        w->show();
        w->activateWindow();
        return QTest::qWaitForWindowActive(w.get());
    }
};

QColor pixelAt(QWidget* widget, QPoint p) {
    return widget->grab().toImage().pixelColor(p);
}

QString rgbText(const QColor& c) {
    return QStringLiteral("(%1, %2, %3)").arg(c.red()).arg(c.green()).arg(c.blue());
}

QString spokenName(QObject* o) {
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(o);
    return iface ? iface->text(QAccessible::Name) : QString();
}
QString spokenDescription(QObject* o) {
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(o);
    return iface ? iface->text(QAccessible::Description) : QString();
}

/// Clicks a grid cell where a user clicks it: inside the box's click rectangle.
void clickCell(GridCell* cell) {
    QStyleOptionButton opt;
    opt.initFrom(cell);
    const QRect r = cell->style()->subElementRect(QStyle::SE_CheckBoxClickRect, &opt, cell);
    QTest::mouseClick(cell, Qt::LeftButton, {}, r.center());
}

/// Closes whatever modal window a handler opens (a file dialog, a message box).
struct ModalCloser {
    QTimer timer;
    int closed = 0;
    ModalCloser() {
        QObject::connect(&timer, &QTimer::timeout, [this] {
            if (QWidget* m = QApplication::activeModalWidget()) {
                ++closed;
                m->close();
            }
        });
        timer.start(20);
    }
};
}  // namespace

class TestFrmMain : public QObject {
    Q_OBJECT
private slots:
    void controls_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("caption");  // as first shown
        QTest::addColumn<QRect>("twips");      // left, top, width, height
        QTest::addColumn<int>("minimum");
        QTest::addColumn<int>("maximum");
        QTest::addColumn<int>("value");  // as first shown

        auto row = [](const char* name, const char* kind, const char* caption, QRect twips,
                      int min = 0, int max = 0, int value = 0) {
            QTest::newRow(name) << QString::fromLatin1(name) << QString::fromLatin1(kind)
                                << QString::fromLatin1(caption) << twips << min << max << value;
        };
        row("Command1", "button", "open", {3120, 0, 855, 495});
        row("stopbutton", "button", "exit", {4080, 0, 855, 495});
        row("labelpatno", "label", "0", {5520, 120, 375, 255});
        row("patno", "hscroll", "", {6120, 120, 735, 255}, 0, 63, 0);
        row("Frame1", "frame", "pattern", {240, 600, 6855, 2055});
        row("ticks", "textbox", "", {7440, 840, 735, 495});
        row("reset", "button", "r", {120, 2760, 255, 255});
        // The voice bars start at 0; start-up's reset has moved them by the time the window
        // is shown, and their labels follow.
        const int notes[4] = {35, 40, 42, 82};
        for (int i = 0; i < 4; ++i) {
            const QByteArray bar = "VScroll1_" + QByteArray::number(i);
            row(bar.constData(), "vscroll", "", {480 + 600 * i, 2760, 255, 2175}, 0, 127, notes[i]);
        }
        row("clear", "button", "clear", {3240, 2880, 615, 495});
        row("rock", "button", "rock", {3960, 2880, 615, 495});
        row("Command2", "button", "start/stop", {5880, 2880, 1215, 615});
        row("rando", "button", "R", {3240, 3480, 615, 495});
        row("HScroll1", "hscroll", "", {4920, 3720, 2295, 375}, 0, 200, 100);
        row("Label2", "label", "speed", {5400, 4200, 1455, 255});
        row("songmode", "button", "", {3000, 4800, 375, 375});
        row("songlist", "textbox", "", {3480, 4800, 3735, 375});
        row("labelsongstep", "label", "", {7440, 4800, 615, 375});
        const char* noteText[4] = {"35", "40", "42", "82"};
        for (int i = 0; i < 4; ++i) {
            const QByteArray label = "Label1_" + QByteArray::number(i);
            row(label.constData(), "label", noteText[i], {480 + 600 * i, 5040, 375, 255});
        }
        row("Label3", "label", "voices", {840, 5400, 1455, 255});
        row("Command3", "button", "panic", {6480, 5520, 735, 495});
        for (int v = 0; v < 4; ++v) {
            for (int s = 0; s < 16; ++s) {
                const QByteArray cell = "Check1_" + QByteArray::number(16 * v + s);
                row(cell.constData(), "cell", "", {kStepLeft[s], kVoiceTop[v], 255, 255});
            }
        }
    }

    void controls() {
        QFETCH(QString, name);
        QFETCH(QString, kind);
        QFETCH(QString, caption);
        QFETCH(QRect, twips);
        QFETCH(int, minimum);
        QFETCH(int, maximum);
        QFETCH(int, value);

        Window win;
        // As first shown: style sheets settle fonts when the window is shown.
        QVERIFY(win.showActive());
        QWidget* w = win.find<QWidget>(name);
        QVERIFY2(w, qPrintable(name));
        // Grid cells are placed within the frame, everything else within the client area.
        QWidget* expectedParent =
            kind == QLatin1String("cell") ? win.find<QWidget>("Frame1") : win.w->centralWidget();
        QCOMPARE(w->parentWidget(), expectedParent);
        QCOMPARE(w->geometry(), win.rect(twips.x(), twips.y(), twips.width(), twips.height()));
        QVERIFY(w->isVisibleTo(win.w.get()));
        QVERIFY(w->isEnabled());

        if (kind == QLatin1String("button")) {
            auto* b = qobject_cast<QPushButton*>(w);
            QVERIFY(b);
            QCOMPARE(b->text(), caption);
            // Only the song-mode button is on or off; it starts off.
            QCOMPARE(b->isCheckable(), name == QLatin1String("songmode"));
            QVERIFY(!b->isChecked());
            QVERIFY(!b->isDefault());
        } else if (kind == QLatin1String("label")) {
            auto* l = qobject_cast<QLabel*>(w);
            QVERIFY(l);
            QCOMPARE(l->text(), caption);
            QCOMPARE(l->frameShape(), QFrame::NoFrame);
            QCOMPARE(l->focusPolicy(), Qt::NoFocus);
        } else if (kind == QLatin1String("hscroll") || kind == QLatin1String("vscroll")) {
            auto* s = qobject_cast<QScrollBar*>(w);
            QVERIFY(s);
            QCOMPARE(s->orientation(),
                     kind == QLatin1String("hscroll") ? Qt::Horizontal : Qt::Vertical);
            // Minimum at the left or top end.
            QVERIFY(!s->invertedAppearance());
            QCOMPARE(s->minimum(), minimum);
            QCOMPARE(s->maximum(), maximum);
            QCOMPARE(s->value(), value);
            QCOMPARE(s->singleStep(), 1);
            QCOMPARE(s->pageStep(), 1);
        } else if (kind == QLatin1String("frame")) {
            auto* g = qobject_cast<QGroupBox*>(w);
            QVERIFY(g);
            QCOMPARE(g->title(), caption);
            QVERIFY(!g->isCheckable());
            QCOMPARE(g->focusPolicy(), Qt::NoFocus);
        } else if (kind == QLatin1String("textbox")) {
            auto* e = qobject_cast<QLineEdit*>(w);
            QVERIFY(e);
            QCOMPARE(e->text(), caption);
            // The step count is written by the program only; the song list is typed.
            QCOMPARE(e->isReadOnly(), name == QLatin1String("ticks"));
        } else if (kind == QLatin1String("cell")) {
            auto* c = qobject_cast<GridCell*>(w);
            QVERIFY(c);
            QVERIFY(c->text().isEmpty());
            QCOMPARE(c->state(), int16_t(0));
        } else {
            QFAIL("unknown kind in the table");
        }

        // Every control but the pattern number speaks the one font.
        const QFont f = w->font();
        if (name == QLatin1String("labelpatno")) {
            QCOMPARE(f.family(), QStringLiteral("Arial"));
            QCOMPARE(f.pointSizeF(), 11.25);
        } else {
            QCOMPARE(f.family(), QStringLiteral("MS Sans Serif"));
            QCOMPARE(f.pointSizeF(), 8.25);
        }
        QCOMPARE(f.weight(), QFont::Bold);
    }

    void eachControlOnce() {
        // The table above names every control: nothing extra sits in the window.
        Window win;
        int buttons = 0, labels = 0, bars = 0, edits = 0, cells = 0;
        for (QWidget* w : win.w->centralWidget()->findChildren<QWidget*>()) {
            if (qobject_cast<GridCell*>(w))
                ++cells;
            else if (qobject_cast<QPushButton*>(w))
                ++buttons;
            else if (qobject_cast<QLabel*>(w))
                ++labels;
            else if (qobject_cast<QScrollBar*>(w))
                ++bars;
            else if (qobject_cast<QLineEdit*>(w))
                ++edits;
        }
        QCOMPARE(cells, 64);
        QCOMPARE(buttons, 9);
        QCOMPARE(labels, 8);
        QCOMPARE(bars, 6);
        QCOMPARE(edits, 2);
    }

    void frameAndClientArea() {
        Window win;
        QCOMPARE(win.w->windowTitle(), QStringLiteral("midi pattern sequencer 1"));
        QWidget* client = win.w->centralWidget();
        QCOMPARE(client->size(), QSize(win.px(8580), win.px(6555)));
        // The menu bar lies above the client area, outside it.
        QCOMPARE(client->y(), win.w->menuBar()->geometry().bottom() + 1);
        QCOMPARE(win.w->size(), QSize(client->width(), client->y() + client->height()));

        // Fixed: it cannot be resized, by the user or otherwise.
        QCOMPARE(win.w->minimumSize(), win.w->maximumSize());
        QCOMPARE(win.w->minimumSize(), win.w->size());
        const QSize before = win.w->size();
        win.w->resize(before + QSize(100, 80));
        QCOMPARE(win.w->size(), before);

        const Qt::WindowFlags flags = win.w->windowFlags();
        QVERIFY(flags.testFlag(Qt::WindowMinimizeButtonHint));
        QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
        QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
        QVERIFY(flags.testFlag(Qt::WindowTitleHint));

        const QImage icon = win.w->windowIcon().pixmap(32, 32).toImage();
        QCOMPARE(icon.size(), QSize(32, 32));
        QVERIFY(!win.w->windowIcon().availableSizes().isEmpty());
        QCOMPARE(win.w->windowIcon().availableSizes().first(), QSize(32, 32));
    }

    void centredAtStart() {
        Window win;
        const QRect screen = win.w->screen()->geometry();
        const QRect frame = win.w->frameGeometry();
        QCOMPARE(frame.x() - screen.x(), (screen.width() - frame.width()) / 2);
        QCOMPARE(frame.y() - screen.y(), (screen.height() - frame.height()) / 2);
    }

    void iconIsSixteenColours() {
        // The icon keeps to the sixteen colours of the standard palette, plus transparency.
        const QImage icon(QStringLiteral(":/icons/midi-pattern-sequencer.xpm"));
        QCOMPARE(icon.size(), QSize(32, 32));
        const QList<QRgb> palette = {
            qRgb(0, 0, 0),       qRgb(128, 0, 0),   qRgb(0, 128, 0),   qRgb(128, 128, 0),
            qRgb(0, 0, 128),     qRgb(128, 0, 128), qRgb(0, 128, 128), qRgb(192, 192, 192),
            qRgb(128, 128, 128), qRgb(255, 0, 0),   qRgb(0, 255, 0),   qRgb(255, 255, 0),
            qRgb(0, 0, 255),     qRgb(255, 0, 255), qRgb(0, 255, 255), qRgb(255, 255, 255)};
        QSet<QRgb> used;
        int opaque = 0;
        for (int y = 0; y < 32; ++y) {
            for (int x = 0; x < 32; ++x) {
                const QRgb p = icon.pixel(x, y);
                if (qAlpha(p) == 0)
                    continue;
                QCOMPARE(qAlpha(p), 255);
                QVERIFY2(palette.contains(p),
                         qPrintable(QStringLiteral("pixel %1,%2").arg(x).arg(y)));
                used.insert(p);
                ++opaque;
            }
        }
        // A picture, not an empty or one-colour square.
        QVERIFY(used.size() >= 3);
        QVERIFY(opaque > 200 && opaque < 32 * 32);
    }

    void fonts() {
        Window win;
        // The Windows families resolve to a sans that is installed here.
        const QStringList families = QFontDatabase::families();
        QString expectedSans;
        for (const char* f : {"Microsoft Sans Serif", "Liberation Sans"}) {
            if (families.contains(QLatin1String(f))) {
                expectedSans = QLatin1String(f);
                break;
            }
        }
        QVERIFY2(!expectedSans.isEmpty(), "fonts-liberation is not installed");
        const QFontInfo control(win.w->Command1->font());
        QCOMPARE(control.family(), expectedSans);
        QVERIFY(control.bold());
        const QFontInfo number(win.w->labelpatno->font());
        QVERIFY(number.family() == QLatin1String("Liberation Sans") ||
                number.family() == QLatin1String("Arial"));
        QVERIFY(number.bold());
        QVERIFY(number.pointSizeF() > control.pointSizeF());

        // The menu bar and the drop-down menus too.
        QCOMPARE(win.w->menuBar()->font().family(), QStringLiteral("MS Sans Serif"));
        for (QMenu* m : win.w->menuBar()->findChildren<QMenu*>()) {
            QCOMPARE(m->font().family(), QStringLiteral("MS Sans Serif"));
            QCOMPARE(m->font().weight(), QFont::Bold);
        }
    }

    void labelsAlignedAndBare() {
        Window win;
        // Only "voices" is centred; every other label starts its text at the top left.
        for (QLabel* l : win.w->centralWidget()->findChildren<QLabel*>()) {
            const Qt::Alignment a = l->alignment();
            QVERIFY2(a.testFlag(Qt::AlignTop), qPrintable(l->objectName()));
            QVERIFY2(a.testFlag(l == win.w->Label3 ? Qt::AlignHCenter : Qt::AlignLeft),
                     qPrintable(l->objectName()));
            QCOMPARE(l->frameShape(), QFrame::NoFrame);
            QVERIFY(!l->wordWrap());
        }
    }

    void focusOrder() {
        Window win;
        QVERIFY(win.showActive());
        QStringList expected = {"Command1", "stopbutton", "Command2", "HScroll1"};
        for (int n = 0; n < 64; ++n)
            expected << QStringLiteral("Check1_%1").arg(n);
        for (int i = 0; i < 4; ++i)
            expected << QStringLiteral("VScroll1_%1").arg(i);
        expected << "Command3"
                 << "rock"
                 << "clear"
                 << "rando"
                 << "reset"
                 << "patno"
                 << "songlist"
                 << "songmode"
                 << "ticks";

        // Focus starts on "open"; Tab walks the whole order and comes round to it again.
        QCOMPARE(QApplication::focusWidget(), win.w->Command1);
        QStringList walked;
        for (int i = 0; i < expected.size(); ++i) {
            walked << QApplication::focusWidget()->objectName();
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        }
        QCOMPARE(walked, expected);
        QCOMPARE(QApplication::focusWidget(), win.w->Command1);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
        QCOMPARE(QApplication::focusWidget(), win.w->ticks);
    }

    void focusedScrollBarsAreMarked() {
        // A keyboard user sees which bar the arrow keys move: its thumb is drawn otherwise
        // while it has the focus, and as before once the focus has gone.
        Window win;
        QVERIFY(win.showActive());
        QScrollBar* bars[] = {win.w->HScroll1, win.w->patno, win.w->VScroll1[2]};
        for (QScrollBar* bar : bars) {
            win.w->Command1->setFocus();
            QTRY_VERIFY(win.w->Command1->hasFocus());
            const QImage before = bar->grab().toImage();
            bar->setFocus();
            QTRY_VERIFY(bar->hasFocus());
            QVERIFY2(bar->grab().toImage() != before, qPrintable(bar->objectName()));
            win.w->Command1->setFocus();
            QTRY_VERIFY(win.w->Command1->hasFocus());
            QCOMPARE(bar->grab().toImage(), before);
        }
    }

    void scrollBarKeys_data() {
        QTest::addColumn<QString>("bar");
        QTest::addColumn<int>("start");
        for (const char* bar :
             {"patno", "HScroll1", "VScroll1_0", "VScroll1_1", "VScroll1_2", "VScroll1_3"})
            QTest::newRow(bar) << QString::fromLatin1(bar) << 20;
    }

    void scrollBarKeys() {
        // The keys of a classic scroll bar, on every bar: the arrow that points to the maximum
        // end (Right on a horizontal bar, Down on a vertical one) raises the value by one and
        // the thumb follows it; Page Up/Down move by a page, Home/End go to the ends. Each
        // change raises the change event once; a key that changes nothing raises none.
        QFETCH(QString, bar);
        QFETCH(int, start);
        Window win;
        QVERIFY(win.showActive());
        auto* s = win.find<QScrollBar>(bar);
        QVERIFY(s);
        s->setValue(start);
        s->setFocus();
        QTRY_VERIFY(s->hasFocus());
        const bool horizontal = s->orientation() == Qt::Horizontal;
        const Qt::Key raise = horizontal ? Qt::Key_Right : Qt::Key_Down;
        const Qt::Key lower = horizontal ? Qt::Key_Left : Qt::Key_Up;
        struct Step {
            Qt::Key key;
            int value;   // after the key
            int events;  // change events it raises
            const char* what;
        };
        const Step steps[] = {
            {raise, start + 1, 1, "the arrow toward the maximum"},
            {lower, start, 1, "the arrow toward the minimum"},
            {Qt::Key_PageDown, start + s->pageStep(), 1, "Page Down"},
            {Qt::Key_PageUp, start, 1, "Page Up"},
            {Qt::Key_Home, s->minimum(), 1, "Home"},
            {Qt::Key_Home, s->minimum(), 0, "Home at the minimum"},
            {lower, s->minimum(), 0, "the arrow toward the minimum, at the minimum"},
            {Qt::Key_End, s->maximum(), 1, "End"},
            {raise, s->maximum(), 0, "the arrow toward the maximum, at the maximum"},
            {Qt::Key_End, s->maximum(), 0, "End at the maximum"},
            {Qt::Key_Home, s->minimum(), 1, "Home from the maximum"},
            // The two other arrows as on a classic bar: Up and Left toward the minimum.
            {horizontal ? Qt::Key_Down : Qt::Key_Right, s->minimum() + 1, 1,
             "the cross arrow Down/Right"},
            {horizontal ? Qt::Key_Up : Qt::Key_Left, s->minimum(), 1, "the cross arrow Up/Left"},
        };
        QSignalSpy changes(s, &QScrollBar::valueChanged);
        for (const Step& step : steps) {
            changes.clear();
            QTest::keyClick(s, step.key);
            const QString where = bar + QStringLiteral(", ") + QLatin1String(step.what);
            QVERIFY2(
                s->value() == step.value,
                qPrintable(
                    where +
                    QStringLiteral(": value %1, expected %2").arg(s->value()).arg(step.value)));
            QVERIFY2(changes.size() == step.events,
                     qPrintable(where + QStringLiteral(": %1 change events").arg(changes.size())));
        }
        // The wheel is left as mouse users know it: turned toward the user, it moves the
        // thumb down or right.
        s->setValue(start);
        const QPointF centre = QRectF(s->rect()).center();
        QWheelEvent wheel(centre, s->mapToGlobal(centre), QPoint(), QPoint(0, -120), Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(s, &wheel);
        QVERIFY2(s->value() > start, qPrintable(QString::number(s->value())));
    }

    void rightOnTheTempoBarIsSlower() {
        // Right on the tempo bar makes a step longer, the thumb going right, toward "slower",
        // as a click on the right arrow does.
        Window win;
        QVERIFY(win.showActive());
        win.w->HScroll1->setFocus();
        QTRY_VERIFY(win.w->HScroll1->hasFocus());
        QTest::keyClick(win.w->HScroll1, Qt::Key_Right);
        const int slower = win.w->Pulsor2.Interval();
        QTest::keyClick(win.w->HScroll1, Qt::Key_Left);
        QTest::keyClick(win.w->HScroll1, Qt::Key_Left);
        QVERIFY2(win.w->Pulsor2.Interval() < slower,
                 qPrintable(QStringLiteral("%1 ms after Left, %2 ms after Right")
                                .arg(win.w->Pulsor2.Interval())
                                .arg(slower)));
    }

    void gridArrowKeys() {
        // The arrows move the focus across the grid as it is drawn, and stop at its edges.
        Window win;
        QVERIFY(win.showActive());
        win.w->Check1[0]->setFocus();
        QTRY_VERIFY(win.w->Check1[0]->hasFocus());
        const struct {
            Qt::Key key;
            int cell;  // focused after the key
        } walk[] = {{Qt::Key_Left, 0},  {Qt::Key_Up, 0},    {Qt::Key_Right, 1},  {Qt::Key_Down, 17},
                    {Qt::Key_Down, 33}, {Qt::Key_Down, 49}, {Qt::Key_Down, 49},  {Qt::Key_Left, 48},
                    {Qt::Key_Left, 48}, {Qt::Key_Up, 32},   {Qt::Key_Right, 33}, {Qt::Key_Up, 17}};
        for (const auto& step : walk) {
            QTest::keyClick(QApplication::focusWidget(), step.key);
            QCOMPARE(QApplication::focusWidget()->objectName(),
                     QStringLiteral("Check1_%1").arg(step.cell));
        }
        win.w->Check1[15]->setFocus();
        QTRY_VERIFY(win.w->Check1[15]->hasFocus());
        QTest::keyClick(win.w->Check1[15], Qt::Key_Right);
        QCOMPARE(QApplication::focusWidget(), win.w->Check1[15]);
        // Moving the focus changes no cell; Space still toggles the focused one.
        for (GridCell* c : win.w->Check1)
            QCOMPARE(c->state(), int16_t(0));
        QTest::keyClick(win.w->Check1[15], Qt::Key_Space);
        QCOMPARE(win.w->Check1[15]->state(), int16_t(1));
        // Tab keeps its own order: from the last cell to the first voice bar.
        win.w->Check1[63]->setFocus();
        QTRY_VERIFY(win.w->Check1[63]->hasFocus());
        QTest::keyClick(win.w->Check1[63], Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), win.w->VScroll1[0]);
    }

    void enterPressesTheFocusedButton() {
        // Return and Enter press the focused button of the window, as Space does.
        Window win;
        QVERIFY(win.showActive());
        win.w->rock->setFocus();
        QTRY_VERIFY(win.w->rock->hasFocus());
        QTest::keyClick(win.w->rock, Qt::Key_Return);
        int ticked = 0;
        for (GridCell* c : win.w->Check1)
            ticked += c->state() == 1;
        QVERIFY(ticked > 0);
        win.w->clear->setFocus();
        QTRY_VERIFY(win.w->clear->hasFocus());
        QTest::keyClick(win.w->clear, Qt::Key_Enter, Qt::KeypadModifier);
        for (GridCell* c : win.w->Check1)
            QCOMPARE(c->state(), int16_t(0));
        win.w->songmode->setFocus();
        QTRY_VERIFY(win.w->songmode->hasFocus());
        QSignalSpy clicks(win.w->songmode, &QPushButton::clicked);
        QTest::keyClick(win.w->songmode, Qt::Key_Return);
        QCOMPARE(clicks.size(), 1);
        QCOMPARE(win.w->songmodeTag(), std::string("1"));
        QVERIFY(win.w->songmode->isChecked());
        // A key held down presses once.
        QTest::keyEvent(QTest::Press, win.w->songmode, Qt::Key_Return, Qt::NoModifier);
        QKeyEvent repeat(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QString(), true);
        QApplication::sendEvent(win.w->songmode, &repeat);
        QCOMPARE(clicks.size(), 2);
        QCOMPARE(win.w->songmodeTag(), std::string("0"));
    }

    void menus() {
        Window win;
        QMenuBar* bar = win.w->menuBar();
        const QList<QAction*> tops = bar->actions();
        QCOMPARE(tops.size(), 3);
        const char* titles[3] = {"&File", "&MIDI", "&Help"};
        const char* menuNames[3] = {"mnuFile", "mnuMidi", "mnuHelp"};
        const QStringList items[3] = {
            {"mnuLoadPattern:&Load Pattern", "MnuSavePatternAs:&Save Pattern As...", "-",
             "mnuFileExit:E&xit"},
            {"mnuMidiSetup:&Setup", "mnuMidiThru:&Thru"},
            {"mnuHelpAbout:&About"}};
        for (int m = 0; m < 3; ++m) {
            QCOMPARE(tops[m]->text(), QLatin1String(titles[m]));
            QMenu* menu = tops[m]->menu();
            QVERIFY(menu);
            QCOMPARE(menu->objectName(), QLatin1String(menuNames[m]));
            QStringList got;
            for (QAction* a : menu->actions()) {
                QVERIFY(a->isVisible());
                QVERIFY(a->isEnabled());
                got << (a->isSeparator() ? QStringLiteral("-") : a->objectName() + ':' + a->text());
            }
            QCOMPARE(got, items[m]);
        }
        QVERIFY(win.w->mnuMidiThru->isChecked());

        // Ctrl+A on the save item, and no other shortcut anywhere in the window.
        QCOMPARE(win.w->MnuSavePatternAs->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_A));
        for (QAction* a : win.w->findChildren<QAction*>()) {
            if (a != win.w->MnuSavePatternAs)
                QVERIFY2(a->shortcut().isEmpty(), qPrintable(a->objectName()));
        }
        QVERIFY(win.w->findChildren<QShortcut*>().isEmpty());
    }

    void ctrlAReachesSave() {
        Window win;
        QVERIFY(win.showActive());
        ModalCloser closer;
        QSignalSpy saves(win.w->MnuSavePatternAs, &QAction::triggered);
        // From a button, a grid cell and both text boxes (which would otherwise take Ctrl+A
        // as "select all"), without opening the File menu.
        win.w->songlist->setText(QStringLiteral("0123"));
        QWidget* from[] = {win.w->Command1, win.w->Check1[5], win.w->songlist, win.w->ticks};
        int expected = 0;
        for (QWidget* w : from) {
            // The save dialog that the last Ctrl+A opened took the activation with it; with no
            // window manager to give it back, the test does.
            QApplication::setActiveWindow(win.w.get());
            QTRY_VERIFY(win.w->isActiveWindow());
            w->setFocus();
            QTRY_COMPARE(QApplication::focusWidget(), w);
            QTest::keyClick(w, Qt::Key_A, Qt::ControlModifier);
            QCOMPARE(saves.size(), ++expected);
            QVERIFY(!QApplication::activePopupWidget());
        }
        QVERIFY(!win.w->songlist->hasSelectedText());
        QCOMPARE(win.w->songlist->text(), QStringLiteral("0123"));
    }

    void startUpState() {
        Window win;
        for (GridCell* c : win.w->Check1)
            QCOMPARE(c->state(), int16_t(0));
        QCOMPARE(win.w->patno->value(), 0);
        QCOMPARE(win.w->labelpatno->text(), QStringLiteral("0"));
        const char* labels[4] = {"35", "40", "42", "82"};
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(win.w->VScroll1[static_cast<size_t>(i)]->value(), QString(labels[i]).toInt());
            QCOMPARE(win.w->Label1[static_cast<size_t>(i)]->text(), QLatin1String(labels[i]));
        }
        QCOMPARE(win.w->HScroll1->value(), 100);
        QCOMPARE(win.w->HScroll1->minimum(), 0);
        QCOMPARE(win.w->HScroll1->maximum(), 200);
        QCOMPARE(win.w->songmode->text(), QString());
        QCOMPARE(win.w->songmodeTag(), std::string("0"));
        QCOMPARE(win.w->songlist->text(), QString());
        QCOMPARE(win.w->ticks->text(), QString());
        QCOMPARE(win.w->labelsongstep->text(), QString());
        QVERIFY(win.w->mnuMidiThru->isChecked());
        // Stopped, setup still to come, and no port touched.
        QVERIFY(!win.w->Pulsor2.Enabled());
        QVERIFY(win.w->setupPending());
        QCOMPARE(win.w->sequencer().snapshot().currentPattern, int16_t(0));
        QCOMPARE(win.ports.log.filtered(QStringLiteral("out.Action")), QStringList());
        QCOMPARE(win.ports.log.filtered(QStringLiteral("in.Action")), QStringList());
        QCOMPARE(win.endCalls, 0);
    }

    void colouredFaces_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QColor>("face");
        QTest::newRow("clear") << "clear" << QColor(255, 192, 192);
        QTest::newRow("rando") << "rando" << QColor(128, 255, 128);
        QTest::newRow("songmode") << "songmode" << QColor(192, 255, 255);
        QTest::newRow("Command3") << "Command3" << QColor(255, 0, 0);
    }

    void colouredFaces() {
        QFETCH(QString, name);
        QFETCH(QColor, face);
        Window win;
        QVERIFY(win.showActive());
        auto* b = win.find<QPushButton>(name);
        QVERIFY(b);
        // Inside the face, clear of the border and of the centred caption.
        const QPoint inFace(4, b->height() / 2);
        const QPoint nearCorner(4, 4);
        QCOMPARE(rgbText(pixelAt(b, inFace)), rgbText(face));
        QCOMPARE(rgbText(pixelAt(b, nearCorner)), rgbText(face));

        // The face keeps its colour with the keyboard focus on it.
        for (int tabs = 0; tabs < 80 && !b->hasFocus(); ++tabs)
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QVERIFY(b->hasFocus());
        QCOMPARE(rgbText(pixelAt(b, inFace)), rgbText(face));
        // Pressed, it looks pressed.
        b->setDown(true);
        QVERIFY(rgbText(pixelAt(b, inFace)) != rgbText(face));
        b->setDown(false);
        QCOMPARE(rgbText(pixelAt(b, inFace)), rgbText(face));
        // It still has a border.
        QVERIFY(rgbText(pixelAt(b, QPoint(0, b->height() / 2))) != rgbText(face));
        // A button that is on (song mode) looks as it does off: only its caption tells.
        if (b->isCheckable()) {
            const QImage off = b->grab().toImage();
            b->setChecked(true);
            QCOMPARE(b->grab().toImage(), off);
            b->setChecked(false);
        }
    }

    void standardButtonsLookStandard() {
        // rock, reset, open, start/stop and exit are drawn exactly as a plain button of the
        // same size and caption.
        Window win;
        for (QPushButton* b :
             {win.w->rock, win.w->reset, win.w->Command1, win.w->Command2, win.w->stopbutton}) {
            QPushButton plain(b->text());
            plain.setFont(b->font());
            plain.resize(b->size());
            QCOMPARE(b->grab().toImage().convertToFormat(QImage::Format_RGB32),
                     plain.grab().toImage().convertToFormat(QImage::Format_RGB32));
        }
    }

    void labelBackgrounds() {
        Window win;
        QVERIFY(win.showActive());
        const QString yellow = rgbText(QColor(255, 255, 128));
        for (QLabel* l : {win.w->labelpatno, win.w->labelsongstep}) {
            QCOMPARE(rgbText(pixelAt(l, QPoint(1, 1))), yellow);
            QCOMPARE(rgbText(pixelAt(l, QPoint(l->width() - 2, l->height() - 2))), yellow);
        }
        // The other labels show the window's own background.
        const QString window = rgbText(win.w->palette().color(QPalette::Window));
        for (QLabel* l : {win.w->Label2, win.w->Label3, win.w->Label1[0]})
            QCOMPARE(rgbText(pixelAt(l, QPoint(1, 1))), window);
    }

    void gridClicksToggleOnly() {
        Window win;
        QVERIFY(win.showActive());
        auto bank = [&win] {
            PatternBank b;
            for (int p = 0; p < kPatterns; ++p)
                b[size_t(p)] = win.w->sequencer().storedPattern(int16_t(p));
            return b;
        };
        const PatternBank bankBefore = bank();
        GridCell* cell = win.w->Check1[21];
        clickCell(cell);
        QCOMPARE(cell->state(), int16_t(1));
        // Each click is in the live pattern the engine plays, at once.
        QCOMPARE(win.w->livePattern().cell(21), int16_t(1));
        clickCell(cell);
        QCOMPARE(cell->state(), int16_t(0));
        QCOMPARE(win.w->livePattern().cell(21), int16_t(0));
        clickCell(cell);
        QCOMPARE(cell->state(), int16_t(1));

        // A dimmed cell (only a file makes one) goes on with a click, then off: never back
        // to dimmed.
        GridCell* dimmed = win.w->Check1[40];
        win.w->livePattern().setCell(40, 2);
        QCOMPARE(dimmed->state(), int16_t(2));
        clickCell(dimmed);
        QCOMPARE(dimmed->state(), int16_t(1));
        QCOMPARE(win.w->livePattern().cell(40), int16_t(1));
        clickCell(dimmed);
        QCOMPARE(dimmed->state(), int16_t(0));
        clickCell(dimmed);
        QCOMPARE(dimmed->state(), int16_t(1));

        // Only the clicked cells changed; nothing was sent or stored.
        for (int n = 0; n < 64; ++n) {
            if (n != 21 && n != 40)
                QCOMPARE(win.w->Check1[static_cast<size_t>(n)]->state(), int16_t(0));
        }
        QCOMPARE(win.ports.log.sends(), QStringList());
        const PatternBank bankAfter = bank();
        QVERIFY(std::memcmp(&bankAfter, &bankBefore, sizeof bankBefore) == 0);
    }

    void spokenNames() {
        Window win;
        const QList<QPair<QString, QString>> names = {
            {"Command1", "open"},
            {"stopbutton", "exit"},
            {"Command2", "start or stop"},
            {"HScroll1", "tempo"},
            {"patno", "pattern number"},
            {"labelpatno", "pattern number shown: 0"},
            {"Frame1", "pattern"},
            {"Check1_0", "voice 1, step 1"},
            {"Check1_20", "voice 2, step 5"},
            {"Check1_63", "voice 4, step 16"},
            {"VScroll1_0", "voice 1 note"},
            {"VScroll1_3", "voice 4 note"},
            {"Label1_0", "voice 1 note shown: 35"},
            {"Label1_3", "voice 4 note shown: 82"},
            {"ticks", "tick count"},
            {"reset", "reset voice notes"},
            {"clear", "clear"},
            {"rock", "rock"},
            {"rando", "random pattern"},
            {"Label2", "speed"},
            {"songmode", "song mode"},
            {"songlist", "song list"},
            {"labelsongstep", "song position"},
            {"Label3", "voices"},
            {"Command3", "panic"},
        };
        for (const auto& [object, name] : names) {
            QObject* o = win.find<QObject>(object);
            QVERIFY2(o, qPrintable(object));
            QCOMPARE(spokenName(o), name);
        }
        // Every control has a name and a description.
        for (QWidget* w : win.w->centralWidget()->findChildren<QWidget*>()) {
            if (w->objectName().isEmpty() || w->parentWidget() == nullptr)
                continue;
            if (!qobject_cast<QAbstractButton*>(w) && !qobject_cast<QLabel*>(w) &&
                !qobject_cast<QAbstractSlider*>(w) && !qobject_cast<QLineEdit*>(w) &&
                !qobject_cast<QGroupBox*>(w))
                continue;
            QVERIFY2(!spokenName(w).isEmpty(), qPrintable(w->objectName()));
            QVERIFY2(!spokenDescription(w).isEmpty(), qPrintable(w->objectName()));
        }

        // Names that carry a value follow it; what is drawn does not change. The song-mode
        // button is a toggle whose state is song mode's.
        QAccessibleInterface* songmode = QAccessible::queryAccessibleInterface(win.w->songmode);
        QVERIFY(songmode->state().checkable && !songmode->state().checked);
        win.w->songmode->click();
        QCOMPARE(win.w->songmodeTag(), std::string("1"));
        QVERIFY(songmode->state().checked);
        QCOMPARE(win.w->songmode->text(), QStringLiteral("S"));
        QTest::keyClick(win.w->songmode, Qt::Key_Space);
        QCOMPARE(win.w->songmodeTag(), std::string("0"));
        QVERIFY(!songmode->state().checked);
        QCOMPARE(win.w->songmode->text(), QString());
        QCOMPARE(spokenName(win.w->songmode), QStringLiteral("song mode"));
        win.w->VScroll1[1]->setValue(57);
        QCOMPARE(spokenName(win.w->Label1[1]), QStringLiteral("voice 2 note shown: 57"));
        QCOMPARE(win.w->Label1[1]->text(), QStringLiteral("57"));
        win.w->patno->setValue(7);
        QCOMPARE(spokenName(win.w->labelpatno), QStringLiteral("pattern number shown: 7"));
        QCOMPARE(win.w->labelpatno->text(), QStringLiteral("7"));
        for (GridCell* c : win.w->Check1)
            QVERIFY(c->text().isEmpty());
    }
};

QTEST_MAIN(TestFrmMain)
#include "tst_frmmain.moc"
