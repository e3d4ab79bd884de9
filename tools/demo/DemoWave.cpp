// Writes the demo recording: 20 seconds of 16-bit mono at 44.1 kHz with the passages a
// levelling tool has to deal with: speech at a normal, a quiet and a loud level, a pause that
// holds only hiss, a held vowel fading out, and soft speech at the end. The voice is a crude
// synthetic one (harmonics of a gliding pitch shaped by two formants), which is enough for a
// level chart: what matters is bursts of sound with short gaps, as in speech.
#include "WaveFiles.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <numbers>
#include <string>
#include <vector>

namespace {

constexpr uint32_t Rate = 44100;

// A fixed generator, so every build writes the same file.
class TNoise {
public:
    double Next() { // uniform in [-1, 1)
        FState ^= FState << 13;
        FState ^= FState >> 7;
        FState ^= FState << 17;
        return static_cast<double>(FState >> 11) / 4503599627370496.0 - 1.0;
    }
    double Between(double Low, double High) { return Low + (High - Low) * (Next() + 1.0) / 2.0; }

private:
    uint64_t FState = 0x5eed5eed12345678ULL;
};

double FromDb(double Db) { return std::pow(10.0, Db / 20.0); }

// Resonance weight of harmonic frequency F for a formant at Centre.
double Formant(double F, double Centre, double Width) {
    const double X = (F - Centre) / Width;
    return 1.0 / (1.0 + X * X);
}

// One syllable: a voiced sound with a smooth attack and release, its peak at Level.
std::vector<double> Syllable(TNoise& Noise, double Seconds, double Level) {
    const size_t Count = static_cast<size_t>(Seconds * Rate);
    const double Pitch = Noise.Between(110, 180);
    const double Glide = Noise.Between(-0.25, 0.2);
    const double F1 = Noise.Between(450, 800);
    const double F2 = Noise.Between(1000, 2100);
    std::vector<double> Out(Count);
    double Phase = 0;
    for (size_t I = 0; I < Count; ++I) {
        const double T = static_cast<double>(I) / static_cast<double>(Count);
        const double F0 = Pitch * (1.0 + Glide * T);
        Phase += 2 * std::numbers::pi * F0 / Rate;
        double V = 0;
        for (int K = 1; K <= 16; ++K) {
            const double F = F0 * K;
            V += (1.0 / K + Formant(F, F1, 120) + 0.6 * Formant(F, F2, 180)) * std::sin(K * Phase);
        }
        const double Attack = std::min(1.0, T * Seconds / 0.02);
        const double Release = std::min(1.0, (1.0 - T) * Seconds / 0.04);
        Out[I] = V * std::sin(Attack * std::numbers::pi / 2) * std::sin(Release * std::numbers::pi / 2);
    }
    double Peak = 0;
    for (double V : Out) Peak = std::max(Peak, std::fabs(V));
    if (Peak > 0)
        for (double& V : Out) V *= Level / Peak;
    return Out;
}

class TTrack {
public:
    void Silence(double Seconds) { FSamples.resize(FSamples.size() + static_cast<size_t>(Seconds * Rate), 0.0); }

    // Words of two to four syllables until Seconds are filled; syllable peaks vary around Db.
    void Speech(TNoise& Noise, double Seconds, double Db) {
        const size_t End = FSamples.size() + static_cast<size_t>(Seconds * Rate);
        while (FSamples.size() < End) {
            const int Syllables = 2 + static_cast<int>(Noise.Between(0, 2.99));
            for (int S = 0; S < Syllables && FSamples.size() < End; ++S) {
                std::vector<double> V = Syllable(Noise, Noise.Between(0.12, 0.22), FromDb(Db + Noise.Between(-3, 1)));
                FSamples.insert(FSamples.end(), V.begin(), V.end());
                Silence(Noise.Between(0.03, 0.06));
            }
            Silence(Noise.Between(0.2, 0.35));
        }
        FSamples.resize(End, 0.0);
    }

    // A held vowel whose level slides from FromDbFs to ToDbFs.
    void Fade(TNoise& Noise, double Seconds, double FromDbFs, double ToDbFs) {
        std::vector<double> V = Syllable(Noise, Seconds, 1.0);
        for (size_t I = 0; I < V.size(); ++I) {
            const double T = static_cast<double>(I) / static_cast<double>(V.size());
            V[I] *= FromDb(FromDbFs + (ToDbFs - FromDbFs) * T);
        }
        FSamples.insert(FSamples.end(), V.begin(), V.end());
    }

    // Room noise under everything, so pauses are not digital silence.
    void Hiss(TNoise& Noise, double Db) {
        const double Level = FromDb(Db);
        for (double& V : FSamples) V += Level * Noise.Next();
    }

    std::vector<uint8_t> Pcm16() const {
        std::vector<uint8_t> Bytes;
        Bytes.reserve(FSamples.size() * 2);
        for (double V : FSamples) {
            const long S = std::lround(std::clamp(V, -1.0, 1.0) * 32767.0);
            const uint16_t U = static_cast<uint16_t>(static_cast<int16_t>(S));
            Bytes.push_back(static_cast<uint8_t>(U));
            Bytes.push_back(static_cast<uint8_t>(U >> 8));
        }
        return Bytes;
    }

private:
    std::vector<double> FSamples;
};

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.wav\n", argc > 0 ? argv[0] : "demo-wave");
        return 2;
    }
    TNoise Noise;
    TTrack Track;
    Track.Speech(Noise, 4, -9);    // 0-4 s: a speaker at a comfortable level
    Track.Speech(Noise, 4, -28);   // 4-8 s: the same speaker far from the microphone
    Track.Silence(2);              // 8-10 s: a pause: only the room noise below
    Track.Speech(Noise, 3, -0.5);  // 10-13 s: shouting, up to full scale
    Track.Fade(Noise, 4, -3, -40); // 13-17 s: a held vowel fading out
    Track.Speech(Noise, 3, -22);   // 17-20 s: soft speech
    Track.Hiss(Noise, -52);
    const std::vector<uint8_t> Bytes = Track.Pcm16();
    try {
        wave::TWaveIO Out(argv[1], wave::TWaveIOMode::wioRewrite);
        wave::TWaveFormat Format;
        Format.Channels = 1;
        Format.SamplesPerSec = Rate;
        Format.BitsPerSample = 16;
        Out.SetFormat(Format);
        Out.WriteWaveData(Bytes.data(), static_cast<int32_t>(Bytes.size()));
        Out.Release();
    } catch (const std::exception& E) {
        std::fprintf(stderr, "%s: %s\n", argv[0], E.what());
        return 1;
    }
    return 0;
}
