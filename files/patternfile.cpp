#include "files/patternfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "files/fileerrors.h"

using fileerrors::cause;
using fileerrors::quoted;

namespace {

std::string notAFile(const std::string& path, mode_t mode) {
    return quoted(path) + " is " + fileerrors::kindOf(mode);
}

// Reads the file into the reader; returns false with r.error set when it cannot.
bool readInto(const std::string& path, PatternFileReader& reader, LoadResult& r) {
    // A path that is not a regular file is refused before it is opened: opening a FIFO
    // could wait for a writer, and opening some devices has effects of its own.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        r.error = "Cannot open " + quoted(path) + ": " + cause(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        r.error = notAFile(path, st.st_mode);
        return false;
    }
    // The name may have been swapped for something else since; non-blocking, so even then
    // the open returns at once, and checked again on what was actually opened.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        r.error = "Cannot open " + quoted(path) + ": " + cause(errno);
        return false;
    }
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        r.error = notAFile(path, st.st_mode);
        ::close(fd);
        return false;
    }
    char buffer[4096];
    while (reader.wantsMore() && r.bytesRead < kMaxPatternFileRead) {
        const std::size_t want = std::min(sizeof buffer, kMaxPatternFileRead - r.bytesRead);
        const ssize_t n = ::read(fd, buffer, want);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            r.error = "Cannot read " + quoted(path) + ": " + cause(errno);
            ::close(fd);
            return false;
        }
        if (n == 0)
            break;
        r.bytesRead += static_cast<std::size_t>(n);
        reader.feed(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (reader.binary()) {
        r.error = quoted(path) + " holds binary data, not a pattern";
        return false;
    }
    // The end of the file, or the read limit, which counts as the end.
    reader.finish();
    return true;
}
}  // namespace

LoadResult loadPatternFile(const std::string& path, LivePattern& live) {
    LoadResult r;
    PatternFileReader reader;
    if (!readInto(path, reader, r))
        return r;
    reader.applyTo(live);
    r.applied = true;
    r.values = reader.valueCount();
    return r;
}

LoadResult loadPatternFile(const std::string& path, CellStates& cells) {
    struct ArrayPattern : LivePattern {
        CellStates& c;
        explicit ArrayPattern(CellStates& cells) : c(cells) {}
        int16_t cell(int i) const override { return c[static_cast<std::size_t>(i)]; }
        void setCell(int i, int16_t state) override { c[static_cast<std::size_t>(i)] = state; }
        int16_t note(int) const override { return 0; }
        void setNote(int, int16_t) override {}
    } live(cells);
    return loadPatternFile(path, live);
}

SaveResult savePatternFile(const std::string& path, const CellStates& cells,
                           const SaveOptions& options) {
    return replaceFile(path, formatPatternFile(cells), options);
}
