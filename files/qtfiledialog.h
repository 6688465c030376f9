#pragma once

#include "commondialog.h"

class QWidget;

/// Puts the toolkit's file dialog on screen, modal to `parent`. The open dialog accepts
/// only names of existing files; the save dialog asks before replacing a file. No
/// extension is added to a name.
class QtFileDialogPresenter : public FileDialogPresenter {
public:
    explicit QtFileDialogPresenter(QWidget* parent) : m_parent(parent) {}
    DialogResult present(const Request& request, std::string& chosenPath) override;

private:
    QWidget* m_parent;
};
