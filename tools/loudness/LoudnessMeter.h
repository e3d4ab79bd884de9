// The loudness of one stream of frames (ITU-R BS.1770, EBU R 128), every figure libebur128's in
// constant memory: each channel K-weighted, its true peak from the shared oversampler (stretches
// that cannot hold a new largest peak passed over) and its sample peak, the channels measured in
// pairs side by side and the pairs shared out over worker threads where there is more than one
// processor; the 100 ms blocks' energies
// gated as libebur128 gates them. Knows nothing of files; its input is interleaved doubles
// with full scale at 1.0.
#pragma once

#include "Gating.h"
#include "KWeighting.h"
#include "Oversampler.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace sonoloud {

// Channels times rate that a meter takes at most (16 channels at 192 kHz), which bounds its
// memory whatever a file's header claims.
inline constexpr int64_t MaxChannelRate = 3072000;

// What a stream measured. Every level is in dB; -infinity where the stream does not give one
// (shorter than a 400 ms block, gated out, silent; a range needs three seconds).
struct TLoudness {
    int64_t Frames = 0;
    double Integrated = 0;   // LUFS
    double Range = 0;        // LU
    double TruePeak = 0;     // dBTP, 4x oversampled below 96 kHz
    double SamplePeak = 0;   // dBFS
    double MaxMomentary = 0; // LUFS, 400 ms windows every 100 ms
    double MaxShortTerm = 0; // LUFS, 3 s windows every 100 ms
    double MinSample = 0, MaxSample = 0; // the signed extremes, full scale 1.0
};

// The weight of each channel in the loudness (BS.1770): 1.41 for the surround positions, 0 for
// the LFE channel, else 1. With a channel mask (extensible files) channel i is the speaker of
// the i-th bit set; channels past the mask's bits weigh 1. Without a mask, six channels are 5.1
// in WAVE order (L R C LFE Ls Rs) and any other count is that many channels of weight 1.
std::vector<double> ChannelWeights(int Channels, uint32_t Mask);

class TLoudnessMeter {
public:
    // Raises "unsupported channels or rate" past the limits.
    TLoudnessMeter(int Channels, int64_t Rate, uint32_t Mask);
    // Stops and joins the workers.
    ~TLoudnessMeter();
    TLoudnessMeter(const TLoudnessMeter&) = delete;
    TLoudnessMeter& operator=(const TLoudnessMeter&) = delete;

    // Adds Count interleaved frames.
    void Add(const double* Frames, int64_t Count);
    // Room for Count more frames, Count lowered where the chunk being filled ends sooner: the
    // caller writes them there and commits them, as Add would take them without the copy.
    double* Room(int64_t& Count);
    void Commit(int64_t Count);
    // The figures of everything added so far.
    TLoudness Result();

private:
    static constexpr int Slots = 2; // chunks the caller may fill while the workers measure
    struct TChannel;
    struct TSlot {
        std::vector<double> Frames;
        int64_t First = 0, Count = 0; // its frames in the stream
    };
    void Post();
    void Settle(int64_t Chunks);
    void Work(size_t Me, int First, int Last);
    void Measure(int First, int Last, const TSlot& S, int Slot);
    void Extremes(TChannel& C, const double* X, int64_t Count) const;
    void Extremes(TChannel& C, TChannel& D, const double* X, int64_t Count) const;
    void Weigh(TChannel& C, TChannel* D, const double* X, const TSlot& S, int Slot) const;
    void TruePeak(TChannel& C, int64_t Count) const;
    void Gather(int64_t Chunk);

    int FChannels;
    int64_t FRate, FBlock; // frames of a 100 ms block, rounded
    TOversampler FOver;
    std::vector<std::unique_ptr<TChannel>> FChannel;
    TSlot FSlot[Slots];
    int64_t FChunkFrames, FPosted = 0, FGathered = 0, FFrames = 0;
    TGating FGating;
    // The workers: each measures its channels of every chunk posted.
    std::vector<std::thread> FWorkers;
    std::vector<int64_t> FDone; // chunks each worker has measured
    bool FStop = false;
    std::mutex FLock;
    std::condition_variable FChanged;
};

} // namespace sonoloud
