#include "qtfiledialog.h"

#include <QFile>
#include <QFileDialog>
#include <QFileInfo>

DialogResult QtFileDialogPresenter::present(const Request& request, std::string& chosenPath) {
    QFileDialog dialog(m_parent, QString::fromStdString(request.title));
    dialog.setObjectName(QStringLiteral("CMDialog1"));
    const bool save = request.mode == Mode::Save;
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    if (!request.nameFilters.empty())
        dialog.setNameFilter(QString::fromStdString(request.nameFilters));
    // A full path opens the dialog in its folder with its name filled in.
    if (!request.fileName.empty())
        dialog.selectFile(QFile::decodeName(request.fileName.c_str()));

    if (dialog.exec() != QDialog::Accepted)
        return DialogResult::Cancelled;
    const QStringList files = dialog.selectedFiles();
    if (files.size() != 1 || files.front().isEmpty())
        return DialogResult::Failed;
    chosenPath = QFile::encodeName(QFileInfo(files.front()).absoluteFilePath()).toStdString();
    return DialogResult::Chosen;
}
