#include "patterncommands.h"

void savePatternAs(CommonDialog& dialog, const LivePattern& live, std::string& SaveFileName,
                   const TellUser& tellUser, const SaveOptions& options) {
    dialog.setDialogTitle("Save Pattern File");
    dialog.setFilter(kPatternFilter);
    if (dialog.ShowSave() != DialogResult::Chosen)
        return;
    SaveFileName = dialog.FileName();
    const SaveResult result = savePatternFile(SaveFileName, cellsOf(live), options);
    // Saying nothing here would let the user believe the pattern is safe on disk.
    if (!result.ok && tellUser)
        tellUser(result.error);
}

LoadResult loadPattern(CommonDialog& dialog, LivePattern& live, std::string& LoadFileName) {
    dialog.setDialogTitle("Open Pattern File");
    dialog.setFilter(kPatternFilter);
    if (dialog.ShowOpen() != DialogResult::Chosen)
        return {};
    LoadFileName = dialog.FileName();
    // Silent on failure: the grid simply stays as it was.
    return loadPatternFile(LoadFileName, live);
}
