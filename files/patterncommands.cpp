#include "patterncommands.h"

void savePatternAs(CommonDialog& dialog, const GridNow& grid, std::string& SaveFileName,
                   const TellUser& tellUser, const SaveOptions& options) {
    dialog.setDialogTitle("Save Pattern File");
    dialog.setFilter(kPatternFilter);
    if (dialog.ShowSave() != DialogResult::Chosen)
        return;
    SaveFileName = dialog.FileName();
    const SaveResult result = savePatternFile(SaveFileName, grid(), options);
    // Saying nothing here would let the user believe the pattern is safe on disk.
    if (!result.ok && tellUser)
        tellUser(result.error);
}

void savePatternAs(CommonDialog& dialog, const LivePattern& live, std::string& SaveFileName,
                   const TellUser& tellUser, const SaveOptions& options) {
    savePatternAs(
        dialog, [&live] { return cellsOf(live); }, SaveFileName, tellUser, options);
}

LoadResult loadPattern(CommonDialog& dialog, const EditGrid& edit, std::string& LoadFileName) {
    dialog.setDialogTitle("Open Pattern File");
    dialog.setFilter(kPatternFilter);
    if (dialog.ShowOpen() != DialogResult::Chosen)
        return {};
    LoadFileName = dialog.FileName();
    // The file is read whole first, without touching the grid; the cells it gives then go in
    // as one edit. Silent on failure: the grid simply stays as it was.
    CellStates read;
    read.fill(PatternFileReader::kKeep);
    const LoadResult result = loadPatternFile(LoadFileName, read);
    if (result.applied) {
        edit([&read](LivePattern& live) {
            for (int i = 0; i < kCells; ++i) {
                if (read[static_cast<std::size_t>(i)] != PatternFileReader::kKeep)
                    live.setCell(i, read[static_cast<std::size_t>(i)]);
            }
        });
    }
    return result;
}

LoadResult loadPattern(CommonDialog& dialog, LivePattern& live, std::string& LoadFileName) {
    return loadPattern(
        dialog, [&live](const std::function<void(LivePattern&)>& change) { change(live); },
        LoadFileName);
}
