#include "PeakLimiter.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

namespace sonoloud {

namespace {

// Intervals judged at a time: a stretch whose samples cannot reach the level is passed over.
constexpr int64_t Stretch = 256;
// Frames taken in at a time.
constexpr int64_t Piece = 8192;
// After this many checks of one interval its requirement goes down to what no rounding or
// ramp can lift over the ceiling.
constexpr int Retries = 3;

double Magnitude(double V) { return std::fabs(V); }

// The largest magnitude of X[From, To) of every channel, NaN passed over.
double Largest(const std::vector<const double*>& X, int64_t From, int64_t To) {
    double M = 0;
    for (const double* C : X)
        for (int64_t I = From; I < To; ++I) M = Magnitude(C[I]) > M ? Magnitude(C[I]) : M;
    return M;
}

} // namespace

double TPeakLimiter::Level(const TLimitSettings& S, int64_t Rate) {
    const double Ceiling = S.Full > 0 ? std::min(S.Ceiling, (S.Full - 1) / S.Full) : S.Ceiling;
    const double Slack = TOversampler(Rate).Lift() * ((S.Full > 0 ? 0.5 / S.Full : 0) + Ceiling * std::ldexp(1.0, -23));
    return std::max(Ceiling - Slack, Ceiling / 2);
}

TPeakLimiter::TPeakLimiter(int Channels, int64_t Rate, const TLimitSettings& S)
    : FChannels(Channels), FSettings(S), FOver(Rate), FCurve(Rate, FOver.Behind(), FOver.Ahead()),
      FInput(static_cast<size_t>(Channels)), FOutput(static_cast<size_t>(Channels)), FChecked(static_cast<size_t>(Channels)) {
    FCeiling = S.Full > 0 ? std::min(S.Ceiling, (S.Full - 1) / S.Full) : S.Ceiling;
    FTarget = Level(S, Rate);
    // Silence before the first frame, as long as the first gains and checks reach back.
    const int64_t Pad = FCurve.Before() + FOver.Behind() + FOver.Ahead() + 1;
    FBase = -Pad;
    FReq = FBase + FOver.Behind(), FVerified = -FOver.Ahead();
    for (size_t C = 0; C < FInput.size(); ++C)
        FInput[C].assign(static_cast<size_t>(Pad), 0.0), FOutput[C] = FInput[C], FChecked[C] = FInput[C];
    FRequire.assign(static_cast<size_t>(Pad), 1.0);
    FGain = FRequire;
}

void TPeakLimiter::Round(const double* In, const double* Gain, int64_t Count, double* Written, double* Checked) const {
    const double Full = FSettings.Full;
    if (Full > 0) {
        // Rounded half to even by the addition (as nearbyint does in the default mode), whole
        // values up to 2^31 being far inside its reach.
        constexpr double Magic = 6755399441055744.0; // 1.5 * 2^52
        for (int64_t I = 0; I < Count; ++I)
            Written[I] = std::clamp((In[I] * Gain[I] * Full + Magic) - Magic, -Full, Full - 1) / Full;
    } else {
        for (int64_t I = 0; I < Count; ++I)
            Written[I] = FSettings.Float32 ? static_cast<double>(static_cast<float>(In[I] * Gain[I])) : In[I] * Gain[I];
    }
    for (int64_t I = 0; I < Count; ++I) Checked[I] = static_cast<double>(static_cast<float>(Written[I]));
}

void TPeakLimiter::Append(const double* Frames, int64_t Count) {
    const size_t Old = FGain.size(), New = Old + static_cast<size_t>(Count);
    for (size_t C = 0; C < FInput.size(); ++C) {
        FInput[C].resize(New), FOutput[C].resize(New), FChecked[C].resize(New);
        double* In = FInput[C].data() + Old;
        for (int64_t F = 0; F < Count; ++F) In[F] = Frames[F * FChannels + static_cast<int64_t>(C)] * FSettings.Factor;
    }
    FRequire.resize(New, 1.0);
    FGain.resize(New, 1.0);
}

void TPeakLimiter::Add(const double* Frames, int64_t Count, const TSink& Out) {
    for (int64_t Done = 0; Done < Count; Done += Piece) {
        const int64_t N = std::min(Piece, Count - Done);
        Append(Frames + Done * FChannels, N);
        FIn += N;
        Advance(FIn, Out);
    }
}

void TPeakLimiter::Finish(const TSink& Out) {
    // Silence after the last frame, so that every point that depends on it is checked.
    const int64_t Tail = 2 * FOver.Ahead() + FOver.Behind() + FCurve.After() + 1;
    const std::vector<double> Zeros(static_cast<size_t>(Tail * FChannels), 0.0);
    Append(Zeros.data(), Tail);
    Advance(FIn + Tail, nullptr);
    Emit(FIn, Out);
}

void TPeakLimiter::Advance(int64_t Known, const TSink& Out) {
    Envelope(Known - FOver.Ahead());
    Gains(FGained, FReq - FCurve.After());
    while (!Verify(FGained - FOver.Ahead())) {
    }
    // A correction at an interval not yet checked lowers gains from After() frames before it,
    // and checking the intervals that reach them may lower gains again further back.
    if (Out) Emit(std::min(FIn, FVerified - 2 * (FCurve.After() + FOver.Ahead())), Out);
    Compact();
}

void TPeakLimiter::Envelope(int64_t To) {
    if (To <= FReq) return;
    std::vector<const double*> X;
    for (const std::vector<double>& C : FInput) X.push_back(C.data() + At(FReq));
    FPeaks.resize(static_cast<size_t>(To - FReq));
    FOver.PeaksOver(X, To - FReq, FTarget, FPeaks.data());
    // Non-finite points are passed over: no gain makes them finite.
    for (int64_t J = FReq; J < To; ++J) {
        const double P = FPeaks[static_cast<size_t>(J - FReq)];
        FRequire[At(J)] = P > FTarget ? FTarget / P : 1.0;
    }
    FReq = To;
}

void TPeakLimiter::Gains(int64_t From, int64_t To) {
    if (To <= From) return;
    FCurve.Compute(FRequire.data() + At(From), To - From, FGain[At(From) - 1], FGain.data() + At(From));
    for (size_t C = 0; C < FInput.size(); ++C)
        Round(FInput[C].data() + At(From), FGain.data() + At(From), To - From, FOutput[C].data() + At(From), FChecked[C].data() + At(From));
    FGained = std::max(FGained, To);
}

// Checks the intervals up to To; on the first one whose true peak passes the ceiling, lowers
// its requirement, computes the gains it changes again and returns false.
bool TPeakLimiter::Verify(int64_t To) {
    std::vector<const double*> Written, Checked;
    for (size_t C = 0; C < FInput.size(); ++C) Written.push_back(FOutput[C].data()), Checked.push_back(FChecked[C].data());
    float Peaks[Stretch];
    while (FVerified < To) {
        const int64_t J = FVerified, N = std::min(Stretch, To - J);
        const auto From = static_cast<int64_t>(At(J));
        std::vector<const double*> Here = Checked;
        for (const double*& C : Here) C += From;
        FOver.PeaksOver(Here, N, FCeiling, Peaks);
        // The sample itself as written counts too: the reference takes it unrounded.
        int64_t I = 0;
        double Peak = 0;
        for (; I < N; ++I) {
            Peak = Peaks[I];
            for (const double* C : Written) Peak = std::max(Peak, Magnitude(C[From + I]));
            if (Peak > FCeiling && std::isfinite(Peak) && J + I > FGivenUp) break;
        }
        if (I == N) {
            FVerified += N;
            continue;
        }
        const int64_t Over = J + I;
        FRetries = Over == FRetried ? FRetries + 1 : 1;
        FRetried = Over;
        // Where even that fails (a point made of frames already handed out, or of values so far
        // over full scale that no gain at the point itself reaches them), the whole reach of the
        // point is silenced; and where that fails too the point is left as it is, so that the
        // checks always end, whatever the input.
        if (FRetries > Retries + 2) {
            FGivenUp = J + N - 1; // the rest of this stretch too: such points come in crowds
            ++FFigures.Over;
            return false;
        }
        int64_t First = Over;
        double& R = FRequire[At(Over)];
        R *= FTarget / Peak;
        if (FRetries > Retries + 1) {
            First = std::max(FOut, Over - FOver.Behind());
            for (int64_t F = First; F <= Over + FOver.Ahead(); ++F) FRequire[At(F)] = 0;
        } else if (FRetries > Retries) {
            std::vector<const double*> In;
            for (const std::vector<double>& C : FInput) In.push_back(C.data());
            R = std::min(R, FTarget / (Largest(In, From + I - FOver.Behind(), From + I + FOver.Ahead() + 1) * FOver.Lift()));
        }
        const int64_t Again = std::max(FOut, First - FCurve.After());
        Gains(Again, FGained);
        FVerified = std::max(FOut - FOver.Ahead(), std::min(J, Again - FOver.Ahead()));
        return false;
    }
    return true;
}

void TPeakLimiter::Emit(int64_t To, const TSink& Out) {
    if (To <= FOut) return;
    const int64_t Count = To - FOut;
    FInterleaved.resize(static_cast<size_t>(Count * FChannels));
    for (size_t C = 0; C < FOutput.size(); ++C)
        for (int64_t F = 0; F < Count; ++F) FInterleaved[static_cast<size_t>(F * FChannels) + C] = FOutput[C][At(FOut + F)];
    for (int64_t F = FOut; F < To; ++F) {
        const double G = FGain[At(F)];
        FFigures.Lowest = std::min(FFigures.Lowest, G);
        FFigures.Limited += G <= LimitedBy;
    }
    FFigures.Frames += Count;
    FOut = To;
    Out(FInterleaved.data(), Count);
}

void TPeakLimiter::Compact() {
    const int64_t Keep = FCurve.Before() + FOver.Behind() + FOver.Ahead() + 1;
    const int64_t Drop = FOut - Keep - FBase;
    if (Drop < 4 * Piece) return;
    const auto Erase = [&](auto& V) { V.erase(V.begin(), V.begin() + static_cast<std::ptrdiff_t>(Drop)); };
    for (size_t C = 0; C < FInput.size(); ++C) Erase(FInput[C]), Erase(FOutput[C]), Erase(FChecked[C]);
    Erase(FRequire), Erase(FGain);
    FBase += Drop;
}

} // namespace sonoloud
