#include "WaveRecipe.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>

namespace testwave {

namespace {

void PutLE(Bytes& B, uint64_t V, int Size) {
    for (int I = 0; I < Size; ++I) B.push_back(static_cast<uint8_t>(V >> (8 * I)));
}

const char* const KindNames[] = {"pcm8", "pcm16", "pcm24", "pcm32", "float32", "float64"};
const int Widths[] = {1, 2, 3, 4, 4, 8};
bool IsFloat(int Kind) { return Kind >= 4; }

struct TChunk {
    std::string Tag;
    Bytes Payload;
    std::optional<uint32_t> Size;
};

// A parsed recipe: its chunks and, for Amplified, the encoding and samples of its data.
struct TRecipe {
    std::vector<TChunk> Chunks;
    std::optional<uint32_t> Riff;
    bool Rf64 = false, Text = false, Fact = false;
    std::string Form = "RF64";
    std::optional<std::array<uint64_t, 3>> Ds64; // RIFF, data and frames as given
    Bytes Tail;
    int Kind = 1;
    std::vector<double> Samples;
    size_t Fmt = SIZE_MAX, Cut = SIZE_MAX;
};

[[noreturn]] void Fail(const std::string& Why) { throw std::runtime_error("recipe: " + Why); }

std::vector<std::string> Words(const std::string& Text) {
    std::string Spaced;
    for (char C : Text) Spaced += C == '(' ? std::string(" ( ") : C == ')' ? std::string(" )") : std::string(1, C);
    std::istringstream In(Spaced);
    std::vector<std::string> W;
    for (std::string S; In >> S;) W.push_back(S);
    return W;
}

int64_t Int(const std::string& S) {
    int64_t V = 0;
    const bool Hex = S.rfind("0x", 0) == 0;
    if (std::from_chars(S.data() + (Hex ? 2 : 0), S.data() + S.size(), V, Hex ? 16 : 10).ptr != S.data() + S.size())
        Fail("not a number: " + S);
    return V;
}

double Real(const std::string& S) {
    if (S == "nan") return std::numeric_limits<double>::quiet_NaN();
    if (S == "inf" || S == "-inf") return S[0] == '-' ? -HUGE_VAL : HUGE_VAL;
    double V = 0;
    if (std::from_chars(S.data(), S.data() + S.size(), V).ptr != S.data() + S.size()) Fail("not a sample: " + S);
    return V;
}

Bytes Hex(const std::string& S) {
    if (S == "-") return {};
    if (const size_t Plus = S.find('+'); Plus != std::string::npos) { // pieces one after another
        Bytes B = Hex(S.substr(0, Plus));
        const Bytes Rest = Hex(S.substr(Plus + 1));
        B.insert(B.end(), Rest.begin(), Rest.end());
        return B;
    }
    if (S[0] == '@') { // the bytes of a file
        std::ifstream In(S.substr(1), std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
    }
    if (S[0] == '*') return Bytes(static_cast<size_t>(Int(S.substr(1, S.find(':') - 1))), static_cast<uint8_t>(std::stoul(S.substr(S.find(':') + 1), nullptr, 16)));
    Bytes B;
    for (size_t I = 0; I + 1 < S.size(); I += 2) B.push_back(static_cast<uint8_t>(std::stoul(S.substr(I, 2), nullptr, 16)));
    return B;
}

const std::set<std::string> Keywords = {"pcm8", "pcm16", "pcm24", "pcm32", "float32", "float64", "ext", "fmt", "data",
                                        "chunk", "size", "riff", "raw", "rf64", "bw64", "ds64", "text", "cut", "fact"};

// Music-like 16-bit samples: noise under an envelope with loud and quiet stretches, a few
// full-scale bursts and -32768s, the same for every build.
std::vector<double> Music(int64_t Frames, int64_t Channels, uint32_t Seed, double Loudness) {
    std::vector<double> S;
    for (int64_t F = 0; F < Frames; ++F) {
        const double Envelope = Loudness * (0.5 + 0.5 * std::sin(static_cast<double>(F) / 3000.0)) * (F % 20000 < 4000 ? 0.004 : 1.0);
        for (int64_t C = 0; C < Channels; ++C) {
            Seed = Seed * 1664525u + 1013904223u;
            const double V = F % 9000 == 4500 ? (C == 0 ? -32768.0 : 32767.0)
                                              : (static_cast<double>(Seed >> 16) / 32768.0 - 1.0) * 32767.0 * Envelope;
            S.push_back(std::trunc(std::clamp(V, -32768.0, 32767.0)));
        }
    }
    return S;
}

// A sine of peak Dbfs in every channel, in the values of encoding Kind (integers rounded).
std::vector<double> Tone(int64_t Frames, int64_t Channels, double Hz, double Rate, double Dbfs, int Kind) {
    const double Full = IsFloat(Kind) ? 1 : std::ldexp(1.0, 8 * Widths[Kind] - 1);
    std::vector<double> S;
    for (int64_t F = 0; F < Frames; ++F) {
        const double V = Full * std::pow(10.0, Dbfs / 20) * std::sin(2 * M_PI * Hz * static_cast<double>(F) / Rate);
        S.insert(S.end(), static_cast<size_t>(Channels), IsFloat(Kind) ? V : std::clamp(std::nearbyint(V), -Full, Full - 1));
    }
    return S;
}

// Samples up to the next keyword, or up to the ")xN" that closes a group.
std::vector<double> Samples(const std::vector<std::string>& W, size_t& I, bool InGroup, int Kind) {
    std::vector<double> S;
    while (I < W.size() && !Keywords.count(W[I])) {
        if (W[I] == "music") { // music FRAMES CHANNELS SEED LOUDNESS%
            const std::vector<double> M = Music(Int(W.at(I + 1)), Int(W.at(I + 2)), static_cast<uint32_t>(Int(W.at(I + 3))),
                                                static_cast<double>(Int(W.at(I + 4))) / 100);
            S.insert(S.end(), M.begin(), M.end());
            I += 5;
        } else if (W[I] == "tone") { // tone FRAMES CHANNELS HZ RATE DBFS
            const std::vector<double> T = Tone(Int(W.at(I + 1)), Int(W.at(I + 2)), Real(W.at(I + 3)), Real(W.at(I + 4)), Real(W.at(I + 5)), Kind);
            S.insert(S.end(), T.begin(), T.end());
            I += 6;
        } else if (W[I] == "(") {
            const std::vector<double> Group = Samples(W, ++I, true, Kind);
            if (I >= W.size() || W[I].rfind(")x", 0) != 0) Fail("a group without )xN");
            for (int64_t N = Int(W[I++].substr(2)); N > 0; --N) S.insert(S.end(), Group.begin(), Group.end());
        } else if (W[I][0] == ')') {
            if (!InGroup) Fail("unexpected " + W[I]);
            return S;
        } else {
            S.push_back(Real(W[I++]));
        }
    }
    return S;
}

void Encode(Bytes& B, int Kind, double V) {
    const float F = static_cast<float>(V);
    uint32_t U32 = 0;
    uint64_t U = 0;
    if (Kind == 4) std::memcpy(&U32, &F, 4), U = U32;
    else if (Kind == 5) std::memcpy(&U, &V, 8);
    else U = static_cast<uint64_t>(static_cast<int64_t>(V) + (Kind == 0 ? 128 : 0));
    PutLE(B, U, Widths[Kind]);
}

Bytes FmtPayload(const int64_t (&F)[6]) {
    Bytes P;
    for (int I = 0; I < 6; ++I) PutLE(P, static_cast<uint64_t>(F[I]), I == 2 || I == 3 ? 4 : 2);
    return P;
}

TRecipe Parse(const std::string& Text) {
    const std::vector<std::string> W = Words(Text);
    TRecipe R;
    auto Arg = [&](size_t& I) -> const std::string& {
        if (I >= W.size()) Fail("missing value in: " + Text);
        return W[I++];
    };
    auto Optional = [&](size_t& I, const std::string& Default) { return I < W.size() && !Keywords.count(W[I]) ? W[I++] : Default; };
    for (size_t I = 0; I < W.size();) {
        const std::string& Word = W[I++];
        const auto Kind = std::find(std::begin(KindNames), std::end(KindNames), Word) - std::begin(KindNames);
        if (Kind < 6 || Word == "fmt") { // a plain fmt chunk of an encoding, or field by field
            int64_t F[6];
            if (Kind < 6) {
                const int64_t Channels = Int(Arg(I)), Rate = Int(Arg(I)), Align = Channels * Widths[Kind];
                R.Kind = static_cast<int>(Kind);
                F[0] = IsFloat(R.Kind) ? 3 : 1, F[1] = Channels, F[2] = Rate, F[3] = Rate * Align, F[4] = Align, F[5] = 8 * Widths[Kind];
            } else {
                for (int64_t& V : F) V = Int(Arg(I));
                R.Kind = F[5] == 8 ? 0 : F[5] == 24 ? 2 : F[5] == 64 ? 5 : F[5] == 32 ? (F[0] == 3 ? 4 : 3) : 1;
            }
            R.Fmt = R.Chunks.size();
            R.Chunks.push_back({"fmt ", FmtPayload(F), {}});
            const Bytes More = Kind < 6 ? Bytes() : Hex(Optional(I, "-"));
            R.Chunks.back().Payload.insert(R.Chunks.back().Payload.end(), More.begin(), More.end());
        } else if (Word == "ext") {
            if (R.Fmt == SIZE_MAX) Fail("ext without fmt");
            Bytes& P = R.Chunks[R.Fmt].Payload;
            P[0] = 0xFE, P[1] = 0xFF;
            PutLE(P, 22, 2);
            PutLE(P, static_cast<uint64_t>(Int(Optional(I, std::to_string(8 * Widths[R.Kind])))), 2);
            PutLE(P, static_cast<uint64_t>(Int(Optional(I, "0"))), 4);
            const Bytes Guid = Hex(Optional(I, IsFloat(R.Kind) ? "0300000000001000800000aa00389b71" : "0100000000001000800000aa00389b71"));
            P.insert(P.end(), Guid.begin(), Guid.end());
        } else if (Word == "data") {
            R.Samples = Samples(W, I, false, R.Kind);
            Bytes P;
            for (double V : R.Samples) Encode(P, R.Kind, V);
            R.Chunks.push_back({"data", P, {}});
        } else if (Word == "chunk") {
            std::string Tag = Arg(I);
            std::replace(Tag.begin(), Tag.end(), '.', ' ');
            if (Tag.size() != 4) Fail("a tag of 4 characters: " + Tag);
            R.Chunks.push_back({Tag, Hex(Arg(I)), {}});
        } else if (Word == "size" || Word == "raw") {
            if (R.Chunks.empty()) Fail(Word + " before any chunk");
            TChunk& C = R.Chunks.back();
            if (Word == "size") {
                C.Size = static_cast<uint32_t>(Int(Arg(I)));
                continue;
            }
            const Bytes B = Hex(Arg(I)); // bytes behind the last chunk, outside its size
            if (!C.Size) C.Size = static_cast<uint32_t>(C.Payload.size());
            C.Payload.insert(C.Payload.end(), B.begin(), B.end());
        } else if (Word == "riff") {
            R.Riff = static_cast<uint32_t>(Int(Arg(I)));
        } else if (Word == "cut") {
            R.Cut = static_cast<size_t>(Int(Arg(I)));
        } else if (Word == "rf64" || Word == "bw64") {
            R.Rf64 = true, R.Form = Word == "rf64" ? "RF64" : "BW64";
        } else if (Word == "ds64") {
            R.Ds64 = {static_cast<uint64_t>(Int(Arg(I))), static_cast<uint64_t>(Int(Arg(I))), static_cast<uint64_t>(Int(Arg(I)))};
        } else if (Word == "fact") {
            R.Fact = true;
        } else if (Word == "text") {
            const std::string Line = Arg(I) + "\n";
            R.Text = true, R.Tail.assign(Line.begin(), Line.end());
        } else {
            Fail("unknown word " + Word);
        }
    }
    return R;
}

Bytes Render(TRecipe R) {
    if (R.Text) return R.Tail;
    if (R.Fact && R.Fmt != SIZE_MAX) { // a float output's header: cbSize after a plain format, the frame count
        Bytes& Fmt = R.Chunks[R.Fmt].Payload;
        if (Fmt.size() == 16) PutLE(Fmt, 0, 2);
        const uint64_t Align = Fmt[12] | Fmt[13] << 8;
        const auto Data = std::find_if(R.Chunks.begin(), R.Chunks.end(), [](const TChunk& C) { return C.Tag == "data"; });
        const uint64_t Frames = Data == R.Chunks.end() || Align == 0 ? 0 : Data->Payload.size() / Align;
        Bytes Count;
        PutLE(Count, R.Rf64 ? 0xFFFFFFFFu : Frames, 4);
        R.Chunks.insert(R.Chunks.begin() + static_cast<long>(R.Fmt) + 1, {"fact", Count, {}});
    }
    Bytes Body{'W', 'A', 'V', 'E'};
    uint64_t DataSize = 0, Total = 4 + 36;
    for (const TChunk& C : R.Chunks) {
        if (C.Tag == "data") DataSize = C.Payload.size();
        Total += 8 + C.Payload.size();
    }
    if (R.Rf64) { // ds64: RIFF size, data size, frames, an empty table
        const Bytes& Fmt = R.Fmt == SIZE_MAX ? Bytes(14) : R.Chunks[R.Fmt].Payload;
        const uint64_t Align = Fmt[12] | Fmt[13] << 8;
        Body.insert(Body.end(), {'d', 's', '6', '4', 28, 0, 0, 0});
        const std::array<uint64_t, 3> Sizes = R.Ds64 ? *R.Ds64 : std::array<uint64_t, 3>{Total, DataSize, Align == 0 ? 0 : DataSize / Align};
        for (uint64_t V : Sizes) PutLE(Body, V, 8);
        PutLE(Body, 0, 4);
    }
    for (const TChunk& C : R.Chunks) {
        Body.insert(Body.end(), C.Tag.begin(), C.Tag.end());
        PutLE(Body, C.Size ? *C.Size : R.Rf64 && C.Tag == "data" ? 0xFFFFFFFFu : C.Payload.size(), 4);
        Body.insert(Body.end(), C.Payload.begin(), C.Payload.end());
    }
    Body.insert(Body.end(), R.Tail.begin(), R.Tail.end());
    Bytes File = R.Rf64 ? Bytes(R.Form.begin(), R.Form.end()) : Bytes{'R', 'I', 'F', 'F'};
    PutLE(File, R.Riff ? *R.Riff : R.Rf64 ? 0xFFFFFFFFu : Body.size(), 4);
    File.insert(File.end(), Body.begin(), Body.end());
    if (File.size() > R.Cut) File.resize(R.Cut);
    return File;
}

} // namespace

Bytes Build(const std::string& Recipe) { return Render(Parse(Recipe)); }

std::vector<std::pair<std::string, Bytes>> Seeds(const std::string& SeedsFile) {
    std::vector<std::pair<std::string, Bytes>> Out;
    std::ifstream In(SeedsFile);
    for (std::string Line; std::getline(In, Line);) {
        const std::vector<std::string> W = Words(Line);
        if (W.size() < 3 || (W[0] != "process" && W[0] != "loud")) continue;
        Bytes B = Hex(W[2]);
        size_t At = 0;
        for (int I = 0; I < 3; ++I) At = Line.find(W[I], At) + W[I].size();
        const Bytes File = Build(Line.substr(At));
        B.insert(B.end(), File.begin(), File.end());
        Out.emplace_back(W[0] + "/seed-" + W[1], B);
    }
    return Out;
}

int64_t AmplifyInt(int64_t S, int64_t L, int Unused) {
    const long double Product = static_cast<long double>(S) / 100.0L * static_cast<long double>(L);
    return static_cast<int64_t>(std::llrint(Product / (1 << Unused))) * (1 << Unused);
}

Bytes Amplified(const std::string& In, const TGains& Gains) {
    TRecipe R = Parse(In);
    if (R.Fmt == SIZE_MAX) Fail("no fmt chunk in " + In);
    TChunk Fmt = R.Chunks[R.Fmt];
    const bool Extensible = Fmt.Payload.size() >= 40 && Fmt.Payload[0] == 0xFE;
    Fmt.Payload.resize(Extensible ? 40 : 16);
    const int Unused = Extensible && !IsFloat(R.Kind) ? 8 * Widths[R.Kind] - (Fmt.Payload[18] | Fmt.Payload[19] << 8) : 0;
    Fmt.Size.reset();
    Bytes Data;
    int64_t Gain = 100;
    for (size_t I = 0, Next = 0; I < R.Samples.size(); ++I) {
        while (Next < Gains.size() && Gains[Next].first <= static_cast<int64_t>(I)) Gain = Gains[Next++].second;
        double S = R.Kind == 4 ? static_cast<float>(R.Samples[I]) : R.Samples[I];
        if (!IsFloat(R.Kind)) S = static_cast<double>(AmplifyInt(static_cast<int64_t>(S), Gain, Unused));
        else S = (std::isnan(S) ? 0 : std::isinf(S) ? (S < 0 ? -1 : 1) : S) / 100.0 * static_cast<double>(Gain);
        Encode(Data, R.Kind, S);
    }
    TRecipe Out;
    Out.Chunks = {Fmt, {"data", Data, {}}};
    Out.Fmt = 0, Out.Fact = IsFloat(R.Kind);
    return Render(Out);
}

} // namespace testwave
