#pragma once

// Shared by the pattern file tests: a scripted file dialog, a grid that records every write,
// and small file helpers over a real folder.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QStringList>

#include <deque>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "core/livepattern.h"
#include "files/commondialog.h"
#include "files/patternfile.h"

/// A file dialog that plays a script: each show takes the next step. What the program asked
/// for is kept in `requests`. Showing with an empty script is a test fault and fails.
class ScriptedDialog : public FileDialogPresenter {
public:
    struct Step {
        DialogResult result = DialogResult::Cancelled;
        std::string path;
        /// Runs while the dialog is "open", before it returns (e.g. to remove the file).
        std::function<void()> whileOpen;
    };
    std::deque<Step> script;
    std::vector<Request> requests;
    int unexpectedShows = 0;

    void choose(const std::string& path, std::function<void()> whileOpen = {}) {
        script.push_back({DialogResult::Chosen, path, std::move(whileOpen)});
    }
    void cancel() { script.push_back({DialogResult::Cancelled, {}, {}}); }
    void fail() { script.push_back({DialogResult::Failed, {}, {}}); }

    DialogResult present(const Request& request, std::string& chosenPath) override {
        requests.push_back(request);
        if (script.empty()) {
            ++unexpectedShows;
            return DialogResult::Cancelled;
        }
        Step step = std::move(script.front());
        script.pop_front();
        if (step.whileOpen)
            step.whileOpen();
        if (step.result == DialogResult::Chosen)
            chosenPath = step.path;
        return step.result;
    }
};

/// A grid over a plain array that takes every write as it comes, so a test sees exactly what
/// the reader wrote (unlike the real check boxes, which ignore values that are no state).
class SpyPattern : public LivePattern {
public:
    CellStates cells{};
    struct Write {
        int index;
        int16_t state;
    };
    std::vector<Write> writes;

    int16_t cell(int i) const override { return cells.at(static_cast<std::size_t>(i)); }
    void setCell(int i, int16_t state) override {
        writes.push_back({i, state});
        if (i >= 0 && i < kCells)
            cells[static_cast<std::size_t>(i)] = state;
    }
    int16_t note(int) const override { return 0; }
    void setNote(int, int16_t) override {}
};

inline QByteArray readBytes(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray("<cannot read>");
    return f.readAll();
}

inline bool writeBytes(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

/// Every entry of a folder, hidden ones included, sorted.
inline QStringList entries(const QString& folder) {
    return QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

inline std::string str(const QString& s) {
    return QFile::encodeName(s).toStdString();
}

/// A file of the given states in the written format.
inline QByteArray patternBytes(const CellStates& cells) {
    return QByteArray::fromStdString(formatPatternFile(cells));
}
