// libFuzzer target: the fuzzed bytes as a command line (argument zero and words separated by 0
// bytes), through the program's start-up, parser and file loop.
#include "FuzzHarness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    sonofuzz::AbortOnFinding(sonofuzz::CommandLineOnce(Data, Size));
    return 0;
}
