#pragma once

#include <vector>

class QAbstractButton;
class QScrollBar;
class QWidget;

/// Gives `bar` the keys of a classic scroll bar: Left and Up lower the value by a single
/// step, Right and Down raise it, Page Up and Page Down move it by a page, Home and End take
/// it to its minimum and maximum. On a horizontal bar the thumb so follows the arrow (in a
/// right-to-left layout, where the bar is drawn mirrored, Left raises and Right lowers). Each
/// key goes through the bar's own actions, so the value changes, and raises its change event,
/// once per key that changes it. The mouse and the wheel keep working as before.
void useClassicScrollBarKeys(QScrollBar* bar);

/// Lets Return and Enter press `button` while it has the focus, as Space does. The toolkit
/// presses a focused button with Return only in dialogs; in a main window the key did nothing.
void pressWithEnter(QAbstractButton* button);

/// Moves the focus within `cells`, a grid of `columns` columns given row by row, with the
/// arrow keys: Left and Right to the neighbouring cell of the row, Up and Down to the same
/// column of the row above or below. At the edge of the grid the focus stays where it is.
/// Tab keeps its own order.
void moveFocusWithArrows(std::vector<QWidget*> cells, int columns);
