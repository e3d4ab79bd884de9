// The true peaks of a stream's channels, measured by libebur128 on worker threads: its 4x
// oversampling filter costs three times what all the other figures cost together, so its
// channels are shared out over the processor's cores while the caller measures the rest.
#pragma once

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
    // waits only while both of its two buffers are still in use.
    void Add(const double* Frames, int64_t Count);
    // The true peak of every channel (linear, full scale 1.0) once the workers have taken
    // everything added. Raises "out of memory" when a worker could not measure.
    std::vector<double> Peaks();

    static constexpr int64_t MaxSamples = 16384; // of one call of Add

private:
    struct TWorker {
        int First = 0, Count = 0; // its channels
        ebur128_state* State = nullptr;
        int64_t Done = 0;         // blocks measured
        std::thread Thread;
    };
    void Work(TWorker& W);
    bool AllDone(int64_t Blocks) const;

    int FChannels;
    int64_t FSlotSamples = MaxSamples;
    std::vector<TWorker> FWorkers;
    std::vector<double> FSlots[2];
    int64_t FFrames[2] = {0, 0};
    int64_t FPosted = 0;
    bool FStop = false, FFailed = false;
    std::mutex FLock;
    std::condition_variable FChanged;
};

} // namespace sonoloud
