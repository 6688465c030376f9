// Runs one save or load in a process of its own, for the cases a test cannot set up in its
// own process: a file size limit, or a user without the rights that root has.
//
//   patternfilehelper save <path> [fsize <bytes> ignore|default] [user <uid>]
//   patternfilehelper load <path> [user <uid>]
//
// A save writes the grid whose cell i has state i % 2. Prints the error, if any, and the
// loaded grid as 64 digits ('k' for a cell that kept its state). Exit 0 on success, 1 on
// failure, 2 on bad use.

#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "files/patternfile.h"

int main(int argc, char* argv[]) {
    if (argc < 3)
        return 2;
    const std::string command = argv[1];
    const std::string path = argv[2];
    for (int i = 3; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "fsize" && i + 2 < argc) {
            const rlim_t limit = std::strtoull(argv[i + 1], nullptr, 10);
            const rlimit lim{limit, limit};
            if (setrlimit(RLIMIT_FSIZE, &lim) != 0)
                return 2;
            // Ignored, a write past the limit fails with EFBIG; by default the signal kills
            // the process in the middle of the write.
            if (std::strcmp(argv[i + 2], "ignore") == 0)
                std::signal(SIGXFSZ, SIG_IGN);
            i += 2;
        } else if (option == "user" && i + 1 < argc) {
            const auto uid = static_cast<uid_t>(std::strtoul(argv[i + 1], nullptr, 10));
            if (geteuid() == 0 && (setgid(uid) != 0 || setuid(uid) != 0))
                return 2;
            i += 1;
        } else {
            return 2;
        }
    }

    if (command == "save") {
        CellStates cells{};
        for (int i = 0; i < kCells; ++i)
            cells[static_cast<std::size_t>(i)] = int16_t(i % 2);
        const SaveResult r = savePatternFile(path, cells);
        std::printf("%s\n", r.error.c_str());
        return r.ok ? 0 : 1;
    }
    if (command == "load") {
        CellStates cells{};
        cells.fill(PatternFileReader::kKeep);
        const LoadResult r = loadPatternFile(path, cells);
        std::string grid;
        for (int16_t s : cells)
            grid += s == PatternFileReader::kKeep ? 'k' : char('0' + s);
        std::printf("%s\n%s\n", r.error.c_str(), grid.c_str());
        return r.applied ? 0 : 1;
    }
    return 2;
}
