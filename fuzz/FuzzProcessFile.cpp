// libFuzzer target: the fuzzed bytes (after the setting bytes) as an input file, through the
// amplifier's real per-file processing, with the I/O windows the build names.
#include "FuzzHarness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    sonofuzz::AbortOnFinding(sonofuzz::ProcessFileOnce(Data, Size, SONOLIFT_FUZZ_WINDOW));
    return 0;
}
