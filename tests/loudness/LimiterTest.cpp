// The limiter on signals made here, measured with libebur128: the output's true peak at or under
// the ceiling in every format; one gain for all channels, moving by no more than the attack's
// ramp allows; the static gain's very values away from every limited peak; the trial runs'
// loudness against the written output's; normalised files at their target; the oversampler bit
// for bit against libebur128.
#include "LimiterTrial.h"
#include "LoudnessMeter.h"
#include "PeakLimiter.h"
#include "TargetGain.h"
#include "TestSupport.h"
#include "WaveRecipe.h"

#include <ebur128.h>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <sstream>
#include <vector>

namespace {

using namespace sonoloud;

struct TSignal {
    const char* Name;
    int Channels;
    int64_t Rate;
    double Seconds;
    std::function<double(int64_t Frame, int Channel)> At;
    double Over; // dB by which its true peak passes the ceiling at the test's gain
};

double Sine(double Hz, int64_t Frame, int64_t Rate, double Phase = 0) {
    return std::sin(2 * M_PI * Hz * static_cast<double>(Frame) / static_cast<double>(Rate) + Phase);
}

// Noise at a steady level (-4.8 dBFS RMS), the same for a frame and channel.
double Noise(int64_t Frame, int Channel) {
    uint64_t H = static_cast<uint64_t>(Frame * 2 + Channel) * 0x9E3779B97F4A7C15u;
    H ^= H >> 29, H *= 0xBF58476D1CE4E5B9u, H ^= H >> 32;
    return static_cast<double>(H >> 11) / 4503599627370496.0 - 1;
}

// Short loud peaks over quieter sound, as in speech (the loudness mostly the quieter sound's): a
// steady sine with loud bursts (crest factor 14 dB), quarter-rate sines whose peaks lie between
// the samples, a burst in one channel only, float samples above full scale; and sounds that are
// all peak: a click in silence, a square wave.
const TSignal Signals[] = {
    {"sine bursts", 2, 44100, 3, [](int64_t F, int) { return (F % 22050 < 882 ? 0.5 : 0.1) * Sine(1000, F, 44100); }, 6},
    {"click in silence", 1, 48000, 2, [](int64_t F, int) { return F == 48000 ? 0.5 : 0.0; }, 9},
    {"square wave", 1, 48000, 2, [](int64_t F, int) { return (F / 50) % 2 ? 0.4 : -0.4; }, 3},
    {"quarter-rate sine at 45 degrees", 1, 48000, 3,
     [](int64_t F, int) { return 0.1 * Noise(F, 0) + (F % 24000 < 480 ? 0.5 * std::sin(M_PI / 2 * static_cast<double>(F) + M_PI / 4) : 0); }, 4},
    {"peak in one channel", 2, 48000, 3, [](int64_t F, int C) { return 0.1 * Noise(F, C) + (C == 1 && F % 48000 < 480 ? 0.6 * Sine(300, F, 48000) : 0); }, 8},
    {"above full scale", 2, 96000, 2, [](int64_t F, int C) { return 0.1 * Noise(F, C) * (F % 19200 < 192 ? 15 : 1); }, 10},
};

std::vector<double> Frames(const TSignal& S) {
    std::vector<double> X;
    for (int64_t F = 0; F < std::llround(S.Seconds * static_cast<double>(S.Rate)); ++F)
        for (int C = 0; C < S.Channels; ++C) X.push_back(S.At(F, C));
    return X;
}

// libebur128's true peak (linear) and integrated loudness of interleaved frames.
std::pair<double, double> Reference(const std::vector<double>& X, int Channels, int64_t Rate) {
    ebur128_state* St = ebur128_init(static_cast<unsigned>(Channels), static_cast<unsigned long>(Rate),
                                     EBUR128_MODE_TRUE_PEAK | EBUR128_MODE_I);
    for (int C = 0; C < Channels; ++C) ebur128_set_channel(St, static_cast<unsigned>(C), EBUR128_CENTER);
    ebur128_add_frames_double(St, X.data(), X.size() / static_cast<size_t>(Channels));
    double Peak = 0, Loudness = 0;
    for (int C = 0; C < Channels; ++C) {
        double P = 0;
        ebur128_true_peak(St, static_cast<unsigned>(C), &P);
        Peak = std::max(Peak, P);
    }
    ebur128_loudness_global(St, &Loudness);
    ebur128_destroy(&St);
    return {Peak, Loudness};
}

constexpr double Ceiling = -1;

// The gain that takes S's true peak Over dB past the ceiling.
double FactorOf(const TSignal& S, const std::vector<double>& X) {
    return std::pow(10.0, (Ceiling + S.Over) / 20) / Reference(X, S.Channels, S.Rate).first;
}

std::vector<double> Limit(const TSignal& S, const std::vector<double>& X, const TLimitSettings& Settings, TLimitFigures* Figures = nullptr) {
    TPeakLimiter L(S.Channels, S.Rate, Settings);
    std::vector<double> Out;
    const TPeakLimiter::TSink Sink = [&](const double* F, int64_t N) { Out.insert(Out.end(), F, F + N * S.Channels); };
    for (size_t Done = 0; Done < X.size();) { // in uneven pieces
        const size_t N = std::min(X.size() - Done, static_cast<size_t>(S.Channels) * (1 + Done % 7919));
        L.Add(X.data() + Done, static_cast<int64_t>(N) / S.Channels, Sink);
        Done += N;
    }
    L.Finish(Sink);
    if (Figures) *Figures = L.Figures();
    return Out;
}

// The formats of the outputs, each signal taking two in turn: 8, 16, 24 bits, float.
const std::pair<const char*, double> Formats[] = {{"pcm8", 128}, {"pcm16", 32768}, {"pcm24", 8388608}, {"float32", 0}};

TEST(Limiter, TruePeakAtTheCeilingStaticValuesAwayFromPeaks) {
    for (size_t N = 0; N < std::size(Signals); ++N) {
        const TSignal& S = Signals[N];
        const std::vector<double> X = Frames(S);
        TOversampler O(S.Rate);
        for (const double Full : {Formats[N % 4].second, Formats[(N + 1) % 4].second}) {
            TLimitSettings Settings;
            Settings.Factor = FactorOf(S, X), Settings.Ceiling = std::pow(10.0, Ceiling / 20), Settings.Full = Full, Settings.Float32 = Full == 0;
            TLimitFigures Figures;
            const std::vector<double> Out = Limit(S, X, Settings, &Figures);
            ASSERT_EQ(Out.size(), X.size()) << S.Name;
            EXPECT_LE(Reference(Out, S.Channels, S.Rate).first, Settings.Ceiling) << S.Name << " " << Full;
            EXPECT_NEAR(-20 * std::log10(Figures.Lowest), S.Over, Full == 128 ? 1 : 0.5) << S.Name << " " << Full;
            // Every value that is not the static gain's lies within the attack before or the
            // release after a point over the ceiling.
            std::vector<double> Gained(X.size() + 64, 0.0);
            for (size_t I = 0; I < X.size(); ++I) Gained[32 + I] = X[I] * Settings.Factor;
            const int64_t Frames = static_cast<int64_t>(X.size()) / S.Channels;
            std::vector<int64_t> Over;
            for (int C = 0; C < S.Channels; ++C) {
                std::vector<double> Channel(static_cast<size_t>(Frames + 64), 0.0);
                for (int64_t F = 0; F < Frames; ++F) Channel[static_cast<size_t>(32 + F)] = Gained[static_cast<size_t>(32 + F * S.Channels + C)];
                std::vector<float> P(static_cast<size_t>(Frames));
                O.IntervalPeaks(Channel.data() + 32, Frames, P.data());
                for (int64_t F = 0; F < Frames; ++F)
                    if (P[static_cast<size_t>(F)] > Settings.Ceiling * 0.999) Over.push_back(F);
            }
            std::sort(Over.begin(), Over.end());
            const auto Attack = static_cast<int64_t>(AttackSeconds * static_cast<double>(S.Rate)) + 2 * O.Ahead();
            const auto Release = static_cast<int64_t>(std::log(1 / SnapShortfall) * ReleaseSeconds * static_cast<double>(S.Rate)) + 2 * O.Ahead();
            int64_t Stray = 0;
            for (int64_t F = 0; F < Frames; ++F) {
                const auto Near = std::lower_bound(Over.begin(), Over.end(), F - Release);
                const bool Limited = Near != Over.end() && *Near <= F + Attack;
                for (int C = 0; C < S.Channels; ++C) {
                    const size_t I = static_cast<size_t>(F * S.Channels + C);
                    const double V = X[I] * Settings.Factor;
                    const double Static = Full > 0 ? std::clamp(std::nearbyint(V * Full), -Full, Full - 1) / Full : static_cast<float>(V);
                    Stray += !Limited && Out[I] != Static;
                }
            }
            EXPECT_EQ(Stray, 0) << S.Name << " " << Full;
        }
    }
}

// Unrounded outputs show the gain itself: shared by the channels, no step larger than the
// attack's ramp takes.
TEST(Limiter, OneSmoothGainForAllChannels) {
    for (const TSignal& S : Signals) {
        const std::vector<double> X = Frames(S);
        TLimitSettings Settings;
        Settings.Factor = FactorOf(S, X), Settings.Ceiling = std::pow(10.0, Ceiling / 20);
        const std::vector<double> Out = Limit(S, X, Settings);
        const double Ramp = 1 / std::floor(AttackSeconds * static_cast<double>(S.Rate)) + 1e-9;
        double Last = NAN;
        size_t LastFrame = 0;
        for (size_t F = 0; F < X.size() / static_cast<size_t>(S.Channels); ++F) {
            double Gain = NAN;
            for (size_t C = 0; C < static_cast<size_t>(S.Channels); ++C) {
                const size_t I = F * static_cast<size_t>(S.Channels) + C;
                if (std::fabs(X[I]) < 1e-3) continue;
                const double G = Out[I] / (X[I] * Settings.Factor);
                if (!std::isnan(Gain)) {
                    ASSERT_NEAR(G, Gain, 1e-12) << S.Name << " frame " << F;
                }
                Gain = G;
            }
            if (std::isnan(Gain)) continue;
            if (!std::isnan(Last)) {
                ASSERT_LE(std::fabs(Gain - Last), Ramp * static_cast<double>(F - LastFrame)) << S.Name << " frame " << F;
            }
            Last = Gain, LastFrame = F;
        }
    }
}

// A file of S's frames in an encoding, through the shared builder.
std::string Recipe(const TSignal& S, const char* Encoding, double Full) {
    std::ostringstream R;
    R.precision(9);
    R << Encoding << " " << S.Channels << " " << S.Rate << " data";
    for (double V : Frames(S)) R << " " << (Full > 0 ? std::clamp(std::nearbyint(V * Full), -Full, Full - 1) : V);
    return R.str();
}

// The loudness the trial runs foretell for the limiter at a gain is what its output measures.
TEST(Limiter, TrialsForetellTheOutputsLoudness) {
    for (const TSignal& S : Signals) {
        const std::vector<double> X = Frames(S);
        const std::vector<double> Weights(static_cast<size_t>(S.Channels), 1.0);
        TLimitSettings Settings;
        Settings.Ceiling = std::pow(10.0, Ceiling / 20), Settings.Full = 32768;
        const double Factor = FactorOf(S, X);
        TLimiterTrial Trial(S.Rate, Weights, TPeakLimiter::Level(Settings, S.Rate), {Factor / 2, Factor, Factor * 2});
        for (size_t Done = 0; Done < X.size(); Done += 4096 * static_cast<size_t>(S.Channels))
            Trial.Add(X.data() + Done, std::min<int64_t>(4096, static_cast<int64_t>(X.size() - Done) / S.Channels));
        const std::vector<double> Foretold = Trial.Finish();
        for (int I = 0; I < 3; ++I) {
            Settings.Factor = Factor * std::pow(2.0, I - 1);
            EXPECT_NEAR(Foretold[static_cast<size_t>(I)], Reference(Limit(S, X, Settings), S.Channels, S.Rate).second, 0.01) << S.Name << " " << I;
        }
    }
}

// Files normalised to the loudness at which their peaks would pass the ceiling by Over dB: the
// limited outputs at the target; where no gain reaches it (a steady square wave, a lone click),
// said so; the true peak at the ceiling either way.
TEST(Limiter, NormalisedFilesReachTheTargetOrSaySo) {
    testsupport::TempDir D;
    for (size_t N = 0; N < std::size(Signals); ++N) {
        const TSignal& S = Signals[N];
        // Above full scale only as floats.
        for (const auto& [Encoding, Full] : {Formats[S.Over == 10 ? 3 : (N + 2) % 4]}) {
            testsupport::WriteFile(D / "in.wav", testwave::Build(Recipe(S, Encoding, Full)));
            wave::TWaveIO In(D / "in.wav", wave::TWaveIOMode::wioRead);
            const vx::TSampleEncoding E = MeasurableEncoding(In);
            const TLoudness L = MeasureWave(In, E);
            // The loudness at the gain that takes the peaks Over dB past the ceiling.
            const double Target = L.Integrated + Ceiling + S.Over - L.TruePeak;
            const TGainPlan P = Normalise(In, E, L, Target, Ceiling, false, D / "out.wav");
            wave::TWaveIO Out(D / "out.wav", wave::TWaveIOMode::wioRead);
            std::vector<double> Y;
            ReadFrames(Out, E, [&](const double* F, int64_t N) { Y.insert(Y.end(), F, F + N * S.Channels); });
            const auto [Peak, Loudness] = Reference(Y, S.Channels, S.Rate);
            const bool Steady = S.Over == 3 || S.Over == 9;
            EXPECT_LE(Peak, std::pow(10.0, Ceiling / 20)) << S.Name << " " << Encoding;
            EXPECT_TRUE(P.Limiter) << S.Name << " " << Encoding;
            EXPECT_EQ(P.Missed, Steady) << S.Name << " " << Encoding << " " << Loudness;
            EXPECT_NEAR(P.Reached, Loudness, 0.01) << S.Name << " " << Encoding;
            if (!Steady) {
                EXPECT_NEAR(Loudness, Target, 0.1) << S.Name << " " << Encoding;
            }
        }
    }
}

} // namespace
