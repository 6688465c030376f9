#include "keyboard.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QScrollBar>

#include <algorithm>

namespace {

// Only keys without Ctrl, Alt or Meta: those belong to shortcuts and the menu bar.
bool plain(const QKeyEvent* key) {
    return !(key->modifiers() & ~(Qt::KeypadModifier | Qt::ShiftModifier));
}

// A QScrollBar inverts its controls so that the wheel turned toward the user scrolls down;
// the same switch turns its arrow keys around, so on a horizontal bar Right lowers the value
// and the thumb moves against the arrow. The wheel must stay as it is for mouse users, so the
// keys are taken over here instead of turning the switch off.
class ClassicScrollBarKeys final : public QObject {
public:
    using QObject::QObject;

    bool eventFilter(QObject* watched, QEvent* event) override {
        auto* bar = qobject_cast<QScrollBar*>(watched);
        if (!bar || event->type() != QEvent::KeyPress)
            return false;
        auto* key = static_cast<QKeyEvent*>(event);
        if (!plain(key))
            return false;
        const bool mirrored = bar->orientation() == Qt::Horizontal && bar->isRightToLeft();
        QAbstractSlider::SliderAction action = QAbstractSlider::SliderNoAction;
        switch (key->key()) {
            case Qt::Key_Up:
                action = QAbstractSlider::SliderSingleStepSub;
                break;
            case Qt::Key_Down:
                action = QAbstractSlider::SliderSingleStepAdd;
                break;
            case Qt::Key_Left:
                action = mirrored ? QAbstractSlider::SliderSingleStepAdd
                                  : QAbstractSlider::SliderSingleStepSub;
                break;
            case Qt::Key_Right:
                action = mirrored ? QAbstractSlider::SliderSingleStepSub
                                  : QAbstractSlider::SliderSingleStepAdd;
                break;
            case Qt::Key_PageUp:
                action = QAbstractSlider::SliderPageStepSub;
                break;
            case Qt::Key_PageDown:
                action = QAbstractSlider::SliderPageStepAdd;
                break;
            case Qt::Key_Home:
                action = QAbstractSlider::SliderToMinimum;
                break;
            case Qt::Key_End:
                action = QAbstractSlider::SliderToMaximum;
                break;
            default:
                return false;
        }
        bar->triggerAction(action);
        key->accept();
        return true;
    }
};

class EnterPresses final : public QObject {
public:
    using QObject::QObject;

    bool eventFilter(QObject* watched, QEvent* event) override {
        auto* button = qobject_cast<QAbstractButton*>(watched);
        if (!button || event->type() != QEvent::KeyPress)
            return false;
        auto* key = static_cast<QKeyEvent*>(event);
        if ((key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter) || !plain(key))
            return false;
        // Held down, the key presses once.
        if (!key->isAutoRepeat())
            button->click();
        return true;
    }
};

class GridArrows final : public QObject {
public:
    GridArrows(std::vector<QWidget*> cells, int columns, QObject* parent)
        : QObject(parent), m_cells(std::move(cells)), m_columns(columns) {}

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::KeyPress)
            return false;
        auto* key = static_cast<QKeyEvent*>(event);
        if (!plain(key) || (key->modifiers() & Qt::ShiftModifier))
            return false;
        const auto at = std::find(m_cells.begin(), m_cells.end(), watched);
        if (at == m_cells.end())
            return false;
        const int n = int(at - m_cells.begin());
        const int rows = int(m_cells.size()) / m_columns;
        int row = n / m_columns, column = n % m_columns;
        switch (key->key()) {
            case Qt::Key_Left:
                column = std::max(column - 1, 0);
                break;
            case Qt::Key_Right:
                column = std::min(column + 1, m_columns - 1);
                break;
            case Qt::Key_Up:
                row = std::max(row - 1, 0);
                break;
            case Qt::Key_Down:
                row = std::min(row + 1, rows - 1);
                break;
            default:
                return false;
        }
        m_cells[static_cast<size_t>(row * m_columns + column)]->setFocus(Qt::OtherFocusReason);
        return true;
    }

private:
    std::vector<QWidget*> m_cells;
    int m_columns;
};

}  // namespace

void pressWithEnter(QAbstractButton* button) {
    static EnterPresses* const enter = [] {
        auto* e = new EnterPresses;
        e->setParent(QCoreApplication::instance());
        return e;
    }();
    button->installEventFilter(enter);
}

void moveFocusWithArrows(std::vector<QWidget*> cells, int columns) {
    if (cells.empty() || columns <= 0)
        return;
    auto* arrows = new GridArrows(cells, columns, cells.front());
    for (QWidget* c : cells)
        c->installEventFilter(arrows);
}

void useClassicScrollBarKeys(QScrollBar* bar) {
    // One filter for all bars, living as long as the application.
    static ClassicScrollBarKeys* const keys = [] {
        auto* k = new ClassicScrollBarKeys;
        k->setParent(QCoreApplication::instance());
        return k;
    }();
    bar->installEventFilter(keys);
}
