#pragma once

#include <QMargins>
#include <QRect>

class QWidget;

/// The widths of the frame (title bar and borders) that the window manager will draw around
/// the top-level `window`, in device-independent pixels, asked of the window manager before
/// the window is first shown. The window's native handle is created for the question. Null
/// margins when no window manager can tell: the platform is not X11, no window manager runs,
/// it does not support the question, or it gives no answer within `timeoutMs`.
QMargins frameMarginsBeforeShow(QWidget* window, int timeoutMs = 300);

/// Places the top-level `window`, not yet shown, so that its outer frame is centred on
/// `screen`: left = (screen width - outer width) \ 2 and top = (screen height - outer
/// height) \ 2, the remainder dropped, both set in one move. When no frame is known (no
/// window manager), the window itself counts as its outer frame.
void centreByFrame(QWidget* window, const QRect& screen);
