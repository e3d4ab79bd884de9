#include "LoudnessMeter.h"

#include "vxSystem.h"

#include <algorithm>
#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace sonoloud {

namespace {

constexpr double MinusInf = -HUGE_VAL;
// Samples of a chunk handed to the workers at a time, whatever the channel count.
constexpr int64_t ChunkSamples = 65536;
// Intervals judged at a time: a stretch whose samples cannot lift the true peak is passed over.
// Short ones are passed over more often (a noise-like signal's largest sample among 44 lies well
// under its largest among 268); each sample is then read about 1.4 times for the bounds.
constexpr int64_t Stretch = 32;

double Decibels(double Linear) { return Linear > 0 ? 20 * std::log10(Linear) : MinusInf; }

// The weights of the speakers of a WAVE channel mask, in bit order: FL FR FC LFE BL BR FLC FRC
// BC SL SR, then the top layer. Back and side speakers are BS.1770's surround positions.
constexpr double Speakers[] = {1, 1, 1, 0, 1.41, 1.41, 1, 1, 1, 1.41, 1.41, 1, 1, 1, 1, 1, 1, 1};

} // namespace

std::vector<double> ChannelWeights(int Channels, uint32_t Mask) {
    std::vector<double> Weights(static_cast<size_t>(std::max(Channels, 0)), 1.0);
    if (Mask == 0) {
        if (Channels == 6) Weights = {1, 1, 1, 0, 1.41, 1.41};
        return Weights;
    }
    size_t Next = 0;
    for (size_t Bit = 0; Bit < std::size(Speakers) && Next < Weights.size(); ++Bit)
        if (Mask & (uint32_t{1} << Bit)) Weights[Next++] = Speakers[Bit];
    return Weights;
}

// One channel: its filter and the energy of its current block, its peaks, the float values its
// next true-peak points depend on, and the blocks each slot's chunk completed.
struct TLoudnessMeter::TChannel {
    TChannel(int64_t Rate, double Weight, int64_t Kept, int64_t Frames)
        : Filter(Rate), Weight(Weight), Kept(Kept), Samples(static_cast<size_t>(Kept + Frames), 0.0) {}
    TKWeighting Filter;
    double Weight;
    double InBlock = 0;
    double Largest = 0, Peak = 0, Min = 0, Max = 0;
    // The Kept samples before the next chunk (silence before the stream: libebur128's points
    // start Ahead() intervals before it), then room for a chunk.
    int64_t Kept;
    std::vector<double> Samples;
    std::vector<double> Sums[Slots];
};

TLoudnessMeter::TLoudnessMeter(int Channels, int64_t Rate, uint32_t Mask)
    : FChannels(Channels), FRate(Rate), FBlock((Rate + 5) / 10), FOver(Rate > 0 ? Rate : 1) {
    if (Channels < 1 || Rate < 16 || Rate > MaxChannelRate / Channels) throw vx::EvxError("unsupported channels or rate");
    FChunkFrames = std::max<int64_t>(1, ChunkSamples / Channels);
    const std::vector<double> Weights = ChannelWeights(Channels, Mask);
    for (double W : Weights) {
        FChannel.push_back(std::make_unique<TChannel>(Rate, W, FOver.Behind() + FOver.Ahead(), FChunkFrames));
        for (auto& Sums : FChannel.back()->Sums) Sums.reserve(static_cast<size_t>(FChunkFrames / FBlock + 2));
    }
    for (TSlot& S : FSlot) S.Frames.resize(static_cast<size_t>(FChunkFrames * Channels));
    // Channels go to the workers in pairs, each pair measured side by side; with one processor
    // the caller's thread measures, else even a lone pair has a worker, beside the caller's reading.
    const int Processors = static_cast<int>(std::thread::hardware_concurrency());
    const int Pairs = (Channels + 1) / 2, Workers = std::min({Pairs, Processors, 8});
    if (Processors < 2) return;
    FDone.assign(static_cast<size_t>(Workers), 0);
    const auto Bound = [=](int W) { return std::min(Channels, 2 * (Pairs * W / Workers)); };
    for (int W = 0; W < Workers; ++W) FWorkers.emplace_back([this, W, Bound] { Work(static_cast<size_t>(W), Bound(W), Bound(W + 1)); });
}

TLoudnessMeter::~TLoudnessMeter() {
    {
        std::lock_guard<std::mutex> L(FLock);
        FStop = true;
    }
    FChanged.notify_all();
    for (std::thread& T : FWorkers) T.join();
}

void TLoudnessMeter::Add(const double* Frames, int64_t Count) {
    for (int64_t N; Count > 0; Frames += N * FChannels, Count -= N) {
        N = Count;
        double* To = Room(N);
        std::copy(Frames, Frames + N * FChannels, To);
        Commit(N);
    }
}

double* TLoudnessMeter::Room(int64_t& Count) {
    TSlot& S = FSlot[FPosted % Slots];
    Count = std::min(Count, FChunkFrames - S.Count);
    return S.Frames.data() + S.Count * FChannels;
}

void TLoudnessMeter::Commit(int64_t Count) {
    TSlot& S = FSlot[FPosted % Slots];
    S.Count += Count, FFrames += Count;
    if (S.Count == FChunkFrames) Post();
}

// Hands the chunk being filled to the workers (or measures it), then frees the next slot.
void TLoudnessMeter::Post() {
    const int Slot = static_cast<int>(FPosted % Slots);
    if (FWorkers.empty()) {
        Measure(0, FChannels, FSlot[Slot], Slot);
        ++FPosted;
    } else {
        {
            std::lock_guard<std::mutex> L(FLock);
            ++FPosted;
        }
        FChanged.notify_all();
    }
    // The next slot is free once the chunk that used it last is measured and gathered.
    Settle(FPosted - Slots + 1);
    TSlot& Next = FSlot[FPosted % Slots];
    Next.First = FFrames, Next.Count = 0;
}

// Waits until the chunks before Chunks are measured, and gathers them in order.
void TLoudnessMeter::Settle(int64_t Chunks) {
    if (!FWorkers.empty()) {
        std::unique_lock<std::mutex> L(FLock);
        FChanged.wait(L, [&] { return std::all_of(FDone.begin(), FDone.end(), [&](int64_t D) { return D >= Chunks; }); });
    }
    while (FGathered < Chunks) Gather(FGathered++);
}

void TLoudnessMeter::Work(size_t Me, int First, int Last) {
    for (int64_t Chunk = 0;; ++Chunk) {
        {
            std::unique_lock<std::mutex> L(FLock);
            FChanged.wait(L, [&] { return FPosted > Chunk || FStop; });
            if (FPosted <= Chunk) return;
        }
        const int Slot = static_cast<int>(Chunk % Slots);
        Measure(First, Last, FSlot[Slot], Slot);
        {
            std::lock_guard<std::mutex> L(FLock);
            FDone[Me] = Chunk + 1;
        }
        FChanged.notify_all();
    }
}

// Channel's samples of a chunk rounded to float where its true peak reads them, its sample peak
// and extremes.
void TLoudnessMeter::Extremes(TChannel& C, const double* X, int64_t Count) const {
    double* Own = C.Samples.data() + C.Kept;
    double Peak = C.Peak, Min = C.Min, Max = C.Max;
    for (int64_t F = 0; F < Count; ++F) {
        const double V = X[F * FChannels];
        Own[F] = static_cast<float>(V);
        Peak = std::max(Peak, std::fabs(V)), Min = std::min(Min, V), Max = std::max(Max, V);
    }
    C.Peak = Peak, C.Min = Min, C.Max = Max;
}

// The same for two channels next to each other in the frames, a lane each.
void TLoudnessMeter::Extremes(TChannel& C, TChannel& D, const double* X, int64_t Count) const {
#if defined(__SSE2__)
    double *OwnC = C.Samples.data() + C.Kept, *OwnD = D.Samples.data() + D.Kept;
    // Operands in the order that gives std::max's and std::min's answer, a NaN sample included.
    const __m128d Sign = _mm_set1_pd(-0.0);
    __m128d Peak = _mm_set_pd(D.Peak, C.Peak), Min = _mm_set_pd(D.Min, C.Min), Max = _mm_set_pd(D.Max, C.Max);
    // Odd frames in chains of their own: the extremes start at 0, so neither a NaN nor a -0 ever
    // enters a chain, and joining the two gives the one chain's answer.
    __m128d Peak2 = Peak, Min2 = Min, Max2 = Max;
    const auto Take = [&](int64_t F, __m128d& P, __m128d& Low, __m128d& High) {
        const __m128d V = _mm_loadu_pd(X + F * FChannels);
        const __m128d Rounded = _mm_cvtps_pd(_mm_cvtpd_ps(V));
        _mm_storel_pd(OwnC + F, Rounded), _mm_storeh_pd(OwnD + F, Rounded);
        P = _mm_max_pd(_mm_andnot_pd(Sign, V), P), Low = _mm_min_pd(V, Low), High = _mm_max_pd(V, High);
    };
    int64_t F = 0;
    for (; F + 2 <= Count; F += 2) Take(F, Peak, Min, Max), Take(F + 1, Peak2, Min2, Max2);
    if (F < Count) Take(F, Peak, Min, Max);
    Peak = _mm_max_pd(Peak, Peak2), Min = _mm_min_pd(Min, Min2), Max = _mm_max_pd(Max, Max2);
    _mm_storel_pd(&C.Peak, Peak), _mm_storeh_pd(&D.Peak, Peak);
    _mm_storel_pd(&C.Min, Min), _mm_storeh_pd(&D.Min, Min);
    _mm_storel_pd(&C.Max, Max), _mm_storeh_pd(&D.Max, Max);
#else
    Extremes(C, X, Count), Extremes(D, X + 1, Count);
#endif
}

// The K-weighted energy by 100 ms block of one channel, or of two next to each other at once.
void TLoudnessMeter::Weigh(TChannel& C, TChannel* D, const double* X, const TSlot& S, int Slot) const {
    for (int64_t At = S.First, End = S.First + S.Count; At < End;) {
        const int64_t N = std::min(End, (At / FBlock + 1) * FBlock) - At;
        const double* From = X + (At - S.First) * FChannels;
        if (D != nullptr) {
            double Sums[2];
            TKWeighting::SumOfSquares(C.Filter, D->Filter, From, N, FChannels, Sums);
            C.InBlock += Sums[0], D->InBlock += Sums[1];
        } else {
            C.InBlock += C.Filter.SumOfSquares(From, N, FChannels);
        }
        At += N;
        if (At % FBlock != 0) continue;
        C.Sums[Slot].push_back(C.InBlock), C.InBlock = 0;
        if (D != nullptr) D->Sums[Slot].push_back(D->InBlock), D->InBlock = 0;
    }
}

// The true peak of the intervals whose points the chunk's samples complete; then the samples the
// next chunk's points need are kept.
void TLoudnessMeter::TruePeak(TChannel& C, int64_t Count) const {
    // libebur128 has no points between samples from 192 kHz on: its true peak is the sample peak.
    if (FOver.Phases().size() > 1) {
        float Peaks[Stretch];
        const double* First = C.Samples.data() + FOver.Behind();
        for (int64_t J = 0; J < Count; J += Stretch) {
            const int64_t N = std::min(Stretch, Count - J);
            if (FOver.Bound(First + J, N) <= C.Largest) continue;
            FOver.IntervalPeaks(First + J, N, Peaks);
            const double Most = LargestPeak(Peaks, N);
            C.Largest = Most > C.Largest ? Most : C.Largest;
        }
    }
    std::copy(C.Samples.begin() + Count, C.Samples.begin() + Count + C.Kept, C.Samples.begin());
}

// Channels [First, Last) of a chunk, two at a time where two are left.
void TLoudnessMeter::Measure(int First, int Last, const TSlot& S, int Slot) {
    for (int At = First; At < Last; At += 2) {
        TChannel& C = *FChannel[static_cast<size_t>(At)];
        const double* X = S.Frames.data() + At;
        TChannel* D = At + 1 < Last ? FChannel[static_cast<size_t>(At + 1)].get() : nullptr;
        if (D != nullptr)
            Extremes(C, *D, X, S.Count);
        else
            Extremes(C, X, S.Count);
        if (C.Weight != 0 && D != nullptr && D->Weight != 0) {
            Weigh(C, D, X, S, Slot);
        } else {
            if (C.Weight != 0) Weigh(C, nullptr, X, S, Slot);
            if (D != nullptr && D->Weight != 0) Weigh(*D, nullptr, X + 1, S, Slot);
        }
        TruePeak(C, S.Count);
        if (D != nullptr) TruePeak(*D, S.Count);
    }
}

void TLoudnessMeter::Gather(int64_t Chunk) {
    const int Slot = static_cast<int>(Chunk % Slots);
    const TSlot& S = FSlot[Slot];
    const int64_t Blocks = (S.First + S.Count) / FBlock - S.First / FBlock;
    for (int64_t B = 0; B < Blocks; ++B) {
        double Sum = 0;
        for (const auto& C : FChannel)
            if (C->Weight != 0) Sum += C->Weight == 1 ? C->Sums[Slot][static_cast<size_t>(B)] : C->Weight * C->Sums[Slot][static_cast<size_t>(B)];
        FGating.Add(Sum, FBlock);
    }
    for (const auto& C : FChannel) C->Sums[Slot].clear();
}

TLoudness TLoudnessMeter::Result() {
    if (FSlot[FPosted % Slots].Count > 0) Post();
    Settle(FPosted);
    TLoudness L;
    L.Frames = FFrames;
    double True = 0, Sample = 0;
    for (const auto& C : FChannel) {
        True = std::max({True, C->Largest, C->Peak}), Sample = std::max(Sample, C->Peak);
        L.MinSample = std::min(L.MinSample, C->Min), L.MaxSample = std::max(L.MaxSample, C->Max);
    }
    L.Integrated = FGating.Integrated();
    L.Range = FFrames >= 3 * FRate ? FGating.Range() : MinusInf;
    L.TruePeak = Decibels(True), L.SamplePeak = Decibels(Sample);
    L.MaxMomentary = FGating.MaxMomentary(), L.MaxShortTerm = FGating.MaxShortTerm();
    return L;
}

} // namespace sonoloud
