#pragma once

// The File menu's two pattern commands, run by the main window's handlers
// MnuSavePatternAs_Click and mnuLoadPattern_Click.

#include <functional>
#include <string>

#include "commondialog.h"
#include "core/livepattern.h"
#include "patternfile.h"

/// The filter both commands give the dialog.
inline constexpr const char* kPatternFilter = "pattern files (*.pat)|*.pat|all files|*.*";

/// Shows a message to the user (a message box in the program) and returns when it is read.
using TellUser = std::function<void(const std::string& message)>;

/// The grid's cells as they are at the moment of the call, taken whole.
using GridNow = std::function<CellStates()>;
/// Makes one change to the live pattern, taken whole: the program runs it under the
/// sequencer's lock, so a step being played sees all of it or none.
using EditGrid = std::function<void(const std::function<void(LivePattern&)>& change)>;

/// Saves the grid to a file chosen in the save dialog ("Save Pattern File"). A cancelled or
/// failed dialog ends the command with nothing written and `SaveFileName` kept; otherwise
/// `SaveFileName` becomes the chosen path and the grid, as it is once the dialog has closed,
/// is saved to it atomically. A save that cannot be completed leaves the file that was there
/// as it was and tells the user which file and why, once. `options` are for tests.
void savePatternAs(CommonDialog& dialog, const GridNow& grid, std::string& SaveFileName,
                   const TellUser& tellUser, const SaveOptions& options = {});
/// The same for a grid no other thread changes.
void savePatternAs(CommonDialog& dialog, const LivePattern& live, std::string& SaveFileName,
                   const TellUser& tellUser, const SaveOptions& options = {});

/// Loads the grid from a file chosen in the open dialog ("Open Pattern File"). A cancelled
/// or failed dialog ends the command with the grid and `LoadFileName` unchanged; otherwise
/// `LoadFileName` becomes the chosen path and the file's values are written into the grid
/// (see PatternFileReader) in one edit, after the file has been read. A file that cannot be
/// read as a pattern leaves the grid as it was, without a message. Returns what the load
/// did, for tests.
LoadResult loadPattern(CommonDialog& dialog, const EditGrid& edit, std::string& LoadFileName);
/// The same for a grid no other thread changes.
LoadResult loadPattern(CommonDialog& dialog, LivePattern& live, std::string& LoadFileName);
