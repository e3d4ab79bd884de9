// libFuzzer target: the fuzzed bytes (after the setting bytes) as an input file, through the
// amplifier's real per-file processing.
#include "FuzzHarness.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    const std::string Problem = sonofuzz::ProcessFileOnce(Data, Size);
    if (!Problem.empty()) {
        std::fprintf(stderr, "sonolift finding: %s\n", Problem.c_str());
        std::abort();
    }
    return 0;
}
