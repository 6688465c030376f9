#include "appearance.h"

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QPainter>
#include <QProxyStyle>
#include <QPushButton>
#include <QScrollBar>
#include <QStyleOption>

void installFontFallbacks() {
    static const bool installed = [] {
        // Without this, fontconfig answers an unknown family with its default face, which
        // need not be a sans of the right width.
        QFont::insertSubstitutions(
            QStringLiteral("MS Sans Serif"),
            {QStringLiteral("Microsoft Sans Serif"), QStringLiteral("Liberation Sans"),
             QStringLiteral("Arimo"), QStringLiteral("DejaVu Sans")});
        QFont::insertSubstitutions(QStringLiteral("Arial"),
                                   {QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"),
                                    QStringLiteral("DejaVu Sans")});
        return true;
    }();
    (void)installed;
}

namespace {
QFont boldFont(const QString& family, double points) {
    QFont f(family);
    f.setPointSizeF(points);
    f.setWeight(QFont::Bold);  // 700
    f.setStyleHint(QFont::SansSerif);
    return f;
}
}  // namespace

QFont controlFont() {
    return boldFont(QStringLiteral("MS Sans Serif"), 8.25);
}

QFont patternNumberFont() {
    return boldFont(QStringLiteral("Arial"), 11.25);
}

void setButtonFace(QPushButton* button, const QColor& face) {
    // Drawn like the style's own buttons beside them: a thin grey outline with rounded
    // corners; pressed, the face darkens a little and the caption moves down and right; with
    // the keyboard focus, the outline takes the highlight colour.
    const auto rgb = [](const QColor& c) {
        return QStringLiteral("rgb(%1, %2, %3)").arg(c.red()).arg(c.green()).arg(c.blue());
    };
    button->setStyleSheet(
        QStringLiteral("QPushButton { background-color: %1; color: black;"
                       " border: 1px solid rgb(140, 140, 140); border-radius: 2px; }"
                       "QPushButton:focus { border-color: palette(highlight); outline: none; }"
                       "QPushButton:pressed { background-color: %2; border-color: rgb(96, 96, 96);"
                       " padding: 2px 0px 0px 2px; }")
            .arg(rgb(face), rgb(face.darker(115))));
}

void setLabelBackground(QLabel* label, const QColor& background) {
    // Dark text, so it stays readable on the light fill under a dark desktop theme too.
    label->setStyleSheet(
        QStringLiteral("QLabel { background-color: rgb(%1, %2, %3); color: black; }")
            .arg(background.red())
            .arg(background.green())
            .arg(background.blue()));
}

void setFrameLook(QGroupBox* frame) {
    // The caption sits on the frame's top line, so the line runs at half the caption's
    // height and the contents placed below it stay clear of it.
    frame->setStyleSheet(QStringLiteral(
        "QGroupBox { border: 1px solid rgb(160, 160, 160); border-radius: 2px;"
        " margin-top: 0.5em; }"
        "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left;"
        " left: 6px; padding: 0px 2px; background-color: palette(window); }"));
}

namespace {
// The application's style, with a focus rectangle drawn inside a focused scroll bar's thumb.
class ScrollBarFocusStyle final : public QProxyStyle {
public:
    void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                            QPainter* painter, const QWidget* widget) const override {
        QProxyStyle::drawComplexControl(control, option, painter, widget);
        if (control != CC_ScrollBar || !(option->state & State_HasFocus))
            return;
        const QRect thumb =
            subControlRect(CC_ScrollBar, option, SC_ScrollBarSlider, widget).adjusted(2, 2, -2, -2);
        if (thumb.isEmpty())
            return;
        painter->save();
        painter->setPen(QPen(option->palette.color(QPalette::WindowText), 1, Qt::DotLine));
        painter->setBrush(Qt::NoBrush);
        painter->drawRect(thumb.adjusted(0, 0, -1, -1));
        painter->restore();
    }
};
}  // namespace

void showScrollBarFocus(QScrollBar* bar) {
    // One style for all bars, living as long as the application.
    static ScrollBarFocusStyle* const style = [] {
        auto* s = new ScrollBarFocusStyle;
        s->setParent(qApp);
        return s;
    }();
    bar->setStyle(style);
}
