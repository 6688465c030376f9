#include "placement.h"

#include <QtGui/qguiapplication_platform.h>
#include <QDeadlineTimer>
#include <QGuiApplication>
#include <QWidget>

#include <X11/Xlib.h>
#include <poll.h>
#include <xcb/xcb.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

namespace {

// The frame a window manager draws is only known once it has framed the window. A window
// placed by its frame before that is placed as if it had none, and opens off centre by half
// the title bar. A window manager that follows the Extended Window Manager Hints tells the
// extents beforehand: a client asks with a _NET_REQUEST_FRAME_EXTENTS message for its
// unmapped window, and the manager sets the window's _NET_FRAME_EXTENTS property
// (left, right, top, bottom) to what the frame will be.
//
// The answer arrives as a PropertyNotify event. Qt reads its connection's events on a thread
// of its own, so the wait runs on a second, private connection to the same display, which
// selects the window's property changes for itself.

struct ConnectionCloser {
    void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};
using Connection = std::unique_ptr<xcb_connection_t, ConnectionCloser>;

xcb_atom_t internAtom(xcb_connection_t* c, const char* name) {
    const xcb_intern_atom_cookie_t cookie =
        xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name);
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
        xcb_intern_atom_reply(c, cookie, nullptr), &std::free);
    return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

// The 32-bit items of a window property of the given type; empty when it is not set.
std::vector<uint32_t> property(xcb_connection_t* c, xcb_window_t window, xcb_atom_t name,
                               xcb_atom_t type) {
    const xcb_get_property_cookie_t cookie = xcb_get_property(c, 0, window, name, type, 0, 1024);
    std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> reply(
        xcb_get_property_reply(c, cookie, nullptr), &std::free);
    if (!reply || reply->format != 32 || reply->type != type)
        return {};
    const auto* items = static_cast<const uint32_t*>(xcb_get_property_value(reply.get()));
    return std::vector<uint32_t>(items, items + xcb_get_property_value_length(reply.get()) / 4);
}

// True when a window manager runs that answers _NET_REQUEST_FRAME_EXTENTS. The check window
// must name itself too: a property left on the root by a manager that has ended names a
// window that is gone.
bool managerAnswersExtents(xcb_connection_t* c, xcb_window_t root) {
    const xcb_atom_t check = internAtom(c, "_NET_SUPPORTING_WM_CHECK");
    const std::vector<uint32_t> wm = property(c, root, check, XCB_ATOM_WINDOW);
    if (wm.size() != 1 || property(c, wm[0], check, XCB_ATOM_WINDOW) != wm)
        return false;
    const xcb_atom_t request = internAtom(c, "_NET_REQUEST_FRAME_EXTENTS");
    for (uint32_t supported : property(c, root, internAtom(c, "_NET_SUPPORTED"), XCB_ATOM_ATOM))
        if (supported == request)
            return true;
    return false;
}

std::optional<std::array<uint32_t, 4>> extents(xcb_connection_t* c, xcb_window_t window,
                                               xcb_atom_t name) {
    const std::vector<uint32_t> v = property(c, window, name, XCB_ATOM_CARDINAL);
    if (v.size() != 4)
        return std::nullopt;
    return std::array<uint32_t, 4>{v[0], v[1], v[2], v[3]};
}

// Waits until an event arrives on the connection or the deadline passes; true for an event.
bool waitForEvent(xcb_connection_t* c, const QDeadlineTimer& deadline) {
    pollfd fd{xcb_get_file_descriptor(c), POLLIN, 0};
    for (;;) {
        const qint64 left = deadline.remainingTime();
        if (left == 0)
            return false;
        const int n = poll(&fd, 1, static_cast<int>(left));
        if (n > 0)
            return true;
        if (n == 0)
            return false;
        if (errno != EINTR)
            return false;
    }
}

}  // namespace

QMargins frameMarginsBeforeShow(QWidget* window, int timeoutMs) {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (!x11 || !x11->display())
        return {};
    int screenNumber = 0;
    Connection c(xcb_connect(XDisplayString(x11->display()), &screenNumber));
    if (!c || xcb_connection_has_error(c.get()))
        return {};
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(c.get()));
    for (int i = 0; i < screenNumber && screens.rem > 0; ++i)
        xcb_screen_next(&screens);
    if (screens.rem == 0)
        return {};
    const xcb_window_t root = screens.data->root;
    if (!managerAnswersExtents(c.get(), root))
        return {};

    const auto id = static_cast<xcb_window_t>(window->winId());
    const xcb_atom_t frameExtents = internAtom(c.get(), "_NET_FRAME_EXTENTS");
    const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(c.get(), id, XCB_CW_EVENT_MASK, &mask);

    xcb_client_message_event_t request{};
    request.response_type = XCB_CLIENT_MESSAGE;
    request.format = 32;
    request.window = id;
    request.type = internAtom(c.get(), "_NET_REQUEST_FRAME_EXTENTS");
    xcb_send_event(c.get(), 0, root,
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&request));
    xcb_flush(c.get());

    const QDeadlineTimer deadline(timeoutMs);
    std::optional<std::array<uint32_t, 4>> e = extents(c.get(), id, frameExtents);
    while (!e && waitForEvent(c.get(), deadline)) {
        bool changed = false;
        while (xcb_generic_event_t* event = xcb_poll_for_event(c.get())) {
            if ((event->response_type & 0x7f) == XCB_PROPERTY_NOTIFY) {
                const auto* p = reinterpret_cast<xcb_property_notify_event_t*>(event);
                changed = changed || (p->window == id && p->atom == frameExtents);
            }
            std::free(event);
        }
        if (xcb_connection_has_error(c.get()))
            return {};
        if (changed)
            e = extents(c.get(), id, frameExtents);
    }
    if (!e)
        return {};
    // The manager speaks in device pixels; Qt places windows in device-independent ones.
    const qreal ratio = window->devicePixelRatioF();
    const auto dip = [ratio](uint32_t v) { return static_cast<int>(std::lround(v / ratio)); };
    return QMargins(dip((*e)[0]), dip((*e)[2]), dip((*e)[1]), dip((*e)[3]));
}

void centreByFrame(QWidget* window, const QRect& screen) {
    const QMargins frame = frameMarginsBeforeShow(window);
    const QSize outer = window->size().grownBy(frame);
    const QPoint frameTopLeft(screen.x() + (screen.width() - outer.width()) / 2,
                              screen.y() + (screen.height() - outer.height()) / 2);
    if (frame.isNull()) {
        window->move(frameTopLeft);
        return;
    }
    // The client area is placed inside the frame that is to come. Qt then asks the window
    // manager to leave the client where it is (static gravity), so the window is mapped in
    // its final place and does not jump once the frame is drawn.
    window->setGeometry(QRect(frameTopLeft + QPoint(frame.left(), frame.top()), window->size()));
}
