#include "TruePeaks.h"

#include "vxSystem.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace sonoloud {

namespace {

// Frames of the stretches judged one by one, and the frames that fill the filter's history
// (libebur128's filter reaches 49 samples of the oversampled stream, 13 or 25 of the input).
constexpr int64_t StretchFrames = 512;
constexpr int64_t HistoryFrames = 64;

void RaiseTo(std::atomic<double>& Largest, double V) {
    double Now = Largest.load();
    while (V > Now && !Largest.compare_exchange_weak(Now, V)) {
    }
}

} // namespace

double TTruePeaks::FilterGain(int64_t Rate) {
    // An interpolating filter lifts a stream most where the samples on both sides of a point
    // have one sign and alternate outward: each tap then adds its magnitude. Measured on the
    // filter itself, so the bound follows the library; a little more for float rounding.
    ebur128_state* Probe = ebur128_init(1, static_cast<unsigned long>(Rate), EBUR128_MODE_TRUE_PEAK);
    if (Probe == nullptr) return std::numeric_limits<double>::infinity(); // nothing passed over
    double Pattern[2 * HistoryFrames];
    for (int64_t J = 0; J < HistoryFrames; ++J)
        Pattern[HistoryFrames - 1 - J] = Pattern[HistoryFrames + J] = J % 2 == 0 ? 0.25 : -0.25;
    double Peak = 0;
    if (ebur128_add_frames_double(Probe, Pattern, 2 * HistoryFrames) != EBUR128_SUCCESS ||
        ebur128_true_peak(Probe, 0, &Peak) != EBUR128_SUCCESS)
        Peak = std::numeric_limits<double>::infinity();
    ebur128_destroy(&Probe);
    return std::max(1.0, Peak / 0.25) * 1.001;
}

TTruePeaks::TTruePeaks(int Channels, int64_t Rate) : FChannels(Channels), FGain(FilterGain(Rate)) {
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
    // The slot of this block held the block Slots back: free once every worker is past it.
    FChanged.wait(L, [&] { return AllDone(FPosted - (Slots - 1)); });
    const int Slot = static_cast<int>(FPosted % Slots);
    L.unlock();
    std::memcpy(FSlots[Slot].data(), Frames, static_cast<size_t>(Count * FChannels) * sizeof(double));
    FFrames[Slot] = Count;
    L.lock();
    ++FPosted;
    L.unlock();
    FChanged.notify_all();
}

bool TTruePeaks::Feed(TWorker& W, const double* Frames, int64_t Count, bool Counted) {
    if (ebur128_add_frames_double(W.State, Frames, static_cast<size_t>(Count)) != EBUR128_SUCCESS) return false;
    for (int C = 0; Counted && C < W.Count; ++C) {
        double T = 0;
        ebur128_prev_true_peak(W.State, static_cast<unsigned>(C), &T);
        RaiseTo(FLargest, T);
    }
    return true;
}

// A stretch whose samples, times the filter's gain, stay at or under the largest peak found so
// far cannot raise it, and is passed over. The filter is exact again once it has been fed the
// frames a point depends on: so the first frames of a stretch passed over still go in after a
// measured one (what they give counts), and the last frames before a measured stretch go in
// first (what they give, from a history that is not the stream's, does not count).
void TTruePeaks::Work(TWorker& W) {
    std::vector<double> Own(static_cast<size_t>(FSlotSamples));
    std::vector<double> History; // the last frames of its channels before the next stretch
    bool Continuous = false;     // the filter has had every frame up to the next stretch
    for (int64_t Block = 0;; ++Block) {
        std::unique_lock<std::mutex> L(FLock);
        FChanged.wait(L, [&] { return FPosted > Block || FStop; });
        if (FPosted <= Block) return;
        const int Slot = static_cast<int>(Block % Slots);
        const int64_t Frames = FFrames[Slot];
        L.unlock();
        // Its own channels out of the interleaved block.
        const double* In = FSlots[Slot].data();
        for (int64_t F = 0; F < Frames; ++F)
            for (int C = 0; C < W.Count; ++C) Own[static_cast<size_t>(F * W.Count + C)] = In[F * FChannels + W.First + C];
        bool Ok = true;
        for (int64_t S = 0; S < Frames; S += StretchFrames) {
            const int64_t N = std::min(StretchFrames, Frames - S);
            const double* Stretch = Own.data() + S * W.Count;
            double Peak = 0;
            for (int64_t I = 0; I < N * W.Count; ++I) Peak = std::max(Peak, std::abs(Stretch[I]));
            if (Peak * FGain <= FLargest.load()) {
                if (Continuous) Ok = Ok && Feed(W, Stretch, std::min(N, HistoryFrames), true);
                Continuous = false;
            } else {
                if (!Continuous && !History.empty())
                    Ok = Ok && Feed(W, History.data(), static_cast<int64_t>(History.size()) / W.Count, false);
                Ok = Ok && Feed(W, Stretch, N, true);
                Continuous = true;
            }
            History.insert(History.end(), Stretch + std::max<int64_t>(0, N - HistoryFrames) * W.Count, Stretch + N * W.Count);
            const auto Keep = static_cast<size_t>(HistoryFrames * W.Count);
            if (History.size() > Keep) History.erase(History.begin(), History.end() - static_cast<std::ptrdiff_t>(Keep));
        }
        L.lock();
        FFailed |= !Ok;
        W.Done = Block + 1;
        L.unlock();
        FChanged.notify_all();
    }
}

double TTruePeaks::Peak() {
    std::unique_lock<std::mutex> L(FLock);
    FChanged.wait(L, [&] { return AllDone(FPosted); });
    if (FFailed) throw vx::EvxError("out of memory");
    return FLargest.load();
}

} // namespace sonoloud
