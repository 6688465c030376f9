// libFuzzer target for the pattern file reader (built with -DSEQ_FUZZ=ON and clang): every
// input must keep the properties of checkReader, or the run stops with the fault.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "readerchecks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::string fault = checkReader(input, static_cast<unsigned>(size) * 2654435761u);
    if (!fault.empty()) {
        std::fprintf(stderr, "pattern file reader: %s\n", fault.c_str());
        std::abort();
    }
    return 0;
}
