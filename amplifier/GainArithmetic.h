// The exact gain arithmetic: a sample amplified by a gain in percent, by the rule of the 80-bit
// extended format (the quotient s / 100 first, then the product, rounded half to even), and
// the same values by integer rules that are faster. Knows nothing of files or settings.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace sonolift {

static_assert(std::numeric_limits<long double>::digits == 64,
              "the gain arithmetic needs the 80-bit extended format (64-bit significand)");

// X truncated toward zero, kept inside the 64-bit range for any value (NaN gives 0).
int64_t Truncate(long double X);

// s amplified with gain L percent: s / 100 * L in extended precision, rounded half to even.
int64_t AmplifyExact(int64_t S, int64_t L);
// The same value by integer arithmetic; exact halves by an integer rule for how the extended
// quotient was rounded.
int64_t Amplify(int64_t S, int64_t L);
// AmplifyExact where s * L / 100 is an exact half, for |s| <= 2^20 and |L| <= 2^40.
int64_t AmplifyTie(int64_t S, int64_t L);

// A value amplified by the rule of its files: Amplify for integers, s / 100 * L in double
// precision (no rounding to an integer) for floats.
inline int64_t AmplifyValue(int64_t S, int64_t L) { return Amplify(S, L); }
inline double AmplifyValue(double S, int64_t L) { return S / 100.0 * static_cast<double>(L); }
// s / 100 * L in extended precision rounded, half to even, to a multiple of 2^Unused: a sample
// whose container is Unused bits wider than its valid bits, rounded once, at those bits.
int64_t AmplifyToValidBits(int64_t S, int64_t L, int Unused);
inline double AmplifyToValidBits(double S, int64_t L, int) { return AmplifyValue(S, L); }
// The smallest gain from which on every gain certainly amplifies Peak to Clip or more (to
// Clip + 1 or more for integers); INT64_MAX when there is none.
int64_t FirstClippingGain(int64_t Peak, int64_t Clip);
int64_t FirstClippingGain(double Peak, double Clip);

// 2^(61 - E) mod 25, for E the binary exponent of s / 100 (-7 .. 24 for 1 <= |s| <= 2^31):
// with it, |s| * 2^(63 - E) mod 100 is 4 * (|s| mod 25 * 2^(61 - E) mod 25). Indexed by E + 7.
inline constexpr std::array<int32_t, 32> Pow2Mod25Table = [] {
    std::array<int32_t, 32> T{};
    for (int E = -7; E <= 24; ++E) {
        int32_t R = 1;
        for (int K = 0; K < 61 - E; ++K) R = R * 2 % 25;
        T[static_cast<size_t>(E + 7)] = R;
    }
    return T;
}();

} // namespace sonolift
