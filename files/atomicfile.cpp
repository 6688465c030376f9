#include "files/atomicfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>

#include "files/fileerrors.h"

using fileerrors::cause;
using fileerrors::kindOf;
using fileerrors::quoted;

namespace {

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

SaveResult replaceFile(const std::string& path, const std::string& bytes,
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
