#include "SonoliftApp.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/stat.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace sonolift {

std::vector<uint8_t> SampleBlock;

namespace {

using vx::EvxError;
using vx::TvxConsoleApplication;

// Truncation toward zero, kept inside the 64-bit range for any value.
int64_t Truncate(long double X) {
    if (std::isnan(X)) return 0;
    if (X >= 9223372036854775807.0L) return INT64_MAX;
    if (X <= -9223372036854775808.0L) return INT64_MIN;
    return static_cast<int64_t>(X);
}

std::string Fixed2(double V) {
    char Buffer[64];
    auto [End, Err] = std::to_chars(Buffer, Buffer + sizeof Buffer, V, std::chars_format::fixed, 2);
    return Err == std::errc() ? std::string(Buffer, End) : std::string();
}

inline int64_t SampleAt(const uint8_t* Block, int64_t I) {
    return static_cast<int16_t>(static_cast<uint16_t>(Block[2 * I] | (Block[2 * I + 1] << 8)));
}

inline void StoreAt(uint8_t* Block, int64_t I, int64_t V) {
    const uint16_t U = static_cast<uint16_t>(static_cast<int16_t>(V));
    Block[2 * I] = static_cast<uint8_t>(U);
    Block[2 * I + 1] = static_cast<uint8_t>(U >> 8);
}

inline int64_t Magnitude(int64_t V) { return V < 0 ? -V : V; }

inline bool Crosses(int64_t Prev, int64_t S) {
    return (Prev >= 0 && S < 0) || (Prev < 0 && S >= 0) || (Prev == 0 && S == 0);
}

const char* const FailureTail = " is not a wave file.\n";

// True when the output name is a link (symbolic, or a second hard link) to a file of the run:
// creating the output would write through it into that input. A plain old output of an
// earlier run is not a link and is replaced as usual.
bool LinksToAnInput(const std::string& Out, const std::vector<std::string>& Inputs) {
    struct stat Link {}, Target {};
    if (::lstat(Out.c_str(), &Link) != 0 || (!S_ISLNK(Link.st_mode) && Link.st_nlink <= 1)) return false;
    if (::stat(Out.c_str(), &Target) != 0) return false;
    for (const std::string& In : Inputs) {
        struct stat St {};
        if (::stat(In.c_str(), &St) == 0 && St.st_dev == Target.st_dev && St.st_ino == Target.st_ino) return true;
    }
    return false;
}

// Samples per tile of the vectorised passes.
constexpr int64_t GainTile = 64;

inline void LoadSamples(const uint8_t* Bytes, int16_t* Samples, int64_t N) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(Samples, Bytes, static_cast<size_t>(N) * 2);
    } else {
        for (int64_t K = 0; K < N; ++K) Samples[K] = static_cast<int16_t>(SampleAt(Bytes, K));
    }
}

inline void StoreSamples(uint8_t* Bytes, const int16_t* Samples, int64_t N) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(Bytes, Samples, static_cast<size_t>(N) * 2);
    } else {
        for (int64_t K = 0; K < N; ++K) StoreAt(Bytes, K, Samples[K]);
    }
}

// The peak magnitude of Count samples from their largest and smallest (|-32768| does not fit
// 16 bits, the extremes do), kept lane by lane in a vector and folded once at the end.
using TPeakLanes = int16_t __attribute__((vector_size(32)));
[[gnu::always_inline]] inline int32_t SpanPeakBody(const uint8_t* Bytes, int64_t Count) {
    constexpr int64_t Lanes = sizeof(TPeakLanes) / 2;
    TPeakLanes High = {}, Low = {};
    int64_t K = 0;
    for (; K + Lanes <= Count; K += Lanes) {
        TPeakLanes X;
        if constexpr (std::endian::native == std::endian::little)
            std::memcpy(&X, Bytes + 2 * K, sizeof X);
        else
            for (int64_t J = 0; J < Lanes; ++J) X[J] = static_cast<int16_t>(SampleAt(Bytes, K + J));
        High = X > High ? X : High;
        Low = X < Low ? X : Low;
    }
    int32_t Peak = 0;
    for (int64_t J = 0; J < Lanes; ++J) Peak = std::max({Peak, static_cast<int32_t>(High[J]), -static_cast<int32_t>(Low[J])});
    for (; K < Count; ++K) Peak = std::max<int32_t>(Peak, static_cast<int32_t>(Magnitude(SampleAt(Bytes, K))));
    return Peak;
}

// Largest gain magnitude of the single-precision tile pass.
constexpr int64_t FastGainLimit = 32767;

// 2^(61 - E) mod 25, for E the binary exponent of s / 100 (-7 .. 13 for 1 <= |s| <= 2^20):
// with it, |s| * 2^(63 - E) mod 100 is 4 * (|s| mod 25 * 2^(61 - E) mod 25).
// Indexed by E + 7.
constexpr std::array<int32_t, 21> Pow2Mod25Table = [] {
    std::array<int32_t, 21> T{};
    for (int E = -7; E <= 13; ++E) {
        int32_t R = 1;
        for (int K = 0; K < 61 - E; ++K) R = R * 2 % 25;
        T[static_cast<size_t>(E + 7)] = R;
    }
    return T;
}();

// One tile of Amplify in single precision, for |L| <= FastGainLimit. With L = 100 A + B and
// 0 <= B < 100, s * L / 100 = s * A + s * B / 100. s * A (below 2^24) and s * B (below 2^22)
// are exact; s * B * 0.01f is within 0.003 of s * B / 100, whose fraction is a whole number
// of hundredths, so rounding it to the nearest integer is exact except at an exact half,
// which leaves the rounded value 0.497 or more away and is flagged TieFlag. A sample whose
// result reaches Clip is flagged ClipFlag. Returns whether any sample was flagged.
constexpr uint8_t TieFlag = 1, ClipFlag = 2;
template <int64_t N>
[[gnu::always_inline]] inline bool AmplifyTileBody(const int16_t* __restrict In, int16_t* __restrict Out,
                                                   uint8_t* __restrict Flag, int32_t L, int32_t Clip) {
    const int32_t A = L >= 0 ? L / 100 : -((99 - L) / 100);
    const float FA = static_cast<float>(A);
    const float FB = static_cast<float>(L - 100 * A);
    const float FClip = static_cast<float>(Clip);
    constexpr float Shift = 12582912.0f; // 1.5 * 2^23: the sum keeps no fraction bits
    int32_t Any = 0;
    for (int64_t K = 0; K < N; ++K) {
        const float S = static_cast<float>(In[K]);
        const float Hundredths = S * FB * 0.01f;
        const float Rounded = (Hundredths + Shift) - Shift;
        const float V = S * FA + Rounded;
        const int32_t F = static_cast<int32_t>(std::fabs(Hundredths - Rounded) > 0.495f) * TieFlag |
                          static_cast<int32_t>(std::fabs(V) >= FClip) * ClipFlag;
        Out[K] = static_cast<int16_t>(static_cast<int32_t>(V));
        Flag[K] = static_cast<uint8_t>(F);
        Any |= F;
    }
    return Any != 0;
}

// Each pass is compiled twice, for the baseline instruction set and, on x86-64, for AVX2
// (twice the lanes, the same single-precision arithmetic), and picked by what the processor
// has (WideVectors).
int32_t SpanPeakBase(const uint8_t* Bytes, int64_t Count) { return SpanPeakBody(Bytes, Count); }
bool AmplifyTilesBase(const int16_t* In, int16_t* Out, uint8_t* Flag, int64_t Tiles, int32_t L, int32_t Clip) {
    bool Any = false;
    for (int64_t T = 0; T < Tiles; ++T)
        Any |= AmplifyTileBody<GainTile>(In + GainTile * T, Out + GainTile * T, Flag + GainTile * T, L, Clip);
    return Any;
}
#if defined(__x86_64__)
[[gnu::target("avx2")]] int32_t SpanPeakWide(const uint8_t* Bytes, int64_t Count) {
    return SpanPeakBody(Bytes, Count);
}
// X mod 25 for 0 <= X < 2^20, lane by lane: the single-precision quotient is off by at most one.
[[gnu::target("avx2")]] inline __m256i Mod25(__m256i X) {
    const __m256i Q = _mm256_cvttps_epi32(_mm256_mul_ps(_mm256_cvtepi32_ps(X), _mm256_set1_ps(0.04f)));
    __m256i R = _mm256_sub_epi32(X, _mm256_mullo_epi32(Q, _mm256_set1_epi32(25)));
    R = _mm256_add_epi32(R, _mm256_and_si256(_mm256_cmpgt_epi32(_mm256_setzero_si256(), R), _mm256_set1_epi32(25)));
    return _mm256_sub_epi32(R, _mm256_and_si256(_mm256_cmpgt_epi32(R, _mm256_set1_epi32(24)), _mm256_set1_epi32(25)));
}

// AmplifyTie on eight lanes at once, for lanes whose |s * L| is below 2^24 (others give some
// value, never used: their values reach any limit): the same rule, with the exponents read off
// single-precision values that hold the integers exactly.
[[gnu::target("avx2")]] inline __m256i AmplifyTies8(__m256i S, int32_t L) {
    const __m256i One = _mm256_set1_epi32(1);
    const __m256i Exponent = _mm256_set1_epi32(0x7F800000);
    const __m256i G = _mm256_set1_epi32(L < 0 ? -L : L);
    const __m256i A = _mm256_abs_epi32(S);
    const __m256i P = _mm256_mullo_epi32(A, G);
    // Q = (P - 50) / 100, an integer: P - 50 is exact in single precision, 0.01f errs by 2^-25.
    const __m256i Q = _mm256_cvtps_epi32(
        _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_sub_epi32(P, _mm256_set1_epi32(50))), _mm256_set1_ps(0.01f)));
    // floor(log2 (Q + 1/2)) = floor(log2 (2 Q + 1)) - 1
    const __m256i Twice = _mm256_castps_si256(_mm256_cvtepi32_ps(_mm256_add_epi32(_mm256_add_epi32(Q, Q), One)));
    const __m256i ExpProduct = _mm256_sub_epi32(_mm256_srli_epi32(Twice, 23), _mm256_set1_epi32(128));
    // floor(log2 (A / 100)) = b - 7, plus 1 where 16 A >= 25 * 2^b, b = floor(log2 A)
    const __m256 FA = _mm256_cvtepi32_ps(A);
    const __m256i BitsA = _mm256_castps_si256(FA);
    const __m256 Pow2B = _mm256_castsi256_ps(_mm256_and_si256(BitsA, Exponent));
    const __m256i Above = _mm256_castps_si256(
        _mm256_cmp_ps(_mm256_mul_ps(FA, _mm256_set1_ps(16.0f)), _mm256_mul_ps(Pow2B, _mm256_set1_ps(25.0f)), _CMP_GE_OQ));
    const __m256i ExpQuotient =
        _mm256_sub_epi32(_mm256_sub_epi32(_mm256_srli_epi32(BitsA, 23), _mm256_set1_epi32(127 + 7)), Above);
    // R = |s| * 2^(63 - E) mod 100
    const __m256i Index = _mm256_add_epi32(ExpQuotient, _mm256_set1_epi32(7));
    const __m256i Low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(Pow2Mod25Table.data()));
    const __m256i High = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(Pow2Mod25Table.data() + 8));
    const __m256i UseHigh = _mm256_cmpgt_epi32(Index, _mm256_set1_epi32(7));
    const __m256i Power = _mm256_blendv_epi8(_mm256_permutevar8x32_epi32(Low, Index),
                                             _mm256_permutevar8x32_epi32(High, Index), UseHigh);
    const __m256i R = _mm256_slli_epi32(Mod25(_mm256_mullo_epi32(Mod25(A), Power)), 2);
    const __m256i Up = _mm256_cmpgt_epi32(R, _mm256_set1_epi32(50));
    const __m256i C = _mm256_min_epi32(R, _mm256_sub_epi32(_mm256_set1_epi32(100), R));
    const __m256i Limit = _mm256_sllv_epi32(_mm256_set1_epi32(50), _mm256_sub_epi32(ExpProduct, ExpQuotient));
    const __m256i Moved = _mm256_cmpgt_epi32(_mm256_mullo_epi32(C, G), Limit);
    const __m256i Bump = _mm256_blendv_epi8(_mm256_and_si256(Q, One), _mm256_and_si256(Up, One), Moved);
    const __m256i M = _mm256_sign_epi32(_mm256_add_epi32(Q, Bump), S);
    return L < 0 ? _mm256_sub_epi32(_mm256_setzero_si256(), M) : M;
}

// Settles the flagged exact halves of a tile in place where their value stays under Clip,
// and clears their flags; the rest stay flagged. Returns whether any flag is left.
[[gnu::target("avx2")]] inline bool SettleTies(const int16_t* In, int16_t* Out, uint8_t* Flag, int32_t L, int32_t Clip) {
    uint64_t Left = 0;
    for (int64_t K = 0; K < GainTile; K += 8) {
        uint64_t Flags;
        std::memcpy(&Flags, Flag + K, 8);
        if ((Flags & 0x0101010101010101u) != 0) {
            const __m256i S = _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(In + K)));
            const __m256i F = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(Flag + K)));
            const __m256i M = AmplifyTies8(S, L);
            const __m256i Use = _mm256_and_si256(_mm256_cmpeq_epi32(F, _mm256_set1_epi32(TieFlag)),
                                                 _mm256_cmpgt_epi32(_mm256_set1_epi32(Clip), _mm256_abs_epi32(M)));
            const __m128i UseLanes =
                _mm_packs_epi32(_mm256_castsi256_si128(Use), _mm256_extracti128_si256(Use, 1));
            const __m128i Values = _mm_packs_epi32(_mm256_castsi256_si128(M), _mm256_extracti128_si256(M, 1));
            __m128i* Dst = reinterpret_cast<__m128i*>(Out + K);
            _mm_storeu_si128(Dst, _mm_blendv_epi8(_mm_loadu_si128(Dst), Values, UseLanes));
            const __m256i Kept = _mm256_andnot_si256(Use, F);
            const __m128i Words = _mm_packus_epi32(_mm256_castsi256_si128(Kept), _mm256_extracti128_si256(Kept, 1));
            _mm_storel_epi64(reinterpret_cast<__m128i*>(Flag + K), _mm_packus_epi16(Words, Words));
            std::memcpy(&Flags, Flag + K, 8);
        }
        Left |= Flags;
    }
    return Left != 0;
}

[[gnu::target("avx2")]] bool AmplifyTilesWide(const int16_t* In, int16_t* Out, uint8_t* Flag, int64_t Tiles, int32_t L,
                                              int32_t Clip) {
    bool Any = false;
    for (int64_t T = 0; T < Tiles; ++T) {
        const int64_t K = GainTile * T;
        if (AmplifyTileBody<GainTile>(In + K, Out + K, Flag + K, L, Clip))
            Any |= SettleTies(In + K, Out + K, Flag + K, L, Clip);
    }
    return Any;
}
bool HasWideVectors() {
    __builtin_cpu_init(); // runs before main, as a static initialiser
    return __builtin_cpu_supports("avx2");
}
#else
int32_t SpanPeakWide(const uint8_t* Bytes, int64_t Count) { return SpanPeakBase(Bytes, Count); }
bool AmplifyTilesWide(const int16_t* In, int16_t* Out, uint8_t* Flag, int64_t Tiles, int32_t L, int32_t Clip) {
    return AmplifyTilesBase(In, Out, Flag, Tiles, L, Clip);
}
bool HasWideVectors() { return false; }
#endif

} // namespace

bool WideVectors = HasWideVectors();

namespace {

// The largest magnitude of Count samples.
int32_t SpanPeak(const uint8_t* Bytes, int64_t Count) {
    return WideVectors ? SpanPeakWide(Bytes, Count) : SpanPeakBase(Bytes, Count);
}

bool AmplifyTiles(const int16_t* In, int16_t* Out, uint8_t* Flag, int64_t Tiles, int32_t L, int32_t Clip) {
    return WideVectors ? AmplifyTilesWide(In, Out, Flag, Tiles, L, Clip) : AmplifyTilesBase(In, Out, Flag, Tiles, L, Clip);
}

// AmplifyExact where s * L / 100 is an exact half, for |s| <= 2^20 and |L| <= 2^40, in
// integers. The exact value T = Q + 1/2 (in magnitudes) is representable, so the extended
// result leaves T only through the error of the quotient q = RN64(s / 100): with
// E = floor(log2 |s / 100|), that error is c / 100 * 2^(E - 63), c the distance of
// |s| * 2^(63 - E) to the nearest multiple of 100 (never 50; 0 when 25 divides s). Times |L|,
// it moves the product off T only if it passes half an ulp of T, 2^(floor(log2 T) - 64): then
// the result is Q or Q + 1, by the side the quotient was rounded to; otherwise the product
// is T and llrint takes the even one of the two.
inline int64_t AmplifyTie(int64_t S, int64_t L) {
    const uint64_t A = S < 0 ? 0 - static_cast<uint64_t>(S) : static_cast<uint64_t>(S);
    const uint64_t G = L < 0 ? 0 - static_cast<uint64_t>(L) : static_cast<uint64_t>(L);
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

} // namespace

int64_t AmplifyExact(int64_t S, int64_t L) {
    const long double Quotient = static_cast<long double>(S) / 100.0L;
    const long double Product = Quotient * static_cast<long double>(L);
    return static_cast<int64_t>(std::llrint(Product));
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

int64_t AmplifyRun(const int16_t* In, int16_t* Out, int64_t Count, int64_t L, int64_t Clip) {
    Clip = std::min<int64_t>(Clip, 32768); // every value stored must fit 16 bits
    int64_t Done = 0;
    if (L >= -FastGainLimit && L <= FastGainLimit && Clip > 0) {
        constexpr int64_t Chunk = 4 * GainTile;
        uint8_t Flag[Chunk];
        // A last, short tile is padded with silence, which is never flagged.
        int16_t Pad[GainTile];
        int16_t Short[GainTile];
        while (Done < Count) {
            int64_t N = std::min(Chunk, Count - Done);
            int64_t Tiles = N / GainTile;
            const int16_t* Src = In + Done;
            int16_t* Dst = Out + Done;
            if (Tiles == 0) {
                std::memset(Pad, 0, sizeof Pad);
                std::memcpy(Pad, Src, static_cast<size_t>(N) * 2);
                Src = Pad;
                Dst = Short;
                Tiles = 1;
            } else {
                N = Tiles * GainTile;
            }
            if (AmplifyTiles(Src, Dst, Flag, Tiles, static_cast<int32_t>(L), static_cast<int32_t>(Clip))) {
                // The flags are scanned eight at a time; the exact halves still flagged (all of
                // them without AVX2) are settled by AmplifyTie, values at the limit by Amplify.
                for (int64_t W = 0; W < Tiles * GainTile; W += 8) {
                    uint64_t Flags;
                    std::memcpy(&Flags, Flag + W, 8);
                    while (Flags != 0) {
                        const int Bit = std::countr_zero(Flags) & ~7;
                        const int64_t K = W + Bit / 8;
                        const bool AtLimit = ((Flags >> Bit) & ClipFlag) != 0;
                        Flags &= ~(uint64_t{0xFF} << Bit);
                        const int64_t V = AtLimit ? Amplify(Src[K], L) : AmplifyTie(Src[K], L);
                        if (V >= Clip || V <= -Clip) {
                            if (Dst == Short) std::memcpy(Out + Done, Short, static_cast<size_t>(K) * 2);
                            return Done + K;
                        }
                        Dst[K] = static_cast<int16_t>(V);
                    }
                }
            }
            if (Dst == Short) std::memcpy(Out + Done, Short, static_cast<size_t>(N) * 2);
            Done += N;
        }
        return Done;
    }
    for (; Done < Count; ++Done) {
        const int64_t V = Amplify(In[Done], L);
        if (V >= Clip || V <= -Clip) return Done;
        Out[Done] = static_cast<int16_t>(V);
    }
    return Done;
}

TSonoliftApp::TSonoliftApp() {
    using T = TSonoliftApp;
    FAmpMethod = 2;
    FAmpPeak = 95;
    FAmpHigh = 90;
    FAmpLow = 1;
    FAmpRate = 0.01;
    FAmpStepUp = 5;
    FAmpStepDn = 1;
    FVolMax = 10000;
    FVolMin = 0;
    FAmpLevel = 100;
    FAmpSaved = 0;
    const std::string Rate = Fixed2(FAmpRate) + "s";
    const std::string Up = std::to_string(FAmpStepUp);
    const std::string Down = std::to_string(FAmpStepDn);
    const std::string Peak = Fixed2(FAmpPeak);
    const std::string High = Fixed2(FAmpHigh);
    const std::string Low = Fixed2(FAmpLow);
    AddValueSwitch("r", "rate", Bind(&T::HandleRate), false, Rate, "dynamic amp rate of change, [0+] default " + Rate);
    AddValueSwitch("u", "up", Bind(&T::HandleUp), false, Up, "speed of volume increase, [1+] default " + Up);
    AddValueSwitch("d", "down", Bind(&T::HandleDown), false, Down, "speed of volume reduction, [1+] default " + Down);
    AddValueSwitch("p", "peak", Bind(&T::HandlePeak), false, Peak,
                   "target peak volume percentage, [high..100] default " + Peak);
    AddValueSwitch("h", "high", Bind(&T::HandleHigh), false, High, "target volume percentage, [low..100] default " + High);
    AddValueSwitch("l", "low", Bind(&T::HandleLow), false, Low, "volume muting percentage, [0..high] default " + Low);
    AddValueSwitch("m", "max", Bind(&T::HandleMax), false, std::to_string(FVolMax),
                   "maximum amount of amplification, [min..100000] ");
    AddValueSwitch("n", "min", Bind(&T::HandleMin), false, std::to_string(FVolMin),
                   "minimum amount of amplification, [0..max] ");
}

void TSonoliftApp::HandleRate(TvxConsoleApplication&, const std::string&, bool, const std::string& Value) {
    ParseTimeArg(Value, FAmpRate, 0, 2147483647.0);
}
void TSonoliftApp::HandleUp(TvxConsoleApplication&, const std::string&, bool, const std::string& Value) {
    ParseIntArg(Value, FAmpStepUp, 1, 2147483647);
}
void TSonoliftApp::HandleDown(TvxConsoleApplication&, const std::string&, bool, const std::string& Value) {
    ParseIntArg(Value, FAmpStepDn, 1, 2147483647);
}
void TSonoliftApp::HandlePeak(TvxConsoleApplication&, const std::string&, bool, const std::string& Value) {
    ParseFloatArg(Value, FAmpPeak, FAmpHigh, 100);
}
void TSonoliftApp::HandleHigh(TvxConsoleApplication&, const std::string&, bool, const std::string& Value) {
    ParseFloatArg(Value, FAmpHigh, FAmpLow, 100);
}
void TSonoliftApp::HandleLow(TvxConsoleApplication&, const std::string&, bool, const std::string& Value) {
    ParseFloatArg(Value, FAmpLow, 0, FAmpHigh);
}
void TSonoliftApp::HandleMax(TvxConsoleApplication&, const std::string&, bool, const std::string& Value) {
    ParseIntArg(Value, FVolMax, FVolMin + 1, 100000);
}
void TSonoliftApp::HandleMin(TvxConsoleApplication&, const std::string&, bool, const std::string& Value) {
    ParseIntArg(Value, FVolMin, 0, FVolMax - 1);
}

void TSonoliftApp::PrepareLimits(const wave::TWaveFormat& Format) {
    if (FAmpLow > FAmpHigh) FAmpHigh = FAmpLow;
    if (FAmpPeak < FAmpHigh) FAmpPeak = FAmpHigh;
    FEngine.Peak = FEngine.PrevSample = FEngine.Pending = 0;
    FEngine.InBits = FEngine.OutBits = Format.BitsPerSample;
    const long double Full = static_cast<long double>(wave::MaxSampleValue(Format.BitsPerSample));
    FEngine.ClipLimit = Truncate(Full / 100.0L * 99.0L);
    FAmpSegment = Truncate(static_cast<long double>(Format.SamplesPerSec) * static_cast<long double>(FAmpRate));
    FPeakLimit = Truncate(Full * (static_cast<long double>(FAmpPeak) / 100.0L));
    FEngine.HighLimit = Truncate(Full / 100.0L * static_cast<long double>(FAmpHigh));
    FEngine.LowLimit = Truncate(Full / 100.0L * static_cast<long double>(FAmpLow));
    FAmpLevel = 100;
}

bool TSonoliftApp::MeasureBlock(int64_t Frames) {
    TEngineState& E = FEngine;
    if (E.InBits != 16 || Frames <= 0) return false;
    const uint8_t* Block = SampleBlock.data();
    const int64_t Channels = E.Channels;
    if (Channels <= 0) {
        E.Pending += Frames;
        return false;
    }
    // A segment cannot end before its AmpSegment-th frame: up to there only the peak and the
    // last sample matter, a loop without a branch per sample.
    const int64_t Quiet = std::clamp<int64_t>(FAmpSegment - E.Pending - 1, 0, Frames);
    if (Quiet > 0) {
        const int64_t Count = Quiet * Channels;
        E.Peak = std::max<int64_t>(E.Peak, SpanPeak(Block, Count));
        E.PrevSample = SampleAt(Block, Count - 1);
        E.Pending += Quiet;
    }
    for (int64_t F = Quiet; F < Frames; ++F) {
        ++E.Pending;
        bool Crossing = false;
        for (int64_t C = 0; C < Channels; ++C) {
            const int64_t S = SampleAt(Block, F * Channels + C);
            if (Crosses(E.PrevSample, S)) Crossing = true;
            E.PrevSample = S;
            E.Peak = std::max(E.Peak, Magnitude(S));
        }
        if (Crossing && E.Pending >= FAmpSegment) {
            AdjustGain();
            E.Peak = 0;
            return true;
        }
    }
    return false;
}

void TSonoliftApp::AdjustGain() {
    TEngineState& E = FEngine;
    const int64_t Amp = Amplify(E.Peak, FAmpLevel);
    int64_t Step = 0;
    if (E.Peak < E.LowLimit) {
        if (FAmpSaved == 0) FAmpSaved = FAmpLevel;
        Step = -FAmpStepDn;
    } else {
        if (FAmpSaved != 0) {
            FAmpLevel = FAmpSaved;
            FAmpSaved = 0;
        }
        if (Amp > E.HighLimit)
            Step = Amp > FPeakLimit ? -FAmpStepDn : 0;
        else if (Amp < E.HighLimit)
            Step = FAmpStepUp;
    }
    FAmpLevel += Step;
    // Every gain from Safe up amplifies the peak past ClipLimit + 1, so the guard steps down
    // through all of them: take those steps at once (after a step up of 2^31 they would be
    // billions per segment); the loop below then does the last few exactly as before.
    if (E.Peak > 0 && FAmpStepDn > 0) {
        const int64_t Safe = ((E.ClipLimit + 1) * 100 + E.Peak - 1) / E.Peak;
        if (FAmpLevel >= Safe) FAmpLevel -= ((FAmpLevel - Safe) / FAmpStepDn + 1) * FAmpStepDn;
    }
    // Lowering a gain below 0 only makes the magnitude grow again, and a step that does not
    // lower the gain never ends the guard: both end at gain 0.
    while (Magnitude(Amplify(E.Peak, FAmpLevel)) >= E.ClipLimit) {
        if (FAmpLevel < 0 || FAmpStepDn <= 0) {
            FAmpLevel = 0;
            break;
        }
        FAmpLevel -= FAmpStepDn;
    }
    if (FAmpLevel < FVolMin) FAmpLevel = FVolMin;
    if (FAmpLevel > FVolMax) FAmpLevel = FVolMax;
    E.Peak = 0;
}

void TSonoliftApp::ApplyGain(int64_t Frames) {
    TEngineState& E = FEngine;
    if (E.OutBits != 16 || Frames <= 0 || E.Channels <= 0) return;
    uint8_t* Block = SampleBlock.data();
    const int64_t Count = Frames * E.Channels;
    const int64_t Clip = E.ClipLimit;
    // Up to the first overload the gain stays the same, so the samples go through in runs;
    // from there on, one by one, since each overload lowers the gain.
    int64_t I = 0;
    while (I < Count) {
        constexpr int64_t Run = 4 * GainTile;
        int16_t In[Run];
        int16_t Out[Run];
        const int64_t N = std::min(Run, Count - I);
        LoadSamples(Block + 2 * I, In, N);
        const int64_t Done = AmplifyRun(In, Out, N, FAmpLevel, Clip);
        StoreSamples(Block + 2 * I, Out, Done);
        I += Done;
        if (Done < N) break;
    }
    for (; I < Count; ++I) {
        const int64_t S = SampleAt(Block, I);
        int64_t V = Amplify(S, FAmpLevel);
        while (Magnitude(V) >= Clip) {
            FOverloadText += "Overload " + std::to_string(E.FramesDone + I) + " " + std::to_string(S) + " " +
                             std::to_string(V) + "\n";
            const int64_t Used = FAmpLevel;
            FAmpLevel -= FAmpStepDn;
            if (Magnitude(V) <= Clip) break;
            if (Used < 0 || FAmpStepDn <= 0) {
                // no lower gain can bring this sample under the limit
                FAmpLevel = 0;
                V = 0;
                break;
            }
            V = Amplify(S, FAmpLevel);
        }
        StoreAt(Block, I, V);
    }
}

void TSonoliftApp::EmitHeld(int64_t Committed, bool Failed) {
    std::string Text;
    while (!FHeld.empty() && (FHeld.front().End <= Committed || (Failed && FHeld.front().Start <= Committed))) {
        Text += FHeld.front().Lines;
        FHeld.pop_front();
    }
    if (Failed) FHeld.clear();
    if (!Text.empty()) vx::WriteOut(Text);
}

void TSonoliftApp::FlushPending(wave::TWaveIO& Input, wave::TWaveIO& Output, int64_t& FramesRead,
                                int64_t& FramesLeft) {
    const int64_t InAlign = Input.Format().BlockAlign;
    const int64_t OutAlign = Output.Format().BlockAlign;
    const int64_t Capacity = static_cast<int64_t>(SampleBlock.size());
    while (FEngine.Pending > 0) {
        int64_t N = FEngine.Pending;
        if (N * InAlign > Capacity) N = Capacity / InAlign;
        Input.SetPosition(FEngine.FramesDone * InAlign);
        Input.ReadWaveData(SampleBlock.data(), static_cast<int32_t>(InAlign * N));
        ApplyGain(N);
        const int64_t Start = FEngine.FramesDone * OutAlign;
        // Held before the write: a write that fails still shows the block's lines, as they
        // were reported when the block was amplified.
        if (!FOverloadText.empty()) {
            FHeld.push_back(THeldLines{Start, Start + OutAlign * N, std::move(FOverloadText)});
            FOverloadText.clear();
        }
        Output.WriteWaveData(SampleBlock.data(), static_cast<int32_t>(OutAlign * N));
        // Lines wait only while their bytes wait in the window: write it now, or a run of
        // overloading blocks would hold its whole text in memory.
        if (!FHeld.empty()) Output.FlushWindow();
        if (!FHeld.empty()) EmitHeld(Output.CommittedData(), false);
        FEngine.Pending -= N;
        FEngine.FramesDone += N;
    }
    FramesRead = FEngine.FramesDone;
    FramesLeft = Input.DataSize() / InAlign - FramesRead;
}

int TSonoliftApp::ProcessFile(const std::string& Path) {
    std::unique_ptr<wave::TWaveIO> Input;
    std::unique_ptr<wave::TWaveIO> Output;
    FHeld.clear();
    FOverloadText.clear();
    try {
        Input = std::make_unique<wave::TWaveIO>(Path, wave::TWaveIOMode::wioRead);
        vx::WriteOut(Path);
        vx::FlushOut();
        if (Input->Modified()) {
            vx::WriteOut(" -- Corrupt");
            vx::FlushOut();
        }
        vx::WriteOut("\n");
        const wave::TWaveFormat& Format = Input->Format();
        // The engine reads 16-bit samples only, and each frame must hold all its channels
        // (a file of no channels has no samples to give).
        if (Format.BitsPerSample != 16 || Format.BlockAlign == 0 || Format.Channels == 0 ||
            Format.BlockAlign < 2 * static_cast<int64_t>(Format.Channels))
            throw EvxError("unsupported sample format");
        const std::string OutFile = OutName() + "-lift.wav";
        // Creating the output would destroy an input that it names.
        if (Input->RefersTo(OutFile) || LinksToAnInput(OutFile, Files())) throw EvxError("output is an input");
        Output = std::make_unique<wave::TWaveIO>(OutFile, wave::TWaveIOMode::wioRewrite);
        Output->SetFormat(Format);
        const int64_t InAlign = Format.BlockAlign;
        SampleBlock.assign(static_cast<size_t>(BlockFrames * InAlign), 0);
        FEngine.Channels = Format.Channels;
        int64_t FramesLeft = Input->DataSize() / InAlign;
        int64_t FramesRead = 0;
        FEngine.FramesDone = 0;
        PrepareLimits(Format);
        FEngine.OutBits = Output->Format().BitsPerSample;
        const int64_t Capacity = static_cast<int64_t>(SampleBlock.size());
        while (FramesLeft > 0) {
            int64_t N = FramesLeft;
            if (N * InAlign > Capacity) N = Capacity / InAlign;
            Input->SetPosition(FramesRead * InAlign);
            Input->ReadWaveData(SampleBlock.data(), static_cast<int32_t>(InAlign * N));
            if (MeasureBlock(N)) {
                FlushPending(*Input, *Output, FramesRead, FramesLeft);
            } else {
                FramesLeft -= N;
                FramesRead += N;
            }
        }
        FlushPending(*Input, *Output, FramesRead, FramesLeft);
        SampleBlock.clear();
        SampleBlock.shrink_to_fit();
        Output->Release();
        EmitHeld(INT64_MAX, false);
        Input->Release();
        return 0;
    } catch (...) {
        if (Output) {
            try {
                Output->FlushWindow();
            } catch (...) {
            }
            EmitHeld(Output->CommittedData(), true);
        }
        FHeld.clear();
        FOverloadText.clear();
        SampleBlock.clear();
        vx::WriteOut("FileName: " + Path + FailureTail);
        return -1;
    }
}

} // namespace sonolift
