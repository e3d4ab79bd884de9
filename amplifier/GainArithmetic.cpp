#include "GainArithmetic.h"

#include <bit>
#include <cmath>
#include <cstdlib>

namespace sonolift {

int64_t Truncate(long double X) {
    if (std::isnan(X)) return 0;
    if (X >= 9223372036854775807.0L) return INT64_MAX;
    if (X <= -9223372036854775808.0L) return INT64_MIN;
    return static_cast<int64_t>(X);
}

int64_t AmplifyExact(int64_t S, int64_t L) {
    const long double Quotient = static_cast<long double>(S) / 100.0L;
    const long double Product = Quotient * static_cast<long double>(L);
    return static_cast<int64_t>(std::llrint(Product));
}

int64_t AmplifyToValidBits(int64_t S, int64_t L, int Unused) {
    const long double Product = static_cast<long double>(S) / 100.0L * static_cast<long double>(L);
    // Scaling by a power of two is exact, so the product is rounded once, at the valid bits.
    return static_cast<int64_t>(std::ldexp(static_cast<long double>(std::llrint(std::ldexp(Product, -Unused))), Unused));
}

// The exact value T = Q + 1/2 (in magnitudes) is representable, so the extended result leaves
// T only through the error of the quotient q = RN64(s / 100): with E = floor(log2 |s / 100|),
// that error is c / 100 * 2^(E - 63), c the distance of |s| * 2^(63 - E) to the nearest
// multiple of 100 (never 50; 0 when 25 divides s). Times |L|, it moves the product off T only
// if it passes half an ulp of T, 2^(floor(log2 T) - 64): then the result is Q or Q + 1, by the
// side the quotient was rounded to; otherwise the product is T and llrint takes the even one.
int64_t AmplifyTie(int64_t S, int64_t L) {
    const auto A = static_cast<uint64_t>(std::abs(S));
    const auto G = static_cast<uint64_t>(std::abs(L));
    const uint64_t P = A * G;
    const uint64_t Q = P / 100;
    const int ExpQuotient = std::bit_width((A << 7) / 100) - 8;
    const int ExpProduct = std::bit_width((P << 1) / 100) - 2;
    const uint64_t R = 4 * ((A % 25) * static_cast<uint64_t>(Pow2Mod25Table[static_cast<size_t>(ExpQuotient + 7)]) % 25);
    const uint64_t C = R > 50 ? 100 - R : R;
    const bool Moved = C != 0 && C * G > (uint64_t{50} << (ExpProduct - ExpQuotient));
    const uint64_t M = Moved ? Q + (R > 50) : Q + (Q & 1);
    return (S < 0) != (L < 0) ? -static_cast<int64_t>(M) : static_cast<int64_t>(M);
}

int64_t Amplify(int64_t S, int64_t L) {
    // Beyond these magnitudes s * L could overflow and the error bound below fails.
    if (S > (int64_t{1} << 20) || S < -(int64_t{1} << 20) || L > (int64_t{1} << 40) || L < -(int64_t{1} << 40))
        return AmplifyExact(S, L);
    // Away from exact halves the extended-precision result is within far less than 1/100 of
    // the exact s * L / 100 (a relative error of about 2^-63 on less than 2^60), so integer
    // rounding gives the same value.
    const int64_t P = S * L;
    const int64_t Q = P / 100;
    const int64_t R = P % 100;
    if (R == 50 || R == -50) return AmplifyTie(S, L);
    return Q + (R > 50) - (R < -50);
}

int64_t FirstClippingGain(int64_t Peak, int64_t Clip) {
    return Peak > 0 ? ((Clip + 1) * 100 + Peak - 1) / Peak : INT64_MAX;
}

int64_t FirstClippingGain(double Peak, double Clip) {
    if (!(Peak > 0)) return INT64_MAX;
    // the product's two roundings cost far less than the margin of 10^-12
    const long double Gain = static_cast<long double>(Clip) * 100.0L / Peak * (1.0L + 1e-12L) + 1.0L;
    return Gain < 9e18L ? static_cast<int64_t>(std::ceil(Gain)) : INT64_MAX;
}

} // namespace sonolift
