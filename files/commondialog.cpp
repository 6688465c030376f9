#include "commondialog.h"

#include <utility>
#include <vector>

namespace {
std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    while (true) {
        const auto end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos)
            return parts;
        start = end + 1;
    }
}

std::string trimmed(const std::string& s) {
    const auto first = s.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

bool endsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}
}  // namespace

CommonDialog::CommonDialog(std::unique_ptr<FileDialogPresenter> presenter)
    : m_presenter(std::move(presenter)) {}

DialogResult CommonDialog::ShowOpen() {
    return show(FileDialogPresenter::Mode::Open);
}

DialogResult CommonDialog::ShowSave() {
    return show(FileDialogPresenter::Mode::Save);
}

DialogResult CommonDialog::show(FileDialogPresenter::Mode mode) {
    if (!m_presenter)
        return DialogResult::Failed;
    FileDialogPresenter::Request request;
    request.mode = mode;
    request.title = m_title;
    request.nameFilters = toolkitFilter(m_filter);
    request.fileName = m_fileName;
    std::string chosen;
    const DialogResult result = m_presenter->present(request, chosen);
    if (result != DialogResult::Chosen)
        return result;
    // A dialog that says "chosen" but names nothing has failed.
    if (chosen.empty())
        return DialogResult::Failed;
    m_fileName = chosen;
    return DialogResult::Chosen;
}

std::string CommonDialog::toolkitFilter(const std::string& filter) {
    if (filter.empty())
        return {};
    const std::vector<std::string> items = split(filter, '|');
    std::string out;
    for (std::size_t i = 0; i + 1 < items.size(); i += 2) {
        const std::string description = trimmed(items[i]);
        // Several patterns in one item are separated by ";" in the classic form and by
        // spaces in the toolkit's.
        std::string patterns;
        for (const std::string& p : split(items[i + 1], ';')) {
            std::string pattern = trimmed(p);
            if (pattern.empty())
                continue;
            if (pattern == "*.*")
                pattern = "*";
            if (!patterns.empty())
                patterns += ' ';
            patterns += pattern;
        }
        if (patterns.empty())
            continue;
        std::string item = description;
        if (!endsWith(description, "(" + patterns + ")")) {
            if (!item.empty())
                item += ' ';
            item += "(" + patterns + ")";
        }
        if (!out.empty())
            out += ";;";
        out += item;
    }
    return out;
}
