// Where the main window and the setup dialog open on a real X server, measured as the server
// has them: the outer frame (the window manager's frame window, or the window itself when no
// manager runs) centred on the screen within a pixel, and each window seen first where it
// stays, without a jump. SEQ_EXPECT_WM=1 says the display has a window manager, 0 that it
// has none.

#include <QtGui/qguiapplication_platform.h>
#include <QApplication>
#include <QTest>
#include <QWindow>

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <optional>

#include "support/windowrig.h"
#include "ui/midisetupform.h"

namespace {

template <typename T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

xcb_connection_t* connection() {
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11 ? x11->connection() : nullptr;
}

QRect geometryOf(xcb_connection_t* c, xcb_window_t w) {
    Reply<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(c, xcb_get_geometry(c, w), nullptr),
                                      &std::free);
    if (!g)
        return {};
    return QRect(g->x, g->y, g->width + 2 * g->border_width, g->height + 2 * g->border_width);
}

/// A window as the X server has it, in root coordinates.
struct Placed {
    QRect client;  // the window itself
    QRect outer;   // the top-level window that holds it: its frame, or itself
    QRect screen;  // the root window
    bool framed = false;
};

std::optional<Placed> measure(QWidget* w) {
    xcb_connection_t* c = connection();
    if (!c)
        return std::nullopt;
    const auto id = static_cast<xcb_window_t>(w->winId());
    Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, xcb_query_tree(c, id), nullptr),
                                       &std::free);
    if (!tree)
        return std::nullopt;
    const xcb_window_t root = tree->root;
    Placed p;
    p.screen = geometryOf(c, root);
    Reply<xcb_translate_coordinates_reply_t> at(
        xcb_translate_coordinates_reply(c, xcb_translate_coordinates(c, id, root, 0, 0), nullptr),
        &std::free);
    if (!at)
        return std::nullopt;
    p.client = QRect(QPoint(at->dst_x, at->dst_y), geometryOf(c, id).size());
    // Up the tree to the window just below the root.
    xcb_window_t top = id;
    xcb_window_t parent = tree->parent;
    while (parent != root && parent != XCB_WINDOW_NONE) {
        top = parent;
        Reply<xcb_query_tree_reply_t> up(xcb_query_tree_reply(c, xcb_query_tree(c, top), nullptr),
                                         &std::free);
        if (!up)
            return std::nullopt;
        parent = up->parent;
    }
    p.outer = geometryOf(c, top);
    p.framed = top != id;
    return p;
}

/// Records where the window is at the moment it first becomes visible.
class FirstSight : public QObject {
public:
    explicit FirstSight(QWidget* w) : m_widget(w) {
        w->winId();
        w->windowHandle()->installEventFilter(this);
    }
    std::optional<Placed> seen;

protected:
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Expose && !seen && m_widget->windowHandle()->isExposed())
            seen = measure(m_widget);
        return false;
    }

private:
    QWidget* m_widget;
};

bool expectManager() {
    return qEnvironmentVariable("SEQ_EXPECT_WM") == QLatin1String("1");
}

QString describe(const Placed& p) {
    const auto r = [](const QRect& q) {
        return QStringLiteral("%1,%2 %3x%4").arg(q.x()).arg(q.y()).arg(q.width()).arg(q.height());
    };
    return QStringLiteral("client %1, outer %2, screen %3")
        .arg(r(p.client), r(p.outer), r(p.screen));
}

}  // namespace

class TestPlacement : public QObject {
    Q_OBJECT

    // Shows `w` (already placed by its own code) and checks where the X server puts it.
    void showCentred(QWidget* w) {
        const QRect asked = w->geometry();
        FirstSight first(w);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w));
        QTRY_VERIFY(first.seen.has_value());
        std::optional<Placed> now;
        if (expectManager()) {
            // Framed, and Qt has heard the frame's extents.
            QTRY_VERIFY((now = measure(w)) && now->framed &&
                        w->frameGeometry().size() == now->outer.size());
        } else {
            QVERIFY((now = measure(w)) && !now->framed);
        }
        const Placed& p = *now;
        const QString where = describe(p);
        const int left = (p.screen.width() - p.outer.width()) / 2;
        const int top = (p.screen.height() - p.outer.height()) / 2;
        QVERIFY2(std::abs(p.outer.x() - left) <= 1, qPrintable(where));
        QVERIFY2(std::abs(p.outer.y() - top) <= 1, qPrintable(where));
        // Mapped in its final place: where the program put it before showing it, and where
        // it was when first seen.
        QVERIFY2(p.client.topLeft() == asked.topLeft(),
                 qPrintable(where + QStringLiteral(", asked %1,%2").arg(asked.x()).arg(asked.y())));
        QVERIFY2(first.seen->outer == p.outer && first.seen->client == p.client,
                 qPrintable(
                     QStringLiteral("first seen: %1; then: %2").arg(describe(*first.seen), where)));
        if (!expectManager())
            QCOMPARE(p.outer, p.client);
    }

private slots:
    void initTestCase() { QVERIFY2(connection(), "needs the xcb platform on an X server"); }

    void mainWindowCentredByItsFrame() {
        WindowRig rig;
        showCentred(rig.window.get());
    }

    void setupDialogCentredByItsFrame() {
        WindowRig rig;
        rig.window->show();
        QVERIFY(QTest::qWaitForWindowExposed(rig.window.get()));
        // Loaded as the setup command loads it, over the main window.
        MIDISetupForm form(*rig.out, *rig.in, rig.window.get());
        showCentred(&form);
        form.CmdCancel_Click();
    }
};

QTEST_MAIN(TestPlacement)
#include "tst_placement.moc"
