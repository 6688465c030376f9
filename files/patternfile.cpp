#include "patternfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

// ------------------------------------------------------------------ messages

std::string quoted(const std::string& path) {
    return "\"" + path + "\"";
}

// strerror's text with a lower-case first letter, to follow "Cannot open "x": ".
std::string cause(int error) {
    std::string text = std::strerror(error);
    if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z')
        text[0] = char(text[0] - 'A' + 'a');
    return text;
}

std::string kindOf(mode_t mode) {
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISFIFO(mode))
        return "a pipe";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "a device";
    if (S_ISSOCK(mode))
        return "a socket";
    return "not a regular file";
}

std::string notAFile(const std::string& path, mode_t mode) {
    return quoted(path) + " is " + kindOf(mode);
}

// ------------------------------------------------------------------ reading

// Ctrl-Z ends a DOS text file; whatever follows it is not part of the text.
constexpr unsigned char kEndOfFileMark = 0x1A;

// Control codes other than tab, line feed, vertical tab, form feed, carriage return and the
// end-of-file mark never stand in a text file; meeting one means the file is not a pattern
// file.
bool isBinaryByte(unsigned char c) {
    return c < 0x09 || (c >= 0x0E && c < 0x20 && c != kEndOfFileMark) || c == 0x7F;
}

// ------------------------------------------------------------------ writing

// Writes everything, going on after short writes and interrupted calls. Returns 0 or the
// errno of the failure.
int writeAll(int fd, const std::string& bytes, const WriteFunction& write) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write ? write(fd, bytes.data() + done, bytes.size() - done)
                                : ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        // A write that takes nothing would loop for ever; the disk is as good as full.
        if (n == 0)
            return ENOSPC;
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

// A name for the temporary file next to the target: hidden, and short enough to be a valid
// name whatever the length of the target's own name.
std::string tempPathFor(const std::string& folder, const std::string& base, int attempt) {
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    unsigned long long mix = static_cast<unsigned long long>(now) ^
                             (static_cast<unsigned long long>(::getpid()) << 32) ^
                             (static_cast<unsigned long long>(attempt) * 0x9E3779B97F4A7C15ull);
    std::string tag;
    for (int i = 0; i < 8; ++i, mix /= 36)
        tag += "0123456789abcdefghijklmnopqrstuvwxyz"[mix % 36];
    return folder + "/." + base.substr(0, 64) + "." + tag + ".tmp";
}

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// The name a chain of symbolic links finally stands for, whether or not a file of that name
// exists yet; `path` itself when it is no link. A chain longer than the system follows is
// left as it is, and using it then fails with "too many levels of symbolic links".
std::string followLinks(const std::string& path) {
    std::string current = path;
    for (int hop = 0; hop < 40; ++hop) {
        struct stat st {};
        if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return current;
        std::string to(std::size_t(PATH_MAX), '\0');
        const ssize_t n = ::readlink(current.c_str(), to.data(), to.size());
        if (n <= 0 || std::size_t(n) >= to.size())
            return current;
        to.resize(std::size_t(n));
        current = to[0] == '/' ? to : folderOf(current) + "/" + to;
    }
    return current;
}

void syncFolder(const std::string& folder) {
    // After the rename, so the new directory entry survives a power cut; the file is
    // already in place, so a failure here is no reason to report the save as failed.
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

}  // namespace

// ==================================================================== format

CellStates cellsOf(const LivePattern& live) {
    CellStates cells{};
    for (int i = 0; i < kCells; ++i)
        cells[static_cast<std::size_t>(i)] = live.cell(i);
    return cells;
}

std::string formatPatternFile(const CellStates& cells) {
    std::string out;
    out.reserve(cells.size() * 3);
    for (int16_t state : cells) {
        out += std::to_string(state);
        out += "\r\n";
    }
    return out;
}

// ==================================================================== reader

bool PatternFileReader::feed(const char* data, std::size_t size) {
    for (std::size_t i = 0; i < size && wantsMore(); ++i)
        step(static_cast<unsigned char>(data[i]));
    return wantsMore();
}

void PatternFileReader::finish() {
    if (m_place == Place::InValue && wantsMore())
        endValue();
    m_place = Place::BeforeValue;
}

void PatternFileReader::step(unsigned char c) {
    if (c == kEndOfFileMark) {
        if (m_place == Place::InValue)
            endValue();
        m_place = Place::BeforeValue;
        m_ended = true;
        return;
    }
    if (isBinaryByte(c)) {
        m_binary = true;
        return;
    }
    if (m_place == Place::AfterSpace) {
        // Spaces after a value, then possibly the comma that ends it.
        if (c == ' ')
            return;
        m_place = Place::BeforeValue;
        if (c == ',')
            return;
    }
    if (m_place == Place::BeforeValue) {
        if (c == ' ' || c == '\r' || c == '\n')
            return;
        if (c == ',') {
            endValue();  // nothing before the comma: an empty value
            return;
        }
        m_place = Place::InValue;
    }
    // In a value.
    if (c == ',' || c == '\r' || c == '\n' || c == ' ') {
        endValue();
        m_place = c == ' ' ? Place::AfterSpace : Place::BeforeValue;
        return;
    }
    const bool first = !m_started;
    m_started = true;
    if (!m_number)
        return;
    if (first && (c == '+' || c == '-')) {
        m_negative = c == '-';
        return;
    }
    if (c >= '0' && c <= '9') {
        m_hasDigits = true;
        // Past 32768 the value is out of the 16-bit range whatever follows; stop growing it.
        if (m_magnitude <= 32768)
            m_magnitude = m_magnitude * 10 + (c - '0');
        return;
    }
    m_number = false;
}

void PatternFileReader::endValue() {
    int16_t state = kKeep;
    if (m_number && m_hasDigits) {
        const bool inRange = m_negative ? m_magnitude <= 32768 : m_magnitude <= 32767;
        // "-0" is the number 0; any other negative number is no cell state.
        const int32_t value = m_negative ? -m_magnitude : m_magnitude;
        if (inRange && value >= kOff && value <= kDimmed)
            state = static_cast<int16_t>(value);
    }
    m_states[static_cast<std::size_t>(m_count++)] = state;
    m_started = false;
    m_hasDigits = false;
    m_negative = false;
    m_number = true;
    m_magnitude = 0;
}

void PatternFileReader::applyTo(LivePattern& live) const {
    if (m_binary)
        return;
    for (int i = 0; i < kCells; ++i) {
        const int16_t state = m_states[static_cast<std::size_t>(i)];
        if (state != kKeep)
            live.setCell(i, state);
    }
}

// ==================================================================== load

namespace {
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

// ==================================================================== save

SaveResult savePatternFile(const std::string& path, const CellStates& cells,
                           const SaveOptions& options) {
    SaveResult r;
    bool existed = false;
    auto fail = [&](const std::string& why) {
        r.ok = false;
        r.error = "Cannot save " + quoted(path) + ": " + why + ".";
        if (existed)
            r.error += " The file that was there is unchanged.";
        return r;
    };

    // Replace what a symbolic link points at, not the link; a link to a file that does not
    // exist yet creates that file.
    const std::string target = followLinks(path);
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode))
            return fail("it is " + kindOf(st.st_mode));
        existed = true;
        // The rename would replace a file the user may not write; refuse as a plain
        // write would.
        if (::access(target.c_str(), W_OK) != 0)
            return fail(cause(errno));
    } else if (errno != ENOENT) {
        return fail(cause(errno));
    }

    const std::size_t slash = target.rfind('/');
    const std::string folder = folderOf(target);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    if (base.empty())
        return fail("no file name");
    // The file is made in its folder and renamed there; when that is what fails, the user
    // is told it is the folder, not the file, that is the matter.
    auto failInFolder = [&](int error) {
        if (error == ENOENT || error == ENOTDIR)
            return fail("there is no folder " + quoted(folder));
        return fail(cause(error) + " in the folder " + quoted(folder));
    };

    const std::string bytes = formatPatternFile(cells);
    // Fills a new temporary file and flushes it to disk; 0 or the errno of the failure.
    auto fill = [&](int fd) {
        if (const int error = writeAll(fd, bytes, options.write))
            return error;
        if (existed) {
            // Owner first: changing it may clear set-id bits that the mode then restores.
            // Only a privileged user may give a file away; anyone else can still keep its
            // group, when they belong to it.
            if (::fchown(fd, st.st_uid, st.st_gid) != 0 &&
                ::fchown(fd, uid_t(-1), st.st_gid) != 0) {
                // Neither: the new file has the user's own owner and group.
            }
            if (::fchmod(fd, st.st_mode & 07777) != 0)
                return errno;
        }
        return ::fsync(fd) == 0 ? 0 : errno;
    };

    // An unnamed file in the target's folder first: if the program dies while writing it,
    // nothing is left behind; it gets a name only once it is complete and on disk. Mode
    // 0666 lets the umask decide, as for any new file.
    std::string tempPath;
    int fd = options.unnamedTemporary
                 ? ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666)
                 : (errno = EOPNOTSUPP, -1);
    if (fd >= 0) {
        if (const int error = fill(fd)) {
            ::close(fd);
            return fail(cause(error));
        }
        const std::string self = "/proc/self/fd/" + std::to_string(fd);
        int error = EEXIST;
        for (int attempt = 0; attempt < 100 && error == EEXIST; ++attempt) {
            tempPath = tempPathFor(folder, base, attempt);
            const int linked =
                ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, tempPath.c_str(), AT_SYMLINK_FOLLOW);
            error = linked == 0 ? 0 : errno;
        }
        const int closed = ::close(fd);
        fd = -1;
        if (error != 0) {
            // No /proc, or a file system that cannot link it: write a named file instead.
            tempPath.clear();
        } else if (closed != 0) {
            const int closeError = errno;
            ::unlink(tempPath.c_str());
            return fail(cause(closeError));
        }
    } else if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        return failInFolder(errno);
    }

    if (tempPath.empty()) {
        // A hidden named file, removed again on every failure.
        for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
            tempPath = tempPathFor(folder, base, attempt);
            fd = ::open(tempPath.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
            if (fd < 0 && errno != EEXIST)
                return failInFolder(errno);
        }
        if (fd < 0)
            return fail(cause(EEXIST));
        int error = fill(fd);
        if (::close(fd) != 0 && error == 0)
            error = errno;
        if (error != 0) {
            ::unlink(tempPath.c_str());
            return fail(cause(error));
        }
    }

    if (::rename(tempPath.c_str(), target.c_str()) != 0) {
        const int error = errno;
        ::unlink(tempPath.c_str());
        // Permission to make the temporary file but not to replace the old one: a folder
        // where only a file's owner may replace it.
        return error == EACCES || error == EPERM ? failInFolder(error) : fail(cause(error));
    }
    syncFolder(folder);
    r.ok = true;
    return r;
}
