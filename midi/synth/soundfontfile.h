#pragma once

#include <string>

/// Checks that `path` names a readable file, before FluidSynth is asked to load it (which
/// tells only that it failed). False with the cause ("the soundfont "..." does not exist
/// (install ...)", "... is not a file", "... cannot be read: ...").
bool checkSoundfontFile(const std::string& path, std::string& cause);
