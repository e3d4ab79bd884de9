#include "TreeAssemble.h"

#include "RiffLayout.h"
#include "WaveStream.h"
#include "vxSystem.h"

#include <cmath>

namespace tree {

namespace {

// The fixed part of a bext chunk, before its coding history.
constexpr size_t BextFixed = 602;

std::string HistoryLine(const wave::TWaveFormat& F, const std::string& History) {
    std::string Line = "A=PCM,F=" + std::to_string(F.SamplesPerSec) + ",W=" + std::to_string(F.BitsPerSample);
    if (F.Channels == 1 || F.Channels == 2) Line += F.Channels == 1 ? ",M=mono" : ",M=stereo";
    return Line.append(",T=").append(History).append("\r\n");
}

// Where a bext chunk keeps its version and its five loudness fields.
constexpr size_t BextVersion = 346, BextLoudness = 412;

// A chunk of the result: copied from a file, or a payload made here.
struct TPart {
    const wave::TChunkEntry* From;
    TSource* In;
    TBytes Made;
    bool IsMade = false;
    int64_t Size() const { return IsMade ? static_cast<int64_t>(Made.size()) : In->PayloadSize(*From); }
};

} // namespace

void SetBextLoudness(TBytes& Bext, const sonoloud::TLoudness& L) {
    if (Bext.size() < BextFixed) return;
    wave::PutLE(&Bext[BextVersion], 2, 2);
    size_t At = BextLoudness;
    for (double V : {L.Integrated, L.Range, L.TruePeak, L.MaxMomentary, L.MaxShortTerm}) {
        const double Hundredths = std::nearbyint(V * 100);
        const bool Fits = std::isfinite(Hundredths) && Hundredths >= -32768 && Hundredths < 32767;
        wave::PutLE(&Bext[At], static_cast<uint16_t>(Fits ? static_cast<int16_t>(Hundredths) : 0x7FFF), 2);
        At += 2;
    }
}

namespace {

// The bext of the result: the result's loudness in its fields, the history line after its text.
TBytes MadeBext(TSource& Source, const wave::TChunkEntry& C, const wave::TWaveFormat& Levelled, const std::string& History,
                const sonoloud::TLoudness* Loudness) {
    TBytes P = Source.Read(C);
    if (Loudness != nullptr) SetBextLoudness(P, *Loudness);
    // the line goes after the history's text, before any zero bytes that pad it
    size_t At = P.size();
    while (At > BextFixed && P[At - 1] == 0) --At;
    const std::string Line = History.empty() ? "" : HistoryLine(Levelled, History);
    P.insert(P.begin() + static_cast<long>(At), Line.begin(), Line.end());
    return P;
}

// The chunks of the result in their order: the source's, with the levelled fmt and data in
// place of its own.
std::vector<TPart> Parts(TSource& Source, TSource& Levelled, const std::string& History, const sonoloud::TLoudness* Loudness) {
    const wave::TChunkEntry* LFmt = Levelled.Find("fmt ");
    const wave::TChunkEntry* LData = Levelled.Find("data");
    if (LFmt == nullptr || LData == nullptr) throw vx::EvxError(Levelled.Wave.FileName() + " has no fmt or data chunk");
    std::vector<TPart> Parts;
    bool HaveFmt = false, HaveData = false;
    const int64_t End = Source.Wave.FileSize();
    for (const wave::TChunkEntry& C : Source.Walked) {
        if (C.Dirty || C.Offset + 8 + C.Header.Size > End) break;
        const std::string Tag = TagOf(C);
        if (Tag == "fmt " || Tag == "data") {
            // the levelled fmt where the source's first was (or before its data), the data likewise
            if (!HaveFmt) Parts.push_back({LFmt, &Levelled, {}});
            if (Tag == "data" && !HaveData) Parts.push_back({LData, &Levelled, {}});
            HaveFmt = true, HaveData |= Tag == "data";
            continue;
        }
        if (Tag == "ds64" && Source.Wave.Rf64()) continue;
        Parts.push_back({&C, &Source, {}});
        if (Tag == "bext" && (!History.empty() || Loudness != nullptr) && C.Header.Size >= static_cast<int64_t>(BextFixed))
            Parts.back().Made = MadeBext(Source, C, Levelled.Wave.Format(), History, Loudness), Parts.back().IsMade = true;
    }
    if (!HaveFmt) Parts.push_back({LFmt, &Levelled, {}});
    if (!HaveData) Parts.push_back({LData, &Levelled, {}});
    return Parts;
}

// The file of the parts: the head (with a ds64 for RF64), then each part with its pad byte.
void Write(const std::vector<TPart>& Parts, TSource& Levelled, const std::string& OutName) {
    int64_t Riff = 4;
    for (const TPart& P : Parts) Riff += wave::ChunkSpan(P.Size());
    const bool Rf64 = wave::NeedsRf64(Riff);
    if (Rf64) Riff += wave::ChunkSpan(wave::Ds64Size);

    wave::TWaveStream Result(1 << 20);
    int64_t At = 0;
    auto Write = [&](const uint8_t* P, size_t N) {
        if (!Result.WriteAt(P, N, At)) throw vx::EvxError("cannot write " + OutName);
        At += static_cast<int64_t>(N);
    };
    auto WriteAll = [&](const auto& Bytes) { Write(Bytes.data(), Bytes.size()); };
    if (!Result.Open(OutName, true, true)) throw vx::EvxError("cannot write " + OutName);
    WriteAll(wave::FileHead(Rf64, Riff));
    if (Rf64) {
        WriteAll(wave::ChunkHead("ds64", wave::Ds64Size, false));
        WriteAll(wave::Ds64Payload(Riff, Levelled.PayloadSize(*Levelled.Find("data")), Levelled.Wave.Format().BlockAlign));
    }
    for (const TPart& P : Parts) {
        const std::string Tag = TagOf(*P.From);
        WriteAll(wave::ChunkHead(Tag.c_str(), P.Size(), Rf64 && Tag == "data"));
        if (P.IsMade)
            WriteAll(P.Made);
        else
            P.In->Copy(*P.From, Write);
        if (P.Size() & 1) Write(reinterpret_cast<const uint8_t*>("\0"), 1);
    }
    if (!Result.Flush() || !Result.Close()) throw vx::EvxError("cannot write " + OutName);
}

} // namespace

void Assemble(TSource& Source, TSource& Levelled, const std::string& OutName, const std::string& History,
              const sonoloud::TLoudness* Loudness) {
    Write(Parts(Source, Levelled, History, Loudness), Levelled, OutName);
}

} // namespace tree
