#pragma once

// The words in which file errors reach the user: "Cannot open "x": permission denied".

#include <sys/types.h>

#include <string>

namespace fileerrors {

/// The path in double quotes.
std::string quoted(const std::string& path);
/// strerror's text for `error` with a lower-case first letter, to follow "Cannot open "x": ".
std::string cause(int error);
/// What a file of this mode is, when it is no regular file: "a folder", "a pipe" ...
std::string kindOf(mode_t mode);

}  // namespace fileerrors
