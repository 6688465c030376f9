// How long the pattern file commands hold the UI thread: a save (temporary file, fsync,
// rename), a load of a pattern file, and the worst load the read limit allows (1 MiB of
// spaces). Prints median, 99th percentile and maximum in microseconds.
//
//   bench_patternfile [folder]   (default: a new folder under /tmp)

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "files/patternfile.h"

namespace {
void report(const char* what, std::vector<double> us) {
    std::sort(us.begin(), us.end());
    const auto at = [&](double q) {
        return us[std::min(us.size() - 1, std::size_t(q * double(us.size())))];
    };
    std::printf("%-34s n=%-5zu median %9.1f us   p99 %9.1f us   max %9.1f us\n", what, us.size(),
                at(0.5), at(0.99), us.back());
}

std::vector<double> measure(int runs, const std::function<void()>& run) {
    std::vector<double> us;
    for (int i = 0; i < runs; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        run();
        us.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0)
                .count());
    }
    return us;
}
}  // namespace

int main(int argc, char* argv[]) {
    std::string folder;
    if (argc > 1) {
        folder = argv[1];
    } else {
        char tmpl[] = "/tmp/bench_patternfile-XXXXXX";
        if (!mkdtemp(tmpl))
            return 1;
        folder = tmpl;
    }
    CellStates cells{};
    for (int i = 0; i < kCells; ++i)
        cells[std::size_t(i)] = int16_t(i % 3);
    const std::string file = folder + "/bench.pat";

    report("save (new file each time)", measure(200, [&] {
               ::unlink(file.c_str());
               if (!savePatternFile(file, cells).ok)
                   std::abort();
           }));
    report("save (replacing the file)", measure(200, [&] {
               if (!savePatternFile(file, cells).ok)
                   std::abort();
           }));
    report("load (192-byte pattern file)", measure(2000, [&] {
               CellStates grid{};
               if (!loadPatternFile(file, grid).applied)
                   std::abort();
           }));

    const std::string spaces = folder + "/spaces.pat";
    if (FILE* f = std::fopen(spaces.c_str(), "wb")) {
        const std::string block(kMaxPatternFileRead + 4096, ' ');
        std::fwrite(block.data(), 1, block.size(), f);
        std::fclose(f);
    }
    report("load (1 MiB of spaces, read limit)", measure(200, [&] {
               CellStates grid{};
               loadPatternFile(spaces, grid);
           }));

    ::unlink(file.c_str());
    ::unlink(spaces.c_str());
    if (argc <= 1)
        ::rmdir(folder.c_str());
    return 0;
}
