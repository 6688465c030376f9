#pragma once

class QScrollBar;

/// Gives `bar` the keys of a classic scroll bar: Left and Up lower the value by a single
/// step, Right and Down raise it, Page Up and Page Down move it by a page, Home and End take
/// it to its minimum and maximum. On a horizontal bar the thumb so follows the arrow (in a
/// right-to-left layout, where the bar is drawn mirrored, Left raises and Right lowers). Each
/// key goes through the bar's own actions, so the value changes, and raises its change event,
/// once per key that changes it. The mouse and the wheel keep working as before.
void useClassicScrollBarKeys(QScrollBar* bar);
