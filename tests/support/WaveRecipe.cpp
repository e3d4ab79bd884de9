#include "WaveRecipe.h"

#include <algorithm>
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

enum class TKind { Pcm8, Pcm16, Pcm24, Pcm32, Float32, Float64 };
const char* const KindNames[] = {"pcm8", "pcm16", "pcm24", "pcm32", "float32", "float64"};
int Width(TKind K) { return K == TKind::Pcm8 ? 1 : K == TKind::Pcm16 ? 2 : K == TKind::Pcm24 ? 3 : K == TKind::Float64 ? 8 : 4; }
bool IsFloat(TKind K) { return K == TKind::Float32 || K == TKind::Float64; }

struct TChunk {
    std::string Tag;
    Bytes Payload;
    std::optional<uint32_t> Size;
};

// A parsed recipe: its chunks and, for Amplified, the encoding and samples of its data.
struct TRecipe {
    std::vector<TChunk> Chunks;
    std::optional<uint32_t> Riff;
    bool Rf64 = false, Text = false;
    Bytes Tail;
    TKind Kind = TKind::Pcm16;
    std::vector<double> Samples;
    size_t Fmt = SIZE_MAX;
    size_t Cut = SIZE_MAX;
};

[[noreturn]] void Fail(const std::string& Why) { throw std::runtime_error("recipe: " + Why); }

std::vector<std::string> Words(std::string Text) {
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
    const char* First = S.data() + (Hex ? 2 : 0);
    if (std::from_chars(First, S.data() + S.size(), V, Hex ? 16 : 10).ptr != S.data() + S.size()) Fail("not a number: " + S);
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
    Bytes B;
    if (S == "-") return B;
    if (S[0] == '@') { // the bytes of a file
        std::ifstream In(S.substr(1), std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
    }
    if (S[0] == '*') {
        const size_t Colon = S.find(':');
        return Bytes(static_cast<size_t>(Int(S.substr(1, Colon - 1))), static_cast<uint8_t>(std::stoul(S.substr(Colon + 1), nullptr, 16)));
    }
    for (size_t I = 0; I + 1 < S.size(); I += 2) B.push_back(static_cast<uint8_t>(std::stoul(S.substr(I, 2), nullptr, 16)));
    return B;
}

const std::set<std::string> Keywords = {"pcm8", "pcm16", "pcm24", "pcm32", "float32", "float64", "ext", "fmt", "data",
                                        "chunk", "size", "riff", "raw", "rf64", "text", "cut"};

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

// Samples up to the next keyword, or up to the ")xN" that closes a group.
std::vector<double> Samples(const std::vector<std::string>& W, size_t& I, bool InGroup) {
    std::vector<double> S;
    while (I < W.size() && !Keywords.count(W[I])) {
        if (W[I] == "music") { // music FRAMES CHANNELS SEED LOUDNESS%
            int64_t A[4];
            for (int64_t& V : A) V = Int(W.at(++I));
            const std::vector<double> M = Music(A[0], A[1], static_cast<uint32_t>(A[2]), static_cast<double>(A[3]) / 100);
            S.insert(S.end(), M.begin(), M.end());
            ++I;
        } else if (W[I] == "(") {
            const std::vector<double> Group = Samples(W, ++I, true);
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

void Encode(Bytes& B, TKind K, double V) {
    if (K == TKind::Float32) {
        const float F = static_cast<float>(V);
        uint32_t U;
        std::memcpy(&U, &F, 4);
        PutLE(B, U, 4);
    } else if (K == TKind::Float64) {
        uint64_t U;
        std::memcpy(&U, &V, 8);
        PutLE(B, U, 8);
    } else {
        PutLE(B, static_cast<uint64_t>(static_cast<int64_t>(V) + (K == TKind::Pcm8 ? 128 : 0)), Width(K));
    }
}

Bytes FmtPayload(int64_t Tag, int64_t Channels, int64_t Rate, int64_t ByteRate, int64_t Align, int64_t Bits) {
    Bytes P;
    for (const auto& [V, N] : {std::pair{Tag, 2}, {Channels, 2}, {Rate, 4}, {ByteRate, 4}, {Align, 2}, {Bits, 2}})
        PutLE(P, static_cast<uint64_t>(V), N);
    return P;
}

TRecipe Parse(const std::string& Text) {
    const std::vector<std::string> W = Words(Text);
    TRecipe R;
    auto Arg = [&](size_t& I) -> const std::string& {
        if (I >= W.size()) Fail("missing value in: " + Text);
        return W[I++];
    };
    for (size_t I = 0; I < W.size();) {
        const std::string& Word = W[I++];
        const auto Kind = std::find(std::begin(KindNames), std::end(KindNames), Word) - std::begin(KindNames);
        if (Kind < 6) {
            R.Kind = static_cast<TKind>(Kind);
            const int64_t Channels = Int(Arg(I)), Rate = Int(Arg(I)), Align = Channels * Width(R.Kind);
            R.Fmt = R.Chunks.size();
            R.Chunks.push_back({"fmt ", FmtPayload(IsFloat(R.Kind) ? 3 : 1, Channels, Rate, Rate * Align, Align, 8 * Width(R.Kind)), {}});
        } else if (Word == "ext") {
            if (R.Fmt == SIZE_MAX) Fail("ext without fmt");
            Bytes& P = R.Chunks[R.Fmt].Payload;
            P[0] = 0xFE, P[1] = 0xFF;
            PutLE(P, 22, 2);
            PutLE(P, static_cast<uint64_t>(I < W.size() && !Keywords.count(W[I]) ? Int(W[I++]) : 8 * Width(R.Kind)), 2);
            PutLE(P, static_cast<uint64_t>(I < W.size() && !Keywords.count(W[I]) ? Int(W[I++]) : 0), 4);
            const Bytes Guid = Hex(I < W.size() && !Keywords.count(W[I]) ? W[I++]
                                   : IsFloat(R.Kind) ? "030000000000100080000" "0aa00389b71"
                                                     : "010000000000100080000" "0aa00389b71");
            P.insert(P.end(), Guid.begin(), Guid.end());
        } else if (Word == "fmt") {
            int64_t F[6];
            for (int64_t& V : F) V = Int(Arg(I));
            R.Fmt = R.Chunks.size();
            R.Chunks.push_back({"fmt ", FmtPayload(F[0], F[1], F[2], F[3], F[4], F[5]), {}});
            R.Kind = F[5] == 8 ? TKind::Pcm8 : F[5] == 24 ? TKind::Pcm24 : F[5] == 64 ? TKind::Float64
                   : F[5] == 32 ? (F[0] == 3 ? TKind::Float32 : TKind::Pcm32) : TKind::Pcm16;
            if (I < W.size() && !Keywords.count(W[I])) {
                const Bytes More = Hex(W[I++]);
                R.Chunks.back().Payload.insert(R.Chunks.back().Payload.end(), More.begin(), More.end());
            }
        } else if (Word == "data") {
            R.Samples = Samples(W, I, false);
            Bytes P;
            for (double V : R.Samples) Encode(P, R.Kind, V);
            R.Chunks.push_back({"data", P, {}});
        } else if (Word == "chunk") {
            std::string Tag = Arg(I);
            for (char& C : Tag) C = C == '.' ? ' ' : C;
            if (Tag.size() != 4) Fail("a tag of 4 characters: " + Tag);
            R.Chunks.push_back({Tag, Hex(Arg(I)), {}});
        } else if (Word == "size") {
            if (R.Chunks.empty()) Fail("size without chunk");
            R.Chunks.back().Size = static_cast<uint32_t>(Int(Arg(I)));
        } else if (Word == "riff") {
            R.Riff = static_cast<uint32_t>(Int(Arg(I)));
        } else if (Word == "raw") {
            // bytes behind the last chunk, outside its size
            const Bytes B = Hex(Arg(I));
            if (R.Chunks.empty()) Fail("raw before any chunk");
            TChunk& C = R.Chunks.back();
            if (!C.Size) C.Size = static_cast<uint32_t>(C.Payload.size());
            C.Payload.insert(C.Payload.end(), B.begin(), B.end());
        } else if (Word == "cut") {
            R.Cut = static_cast<size_t>(Int(Arg(I)));
        } else if (Word == "rf64") {
            R.Rf64 = true;
        } else if (Word == "text") {
            R.Text = true;
            for (bool First = true; I < W.size(); First = false) {
                if (!First) R.Tail.push_back(' ');
                R.Tail.insert(R.Tail.end(), W[I].begin(), W[I].end()), ++I;
            }
            R.Tail.push_back('\n');
        } else {
            Fail("unknown word " + Word);
        }
    }
    return R;
}

Bytes Render(const TRecipe& R) {
    if (R.Text) return R.Tail;
    Bytes Body{'W', 'A', 'V', 'E'};
    uint64_t DataSize = 0;
    for (const TChunk& C : R.Chunks)
        if (C.Tag == "data") DataSize = C.Payload.size();
    if (R.Rf64) {
        uint64_t Total = 4 + 36;
        for (const TChunk& C : R.Chunks) Total += 8 + C.Payload.size();
        Body.insert(Body.end(), {'d', 's', '6', '4', 28, 0, 0, 0});
        PutLE(Body, Total, 8);
        PutLE(Body, DataSize, 8);
        const uint64_t Align = R.Fmt == SIZE_MAX ? 0 : R.Chunks[R.Fmt].Payload[12] | R.Chunks[R.Fmt].Payload[13] << 8;
        PutLE(Body, Align == 0 ? 0 : DataSize / Align, 8); // frames
        PutLE(Body, 0, 4);
    }
    for (const TChunk& C : R.Chunks) {
        Body.insert(Body.end(), C.Tag.begin(), C.Tag.end());
        PutLE(Body, C.Size ? *C.Size : R.Rf64 && C.Tag == "data" ? 0xFFFFFFFFu : C.Payload.size(), 4);
        Body.insert(Body.end(), C.Payload.begin(), C.Payload.end());
    }
    Body.insert(Body.end(), R.Tail.begin(), R.Tail.end());
    Bytes File{'R', 'I', 'F', 'F'};
    if (R.Rf64) File = {'R', 'F', '6', '4'};
    PutLE(File, R.Riff ? *R.Riff : R.Rf64 ? 0xFFFFFFFFu : Body.size(), 4);
    File.insert(File.end(), Body.begin(), Body.end());
    if (File.size() > R.Cut) File.resize(R.Cut);
    return File;
}

} // namespace

void PutLE(Bytes& B, uint64_t V, int Size) {
    for (int I = 0; I < Size; ++I) B.push_back(static_cast<uint8_t>(V >> (8 * I)));
}

Bytes Build(const std::string& Recipe) { return Render(Parse(Recipe)); }

std::vector<std::pair<std::string, Bytes>> Seeds(const std::string& SeedsFile) {
    std::vector<std::pair<std::string, Bytes>> Out;
    std::ifstream In(SeedsFile);
    for (std::string Line; std::getline(In, Line);) {
        const std::vector<std::string> W = Words(Line);
        if (W.size() < 2 || W[0][0] == '#') continue;
        Bytes B;
        if (W[0] == "process") {
            B = Hex(W.at(2));
            const Bytes File = Build(Line.substr(Line.find(W[2]) + W[2].size()));
            B.insert(B.end(), File.begin(), File.end());
        } else {
            for (size_t I = 2; I < W.size(); ++I) {
                if (I > 2) B.push_back(0);
                for (size_t K = 0; K < W[I].size() && W[I] != "''"; ++K) {
                    const bool Blank = W[I].compare(K, 2, "\\s") == 0;
                    B.push_back(Blank ? ' ' : static_cast<uint8_t>(W[I][K]));
                    K += Blank;
                }
            }
        }
        Out.emplace_back(W[0] + "/seed-" + W[1], B);
    }
    return Out;
}

int64_t AmplifyInt(int64_t S, int64_t L) {
    const long double Quotient = static_cast<long double>(S) / 100.0L;
    return static_cast<int64_t>(std::llrint(Quotient * static_cast<long double>(L)));
}

Bytes Amplified(const std::string& In, const TGains& Gains) {
    TRecipe R = Parse(In);
    if (R.Fmt == SIZE_MAX) Fail("no fmt chunk in " + In);
    TChunk Fmt = R.Chunks[R.Fmt];
    Fmt.Payload.resize(Fmt.Payload.size() >= 40 && Fmt.Payload[0] == 0xFE ? 40 : 16);
    Fmt.Size.reset();
    Bytes Data;
    size_t Next = 0;
    int64_t Gain = 100;
    for (size_t I = 0; I < R.Samples.size(); ++I) {
        while (Next < Gains.size() && Gains[Next].first <= static_cast<int64_t>(I)) Gain = Gains[Next++].second;
        double S = R.Samples[I];
        if (IsFloat(R.Kind)) {
            if (R.Kind == TKind::Float32) S = static_cast<float>(S);
            S = std::isnan(S) ? 0 : std::isinf(S) ? (S < 0 ? -1 : 1) : S;
            Encode(Data, R.Kind, S / 100.0 * static_cast<double>(Gain));
        } else {
            Encode(Data, R.Kind, static_cast<double>(AmplifyInt(static_cast<int64_t>(S), Gain)));
        }
    }
    R.Chunks = {Fmt, {"data", Data, {}}};
    R.Riff.reset();
    R.Rf64 = false;
    R.Tail.clear();
    return Render(R);
}

} // namespace testwave
