#pragma once

// Pattern files on disk: loading one into the grid, saving the grid to one.

#include <cstddef>
#include <string>

#include "core/livepattern.h"
#include "files/atomicfile.h"
#include "files/patternformat.h"

/// Upper bound on what a load reads from a file that has not given 64 values by then. A
/// pattern file is 192 bytes; this only keeps a huge file of spaces or blank lines from
/// stalling the program.
constexpr std::size_t kMaxPatternFileRead = 1024 * 1024;

struct LoadResult {
    /// True when the values read were written into the grid (an empty file included).
    bool applied = false;
    /// Why nothing was written ("\"/x/a.pat\" is a folder"); empty when applied.
    std::string error;
    /// Bytes read from the file, and values found in them (at most 64).
    std::size_t bytesRead = 0;
    int values = 0;
};

/// Loads a pattern file into the live grid. Only regular files are read: a directory, a
/// FIFO or a device is refused before anything is opened or read, and the file is opened
/// non-blocking and checked again, so nothing can make the load wait. Reading stops after
/// the 64th value or at kMaxPatternFileRead bytes. The file is read whole before any cell
/// changes, so a file that cannot be opened or read, or turns out to be binary, leaves the
/// grid exactly as it was.
LoadResult loadPatternFile(const std::string& path, LivePattern& live);
/// The same into an array of cell states.
LoadResult loadPatternFile(const std::string& path, CellStates& cells);

/// Saves `cells` to `path` in the pattern file format, atomically (see replaceFile).
SaveResult savePatternFile(const std::string& path, const CellStates& cells,
                           const SaveOptions& options = {});
