#pragma once

// The main window's file dialog component: title and filter written before each use, a
// modal open or save operation, and the file name it keeps from one use to the next.

#include <memory>
#include <string>

/// How a dialog closed.
enum class DialogResult {
    Chosen,     ///< the user chose a file; FileName holds its full path
    Cancelled,  ///< the user closed the dialog without choosing
    Failed,     ///< the dialog could not be shown or gave no usable name
};

/// What actually puts a dialog on screen: the toolkit's file dialog in the program, a
/// script in tests. Runs on the UI thread and returns when the dialog has closed.
class FileDialogPresenter {
public:
    enum class Mode { Open, Save };
    struct Request {
        Mode mode = Mode::Open;
        std::string title;
        /// The filter in the toolkit's form: "description (patterns)" items joined by ";;".
        std::string nameFilters;
        /// The name to show when the dialog opens: a full path, or empty.
        std::string fileName;
    };
    virtual ~FileDialogPresenter() = default;
    /// Shows the dialog; on Chosen, `chosenPath` is the full path of the file chosen.
    virtual DialogResult present(const Request& request, std::string& chosenPath) = 0;
};

/// The file dialog component. DialogTitle and Filter are written before each use; FileName
/// is never cleared, so each dialog opens with the name last chosen in either one.
class CommonDialog {
public:
    explicit CommonDialog(std::unique_ptr<FileDialogPresenter> presenter);

    const std::string& DialogTitle() const { return m_title; }
    void setDialogTitle(const std::string& title) { m_title = title; }

    /// Pairs of a description and a file pattern, every item separated from the next by a
    /// vertical bar: "pattern files (*.pat)|*.pat|all files|*.*".
    const std::string& Filter() const { return m_filter; }
    void setFilter(const std::string& filter) { m_filter = filter; }

    /// The full path last chosen, in either dialog; empty until a file has been chosen.
    const std::string& FileName() const { return m_fileName; }
    void setFileName(const std::string& name) { m_fileName = name; }

    /// Show the open or save dialog modally. FileName changes only on Chosen.
    DialogResult ShowOpen();
    DialogResult ShowSave();

    /// Filter text turned into the toolkit's form: each description with its patterns in
    /// parentheses (left as it is when it already ends with them), items joined by ";;",
    /// patterns separated by spaces. "*.*" becomes "*": the classic filter means every file
    /// by it, while the toolkit would only match names that have a dot. An item left
    /// without a pattern is dropped. "pattern files (*.pat)|*.pat|all files|*.*" gives
    /// "pattern files (*.pat);;all files (*)".
    static std::string toolkitFilter(const std::string& filter);

private:
    DialogResult show(FileDialogPresenter::Mode mode);

    std::unique_ptr<FileDialogPresenter> m_presenter;
    std::string m_title;
    std::string m_filter;
    std::string m_fileName;
};
