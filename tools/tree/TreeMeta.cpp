// sonolift-meta: what the archive driver needs beyond the shell. It carries a source's metadata
// chunks into its levelled result, hands out the audio data for hashing, and reads and merges
// the manifest (RFC 4180 CSV). Sources are read through the project's wave file object, so they
// are walked exactly as sonolift walks them.
//
//   sonolift-meta assemble SOURCE LEVELLED OUT [TEXT]  OUT: SOURCE's chunks but fmt, data (and
//       ds64 of RF64) in their order, byte for byte, LEVELLED's fmt and data in place of
//       SOURCE's, a pad byte after each odd-sized chunk; with TEXT a bext coding history gains
//       the line "A=PCM,F=rate,W=bits[,M=mono|stereo],T=TEXT" and CR LF. Past 4 GiB: RF64.
//   sonolift-meta data FILE       the bytes of FILE's data chunk on standard output
//   sonolift-meta info FILE       "FRAMES SECONDS" of FILE's data chunk, then, when the header's
//       sizes disagree with the file, a blank and why (the manifest's note)
//   sonolift-meta list FILE       "OFFSET TAG SIZE" of every chunk walked
//       Every file is walked as sonolift walks it.
//   sonolift-meta rows CSV        the manifest's rows after its header, each field ended by a 0 byte
//   sonolift-meta merge CSV       rows read like that from standard input replace the rows of the
//       same path (the first field) in CSV, or are added; written to CSV.tmp, then renamed
#include "WaveFiles.h"
#include "WaveStream.h"
#include "vxSystem.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using vx::EvxError;
using Bytes = std::vector<uint8_t>;
using TRow = std::vector<std::string>;

// A manifest of an earlier version lacks the last columns: they read as empty.
constexpr size_t Columns = 11;
const char* const Header[Columns] = {"path",          "status",           "frames",   "seconds", "overloads", "source_sha256",
                                     "result_sha256", "sonolift_version", "switches", "time",    "note"};
// Standard output: the wave object's notes on chunks are not this program's (they go nowhere).
void Put(const void* P, size_t N) {
    for (size_t Done = 0; Done < N;) {
        const ssize_t W = ::write(STDOUT_FILENO, static_cast<const char*>(P) + Done, N - Done);
        if (W <= 0) throw EvxError("cannot write standard output");
        Done += static_cast<size_t>(W);
    }
}
void Put(const std::string& S) { Put(S.data(), S.size()); }

std::string Tag(const wave::TChunkEntry& C) { return std::string(C.Header.Tag.data(), 4); }

// A file opened as sonolift opens it, with every chunk walked.
struct TSource {
    explicit TSource(const std::string& Name) : Wave(Name, wave::TWaveIOMode::wioRead, wave::WaveIOWindow, &Walked), Stream(1 << 20) {
        if (!Stream.Open(Name, false)) throw EvxError("cannot read " + Name);
    }
    const wave::TChunkEntry* Find(const char* Name) const {
        auto It = std::find_if(Walked.begin(), Walked.end(), [&](const auto& C) { return Tag(C) == Name; });
        return It == Walked.end() ? nullptr : &*It;
    }
    // Size bytes from Offset to Sink, a window at a time; no further than the file goes.
    template <class TSink>
    void Copy(int64_t Offset, int64_t Size, TSink&& Sink) {
        Size = std::max<int64_t>(0, std::min(Size, Stream.Length() - Offset));
        Bytes B(1 << 20);
        for (int64_t Done = 0; Done < Size;) {
            const size_t N = static_cast<size_t>(std::min<int64_t>(Size - Done, static_cast<int64_t>(B.size())));
            if (!Stream.ReadAt(B.data(), N, Offset + Done)) throw EvxError("cannot read " + Wave.FileName());
            Sink(B.data(), N);
            Done += static_cast<int64_t>(N);
        }
    }
    Bytes Read(const wave::TChunkEntry& C) {
        Bytes B;
        Copy(C.Offset + 8, C.Header.Size, [&](const uint8_t* P, size_t N) { B.insert(B.end(), P, P + N); });
        return B;
    }
    std::vector<wave::TChunkEntry> Walked;
    wave::TWaveIO Wave;
    wave::TWaveStream Stream;
};

void Le(Bytes& B, uint64_t V, int Size) {
    for (int I = 0; I < Size; ++I) B.push_back(static_cast<uint8_t>(V >> (8 * I)));
}

// The chunks of OUT in order: a chunk of SOURCE (Part < 0 points into it) or LEVELLED's fmt or
// data. Chunks of a damaged source are carried only up to the first that is cut, or runs past
// the file's end.
void Assemble(const std::string& SourceName, const std::string& LevelledName, const std::string& OutName, const std::string& Text) {
    TSource Source(SourceName), Levelled(LevelledName);
    const wave::TChunkEntry* LFmt = Levelled.Find("fmt ");
    const wave::TChunkEntry* LData = Levelled.Find("data");
    if (LFmt == nullptr || LData == nullptr) throw EvxError(LevelledName + " has no fmt or data chunk");
    struct TPart {
        std::string Tag;
        const wave::TChunkEntry* From;
        TSource* In;
        Bytes Replaced; // the payload, when it is not copied as it stands
        bool UseReplaced;
    };
    std::vector<TPart> Parts;
    bool HaveFmt = false, HaveData = false;
    const int64_t End = Source.Stream.Length();
    for (const auto& C : Source.Walked) {
        if (C.Dirty || C.Offset + 8 + C.Header.Size > End) break;
        const std::string T = Tag(C);
        if (T == "fmt " || T == "data") {
            // the levelled fmt where the source's first was (or before its data), the data likewise
            if (!HaveFmt) Parts.push_back({"fmt ", LFmt, &Levelled, {}, false});
            if (T == "data" && !HaveData) Parts.push_back({"data", LData, &Levelled, {}, false});
            HaveFmt = true, HaveData |= T == "data";
            continue;
        }
        if (T == "ds64" && Source.Wave.Rf64()) continue;
        Parts.push_back({T, &C, &Source, {}, false});
        if (T == "bext" && !Text.empty() && C.Header.Size >= 602) {
            // the line goes after the history's text, before any zero bytes that pad it
            Bytes P = Source.Read(C);
            size_t At = P.size();
            while (At > 602 && P[At - 1] == 0) --At;
            const wave::TWaveFormat& F = Levelled.Wave.Format();
            const std::string Line = "A=PCM,F=" + std::to_string(F.SamplesPerSec) + ",W=" + std::to_string(F.BitsPerSample) +
                                     (F.Channels == 1 ? ",M=mono" : F.Channels == 2 ? ",M=stereo" : "") + ",T=" + Text + "\r\n";
            P.insert(P.begin() + static_cast<long>(At), Line.begin(), Line.end());
            Parts.back().Replaced = std::move(P), Parts.back().UseReplaced = true;
        }
    }
    if (!HaveFmt) Parts.push_back({"fmt ", LFmt, &Levelled, {}, false});
    if (!HaveData) Parts.push_back({"data", LData, &Levelled, {}, false});
    auto SizeOf = [](const TPart& P) { return P.UseReplaced ? static_cast<int64_t>(P.Replaced.size()) : P.From->Header.Size; };
    int64_t Riff = 4;
    for (const TPart& P : Parts) Riff += 8 + SizeOf(P) + (SizeOf(P) & 1);
    const bool Rf64 = Riff > 0xFFFFFFFF;
    Bytes Head = {'R', 'I', 'F', 'F'};
    if (Rf64) {
        Riff += 36;
        Head = {'R', 'F', '6', '4', 0xFF, 0xFF, 0xFF, 0xFF, 'W', 'A', 'V', 'E', 'd', 's', '6', '4', 28, 0, 0, 0};
        Le(Head, static_cast<uint64_t>(Riff), 8), Le(Head, static_cast<uint64_t>(LData->Header.Size), 8);
        const uint16_t Align = Levelled.Wave.Format().BlockAlign;
        Le(Head, static_cast<uint64_t>(Align == 0 ? 0 : LData->Header.Size / Align), 8), Le(Head, 0, 4);
    } else {
        Le(Head, static_cast<uint64_t>(Riff), 4), Head.insert(Head.end(), {'W', 'A', 'V', 'E'});
    }
    wave::TWaveStream Result(1 << 20);
    int64_t At = 0;
    auto Write = [&](const uint8_t* P, size_t N) {
        if (!Result.WriteAt(P, N, At)) throw EvxError("cannot write " + OutName);
        At += static_cast<int64_t>(N);
    };
    if (!Result.Open(OutName, true, true)) throw EvxError("cannot write " + OutName);
    Write(Head.data(), Head.size());
    for (const TPart& P : Parts) {
        Bytes H(P.Tag.begin(), P.Tag.end());
        Le(H, Rf64 && P.Tag == "data" ? 0xFFFFFFFF : static_cast<uint64_t>(SizeOf(P)), 4);
        Write(H.data(), H.size());
        if (P.UseReplaced)
            Write(P.Replaced.data(), P.Replaced.size());
        else
            P.In->Copy(P.From->Offset + 8, P.From->Header.Size, Write);
        if (SizeOf(P) & 1) Write(reinterpret_cast<const uint8_t*>("\0"), 1);
    }
    if (!Result.Flush() || !Result.Close()) throw EvxError("cannot write " + OutName);
}

// RFC 4180: a field is quoted when it holds a comma, a quote or a line end; quotes are doubled;
// records end in CR LF.
std::string CsvRecord(const TRow& Row) {
    std::string Line;
    for (size_t I = 0; I < Row.size(); ++I) {
        const std::string& F = Row[I];
        if (I > 0) Line += ',';
        if (F.find_first_of(",\"\r\n") == std::string::npos) {
            Line += F;
            continue;
        }
        Line += '"';
        for (char C : F) Line += C == '"' ? std::string("\"\"") : std::string(1, C);
        Line += '"';
    }
    return Line + "\r\n";
}

std::vector<TRow> ReadCsv(const std::string& Name) {
    std::ifstream In(Name, std::ios::binary);
    const std::string T((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
    std::vector<TRow> Rows;
    TRow Row(1);
    bool Quoted = false;
    for (size_t I = 0; I < T.size(); ++I) {
        const char C = T[I];
        if (Quoted) {
            if (C != '"') Row.back() += C;
            else if (I + 1 < T.size() && T[I + 1] == '"') Row.back() += '"', ++I;
            else Quoted = false;
        } else if (C == '"') {
            Quoted = true;
        } else if (C == ',') {
            Row.emplace_back();
        } else if (C == '\n' || (C == '\r' && I + 1 < T.size() && T[I + 1] == '\n')) {
            I += C == '\r';
            Rows.push_back(std::move(Row));
            Row.assign(1, "");
        } else {
            Row.back() += C;
        }
    }
    if (Row.size() > 1 || !Row[0].empty()) Rows.push_back(Row);
    if (!Rows.empty()) Rows.erase(Rows.begin()); // the header
    for (TRow& R : Rows) R.resize(Columns);
    return Rows;
}

void Merge(const std::string& Name) {
    std::map<std::string, TRow> Rows;
    for (TRow& R : ReadCsv(Name)) Rows[R[0]] = std::move(R);
    const std::string Input((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
    TRow Row;
    for (size_t Start = 0, Zero; (Zero = Input.find('\0', Start)) != std::string::npos; Start = Zero + 1) {
        Row.push_back(Input.substr(Start, Zero - Start));
        if (Row.size() == Columns) Rows[Row[0]] = std::move(Row), Row.clear();
    }
    std::string Text = CsvRecord(TRow(std::begin(Header), std::end(Header)));
    for (const auto& [Path, R] : Rows) Text += CsvRecord(R);
    const std::string Temporary = Name + ".tmp";
    std::ofstream F(Temporary, std::ios::binary | std::ios::trunc);
    F << Text;
    F.close();
    if (!F || std::rename(Temporary.c_str(), Name.c_str()) != 0) {
        std::remove(Temporary.c_str());
        throw EvxError("cannot write " + Name);
    }
}

// Why a file's header and its audio disagree, for the manifest; empty when they agree.
std::string Note(const wave::TWaveIO& W) {
    if (W.DataToEnd()) return "header sizes disagree with the file; read to its end";
    return W.Modified() ? "header sizes disagree with the file" : "";
}

} // namespace

int main(int argc, char** argv) {
    const std::string Command = argc > 1 ? argv[1] : "";
    const std::vector<std::string> Args(argv + std::min(argc, 2), argv + argc);
    try {
        if (Command == "assemble" && (Args.size() == 3 || Args.size() == 4)) {
            Assemble(Args[0], Args[1], Args[2], Args.size() == 4 ? Args[3] : "");
        } else if (Command == "data" && Args.size() == 1) {
            TSource S(Args[0]);
            if (const wave::TChunkEntry* D = S.Find("data")) S.Copy(D->Offset + 8, D->Header.Size, [](const uint8_t* P, size_t N) { Put(P, N); });
        } else if (Command == "info" && Args.size() == 1) {
            const wave::TWaveIO W(Args[0], wave::TWaveIOMode::wioRead);
            const int64_t Frames = W.Format().BlockAlign == 0 ? 0 : std::max<int64_t>(W.DataSize(), 0) / W.Format().BlockAlign;
            char Seconds[64];
            const double S = W.Format().SamplesPerSec == 0 ? 0 : static_cast<double>(Frames) / W.Format().SamplesPerSec;
            const std::string Why = Note(W);
            Put(std::to_string(Frames) + " " + std::string(Seconds, std::to_chars(Seconds, Seconds + 64, S, std::chars_format::fixed, 6).ptr) +
                (Why.empty() ? "" : " " + Why) + "\n");
        } else if (Command == "list" && Args.size() == 1) {
            for (const auto& C : TSource(Args[0]).Walked)
                Put(std::to_string(C.Offset) + " " + Tag(C) + " " + std::to_string(C.Header.Size) + "\n");
        } else if (Command == "rows" && Args.size() == 1) {
            for (const TRow& R : ReadCsv(Args[0]))
                for (const std::string& F : R) Put(F.c_str(), F.size() + 1);
        } else if (Command == "merge" && Args.size() == 1) {
            Merge(Args[0]);
        } else {
            std::fprintf(stderr, "usage: sonolift-meta assemble SOURCE LEVELLED OUT [TEXT] | data|info|list FILE |"
                                 " rows CSV | merge CSV\n");
            return 2;
        }
    } catch (const std::exception& E) {
        std::fprintf(stderr, "sonolift-meta: %s\n", E.what());
        return 1;
    }
    return 0;
}
