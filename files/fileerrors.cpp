#include "files/fileerrors.h"

#include <sys/stat.h>

#include <cstring>

namespace fileerrors {

std::string quoted(const std::string& path) {
    return "\"" + path + "\"";
}

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

}  // namespace fileerrors
