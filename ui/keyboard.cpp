#include "keyboard.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QScrollBar>

namespace {

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
        // Keys with Ctrl, Alt or Meta belong to shortcuts and the menu bar.
        if (key->modifiers() & ~(Qt::KeypadModifier | Qt::ShiftModifier))
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

}  // namespace

void useClassicScrollBarKeys(QScrollBar* bar) {
    // One filter for all bars, living as long as the application.
    static ClassicScrollBarKeys* const keys = [] {
        auto* k = new ClassicScrollBarKeys;
        k->setParent(QCoreApplication::instance());
        return k;
    }();
    bar->installEventFilter(keys);
}
