#include "TreeFigures.h"

#include "StaticGain.h"
#include "vxSystem.h"

#include <algorithm>
#include <cmath>

namespace tree {

std::string TDigest::Hex() {
    uint8_t Digest[SHA256_DIGEST_SIZE];
    sha256_digest(&FContext, sizeof Digest, Digest);
    std::string Hex;
    for (uint8_t B : Digest)
        Hex += "0123456789abcdef"[B >> 4], Hex += "0123456789abcdef"[B & 15];
    return Hex;
}

sonoloud::TLoudness NoLoudness() {
    sonoloud::TLoudness None;
    None.Integrated = None.Range = None.TruePeak = None.SamplePeak = None.MaxMomentary =
        None.MaxShortTerm = -HUGE_VAL;
    return None;
}

TFigures::TFigures(const wave::TWaveIO& Wave, bool WithLoudness) {
    if (!WithLoudness) return;
    try {
        FEncoding = sonoloud::MeasurableEncoding(Wave);
        const wave::TWaveFormat& F = Wave.Format();
        FMeter = std::make_unique<sonoloud::TLoudnessMeter>(
            F.Channels, F.SamplesPerSec,
            Wave.Extension().Present ? Wave.Extension().ChannelMask : 0);
        FAlign = F.BlockAlign, FChannels = F.Channels;
        FLeft = std::max<int64_t>(Wave.DataSize(), 0) / FAlign * FAlign;
    } catch (const vx::EvxError&) {
        FMeter.reset(); // samples the meter cannot take: the digest only
    }
}

TFigures::~TFigures() = default;

void TFigures::Add(const uint8_t* Bytes, size_t Count) {
    FDigest.Add(Bytes, Count);
    if (!FMeter) return;
    int64_t Use = std::min(static_cast<int64_t>(Count), FLeft);
    FLeft -= Use;
    try {
        if (!FCarry.empty()) {
            const int64_t N = std::min(Use, FAlign - static_cast<int64_t>(FCarry.size()));
            FCarry.insert(FCarry.end(), Bytes, Bytes + N);
            Bytes += N, Use -= N;
            if (static_cast<int64_t>(FCarry.size()) < FAlign) return;
            Measure(FCarry.data(), 1);
            FCarry.clear();
        }
        const int64_t Whole = Use / FAlign;
        Measure(Bytes, Whole);
        FCarry.assign(Bytes + Whole * FAlign, Bytes + Use);
    } catch (const vx::EvxError&) {
        FMeter.reset();
    }
}

void TFigures::Measure(const uint8_t* Bytes, int64_t Frames) { sonoloud::MeasureBytes(*FMeter, FEncoding, static_cast<int>(FChannels), Bytes, Frames); }

sonoloud::TLoudness TFigures::Loudness() {
    if (!FMeter || FLeft != 0) return NoLoudness();
    return FMeter->Result();
}

} // namespace tree
