// The 16-bit samples and the gains that the arithmetic test and the passes' test both sweep:
// every sample by growing magnitude, every gain the 16-bit passes take and a few past them.
#pragma once

#include <cstdint>
#include <vector>

#ifdef SONOLIFT_ARITHMETIC_SANITIZED
inline constexpr int64_t GainStride = 97; // the sanitizers make each call costly
#else
inline constexpr int64_t GainStride = 1;
#endif

inline std::vector<int16_t> EverySample16() {
    std::vector<int16_t> Samples = {0};
    for (int M = 1; M <= 32767; ++M) Samples.insert(Samples.end(), {static_cast<int16_t>(M), static_cast<int16_t>(-M)});
    Samples.push_back(-32768);
    return Samples;
}

inline std::vector<int64_t> SweptGains() {
    std::vector<int64_t> Gains = {-2147483647, -100000, 32768, 65535, 99995, 100000, 2147483647};
    for (int64_t L = -32767; L <= 32767; L += GainStride) Gains.push_back(L);
    return Gains;
}
