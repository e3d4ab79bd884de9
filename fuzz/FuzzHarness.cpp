#include "FuzzHarness.h"

#include "SonoliftApp.h"
#include "WaveFiles.h"
#include "vxSysUtils.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <memory>
#include <unistd.h>
#include <vector>

namespace sonofuzz {

namespace {

using Bytes = std::vector<uint8_t>;

std::vector<std::string> Listing(const std::string& Dir) {
    std::vector<std::string> Names;
    if (DIR* D = ::opendir(Dir.c_str())) {
        while (dirent* E = ::readdir(D))
            if (std::strcmp(E->d_name, ".") != 0 && std::strcmp(E->d_name, "..") != 0) Names.emplace_back(E->d_name);
        ::closedir(D);
    }
    std::sort(Names.begin(), Names.end());
    return Names;
}

// Open descriptors of the process, not counting the listing's own.
size_t OpenDescriptors() { return Listing("/proc/self/fd").size() - 1; }

// Runs in a scratch folder of this process for its lifetime and leaves it empty behind.
class InScratch {
public:
    InScratch() {
        static const std::string Dir = [] {
            const char* Base = std::getenv("TMPDIR");
            std::string T = std::string(Base && *Base ? Base : "/tmp") + "/sonolift-fuzz-XXXXXX";
            if (::mkdtemp(T.data()) == nullptr) std::abort();
            return T;
        }();
        FHome = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (FHome < 0 || ::chdir(Dir.c_str()) != 0) std::abort();
    }
    ~InScratch() {
        for (const std::string& Name : Listing(".")) ::unlink(Name.c_str());
        if (::fchdir(FHome) != 0) std::abort();
        ::close(FHome);
    }

private:
    int FHome;
};

// Takes the place of stdout or stderr and keeps what is written, up to a limit.
class Capture {
public:
    explicit Capture(FILE*& Stream) : FStream(Stream), FSaved(Stream) {
        std::fflush(FSaved);
        cookie_io_functions_t Io{};
        Io.write = [](void* Self, const char* Buf, size_t N) -> ssize_t {
            auto* C = static_cast<Capture*>(Self);
            C->FTruncated |= C->FText.size() + N > (8u << 20);
            if (!C->FTruncated) C->FText.append(Buf, N);
            return static_cast<ssize_t>(N);
        };
        FStream = ::fopencookie(this, "w", Io);
        if (FStream == nullptr) std::abort();
    }
    ~Capture() { Finish(); }
    // Puts the real stream back; the text is complete from here on.
    void Finish() {
        if (FStream == FSaved) return;
        std::fclose(FStream);
        FStream = FSaved;
    }
    std::string FText;
    bool FTruncated = false;

private:
    FILE*& FStream;
    FILE* FSaved;
};

Bytes ReadAll(const char* Path) {
    std::ifstream In(Path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
}

// The amplifier's settings drawn from the leading bytes; a 0 byte keeps the default. Every
// value lies in the range its switch accepts. The minimum gain stays small: each overload
// costs (gain - minimum) / step lines of output, a cost the switches allow but a fuzzer
// cannot afford per input.
void ApplySettings(sonolift::TSonoliftApp& App, const uint8_t* B) {
    static const double Rates[] = {0, 1e-9, 1e-4, 0.0005, 0.001, 0.002, 0.005, 0.02,
                                   0.05, 0.1, 0.5, 1, 60, 3600, 1e6, 2147483647.0};
    static const int64_t BigSteps[] = {1000, 65536, 16777216, 1073741824, 2147483647, 100, 7};
    auto Step = [](uint8_t V, int64_t Default) -> int64_t { return V == 0 ? Default : V < 249 ? V : BigSteps[V - 249]; };
    if (B[0] != 0) App.SetAmpRate(std::min(2147483647.0, Rates[B[0] & 15] * (1 + (B[0] >> 4))));
    App.SetAmpStepUp(Step(B[1], 5));
    App.SetAmpStepDn(Step(B[2], 1));
    if (B[3] != 0 || B[4] != 0 || B[5] != 0) {
        double P[3] = {B[3] * 100.0 / 255, B[4] * 100.0 / 255, B[5] * 100.0 / 255};
        std::sort(P, P + 3);
        App.SetAmpLow(P[0]), App.SetAmpHigh(P[1]), App.SetAmpPeak(P[2]);
    }
    static const int64_t Maxes[] = {100000, 100, 101, 200, 500, 1000, 5000, 2};
    const int64_t Min = B[6] < 128 ? 0 : B[6] - 127, Max = B[7] == 0 ? 10000 : Maxes[B[7] & 7] * (1 + (B[7] >> 3));
    App.SetVolMin(Min);
    App.SetVolMax(std::clamp<int64_t>(Max, Min + 1, 100000));
}

bool Take(const std::string& Text, size_t& Pos, const std::string& Prefix) {
    if (Text.compare(Pos, Prefix.size(), Prefix) != 0) return false;
    Pos += Prefix.size();
    return true;
}

// A line of the form PREFIX WORD WORD WORD with no blank inside the words.
bool TakeOverload(const std::string& Text, size_t& Pos) {
    const size_t End = Text.find('\n', Pos);
    if (End == std::string::npos || Text.compare(Pos, 9, "Overload ") != 0) return false;
    const std::string Line = Text.substr(Pos + 9, End - Pos - 9);
    if (std::count(Line.begin(), Line.end(), ' ') != 2 || Line.find("  ") != std::string::npos) return false;
    Pos = End + 1;
    return true;
}

// Standard output of one file: chunk-walk diagnostics (whose tags may hold any byte but 0),
// the name line, overload lines, and the failure line exactly when the file failed.
std::string CheckReport(const std::string& Text, int Result, bool Corrupt, bool Opened) {
    size_t Pos = 0;
    for (bool More = true; More;) {
        More = false;
        size_t P = Pos;
        if (!Take(Text, P, "error: chunk #")) break;
        while (P < Text.size() && Text[P] >= '0' && Text[P] <= '9') ++P;
        if (!Take(Text, P, " \"")) return "a damaged diagnostic line";
        for (size_t Tag = 0; Tag <= 4 && !More; ++Tag)
            for (const char* End : {"\" to many format blocks\n", "\" to many data blocks\n", "\" has unknown blocks\n"})
                if (size_t Q = P + Tag; !More && Text.find('\0', P) >= Q && Take(Text, Q, End)) Pos = Q, More = true;
        if (!More) return "a damaged diagnostic line";
    }
    const std::string Failure = "FileName: in.wav is not a wave file.\n";
    const bool Named = Take(Text, Pos, "in.wav");
    if (Named && Take(Text, Pos, " -- Corrupt") != Corrupt) return "\" -- Corrupt\" does not match the header";
    if (Named && !Take(Text, Pos, "\n")) return "name line not ended";
    if (Named != Opened) return "a name line for a file that does not open, or none for one that does";
    while (TakeOverload(Text, Pos)) {
    }
    const bool Failed = Take(Text, Pos, Failure);
    if (Pos != Text.size()) return "unexpected text at byte " + std::to_string(Pos);
    return Failed == (Result == -1) ? "" : "the failure line does not match the result";
}

// A finished output: consistent sizes, the input's format with its frame size recomputed, and
// every whole frame of the input.
std::string CheckOutput(const wave::TWaveIO& In) {
    Capture Quiet(stdout);
    try {
        wave::TWaveIO Out("waveout-0-lift.wav", wave::TWaveIOMode::wioRead);
        const wave::TWaveFormat& F = In.Format();
        wave::TWaveFormat Expected = F;
        Expected.BlockAlign = static_cast<uint16_t>(vx::RoundUp(F.Channels * F.BitsPerSample / 8.0));
        Expected.AvgBytesPerSec = Expected.BlockAlign * F.SamplesPerSec;
        if (Out.Modified() || !Out.Valid()) return "output sizes disagree with its length";
        if (!(Out.Format() == Expected) || !(Out.Extension() == In.Extension())) return "output format is not the input's";
        if (Out.DataSize() != In.DataSize() / F.BlockAlign * Expected.BlockAlign) return "output does not hold every frame";
    } catch (const std::exception& E) {
        return std::string("output does not open: ") + E.what();
    }
    return "";
}

// The real application with the per-file step replaced: the command line decides everything
// up to the file loop, and no file is touched.
class NoFilesApp : public sonolift::TSonoliftApp {
public:
    int ProcessFile(const std::string& Path) override {
        EmptyPath |= Path.empty();
        return 0;
    }
    bool EmptyPath = false;
};

struct ExitRequest {
    int Code;
};

} // namespace

std::string ProcessFileOnce(const uint8_t* Data, size_t Size) {
    uint8_t Settings[SettingBytes] = {};
    const size_t Skip = std::min(Size, SettingBytes);
    std::copy(Data, Data + Skip, Settings);
    const Bytes File(Data + Skip, Data + Size);

    InScratch Here;
    std::ofstream("in.wav", std::ios::binary).write(reinterpret_cast<const char*>(File.data()), static_cast<std::streamsize>(File.size()));
    const size_t Before = OpenDescriptors();
    int Result = 0;
    Capture Out(stdout);
    try {
        sonolift::TSonoliftApp App;
        ApplySettings(App, Settings);
        Result = App.ProcessFile("in.wav");
    } catch (...) {
        return "a failure escaped ProcessFile";
    }
    Out.Finish();
    if (OpenDescriptors() != Before) return "descriptor leak";
    if (Result != 0 && Result != -1) return "status " + std::to_string(Result);
    if (ReadAll("in.wav") != File) return "the input changed";
    const std::vector<std::string> Names = Listing(".");
    if (Names.size() > 2 || (Names.size() == 2 && Names[1] != "waveout-0-lift.wav")) return "a stray file";
    if (Result == 0 && Names.size() != 2) return "no output for a file that succeeded";

    // The input as the wave object sees it, for the expectations.
    Capture Quiet(stdout);
    std::unique_ptr<wave::TWaveIO> In;
    try {
        In = std::make_unique<wave::TWaveIO>("in.wav", wave::TWaveIOMode::wioRead);
    } catch (...) {
    }
    Quiet.Finish();
    if (!Out.FTruncated) {
        const std::string Problem = CheckReport(Out.FText, Result, In && In->Modified(), In != nullptr);
        if (!Problem.empty()) return Problem;
    }
    if (Result == 0) return CheckOutput(*In);
    // An abandoned output keeps its creation header; only sample bytes follow it.
    static const Bytes Head = {'R', 'I', 'F', 'F', 36, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0, 1, 0,
                               2, 0, 0x44, 0xAC, 0, 0, 0x10, 0xB1, 2, 0, 4, 0, 16, 0, 'd', 'a', 't', 'a', 0, 0, 0, 0};
    const Bytes Output = Names.size() == 2 ? ReadAll("waveout-0-lift.wav") : Head;
    return Output.size() >= Head.size() && std::equal(Head.begin(), Head.end(), Output.begin()) ? "" : "abandoned output lost its creation header";
}

std::string CommandLineOnce(const uint8_t* Data, size_t Size) {
    std::vector<std::string> Words;
    for (size_t I = 0; I < Size; ++I) {
        if (I == 0 || Data[I - 1] == 0) Words.emplace_back();
        if (Data[I] != 0) Words.back().push_back(static_cast<char>(Data[I]));
    }
    if (Size > 0 && Data[Size - 1] == 0) Words.emplace_back();
    std::vector<const char*> Argv;
    for (const std::string& W : Words) Argv.push_back(W.c_str());
    Argv.push_back(nullptr);

    InScratch Here;
    const size_t Before = OpenDescriptors();
    std::string Problem;
    int Code = -1;
    bool EmptyPath = false;
    Capture Out(stdout), Err(stderr);
    vx::SetExitHandler([](int C) { throw ExitRequest{C}; });
    try {
        vx::vxSystemStartup(static_cast<int>(Words.size()), Argv.data());
        vx::TonebenchStartup();
        vx::ProgramInfo.Name = "sonolift";
        vx::ProgramInfo.Usage = "[file...]";
        vx::ProgramInfo.Description = "wave file dynamic amplification utility.";
        vx::ProgramInfo.Version = "0.1.0";
        NoFilesApp App;
        App.Initialize();
        try {
            App.Run();
        } catch (...) {
            EmptyPath = App.EmptyPath;
            throw;
        }
        EmptyPath = App.EmptyPath;
    } catch (const ExitRequest& E) {
        Code = E.Code;
    } catch (...) {
        Problem = "a failure escaped the run";
    }
    vx::SetExitHandler(nullptr);
    Out.Finish(), Err.Finish();
    if (OpenDescriptors() != Before) return "descriptor leak";
    if (!Problem.empty()) return Problem;
    if (EmptyPath) return "an empty path reached ProcessFile";
    if (!Listing(".").empty()) return "the command line created a file";
    if (Code == -1) return Err.FText.empty() && Out.FText.empty() ? "" : "output from a run without files";
    if (Code == 0) return Err.FText.empty() && !Out.FText.empty() ? "" : "exit 0 without help or version text";
    if (Code != 1) return "exit status " + std::to_string(Code);
    const std::string Hint = "Try `" + vx::ExtractFileName(vx::ExePath()) + " --help' for more information.\n";
    const std::string& E = Err.FText;
    if (!Out.FText.empty() || E.size() < Hint.size() || E.compare(E.size() - Hint.size(), Hint.size(), Hint) != 0)
        return "exit 1 without the usage error lines";
    return "";
}

void AbortOnFinding(const std::string& Problem) {
    if (Problem.empty()) return;
    std::fprintf(stderr, "sonolift finding: %s\n", Problem.c_str());
    std::abort();
}

} // namespace sonofuzz
