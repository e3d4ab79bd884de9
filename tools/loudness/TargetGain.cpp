#include "TargetGain.h"

#include "BlockLoudness.h"
#include "LimiterTrial.h"
#include "PeakLimiter.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <utility>

namespace sonoloud {

namespace {

using vx::TSampleEncoding;

double Factor(double Db) { return std::pow(10.0, Db / 20); }

struct TInput {
    wave::TWaveIO& Wave;
    TSampleEncoding E;
    double Ceiling;
    std::vector<double> Weights;
    int Unused; // bits of a container wider than its samples: the output keeps them 0
    int Channels() const { return static_cast<int>(Weights.size()); }
    int64_t Rate() const { return Wave.Format().SamplesPerSec; }
    TLimitSettings Settings(double Db) const {
        TLimitSettings S;
        S.Factor = Factor(Db), S.Ceiling = Factor(Ceiling);
        S.Full = vx::IsFloat(E) ? 0 : std::ldexp(FullScale(E), -Unused), S.Float32 = E == TSampleEncoding::seFloat32;
        return S;
    }
};

// The integrated loudness of the limited output at each gain (dB), from one reading of the input.
std::vector<double> Trial(TInput& In, const std::vector<double>& Gains) {
    std::vector<double> Factors;
    for (double G : Gains) Factors.push_back(Factor(G));
    TLimiterTrial T(In.Rate(), In.Weights, TPeakLimiter::Level(In.Settings(0), In.Rate()), Factors);
    ReadFrames(In.Wave, In.E, [&](const double* F, int64_t N) { T.Add(F, N); });
    return T.Finish();
}

using TPoint = std::pair<double, double>; // a gain (dB) and the loudness it gives

// The gain (dB) at which the loudness passes Target between the points Lo and Lo + 1 of Seen
// (sorted): the curve through them and a neighbour, read backwards, where it stays between them;
// else the straight line.
double Between(const std::vector<TPoint>& Seen, size_t Lo, double Target) {
    const TPoint A = Seen[Lo], B = Seen[Lo + 1];
    const double Line = A.first + (Target - A.second) * (B.first - A.first) / (B.second - A.second);
    const size_t First = Lo > 0 ? Lo - 1 : Lo;
    if (First + 2 >= Seen.size()) return Line;
    double Curve = 0;
    for (size_t I = First; I < First + 3; ++I) {
        double Term = Seen[I].first;
        for (size_t J = First; J < First + 3; ++J)
            if (J != I) Term *= (Target - Seen[J].second) / (Seen[I].second - Seen[J].second);
        Curve += Term;
    }
    return Curve > A.first && Curve < B.first ? Curve : Line;
}

// The static gain at which the limited output reaches Target, by trial runs from the plain gain
// up; where no gain up to MostRaise reaches it, the least that gives the loudest output.
double Search(TInput& In, double Target, double Plain) {
    std::vector<TPoint> Seen;
    std::vector<double> Next = {Plain, Plain + 0.5, Plain + 1, Plain + 2, Plain + 4};
    for (int Run = 0; Run < 5 && !Next.empty(); ++Run) {
        const std::vector<double> Loudness = Trial(In, Next);
        for (size_t I = 0; I < Next.size(); ++I) Seen.emplace_back(Next[I], Loudness[I]);
        std::sort(Seen.begin(), Seen.end());
        const auto Hi = std::find_if(Seen.begin(), Seen.end(), [&](const TPoint& P) { return P.second >= Target; });
        Next.clear();
        if (Hi == Seen.begin()) return Plain + Target - Hi->second; // reached without the limiter's help
        if (Hi == Seen.end()) {
            // Further up, as far as the last two points' slope says, and beyond.
            const TPoint Top = Seen.back(), Below = Seen[Seen.size() - 2];
            const double Slope = (Top.second - Below.second) / (Top.first - Below.first);
            // A loudness that hardly moves any more: no gain reaches the target.
            if (!(Slope > 0.05)) break;
            const double Step = (Target - Top.second) / Slope;
            for (double Times : {0.8, 1.0, 1.5, 2.5})
                if (Top.first < Plain + MostRaise) Next.push_back(std::min(Top.first + Step * Times, Plain + MostRaise));
            Next.erase(std::unique(Next.begin(), Next.end()), Next.end());
            continue;
        }
        const size_t Lo = static_cast<size_t>(Hi - Seen.begin()) - 1;
        const double Found = Between(Seen, Lo, Target);
        if (Hi->first - Seen[Lo].first <= 1.5) return Found;
        Next = {Found - 0.2, Found + 0.2};
    }
    double Loudest = -HUGE_VAL;
    for (const TPoint& P : Seen) Loudest = std::max(Loudest, P.second);
    return std::find_if(Seen.begin(), Seen.end(), [&](const TPoint& P) { return P.second >= Loudest - 0.05; })->first;
}

TInput InputOf(wave::TWaveIO& Input, TSampleEncoding E, double Ceiling) {
    const uint32_t Mask = Input.Extension().Present ? Input.Extension().ChannelMask : 0;
    return {Input, E, Ceiling, ChannelWeights(Input.Format().Channels, Mask), vx::UnusedBits(Input.Format(), Input.Extension())};
}

} // namespace

TGainPlan PlanTarget(wave::TWaveIO& Input, TSampleEncoding E, const TLoudness& L, double Target, double Ceiling, bool Static) {
    TInput In = InputOf(Input, E, Ceiling);
    const double Plain = Target - L.Integrated;
    TGainPlan P = PlanGain(L, Target, Ceiling, E, In.Unused);
    P.Target = Target, P.Ceiling = Ceiling, P.Reached = L.Integrated + P.Db;
    // Where the plain gain's peaks, rounded, stay under the ceiling, it is the whole of the work.
    if (!Static && std::pow(10.0, L.TruePeak / 20) * Factor(Plain) > TPeakLimiter::Level(In.Settings(Plain), In.Rate())) {
        P.Db = Search(In, Target, Plain), P.Factor = Factor(P.Db), P.Limited = false, P.Limiter = true;
    }
    return P;
}

void FillTarget(wave::TWaveIO& Input, TSampleEncoding E, TGainPlan& P, const TBytesSink& Put) {
    if (!P.Limiter) {
        ScaleFrames(Input, E, P.Factor, Put);
    } else {
        TInput In = InputOf(Input, E, P.Ceiling);
        TPeakLimiter Limiter(In.Channels(), In.Rate(), In.Settings(P.Db));
        TBlockLoudness Meter(In.Rate(), In.Weights, AimBins);
        const TPeakLimiter::TSink Sink = [&](const double* F, int64_t N) {
            Meter.Add(F, N);
            EncodeFrames(E, In.Channels(), F, N, Put);
        };
        ReadFrames(Input, E, [&](const double* F, int64_t N) { Limiter.Add(F, N, Sink); });
        Limiter.Finish(Sink);
        const TLimitFigures& Figures = Limiter.Figures();
        P.Reached = Meter.Gating().Integrated();
        P.Reduction = -20 * std::log10(Figures.Lowest);
        P.Share = Figures.Frames > 0 ? static_cast<double>(Figures.Limited) / static_cast<double>(Figures.Frames) : 0;
        P.OverCeiling = Figures.Over > 0;
    }
    P.Missed = !(std::fabs(P.Reached - P.Target) <= MissedBy) || P.OverCeiling;
}

TGainPlan Normalise(wave::TWaveIO& Input, TSampleEncoding E, const TLoudness& L, double Target, double Ceiling,
                    bool Static, const std::string& OutFile, size_t Window) {
    TGainPlan P = PlanTarget(Input, E, L, Target, Ceiling, Static);
    const std::unique_ptr<wave::TWaveIO> Output = CreateLike(Input, OutFile, Window);
    FillTarget(Input, E, P, [&](const uint8_t* Bytes, size_t Count) { Output->WriteWaveData(Bytes, static_cast<int32_t>(Count)); });
    Output->Release();
    return P;
}

} // namespace sonoloud
