// libFuzzer target: the fuzzed bytes as a command line (argument zero and words separated by 0
// bytes), through the program's start-up, parser and file loop.
#include "FuzzHarness.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    const std::string Problem = sonofuzz::CommandLineOnce(Data, Size);
    if (!Problem.empty()) {
        std::fprintf(stderr, "sonolift finding: %s\n", Problem.c_str());
        std::abort();
    }
    return 0;
}
