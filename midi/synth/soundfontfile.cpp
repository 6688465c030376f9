#include "midi/synth/soundfontfile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

bool checkSoundfontFile(const std::string& path, std::string& cause) {
    const std::string quoted = "the soundfont \"" + path + "\"";
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        const int e = errno;
        cause = e == ENOENT ? quoted +
                                  " does not exist (install timgm6mb-soundfont or another "
                                  "General MIDI soundfont)"
                            : quoted + " cannot be read: " + std::strerror(e);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        cause = quoted + " is not a file";
        return false;
    }
    if (::access(path.c_str(), R_OK) != 0) {
        cause = quoted + " cannot be read: " + std::strerror(errno);
        return false;
    }
    return true;
}
