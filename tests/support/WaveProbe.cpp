// The wave file object and the tool base's helpers driven from the command line, so that the
// end-to-end cases can check them as data (case directive "program probe"). Each operation
// prints one line, itself and its answer ("ok", what it read, or "error: " and the message
// raised), such as "read 4: f2ffeaff"; the wave layer's notes come as lines of their own.
//   window N                      the I/O window of the objects opened after it
//   open FILE read|modify|create|rewrite
//   walk FILE                     FILE opened for reading, every chunk walked: TAG@OFFSET+SIZE
//   pos N, read N (hex), write HEX, format TAG CHANNELS RATE BITS, flush, release
//   layout -|VALID:MASK BYTES     SetLayout without or with an extension (PCM sub-format)
//   state                         valid modified chunk-number kept-chunks riff data position
//                                 file-size committed rf64 data-to-end, as numbers
//   disk FILE, extend FILE SIZE   the length on disk; the file made SIZE long (a hole)
//   fds                           descriptors open now that were not at the start
//   roundup X                     the tool base's RoundUp
//   relative DIR PATH             the tool base's ExtractRelativePath
//   info                          the framework's default program information, fields by "|"
#include "WaveFiles.h"
#include "vxSysUtils.h"
#include "vxSystem.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char** argv) {
    std::signal(SIGXFSZ, SIG_IGN); // a write past a file-size limit fails instead
    vx::vxSystemStartup(argc, argv);
    wave::SetWaveNoteSink([](const wave::TWaveNote& Note) { vx::WriteOut(wave::NoteLine(Note)); });
    std::unique_ptr<wave::TWaveIO> W;
    auto Descriptors = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); };
    const auto Inherited = Descriptors();
    size_t Window = wave::WaveIOWindow;
    auto Num = [](const char* S) { return std::stoll(S, nullptr, 0); };
    for (int I = 1; I < argc;) {
        const int First = I;
        const std::string Op = argv[I++];
        auto Arg = [&] { return std::string(I < argc ? argv[I++] : ""); };
        auto File = [&]() -> wave::TWaveIO& { return W ? *W : throw std::runtime_error("no file open"); };
        std::string Line = "ok";
        try {
            if (Op == "window") {
                Window = static_cast<size_t>(Num(Arg().c_str()));
            } else if (Op == "open") {
                const std::string Name = Arg(), Mode = Arg();
                const auto M = Mode == "modify" ? wave::TWaveIOMode::wioModify : Mode == "create" ? wave::TWaveIOMode::wioCreate
                             : Mode == "rewrite" ? wave::TWaveIOMode::wioRewrite : wave::TWaveIOMode::wioRead;
                W.reset();
                W = std::make_unique<wave::TWaveIO>(Name, M, Window);
            } else if (Op == "walk") {
                std::vector<wave::TChunkEntry> Walked;
                W.reset();
                W = std::make_unique<wave::TWaveIO>(Arg(), wave::TWaveIOMode::wioRead, Window, &Walked);
                Line.clear();
                for (const wave::TChunkEntry& C : Walked) {
                    if (!Line.empty()) Line += ' ';
                    Line.append(C.Header.Tag.data(), 4).append(1, '@').append(std::to_string(C.Offset));
                    Line.append(1, '+').append(std::to_string(C.Header.Size));
                }
            } else if (Op == "pos") {
                File().SetPosition(Num(Arg().c_str()));
            } else if (Op == "read") {
                const auto Count = static_cast<int32_t>(Num(Arg().c_str()));
                std::vector<uint8_t> B(static_cast<size_t>(std::max(Count, 0)));
                File().ReadWaveData(B.data(), Count);
                Line.clear();
                for (uint8_t V : B) Line += "0123456789abcdef"[V >> 4], Line += "0123456789abcdef"[V & 15];
            } else if (Op == "write") {
                const std::string Hex = Arg();
                std::vector<uint8_t> B;
                for (size_t K = 0; K + 1 < Hex.size(); K += 2) B.push_back(static_cast<uint8_t>(std::stoul(Hex.substr(K, 2), nullptr, 16)));
                File().WriteWaveData(B.data(), static_cast<int32_t>(B.size()));
            } else if (Op == "format") {
                const auto Tag = Num(Arg().c_str()), Channels = Num(Arg().c_str()), Rate = Num(Arg().c_str()), Bits = Num(Arg().c_str());
                File().SetFormat({static_cast<uint16_t>(Tag), static_cast<uint16_t>(Channels), static_cast<uint32_t>(Rate), 0, 0,
                              static_cast<uint16_t>(Bits)});
            } else if (Op == "layout") {
                const std::string Ext = Arg();
                const wave::TWaveExtension Pcm{Ext != "-", static_cast<uint16_t>(Ext == "-" ? 0 : Num(Ext.c_str())),
                                               static_cast<uint32_t>(Ext == "-" ? 0 : Num(Ext.substr(Ext.find(':') + 1).c_str())),
                                               {1, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71}};
                File().SetLayout(Pcm, Num(Arg().c_str()));
            } else if (Op == "flush") {
                File().FlushWindow();
            } else if (Op == "release") {
                File().Release();
            } else if (Op == "state") {
                Line.clear();
                for (const int64_t V : {int64_t{File().Valid()}, int64_t{File().Modified()}, File().ChunkNo(), static_cast<int64_t>(File().Chunks().size()),
                                        File().RiffSize(), File().DataSize(), File().Position(), File().FileSize(), File().CommittedData(), int64_t{File().Rf64()},
                                        int64_t{File().DataToEnd()}})
                    Line += std::string(Line.empty() ? "" : " ").append(std::to_string(V));
            } else if (Op == "disk") {
                struct stat St {};
                Line = ::stat(Arg().c_str(), &St) == 0 ? std::to_string(St.st_size) : "missing";
            } else if (Op == "extend") {
                const std::string Name = Arg();
                if (::truncate(Name.c_str(), Num(Arg().c_str())) != 0) Line = "error: truncate";
            } else if (Op == "fds") {
                Line = std::to_string(Descriptors() - Inherited);
            } else if (Op == "info") { // the framework's defaults, which a program then sets
                const vx::TProgramInfo& P = vx::ProgramInfo;
                Line = P.Company + "|" + P.Package + "|" + vx::ExtractFileName(P.Name) + "|" + P.Version + "|" + P.Year + "|" +
                       P.EMail + "|" + P.Author + "|" + P.Usage + "|" + P.Description + "|" + P.Rights;
            } else if (Op == "roundup") {
                Line = std::to_string(vx::RoundUp(std::stod(Arg())));
            } else if (Op == "relative") {
                const std::string Dir = Arg();
                Line = vx::ExtractRelativePath(Dir, Arg());
            } else {
                Line = "unknown operation " + Op;
            }
        } catch (const std::exception& E) {
            Line = std::string("error: ") + E.what();
        }
        std::string Echo;
        for (int K = First; K < I && K < argc; ++K) Echo += std::string(K > First ? " " : "") + argv[K];
        // Past the C stream, so that a diagnostic line the object left unflushed would come late.
        if (Line = Echo + ": " + Line + '\n'; ::write(STDOUT_FILENO, Line.data(), Line.size()) < 0) return 1;
    }
    return 0;
}
