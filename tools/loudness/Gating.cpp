#include "Gating.h"

#include <cmath>

namespace sonoloud {

namespace {

} // namespace

// libebur128's histogram: bins from -70 LUFS up, each counted at its middle (its own figures in
// the same arithmetic for bins of 0.1 LU).
struct THistogram {
    size_t Size;
    std::vector<double> Middle, Bound;
    explicit THistogram(int Bins) : Size(static_cast<size_t>(100 * Bins)), Middle(Size), Bound(Size + 1) {
        const double B = Bins, Half = Bins == 10 ? 69.95 : 70 - 0.5 / B;
        Bound[0] = std::pow(10.0, (-70.0 + 0.691) / 10.0);
        for (size_t I = 0; I < Size; ++I) Middle[I] = std::pow(10.0, (static_cast<double>(I) / B - Half + 0.691) / 10.0);
        for (size_t I = 1; I <= Size; ++I) Bound[I] = std::pow(10.0, (static_cast<double>(I) / B - 70.0 + 0.691) / 10.0);
    }
    // The bin of E, at least Bound[0].
    size_t Bin(double E) const {
        size_t Low = 0, High = Size;
        do {
            const size_t Mid = (Low + High) / 2;
            (E >= Bound[Mid] ? Low : High) = Mid;
        } while (High - Low != 1);
        return Low;
    }
    // The first bin a gate at E lets through.
    size_t From(double E) const {
        if (E < Bound[0]) return 0;
        const size_t I = Bin(E);
        return E > Middle[I] ? I + 1 : I;
    }
};

namespace {

const THistogram& Levels(int Bins) {
    static const THistogram Ten(10), Hundred(100);
    return Bins == 10 ? Ten : Hundred;
}

} // namespace

double Lufs(double MeanSquare) { return MeanSquare > 0 ? 10 * (std::log(MeanSquare) / std::log(10.0)) - 0.691 : -HUGE_VAL; }

TGating::TGating(int Bins) : FLevels(&Levels(Bins)), FBlock(FLevels->Size), FShort(FLevels->Size) {}

void TGating::Add(double WeightedSquares, int64_t Frames) {
    FLast[FNext] = WeightedSquares;
    FNext = (FNext + 1) % FLast.size();
    ++FBlocks, FFrames = Frames;
    double Short = 0, Momentary = 0;
    for (size_t I = 0; I < FLast.size(); ++I) {
        Short += FLast[I];
        if ((FNext + FLast.size() - I - 1) % FLast.size() < 4) Momentary += FLast[I];
    }
    Momentary /= static_cast<double>(4 * Frames), Short /= static_cast<double>(30 * Frames);
    FMaxMomentary = std::max(FMaxMomentary, Momentary);
    FMaxShortTerm = std::max(FMaxShortTerm, Short);
    const THistogram& H = *FLevels;
    // A 400 ms block every 100 ms from the fourth on; a 3 s window every second from the 30th.
    if (FBlocks >= 4 && Momentary >= H.Bound[0]) ++FBlock[H.Bin(Momentary)];
    if (FBlocks >= 30 && FBlocks % 10 == 0 && Short >= H.Bound[0]) ++FShort[H.Bin(Short)];
}

double TGating::Integrated() const {
    const THistogram& H = *FLevels;
    double Sum = 0;
    uint64_t Count = 0;
    for (size_t I = 0; I < H.Size; ++I) Sum += static_cast<double>(FBlock[I]) * H.Middle[I], Count += FBlock[I];
    if (Count == 0) return -HUGE_VAL;
    Sum /= static_cast<double>(Count);
    double Gated = 0;
    Count = 0;
    for (size_t I = H.From(Sum * std::pow(10.0, -10.0 / 10.0)); I < H.Size; ++I)
        Gated += static_cast<double>(FBlock[I]) * H.Middle[I], Count += FBlock[I];
    return Count == 0 ? -HUGE_VAL : Lufs(Gated / static_cast<double>(Count));
}

double TGating::Range() const {
    const THistogram& H = *FLevels;
    double Power = 0;
    uint64_t Count = 0;
    for (size_t I = 0; I < H.Size; ++I) Power += static_cast<double>(FShort[I]) * H.Middle[I], Count += FShort[I];
    if (Count == 0) return 0;
    const size_t From = H.From(std::pow(10.0, -20.0 / 10.0) * (Power / static_cast<double>(Count)));
    Count = 0;
    for (size_t I = From; I < H.Size; ++I) Count += FShort[I];
    if (Count == 0) return 0;
    const auto Low = static_cast<uint64_t>(static_cast<double>(Count - 1) * 0.1 + 0.5);
    const auto High = static_cast<uint64_t>(static_cast<double>(Count - 1) * 0.95 + 0.5);
    uint64_t Seen = 0;
    size_t I = From;
    while (Seen <= Low) Seen += FShort[I++];
    const double LowEnergy = H.Middle[I - 1];
    while (Seen <= High) Seen += FShort[I++];
    return Lufs(H.Middle[I - 1]) - Lufs(LowEnergy);
}

double TGating::MaxMomentary() const { return Lufs(FMaxMomentary); }
double TGating::MaxShortTerm() const { return Lufs(FMaxShortTerm); }

} // namespace sonoloud
