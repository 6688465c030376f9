#pragma once

// Replacing a file atomically: a save that fails at any point leaves the file that was there
// as it was. Plain POSIX; nothing here knows what the bytes are.

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>

/// How a save writes to its file descriptor; tests put a failing one in.
using WriteFunction = std::function<ssize_t(int fd, const void* data, std::size_t size)>;

/// Test seams of a save; the program uses the defaults.
struct SaveOptions {
    /// Replaces the system's write call when set.
    WriteFunction write;
    /// False makes the save use a named temporary file, as on a file system that has no
    /// unnamed ones.
    bool unnamedTemporary = true;
};

struct SaveResult {
    bool ok = false;
    /// For the user, naming the file and the cause: "Cannot save "/x/a.pat": no space left
    /// on device. The file that was there is unchanged."
    std::string error;
};

/// Saves `bytes` to `path` atomically: they go to a temporary file in the same folder
/// (an unnamed one where the file system allows it), which is flushed to disk and then
/// renamed over `path`. A save that fails at any point leaves the file that was at `path`
/// as it was and no temporary file behind; so does a process killed while writing, as long
/// as the temporary file is unnamed. A replaced file keeps its permissions (and owner,
/// where allowed); a new one gets 0666 less the umask. A file the user may not write is not
/// replaced, even though its folder would allow the rename. A symbolic link is followed and
/// its target replaced, or created when the link points at nothing yet. Since the old file
/// is replaced, not rewritten, a save needs leave to make files in the folder, and other
/// hard links to the old file keep the old contents.
SaveResult replaceFile(const std::string& path, const std::string& bytes,
                       const SaveOptions& options = {});
