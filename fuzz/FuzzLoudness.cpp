// libFuzzer target: switch words and a file through sonoloud's parser, file reading, meter and
// normalising pass (see FuzzHarness.h for the input's layout).
#include "FuzzHarness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    sonofuzz::AbortOnFinding(sonofuzz::LoudnessOnce(Data, Size));
    return 0;
}
