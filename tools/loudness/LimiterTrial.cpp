#include "LimiterTrial.h"

#include <algorithm>

namespace sonoloud {

namespace {

constexpr int64_t Piece = 8192;

} // namespace

TLimiterTrial::TLimiterTrial(int64_t Rate, const std::vector<double>& Weights, double Level, const std::vector<double>& Factors)
    : FWeights(Weights), FLevel(Level), FOver(Rate), FCurve(Rate, FOver.Behind(), FOver.Ahead()),
      FFilters(Weights.size(), TKWeighting(Rate)), FInput(Weights.size()), FWeighted(Weights.size()), FBlock((Rate + 5) / 10) {
    for (double F : Factors) FTries.push_back({F, 1, std::vector<TKWeighting>(Weights.size(), TKWeighting(Rate)), 0, TGating(AimBins)});
    // Silence before the first frame, as far back as the first gains reach.
    const int64_t Pad = FCurve.Before() + FOver.Behind() + 1;
    FBase = -Pad, FPeaked = FBase + FOver.Behind();
    for (auto& C : FInput) C.assign(static_cast<size_t>(Pad), 0.0);
    FWeighted = FInput;
    FPeaks.assign(static_cast<size_t>(Pad), 0.0f);
}

void TLimiterTrial::Append(const double* Frames, int64_t Count) {
    const size_t Old = FPeaks.size(), New = Old + static_cast<size_t>(Count);
    const auto Channels = static_cast<int64_t>(FInput.size());
    for (size_t C = 0; C < FInput.size(); ++C) {
        FInput[C].resize(New), FWeighted[C].resize(New);
        double* In = FInput[C].data() + Old;
        for (int64_t F = 0; F < Count; ++F) In[F] = Frames[F * Channels + static_cast<int64_t>(C)];
        if (FWeights[C] != 0) FFilters[C].Filter(In, Count, FWeighted[C].data() + Old);
    }
    FPeaks.resize(New, 0.0f);
}

void TLimiterTrial::Add(const double* Frames, int64_t Count) {
    const auto Channels = static_cast<int64_t>(FInput.size());
    for (int64_t Done = 0; Done < Count; Done += Piece) {
        const int64_t N = std::min(Piece, Count - Done);
        Append(Frames + Done * Channels, N);
        FIn += N;
        Advance(FIn, FIn);
    }
}

std::vector<double> TLimiterTrial::Finish() {
    // Silence after the last frame, as far as the last gains look ahead.
    const int64_t Tail = FOver.Ahead() + FCurve.After() + 1;
    const std::vector<double> Zeros(static_cast<size_t>(Tail) * FInput.size(), 0.0);
    Append(Zeros.data(), Tail);
    Advance(FIn + Tail, FIn);
    std::vector<double> Loudness;
    for (const TTry& T : FTries) Loudness.push_back(T.Gating.Integrated());
    return Loudness;
}

// Peaks up to what Known frames give, gains and energies up to End.
void TLimiterTrial::Advance(int64_t Known, int64_t End) {
    const double Loudest = std::max_element(FTries.begin(), FTries.end(), [](const TTry& A, const TTry& B) {
        return A.Factor < B.Factor;
    })->Factor;
    if (const int64_t To = Known - FOver.Ahead(); To > FPeaked) {
        std::vector<const double*> X;
        for (const auto& C : FInput) X.push_back(C.data() + At(FPeaked));
        FOver.PeaksOver(X, To - FPeaked, FLevel / Loudest, FPeaks.data() + At(FPeaked));
        FPeaked = To;
    }
    for (const int64_t To = std::min(End, FPeaked - FCurve.After()); FDone < To;) {
        const int64_t N = std::min(To - FDone, FBlock - FInBlock);
        Segment(FDone, FDone + N);
        FDone += N, FInBlock += N;
        if (FInBlock < FBlock) continue;
        for (TTry& T : FTries) T.Gating.Add(T.Factor * T.Factor * (FEnergy + T.Change), FBlock), T.Change = 0;
        FEnergy = 0, FInBlock = 0;
    }
    Compact();
}

// The frames [From, To), all in one block.
void TLimiterTrial::Segment(int64_t From, int64_t To) {
    for (size_t C = 0; C < FWeights.size(); ++C) {
        double Sum = 0;
        for (size_t I = At(From); I < At(To); ++I) Sum += FWeighted[C][I] * FWeighted[C][I];
        FEnergy += FWeights[C] * Sum;
    }
    for (TTry& T : FTries) Limit(T, From, To);
}

// What T's limiter takes away from the frames [From, To): the energy it changes, at unit gain.
void TLimiterTrial::Limit(TTry& T, int64_t From, int64_t To) {
    const int64_t Count = To - From, First = From - FCurve.Before(), Last = To + FCurve.After();
    const float* P = FPeaks.data() + At(First);
    const bool Free = std::all_of(P, P + (Last - First), [&](float V) { return V * T.Factor <= FLevel; });
    FGain.resize(static_cast<size_t>(Count));
    if (Free && T.Last == 1) {
        std::fill(FGain.begin(), FGain.end(), 1.0);
    } else {
        FRequire.resize(static_cast<size_t>(Last - First));
        for (int64_t J = 0; J < Last - First; ++J) FRequire[static_cast<size_t>(J)] = P[J] * T.Factor > FLevel ? FLevel / (P[J] * T.Factor) : 1.0;
        FCurve.Compute(FRequire.data() + FCurve.Before(), Count, T.Last, FGain.data());
        T.Last = FGain.back();
    }
    const bool Taking = T.Last < 1 || std::any_of(FGain.begin(), FGain.end(), [](double G) { return G < 1; });
    FTaken.resize(static_cast<size_t>(Count)), FTakenWeighted.resize(static_cast<size_t>(Count));
    for (size_t C = 0; C < FWeights.size(); ++C) {
        if (FWeights[C] == 0 || (!Taking && T.Taken[C].Settle())) continue;
        const double* In = FInput[C].data() + At(From);
        for (size_t I = 0; I < FTaken.size(); ++I) FTaken[I] = (1 - FGain[I]) * In[I];
        T.Taken[C].Filter(FTaken.data(), Count, FTakenWeighted.data());
        // (x - d)^2 - x^2 of the K-weighted input x and what is taken away d.
        const double* X = FWeighted[C].data() + At(From);
        double Sum = 0;
        for (size_t I = 0; I < FTaken.size(); ++I) Sum += FTakenWeighted[I] * (FTakenWeighted[I] - 2 * X[I]);
        T.Change += FWeights[C] * Sum;
    }
}

void TLimiterTrial::Compact() {
    const int64_t Keep = FCurve.Before() + FOver.Behind() + 1;
    const int64_t Drop = FDone - Keep - FBase;
    if (Drop < 4 * Piece) return;
    const auto Erase = [&](auto& V) { V.erase(V.begin(), V.begin() + static_cast<std::ptrdiff_t>(Drop)); };
    for (size_t C = 0; C < FInput.size(); ++C) Erase(FInput[C]), Erase(FWeighted[C]);
    Erase(FPeaks);
    FBase += Drop;
}

} // namespace sonoloud
