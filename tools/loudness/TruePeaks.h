// The true peak of a stream, measured by libebur128 on worker threads: its 4x oversampling
// filter costs three times what all the other figures cost together, so the channels are shared
// out over the processor's cores while the caller measures the rest, and stretches too quiet to
// hold a new largest peak are passed over.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ebur128.h>
#include <mutex>
#include <thread>
#include <vector>

namespace sonoloud {

class TTruePeaks {
public:
    // Raises "out of memory" when libebur128 cannot start.
    TTruePeaks(int Channels, int64_t Rate);
    // Stops and joins the workers.
    ~TTruePeaks();
    TTruePeaks(const TTruePeaks&) = delete;
    TTruePeaks& operator=(const TTruePeaks&) = delete;

    // Hands Count interleaved frames (at most MaxSamples samples, or one frame) to the workers;
    // waits only while all of its buffers are still in use.
    void Add(const double* Frames, int64_t Count);
    // The largest true peak of all channels (linear, full scale 1.0) once the workers have taken
    // everything added: the same figure as libebur128's fed every frame. Raises "out of memory"
    // when a worker could not measure.
    double Peak();

    static constexpr int64_t MaxSamples = 8192; // of one call of Add
    // The largest factor by which libebur128's filter at Rate lifts a stream's sample peak.
    static double FilterGain(int64_t Rate);

private:
    struct TWorker {
        int First = 0, Count = 0; // its channels
        ebur128_state* State = nullptr;
        int64_t Done = 0;         // blocks measured
        std::thread Thread;
    };
    void Work(TWorker& W);
    // Feeds Frames of W's channels; with Counted, what they give may raise the peak.
    bool Feed(TWorker& W, const double* Frames, int64_t Count, bool Counted);
    bool AllDone(int64_t Blocks) const;

    static constexpr int Slots = 8; // blocks the caller may be ahead of the slowest worker
    int FChannels;
    double FGain;
    int64_t FSlotSamples = MaxSamples;
    std::vector<TWorker> FWorkers;
    std::vector<double> FSlots[Slots];
    int64_t FFrames[Slots] = {};
    int64_t FPosted = 0;
    bool FStop = false, FFailed = false;
    std::atomic<double> FLargest = 0; // of every channel so far
    std::mutex FLock;
    std::condition_variable FChanged;
};

} // namespace sonoloud
