// The loudness of one stream of frames: a wrapper around libebur128 in its constant-memory
// histogram mode, which does all the K-weighting, gating, loudness range and true-peak work.
// Knows nothing of files; its input is interleaved doubles with full scale at 1.0.
#pragma once

#include "TruePeaks.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <ebur128.h>
#include <memory>
#include <vector>

namespace sonoloud {

// Channels times rate that a meter takes at most: libebur128 keeps three seconds of every
// channel, so this bounds its memory (74 MB) whatever a file's header claims.
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

// libebur128's position of each channel. With a channel mask (extensible files) channel i is
// the speaker of the i-th bit set; channels past the mask's bits count with weight 1. Without a
// mask, six channels are 5.1 in WAVE order (L R C LFE Ls Rs) and any other count is read as
// that many front channels of weight 1.
std::vector<int> ChannelMap(int Channels, uint32_t Mask);
// The weight of each channel in the loudness (BS.1770): 1.41 for the surround positions, 0 for
// the LFE channel, else 1.
std::vector<double> ChannelWeights(int Channels, uint32_t Mask);

class TLoudnessMeter {
public:
    // Raises "unsupported channels or rate" past the limits, "out of memory" when libebur128
    // cannot start.
    TLoudnessMeter(int Channels, int64_t Rate, uint32_t Mask);
    ~TLoudnessMeter();
    TLoudnessMeter(const TLoudnessMeter&) = delete;
    TLoudnessMeter& operator=(const TLoudnessMeter&) = delete;

    // Adds Count interleaved frames. Raises "out of memory".
    void Add(const double* Frames, int64_t Count);
    // The figures of everything added so far.
    TLoudness Result() const;

private:
    void Feed(const double* Frames, int64_t Count);
    void EndBlock();

    ebur128_state* FState = nullptr;
    std::unique_ptr<TTruePeaks> FPeaks;
    int FChannels;
    int64_t FRate;
    int64_t FBlockFrames; // libebur128's 100 ms
    int64_t FInBlock = 0;
    // The energies of the last 30 blocks of 100 ms, for the momentary and short-term windows.
    std::array<double, 30> FEnergy{};
    size_t FNext = 0;
    double FMaxMomentary = 0, FMaxShortTerm = 0; // energies
    int64_t FFrames = 0;
    double FMin = 0, FMax = 0;
};

} // namespace sonoloud
