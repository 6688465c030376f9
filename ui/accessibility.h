#pragma once

class QAction;
class QLineEdit;

/// What screen readers get beyond the toolkit's own accessibility. Installs, once for the
/// process, interfaces for three kinds of objects whose state the toolkit leaves out:
/// - a checkable item of a menu is exposed as a check box with the check mark as its checked
///   state, so that an item that is off is told apart from a plain command;
/// - a drop-down list that takes no typed text shows its chosen entry as its text too, which
///   is where readers look for the value of a list that is not open;
/// - a text box marked with markAsStatus() is exposed as read-only text, not as editable text.
/// Must run before the first such object is created: the toolkit keeps the interface it gave
/// an object first.
void installAccessibility();

/// Marks `box`, a read-only text box that the program writes, as a status: readers read it on
/// request and do not take the program's writes for typing to be read out. Call right after
/// creating the box.
void markAsStatus(QLineEdit* box);

/// Tells assistive technology each time the check mark of `action`, an item of a menu,
/// changes (the toolkit does not for menu items).
void announceCheckedChanges(QAction* action);
