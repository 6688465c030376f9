#include "accessibility.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QAccessibleObject>
#include <QAccessibleWidget>
#include <QAction>
#include <QComboBox>
#include <QKeySequence>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>

namespace {

QString withoutAccessKey(QString text) {
    // "&Thru" is shown as "Thru" with the T underlined; "&&" is a literal "&".
    text.replace(QLatin1String("&&"), QStringLiteral("\x01"));
    text.remove(QLatin1Char('&'));
    text.replace(QStringLiteral("\x01"), QStringLiteral("&"));
    return text;
}

// A checkable item of a menu. The toolkit's own menu item reports a check mark that is on as
// "checked" but never reports the item as checkable, and its bridge to the desktop's
// accessibility bus drops the checkable state of every object anyway: a reader cannot tell
// an item that is off from a plain command and says nothing of it. Exposed as a check box,
// the one role that always carries a checked or unchecked state, the item is read as "Thru,
// check box, checked" or "not checked". Everything else is what the toolkit's item is.
class CheckableMenuItem final : public QAccessibleObject, public QAccessibleActionInterface {
public:
    CheckableMenuItem(QMenu* menu, QAction* action)
        : QAccessibleObject(action), m_menu(menu), m_action(action) {}

    bool isValid() const override { return m_menu && m_action; }
    QWindow* window() const override { return m_menu ? m_menu->window()->windowHandle() : nullptr; }
    QAccessibleInterface* parent() const override {
        return QAccessible::queryAccessibleInterface(m_menu.data());
    }
    int childCount() const override { return 0; }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    QAccessibleInterface* focusChild() const override { return nullptr; }
    QAccessible::Role role() const override { return QAccessible::CheckBox; }

    QString text(QAccessible::Text t) const override {
        if (!isValid())
            return {};
        switch (t) {
            case QAccessible::Name:
                return withoutAccessKey(m_action->text());
            case QAccessible::Description:
                return m_action->toolTip();
            case QAccessible::Accelerator:
                return (m_action->shortcut().isEmpty() ? QKeySequence::mnemonic(m_action->text())
                                                       : m_action->shortcut())
                    .toString(QKeySequence::NativeText);
            default:
                return {};
        }
    }

    QAccessible::State state() const override {
        QAccessible::State s;
        if (!isValid())
            return s;
        s.checkable = true;
        s.checked = m_action->isChecked();
        s.invisible = !m_menu->isVisible() || !m_action->isVisible();
        s.focused = m_menu->activeAction() == m_action;
        s.disabled = !m_action->isEnabled();
        return s;
    }

    QRect rect() const override {
        if (!isValid() || !m_menu->isVisible())
            return {};
        const QRect r = m_menu->actionGeometry(m_action);
        return QRect(m_menu->mapToGlobal(r.topLeft()), r.size());
    }

    void* interface_cast(QAccessible::InterfaceType t) override {
        return t == QAccessible::ActionInterface ? static_cast<QAccessibleActionInterface*>(this)
                                                 : nullptr;
    }

    QStringList actionNames() const override { return {pressAction(), toggleAction()}; }
    void doAction(const QString& name) override {
        if (isValid() && m_action->isEnabled() && (name == pressAction() || name == toggleAction()))
            m_action->trigger();
    }
    QStringList keyBindingsForAction(const QString&) const override { return {}; }

private:
    QPointer<QMenu> m_menu;
    QPointer<QAction> m_action;
};

// Text that a reader can read but not edit: no editing, the cursor and selection as the
// widget has them.
class ReadOnlyText : public QAccessibleTextInterface {
public:
    virtual QString shownText() const = 0;

    void selection(int, int* start, int* end) const override { *start = *end = 0; }
    int selectionCount() const override { return 0; }
    void addSelection(int, int) override {}
    void removeSelection(int) override {}
    void setSelection(int, int, int) override {}
    int cursorPosition() const override { return 0; }
    void setCursorPosition(int) override {}
    QString text(int start, int end) const override {
        const QString t = shownText();
        start = qBound(0, start, int(t.size()));
        end = end < 0 ? int(t.size()) : qBound(start, end, int(t.size()));
        return t.mid(start, end - start);
    }
    int characterCount() const override { return int(shownText().size()); }
    QRect characterRect(int) const override { return {}; }
    int offsetAtPoint(const QPoint&) const override { return -1; }
    void scrollToSubstring(int, int) override {}
    QString attributes(int offset, int* start, int* end) const override {
        *start = *end = offset;
        return {};
    }
};

// A drop-down list that takes no typed text. The toolkit names it by its chosen entry and
// relates it to its label, but gives it no text, and on this toolkit version its list offers
// no selection: a reader then finds no value for a list that is not open, and says only the
// label. This one is the toolkit's list with its chosen entry as its text, and a text change
// raised when the choice changes.
class ChoiceList final : public QAccessibleWidget, public ReadOnlyText {
public:
    explicit ChoiceList(QComboBox* box) : QAccessibleWidget(box, QAccessible::ComboBox) {}

    QComboBox* box() const { return static_cast<QComboBox*>(widget()); }
    QString shownText() const override { return box()->currentText(); }

    int childCount() const override { return 1; }
    QAccessibleInterface* child(int index) const override {
        return index == 0 ? QAccessible::queryAccessibleInterface(box()->view()) : nullptr;
    }
    int indexOfChild(const QAccessibleInterface* c) const override {
        return c && c->object() == box()->view() ? 0 : -1;
    }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }

    QString text(QAccessible::Text t) const override {
        // The chosen entry names the list, as the toolkit does here; its label comes through
        // the label relation. With nothing chosen, the list's own name.
        if ((t == QAccessible::Name || t == QAccessible::Value) && !box()->currentText().isEmpty())
            return box()->currentText();
        return QAccessibleWidget::text(t);
    }
    using ReadOnlyText::text;

    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        s.expandable = true;
        s.expanded = box()->view()->isVisible();
        return s;
    }

    void* interface_cast(QAccessible::InterfaceType t) override {
        if (t == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface*>(this);
        return QAccessibleWidget::interface_cast(t);
    }

    QStringList actionNames() const override {
        return QStringList{showMenuAction()} + QAccessibleWidget::actionNames();
    }
    void doAction(const QString& name) override {
        if (name == showMenuAction() || name == pressAction()) {
            if (box()->view()->isVisible())
                box()->hidePopup();
            else
                box()->showPopup();
            return;
        }
        QAccessibleWidget::doAction(name);
    }
};

// A read-only text box the program writes. The toolkit reports every text box as editable,
// read-only or not, and a reader that sees an editable box with the focus reads out each
// change of its text as if it were typed: the step count would be read at every step. This
// one is the same text box, read only and not editable.
class StatusText final : public QAccessibleWidget, public ReadOnlyText {
public:
    explicit StatusText(QLineEdit* box) : QAccessibleWidget(box, QAccessible::EditableText) {}

    QLineEdit* box() const { return static_cast<QLineEdit*>(widget()); }
    QString shownText() const override { return box()->text(); }

    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Value)
            return box()->text();
        return QAccessibleWidget::text(t);
    }
    using ReadOnlyText::text;

    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        s.editable = false;
        s.readOnly = true;
        s.selectableText = true;
        return s;
    }

    void* interface_cast(QAccessible::InterfaceType t) override {
        if (t == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface*>(this);
        return QAccessibleWidget::interface_cast(t);
    }

    // The user may still move the cursor and select in the box to read or copy it.
    int cursorPosition() const override { return box()->cursorPosition(); }
    void setCursorPosition(int position) override { box()->setCursorPosition(position); }
    int selectionCount() const override { return box()->hasSelectedText() ? 1 : 0; }
    void selection(int index, int* start, int* end) const override {
        *start = *end = 0;
        if (index != 0 || !box()->hasSelectedText())
            return;
        *start = box()->selectionStart();
        *end = *start + int(box()->selectedText().size());
    }
    void setSelection(int, int start, int end) override { box()->setSelection(start, end - start); }
    void addSelection(int start, int end) override { setSelection(0, start, end); }
    void removeSelection(int) override { box()->deselect(); }
};

const char* const kStatusProperty = "accessibleStatus";

QAccessibleInterface* makeInterface(const QString& key, QObject* object) {
    if (key == QLatin1String("QAction")) {
        auto* action = qobject_cast<QAction*>(object);
        if (!action || !action->isCheckable() || action->isSeparator())
            return nullptr;
        for (QObject* o : action->associatedObjects())
            if (auto* menu = qobject_cast<QMenu*>(o))
                return new CheckableMenuItem(menu, action);
        return nullptr;
    }
    if (key == QLatin1String("QComboBox")) {
        auto* box = qobject_cast<QComboBox*>(object);
        if (!box || box->isEditable())
            return nullptr;
        // The text changes with the choice; readers that follow a text hear the new entry.
        QObject::connect(box, &QComboBox::currentTextChanged, box,
                         [box, last = box->currentText()](const QString& now) mutable {
                             QAccessibleTextUpdateEvent event(box, 0, last, now);
                             last = now;
                             QAccessible::updateAccessibility(&event);
                         });
        return new ChoiceList(box);
    }
    if (key == QLatin1String("QLineEdit")) {
        auto* box = qobject_cast<QLineEdit*>(object);
        if (!box || !box->property(kStatusProperty).toBool())
            return nullptr;
        return new StatusText(box);
    }
    return nullptr;
}

}  // namespace

void installAccessibility() {
    static const bool installed = [] {
        QAccessible::installFactory(makeInterface);
        return true;
    }();
    (void)installed;
}

void announceCheckedChanges(QAction* action) {
    QObject::connect(action, &QAction::toggled, action, [action] {
        QAccessible::State changed;
        changed.checked = true;
        QAccessibleStateChangeEvent event(action, changed);
        QAccessible::updateAccessibility(&event);
    });
}

void markAsStatus(QLineEdit* box) {
    box->setProperty(kStatusProperty, true);
}
