#include "TruePeaks.h"

#include "vxSystem.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace sonoloud {

TTruePeaks::TTruePeaks(int Channels, int64_t Rate) : FChannels(Channels) {
    const int Threads = static_cast<int>(std::clamp<unsigned>(std::thread::hardware_concurrency(), 1, 8));
    const int Workers = std::min(Channels, Threads);
    // A frame of more channels than MaxSamples comes one at a time.
    FSlotSamples = std::max<int64_t>(MaxSamples, Channels);
    for (auto& Slot : FSlots) Slot.resize(static_cast<size_t>(FSlotSamples));
    FWorkers.resize(static_cast<size_t>(Workers));
    for (int I = 0; I < Workers; ++I) {
        TWorker& W = FWorkers[static_cast<size_t>(I)];
        W.First = Channels * I / Workers;
        W.Count = Channels * (I + 1) / Workers - W.First;
        W.State = ebur128_init(static_cast<unsigned>(W.Count), static_cast<unsigned long>(Rate), EBUR128_MODE_TRUE_PEAK);
        // Every channel counts here, whatever its place in the layout.
        for (int C = 0; W.State != nullptr && C < W.Count; ++C) ebur128_set_channel(W.State, static_cast<unsigned>(C), EBUR128_CENTER);
    }
    for (TWorker& W : FWorkers)
        if (W.State == nullptr) {
            for (TWorker& V : FWorkers)
                if (V.State != nullptr) ebur128_destroy(&V.State); // it takes no null state
            throw vx::EvxError("out of memory");
        }
    for (TWorker& W : FWorkers) W.Thread = std::thread([this, &W] { Work(W); });
}

TTruePeaks::~TTruePeaks() {
    {
        std::lock_guard<std::mutex> L(FLock);
        FStop = true;
    }
    FChanged.notify_all();
    for (TWorker& W : FWorkers) {
        W.Thread.join();
        ebur128_destroy(&W.State);
    }
}

bool TTruePeaks::AllDone(int64_t Blocks) const {
    return std::all_of(FWorkers.begin(), FWorkers.end(), [&](const TWorker& W) { return W.Done >= Blocks; });
}

void TTruePeaks::Add(const double* Frames, int64_t Count) {
    std::unique_lock<std::mutex> L(FLock);
    // The slot of this block held the block before the last: free once every worker is past it.
    FChanged.wait(L, [&] { return AllDone(FPosted - 1); });
    const int Slot = static_cast<int>(FPosted % 2);
    L.unlock();
    std::memcpy(FSlots[Slot].data(), Frames, static_cast<size_t>(Count * FChannels) * sizeof(double));
    FFrames[Slot] = Count;
    L.lock();
    ++FPosted;
    L.unlock();
    FChanged.notify_all();
}

// A block whose samples all lie more than 12 dB below the largest true peak found so far cannot
// hold a larger one: no interpolation filter of up to a hundred taps a phase lifts a sample
// past four times its neighbourhood's largest magnitude. Such blocks are passed over. Before the
// next block measured, the last frames of the block passed over go in first, so the filter's
// history holds the real samples again; whatever they give stays under that same bound.
constexpr double Headroom = 4;
constexpr int64_t HistoryFrames = 64;

void TTruePeaks::Work(TWorker& W) {
    std::vector<double> Own(static_cast<size_t>(FSlotSamples));
    std::vector<double> Tail; // the last frames of the block passed over, if any
    double Largest = 0;
    for (int64_t Block = 0;; ++Block) {
        std::unique_lock<std::mutex> L(FLock);
        FChanged.wait(L, [&] { return FPosted > Block || FStop; });
        if (FPosted <= Block) return;
        const int Slot = static_cast<int>(Block % 2);
        const int64_t Frames = FFrames[Slot];
        L.unlock();
        // Its own channels out of the interleaved block.
        const double* In = FSlots[Slot].data();
        double Peak = 0;
        for (int64_t F = 0; F < Frames; ++F)
            for (int C = 0; C < W.Count; ++C) {
                const double V = In[F * FChannels + W.First + C];
                Own[static_cast<size_t>(F * W.Count + C)] = V;
                Peak = std::max(Peak, std::abs(V));
            }
        bool Ok = true;
        if (Peak * Headroom < Largest) {
            const int64_t Keep = std::min(Frames, HistoryFrames) * W.Count;
            Tail.assign(Own.begin() + (Frames * W.Count - Keep), Own.begin() + Frames * W.Count);
        } else {
            if (!Tail.empty())
                Ok = ebur128_add_frames_double(W.State, Tail.data(), Tail.size() / static_cast<size_t>(W.Count)) == EBUR128_SUCCESS;
            Tail.clear();
            Ok = Ok && ebur128_add_frames_double(W.State, Own.data(), static_cast<size_t>(Frames)) == EBUR128_SUCCESS;
            for (int C = 0; C < W.Count; ++C) {
                double T = 0;
                ebur128_true_peak(W.State, static_cast<unsigned>(C), &T);
                Largest = std::max(Largest, T);
            }
        }
        L.lock();
        FFailed |= !Ok;
        W.Done = Block + 1;
        L.unlock();
        FChanged.notify_all();
    }
}

std::vector<double> TTruePeaks::Peaks() {
    std::unique_lock<std::mutex> L(FLock);
    FChanged.wait(L, [&] { return AllDone(FPosted); });
    if (FFailed) throw vx::EvxError("out of memory");
    std::vector<double> Peaks(static_cast<size_t>(FChannels), 0.0);
    for (const TWorker& W : FWorkers)
        for (int C = 0; C < W.Count; ++C) ebur128_true_peak(W.State, static_cast<unsigned>(C), &Peaks[static_cast<size_t>(W.First + C)]);
    return Peaks;
}

} // namespace sonoloud
