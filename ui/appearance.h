#pragma once

#include <QColor>
#include <QFont>
#include <QString>

class QPushButton;
class QGroupBox;
class QLabel;
class QScrollBar;

/// The look both windows share: their fonts, coloured button faces and label backgrounds.

/// Maps the Windows font families the windows ask for to fonts a Linux desktop has: "MS Sans
/// Serif" to a plain sans (Microsoft Sans Serif where installed, else Liberation Sans, which
/// has Arial's metrics, else DejaVu Sans), "Arial" to Liberation Sans. Safe to call more than
/// once; the first call installs the table for the whole process.
void installFontFallbacks();

/// "MS Sans Serif", 8.25 pt, bold (weight 700): the font of every control.
QFont controlFont();
/// "Arial", 11.25 pt, bold: the font of the pattern number beside the selector.
QFont patternNumberFont();

/// Paints the button's face in exactly `face` (a palette colour would be shaded by the
/// style), with a border, a pressed look and a focus mark.
void setButtonFace(QPushButton* button, const QColor& face);
/// Fills the whole label with `background`.
void setLabelBackground(QLabel* label, const QColor& background);
/// Draws the frame's caption on its top line.
void setFrameLook(QGroupBox* frame);
/// Marks the scroll bar's thumb while the bar has the keyboard focus; the toolkit's own look
/// shows no focus on a scroll bar, so a keyboard user could not see where the arrow keys go.
void showScrollBarFocus(QScrollBar* bar);
