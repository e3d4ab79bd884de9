#include "LoudnessMeter.h"

#include "vxSystem.h"

#include <algorithm>
#include <cmath>
#include <ebur128.h>

namespace sonoloud {

namespace {

constexpr double MinusInf = -HUGE_VAL;

double Decibels(double Linear) { return Linear > 0 ? 20 * std::log10(Linear) : MinusInf; }
double Lufs(double Energy) { return Energy > 0 ? -0.691 + 10 * std::log10(Energy) : MinusInf; }

// libebur128's positions of the speaker bits of a WAVE channel mask, in bit order.
constexpr int Speakers[] = {
    EBUR128_LEFT,   EBUR128_RIGHT,  EBUR128_CENTER, EBUR128_UNUSED, // FL FR FC LFE
    EBUR128_Mp110,  EBUR128_Mm110,  EBUR128_LEFT,   EBUR128_RIGHT,  // BL BR FLC FRC
    EBUR128_Mp180,  EBUR128_Mp090,  EBUR128_Mm090,  EBUR128_Tp000,  // BC SL SR TC
    EBUR128_Up030,  EBUR128_Up000,  EBUR128_Um030,                  // TFL TFC TFR
    EBUR128_Up135,  EBUR128_Up180,  EBUR128_Um135,                  // TBL TBC TBR
};

} // namespace

std::vector<int> ChannelMap(int Channels, uint32_t Mask) {
    std::vector<int> Map(static_cast<size_t>(std::max(Channels, 0)), EBUR128_CENTER);
    if (Mask == 0) {
        if (Channels == 6) Map = {EBUR128_LEFT, EBUR128_RIGHT, EBUR128_CENTER, EBUR128_UNUSED, EBUR128_Mp110, EBUR128_Mm110};
        return Map;
    }
    size_t Next = 0;
    for (size_t Bit = 0; Bit < std::size(Speakers) && Next < Map.size(); ++Bit)
        if (Mask & (uint32_t{1} << Bit)) Map[Next++] = Speakers[Bit];
    return Map;
}

std::vector<double> ChannelWeights(int Channels, uint32_t Mask) {
    std::vector<double> Weights;
    for (int P : ChannelMap(Channels, Mask)) {
        const bool Surround = P == EBUR128_Mp110 || P == EBUR128_Mm110 || P == EBUR128_Mp060 || P == EBUR128_Mm060 ||
                              P == EBUR128_Mp090 || P == EBUR128_Mm090;
        Weights.push_back(P == EBUR128_UNUSED ? 0.0 : Surround ? 1.41 : 1.0);
    }
    return Weights;
}

TLoudnessMeter::TLoudnessMeter(int Channels, int64_t Rate, uint32_t Mask)
    : FChannels(Channels), FRate(Rate), FBlockFrames((Rate + 5) / 10) {
    if (Channels < 1 || Rate < 16 || Rate > MaxChannelRate / Channels) throw vx::EvxError("unsupported channels or rate");
    FPeaks = std::make_unique<TTruePeaks>(Channels, Rate);
    const int Mode = EBUR128_MODE_HISTOGRAM | EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_SAMPLE_PEAK |
                     EBUR128_MODE_M | EBUR128_MODE_S;
    FState = ebur128_init(static_cast<unsigned>(Channels), static_cast<unsigned long>(Rate), Mode);
    if (FState == nullptr) throw vx::EvxError("out of memory");
    const std::vector<int> Map = ChannelMap(Channels, Mask);
    for (size_t C = 0; C < Map.size(); ++C) ebur128_set_channel(FState, static_cast<unsigned>(C), Map[C]);
}

TLoudnessMeter::~TLoudnessMeter() { ebur128_destroy(&FState); }

void TLoudnessMeter::Add(const double* Frames, int64_t Count) {
    for (int64_t I = 0; I < Count * FChannels; ++I) {
        FMin = std::min(FMin, Frames[I]);
        FMax = std::max(FMax, Frames[I]);
    }
    FFrames += Count;
    const int64_t Piece = std::max<int64_t>(1, TTruePeaks::MaxSamples / FChannels);
    for (int64_t Done = 0; Done < Count; Done += Piece)
        FPeaks->Add(Frames + Done * FChannels, std::min(Piece, Count - Done));
    // Fed up to each end of a 100 ms block, where the windows are taken.
    while (Count > 0) {
        const int64_t N = std::min(Count, FBlockFrames - FInBlock);
        Feed(Frames, N);
        Frames += N * FChannels;
        Count -= N;
        FInBlock += N;
        if (FInBlock == FBlockFrames) EndBlock();
    }
}

void TLoudnessMeter::Feed(const double* Frames, int64_t Count) {
    if (ebur128_add_frames_double(FState, Frames, static_cast<size_t>(Count)) != EBUR128_SUCCESS)
        throw vx::EvxError("out of memory");
}

// libebur128's short-term query sums three seconds of samples each time; summing the last 30
// energies of 100 ms gives the same windows at a thirtieth of the cost.
void TLoudnessMeter::EndBlock() {
    FInBlock = 0;
    double Block = MinusInf;
    ebur128_loudness_window(FState, 100, &Block);
    FEnergy[FNext] = std::isfinite(Block) ? std::pow(10.0, (Block + 0.691) / 10) : 0;
    FNext = (FNext + 1) % FEnergy.size();
    double Short = 0, Momentary = 0;
    for (size_t I = 0; I < FEnergy.size(); ++I) {
        Short += FEnergy[I];
        if ((FNext + FEnergy.size() - I - 1) % FEnergy.size() < 4) Momentary += FEnergy[I];
    }
    FMaxMomentary = std::max(FMaxMomentary, Momentary / 4);
    FMaxShortTerm = std::max(FMaxShortTerm, Short / static_cast<double>(FEnergy.size()));
}

TLoudness TLoudnessMeter::Result() const {
    TLoudness L;
    L.Frames = FFrames;
    L.MinSample = FMin, L.MaxSample = FMax;
    ebur128_loudness_global(FState, &L.Integrated);
    L.Range = MinusInf;
    if (FFrames >= 3 * FRate) ebur128_loudness_range(FState, &L.Range);
    double True = FPeaks->Peak(), Sample = 0;
    for (int C = 0; C < FChannels; ++C) {
        double S = 0;
        ebur128_sample_peak(FState, static_cast<unsigned>(C), &S);
        True = std::max(True, S), Sample = std::max(Sample, S);
    }
    L.TruePeak = Decibels(True), L.SamplePeak = Decibels(Sample);
    L.MaxMomentary = Lufs(FMaxMomentary), L.MaxShortTerm = Lufs(FMaxShortTerm);
    if (!std::isfinite(L.Integrated)) L.Integrated = MinusInf;
    return L;
}

} // namespace sonoloud
