#include "LoudnessMeter.h"

#include "vxSystem.h"

#include <algorithm>
#include <cmath>

namespace sonoloud {

namespace {

constexpr double MinusInf = -HUGE_VAL;
// Samples of a chunk handed to the workers at a time, whatever the channel count.
constexpr int64_t ChunkSamples = 65536;
// Intervals judged at a time: a stretch whose samples cannot lift the true peak is passed over.
constexpr int64_t Stretch = 256;

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
    const int Workers = std::min({Channels, static_cast<int>(std::thread::hardware_concurrency()), 8});
    if (Workers < 2) return; // one processor: the caller's thread measures
    FDone.assign(static_cast<size_t>(Workers), 0);
    for (int W = 0; W < Workers; ++W)
        FWorkers.emplace_back([this, W, Workers, Channels] { Work(static_cast<size_t>(W), Channels * W / Workers, Channels * (W + 1) / Workers); });
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
    while (Count > 0) {
        TSlot& S = FSlot[FPosted % Slots];
        const int64_t N = std::min(Count, FChunkFrames - S.Count);
        std::copy(Frames, Frames + N * FChannels, S.Frames.begin() + S.Count * FChannels);
        S.Count += N, FFrames += N, Frames += N * FChannels, Count -= N;
        if (S.Count == FChunkFrames) Post();
    }
}

// Hands the chunk being filled to the workers (or measures it), then frees the next slot.
void TLoudnessMeter::Post() {
    const int Slot = static_cast<int>(FPosted % Slots);
    if (FWorkers.empty()) {
        for (int64_t C = 0; C < FChannels; ++C) Measure(C, FSlot[Slot], Slot);
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
        for (int C = First; C < Last; ++C) Measure(C, FSlot[Slot], Slot);
        {
            std::lock_guard<std::mutex> L(FLock);
            FDone[Me] = Chunk + 1;
        }
        FChanged.notify_all();
    }
}

// One channel of a chunk: its K-weighted energy by 100 ms block, its sample peak and extremes,
// and the true peak of the intervals whose points its samples complete.
void TLoudnessMeter::Measure(int64_t Channel, const TSlot& S, int Slot) {
    TChannel& C = *FChannel[static_cast<size_t>(Channel)];
    const double* X = S.Frames.data() + Channel;
    double* Own = C.Samples.data() + C.Kept;
    double Peak = C.Peak, Min = C.Min, Max = C.Max;
    for (int64_t F = 0; F < S.Count; ++F) {
        const double V = X[F * FChannels];
        Own[F] = static_cast<float>(V);
        Peak = std::max(Peak, std::fabs(V)), Min = std::min(Min, V), Max = std::max(Max, V);
    }
    C.Peak = Peak, C.Min = Min, C.Max = Max;
    if (C.Weight != 0) {
        for (int64_t At = S.First, End = S.First + S.Count; At < End;) {
            const int64_t N = std::min(End, (At / FBlock + 1) * FBlock) - At;
            C.InBlock += C.Filter.SumOfSquares(X + (At - S.First) * FChannels, N, FChannels);
            At += N;
            if (At % FBlock == 0) C.Sums[Slot].push_back(C.InBlock), C.InBlock = 0;
        }
    }
    // libebur128 has no points between samples from 192 kHz on: its true peak is the sample peak.
    if (FOver.Phases().size() > 1) {
        float Peaks[Stretch];
        const double* First = C.Samples.data() + FOver.Behind();
        for (int64_t J = 0; J < S.Count; J += Stretch) {
            const int64_t N = std::min(Stretch, S.Count - J);
            double Loudest = 0;
            for (const double* P = First + J - FOver.Behind(); P < First + J + N + FOver.Ahead(); ++P) Loudest = std::max(Loudest, std::fabs(*P));
            if (Loudest * FOver.Lift() <= C.Largest) continue;
            FOver.IntervalPeaks(First + J, N, Peaks);
            for (int64_t I = 0; I < N; ++I) C.Largest = Peaks[I] > C.Largest ? Peaks[I] : C.Largest;
        }
    }
    std::copy(C.Samples.begin() + S.Count, C.Samples.begin() + S.Count + C.Kept, C.Samples.begin());
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
