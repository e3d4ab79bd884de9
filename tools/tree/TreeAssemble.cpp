#include "TreeAssemble.h"

#include "RiffLayout.h"
#include "WaveStream.h"
#include "vxSystem.h"

#include <cerrno>
#include <cmath>
#include <cstring>

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

// A chunk of the result: copied from a file, a payload made here, or the audio that a fill writes.
struct TPart {
    enum TKind { Copied, Made, Filled };
    TPart(const wave::TChunkEntry* From, TSource* In, TKind Kind = Copied, int64_t FillBytes = 0)
        : From(From), In(In), Kind(Kind), FillBytes(FillBytes) {}
    int64_t Size() const {
        return Kind == Made ? static_cast<int64_t>(Bytes.size()) : Kind == Filled ? FillBytes : In->PayloadSize(*From);
    }
    const wave::TChunkEntry* From;
    TSource* In;
    TKind Kind;
    int64_t FillBytes; // bytes a fill writes
    TBytes Bytes;      // a made payload
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

// The bext of the result: its version and loudness fields set once the audio is written, the
// history line after its text.
TBytes MadeBext(TSource& Source, const wave::TChunkEntry& C, const wave::TWaveFormat& Levelled, const std::string& History) {
    TBytes P = Source.Read(C);
    // the line goes after the history's text, before any zero bytes that pad it, on a line of
    // its own (EBU lines end in CR LF; some writers leave the last one out)
    size_t At = P.size();
    while (At > BextFixed && P[At - 1] == 0) --At;
    std::string Line = History.empty() ? "" : HistoryLine(Levelled, History);
    if (!Line.empty() && At > BextFixed && P[At - 1] != '\n') Line.insert(0, P[At - 1] == '\r' ? "\n" : "\r\n");
    P.insert(P.begin() + static_cast<long>(At), Line.begin(), Line.end());
    return P;
}

// The chunks of the result in their order: the source's, with the levelled fmt and data in
// place of its own.
std::vector<TPart> Parts(TSource& Source, TSource& Levelled, const TAssembly& How) {
    const wave::TChunkEntry* LFmt = Levelled.Find("fmt ");
    const wave::TChunkEntry* LData = Levelled.Find("data");
    if (LFmt == nullptr || LData == nullptr) throw vx::EvxError(Levelled.Wave.FileName() + " has no fmt or data chunk");
    const TPart Fmt(LFmt, &Levelled), Data(LData, &Levelled, How.Fill ? TPart::Filled : TPart::Copied, How.DataBytes);
    std::vector<TPart> Parts;
    bool HaveFmt = false, HaveData = false;
    const int64_t End = Source.Wave.FileSize();
    for (const wave::TChunkEntry& C : Source.Walked) {
        if (C.Dirty || C.Offset + 8 + C.Header.Size > End) break;
        const std::string Tag = TagOf(C);
        if (Tag == "fmt " || Tag == "data") {
            // the levelled fmt where the source's first was (or before its data), the data likewise
            if (!HaveFmt) Parts.push_back(Fmt);
            if (Tag == "data" && !HaveData) Parts.push_back(Data);
            HaveFmt = true, HaveData |= Tag == "data";
            continue;
        }
        if (Tag == "ds64" && Source.Wave.Rf64()) continue;
        Parts.emplace_back(&C, &Source);
        if (Tag == "bext" && (!How.History.empty() || How.Figures != nullptr) && C.Header.Size >= static_cast<int64_t>(BextFixed))
            Parts.back().Bytes = MadeBext(Source, C, Levelled.Wave.Format(), How.History), Parts.back().Kind = TPart::Made;
    }
    if (!HaveFmt) Parts.push_back(Fmt);
    if (!HaveData) Parts.push_back(Data);
    return Parts;
}

// A result being written, a byte after another; a failure names the file and the system's reason.
class TOut {
public:
    explicit TOut(const std::string& Name) : FName(Name), FStream(1 << 20) { Check(FStream.Open(Name, true, true)); }
    void Write(const uint8_t* P, size_t N) {
        Check(FStream.WriteAt(P, N, FAt));
        FAt += static_cast<int64_t>(N);
    }
    template <class T>
    void WriteAll(const T& Bytes) { Write(Bytes.data(), Bytes.size()); }
    // Bytes written again at At, before the end.
    void Rewrite(const TBytes& Bytes, int64_t At) { Check(FStream.Flush() && FStream.WriteDirect(Bytes.data(), Bytes.size(), At)); }
    void Close() { Check(FStream.Flush() && FStream.Close()); }
    int64_t At() const { return FAt; }

private:
    void Check(bool Done) {
        if (!Done) throw vx::EvxError("cannot write " + FName + (errno != 0 ? std::string(": ") + std::strerror(errno) : ""));
        errno = 0;
    }
    std::string FName;
    wave::TWaveStream FStream;
    int64_t FAt = 0;
};

// The data chunk's payload, handed to the figures as it goes out.
void WriteAudio(TOut& Out, const TPart& Data, const TAssembly& How) {
    const int64_t Start = Out.At();
    auto Put = [&](const uint8_t* P, size_t N) {
        Out.Write(P, N);
        if (How.Figures != nullptr) How.Figures->Add(P, N);
    };
    if (Data.Kind == TPart::Filled)
        How.Fill(Put);
    else
        Data.In->Copy(*Data.From, Put);
    // a short fill would leave sizes that disagree with the file
    if (Out.At() - Start != Data.Size()) throw vx::EvxError("the audio came out short");
}

// The file of the parts: the head (with a ds64 for RF64 and BW64), then each part with its pad
// byte; a made bext gets the audio's loudness after it. A BW64 source keeps its form, so its chna
// and axml stay in the container they were written for.
void Write(std::vector<TPart>& Parts, const wave::TWaveFormat& Format, bool Bw64, const std::string& OutName, const TAssembly& How) {
    int64_t Riff = 4, Audio = 0;
    for (const TPart& P : Parts) {
        Riff += wave::ChunkSpan(P.Size());
        if (TagOf(*P.From) == "data") Audio = P.Size();
    }
    const bool Rf64 = How.Rf64 || Bw64 || wave::NeedsRf64(Riff);
    if (Rf64) Riff += wave::ChunkSpan(wave::Ds64Size);
    TOut Out(OutName);
    Out.WriteAll(wave::FileHead(Bw64 ? "BW64" : Rf64 ? "RF64" : "RIFF", Riff));
    if (Rf64) {
        Out.WriteAll(wave::ChunkHead("ds64", wave::Ds64Size, false));
        Out.WriteAll(wave::Ds64Payload(Riff, Audio, Format.BlockAlign));
    }
    TPart* Bext = nullptr;
    int64_t BextAt = 0;
    for (TPart& P : Parts) {
        const std::string Tag = TagOf(*P.From);
        Out.WriteAll(wave::ChunkHead(Tag.c_str(), P.Size(), Rf64 && Tag == "data"));
        if (P.Kind == TPart::Made) Bext = &P, BextAt = Out.At();
        if (Tag == "data")
            WriteAudio(Out, P, How);
        else if (P.Kind == TPart::Made)
            Out.WriteAll(P.Bytes);
        else
            P.In->Copy(*P.From, [&](const uint8_t* B, size_t N) { Out.Write(B, N); });
        if (P.Size() & 1) Out.Write(reinterpret_cast<const uint8_t*>("\0"), 1);
    }
    if (Bext != nullptr && How.Figures != nullptr) {
        SetBextLoudness(Bext->Bytes, How.Figures->Loudness());
        Out.Rewrite(Bext->Bytes, BextAt);
    }
    Out.Close();
}

} // namespace

void Assemble(TSource& Source, TSource& Levelled, const std::string& OutName, const TAssembly& How) {
    std::vector<TPart> Parts = tree::Parts(Source, Levelled, How);
    Write(Parts, Levelled.Wave.Format(), Source.Wave.Bw64(), OutName, How);
}

} // namespace tree
