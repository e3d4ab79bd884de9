#include "FuzzHarness.h"

#include "SonoliftApp.h"
#include "TonebenchApp.h"
#include "WaveFiles.h"
#include "vxSystem.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace sonofuzz {

namespace {

using Bytes = std::vector<uint8_t>;

const char* const InName = "in.wav";
const char* const OutFile = "waveout-0-lift.wav";

// The scratch folder of this process, made on first use and removed at exit.
struct Scratch {
    std::string Dir;
    int Home = -1; // the working directory to return to

    Scratch() {
        const char* Base = std::getenv("TMPDIR");
        std::string Template = std::string(Base && *Base ? Base : "/tmp") + "/sonolift-fuzz-XXXXXX";
        std::vector<char> Buf(Template.begin(), Template.end());
        Buf.push_back('\0');
        if (::mkdtemp(Buf.data()) == nullptr) std::abort();
        Dir = Buf.data();
        Home = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (Home < 0) std::abort();
    }
    ~Scratch() { ::rmdir(Dir.c_str()); }
    static Scratch& Get() {
        static Scratch S;
        return S;
    }
};

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

// Runs inside the scratch folder for its lifetime and leaves it empty behind.
class InScratch {
public:
    InScratch() : FDir(Scratch::Get().Dir) {
        if (::chdir(FDir.c_str()) != 0) std::abort();
    }
    ~InScratch() {
        for (const std::string& Name : Listing(FDir)) {
            const std::string Path = FDir + "/" + Name;
            if (::unlink(Path.c_str()) != 0) ::rmdir(Path.c_str());
        }
        if (::fchdir(Scratch::Get().Home) != 0) std::abort();
    }

private:
    std::string FDir;
};

// Takes the place of stdout or stderr and keeps what is written, up to a limit.
class Capture {
public:
    explicit Capture(FILE*& Stream) : FStream(Stream), FSaved(Stream) {
        std::fflush(FSaved);
        cookie_io_functions_t Io{};
        Io.write = [](void* Self, const char* Buf, size_t N) -> ssize_t {
            auto* C = static_cast<Capture*>(Self);
            const size_t Room = Limit - std::min(Limit, C->FText.size());
            C->FText.append(Buf, std::min(N, Room));
            if (N > Room) C->FTruncated = true;
            return static_cast<ssize_t>(N);
        };
        FMine = ::fopencookie(this, "w", Io);
        if (FMine == nullptr) std::abort();
        FStream = FMine;
    }
    ~Capture() { Finish(); }
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    // Puts the real stream back; the text is complete from here on.
    void Finish() {
        if (FMine == nullptr) return;
        std::fclose(FMine);
        FMine = nullptr;
        FStream = FSaved;
    }
    const std::string& Text() const { return FText; }
    bool Truncated() const { return FTruncated; }

private:
    static constexpr size_t Limit = 8u << 20;
    FILE*& FStream;
    FILE* FSaved;
    FILE* FMine = nullptr;
    std::string FText;
    bool FTruncated = false;
};

void WriteAll(const std::string& Path, const Bytes& Content) {
    int Fd = ::open(Path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (Fd < 0) std::abort();
    size_t Done = 0;
    while (Done < Content.size()) {
        ssize_t N = ::write(Fd, Content.data() + Done, Content.size() - Done);
        if (N <= 0) std::abort();
        Done += static_cast<size_t>(N);
    }
    ::close(Fd);
}

bool ReadAll(const std::string& Path, Bytes& Content) {
    Content.clear();
    int Fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC);
    if (Fd < 0) return false;
    uint8_t Buf[65536];
    ssize_t N;
    while ((N = ::read(Fd, Buf, sizeof Buf)) > 0) Content.insert(Content.end(), Buf, Buf + N);
    ::close(Fd);
    return N == 0;
}

uint32_t Get32(const Bytes& B, size_t At) {
    return static_cast<uint32_t>(B[At]) | static_cast<uint32_t>(B[At + 1]) << 8 |
           static_cast<uint32_t>(B[At + 2]) << 16 | static_cast<uint32_t>(B[At + 3]) << 24;
}
uint16_t Get16(const Bytes& B, size_t At) { return static_cast<uint16_t>(B[At] | B[At + 1] << 8); }

// The amplifier's settings drawn from the leading bytes; a 0 byte keeps the default. Every
// value lies in the range its switch accepts. The minimum gain stays small: each overload
// costs (gain - minimum) / step lines of output, a cost the switches allow but a fuzzer
// cannot afford per input.
void ApplySettings(sonolift::TSonoliftApp& App, const uint8_t* B) {
    static const double Rates[] = {0, 1e-9, 1e-4, 0.0005, 0.001, 0.002, 0.005, 0.02,
                                   0.05, 0.1, 0.5, 1, 60, 3600, 1e6, 2147483647.0};
    static const int64_t BigSteps[] = {1000, 65536, 16777216, 1073741824, 2147483647, 100, 7};
    auto Step = [](uint8_t V, int64_t Default) -> int64_t {
        if (V == 0) return Default;
        if (V < 249) return V;
        return BigSteps[V - 249];
    };
    if (B[0] != 0) App.SetAmpRate(std::min(2147483647.0, Rates[B[0] & 15] * (1 + (B[0] >> 4))));
    App.SetAmpStepUp(Step(B[1], 5));
    App.SetAmpStepDn(Step(B[2], 1));
    if (B[3] != 0 || B[4] != 0 || B[5] != 0) {
        double P[3] = {B[3] * 100.0 / 255, B[4] * 100.0 / 255, B[5] * 100.0 / 255};
        std::sort(P, P + 3);
        App.SetAmpLow(P[0]);
        App.SetAmpHigh(P[1]);
        App.SetAmpPeak(P[2]);
    }
    const int64_t Min = B[6] < 128 ? 0 : B[6] - 127;
    static const int64_t Maxes[] = {100000, 100, 101, 200, 500, 1000, 5000, 2};
    const int64_t Max = B[7] == 0 ? 10000 : Maxes[B[7] & 7] * (1 + (B[7] >> 3));
    App.SetVolMin(Min);
    App.SetVolMax(std::clamp<int64_t>(Max, Min + 1, 100000));
}

// Consumes Prefix at Pos of Text.
bool Take(const std::string& Text, size_t& Pos, const std::string& Prefix) {
    if (Text.compare(Pos, Prefix.size(), Prefix) != 0) return false;
    Pos += Prefix.size();
    return true;
}

bool TakeInteger(const std::string& Text, size_t& Pos) {
    size_t P = Pos;
    if (P < Text.size() && Text[P] == '-') ++P;
    const size_t Digits = P;
    while (P < Text.size() && Text[P] >= '0' && Text[P] <= '9') ++P;
    if (P == Digits) return false;
    Pos = P;
    return true;
}

// A chunk-walk diagnostic: the tag may hold any bytes but 0, quotes and line ends included.
bool TakeDiagnostic(const std::string& Text, size_t& Pos) {
    size_t P = Pos;
    if (!Take(Text, P, "error: chunk #") || !TakeInteger(Text, P) || !Take(Text, P, " \"")) return false;
    static const char* const Endings[] = {"\" to many format blocks\n", "\" to many data blocks\n",
                                          "\" has unknown blocks\n"};
    for (size_t TagLen = 0; TagLen <= 4 && P + TagLen <= Text.size(); ++TagLen) {
        if (Text.find('\0', P) < P + TagLen) break;
        for (const char* Ending : Endings) {
            size_t Q = P + TagLen;
            if (Take(Text, Q, Ending)) {
                Pos = Q;
                return true;
            }
        }
    }
    return false;
}

// Standard output of one file: diagnostics, the name line, overload lines, then the failure
// line exactly when the file failed; nothing else.
std::string CheckReport(const std::string& Text, int Result, bool Corrupt, bool KnowCorrupt) {
    size_t Pos = 0;
    while (TakeDiagnostic(Text, Pos)) {
    }
    const std::string Failure = std::string("FileName: ") + InName + " is not a wave file.\n";
    if (Text.compare(Pos, std::string::npos, Failure) == 0)
        return Result == -1 ? "" : "failure line for a file that succeeded";
    const size_t NameAt = Pos;
    if (!Take(Text, Pos, InName)) return "no name line";
    const bool Marked = Take(Text, Pos, " -- Corrupt");
    if (!Take(Text, Pos, "\n")) return "name line not ended";
    if (KnowCorrupt && Marked != Corrupt) return "\" -- Corrupt\" does not match the header";
    while (Pos < Text.size()) {
        const size_t Line = Pos;
        if (Take(Text, Pos, "Overload ") && TakeInteger(Text, Pos) && Take(Text, Pos, " ") &&
            TakeInteger(Text, Pos) && Take(Text, Pos, " ") && TakeInteger(Text, Pos) && Take(Text, Pos, "\n"))
            continue;
        Pos = Line;
        if (Take(Text, Pos, Failure) && Pos == Text.size()) return Result == -1 ? "" : "failure line for a file that succeeded";
        return "unexpected text at byte " + std::to_string(Line) + " (name line at " + std::to_string(NameAt) + ")";
    }
    return Result == 0 ? "" : "a failed file without the failure line";
}

// The 44 bytes of a freshly created output.
Bytes CreationHeader() {
    const uint8_t H[44] = {'R', 'I', 'F', 'F', 36, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ',
                           16, 0, 0, 0, 1, 0, 2, 0, 0x44, 0xAC, 0, 0, 0x10, 0xB1, 2, 0,
                           4, 0, 16, 0, 'd', 'a', 't', 'a', 0, 0, 0, 0};
    return Bytes(H, H + 44);
}

// A finished output of a file that succeeded: consistent sizes, the input's format with its
// frame size recomputed, and every whole frame of the input.
std::string CheckFinishedOutput(const Bytes& Out, const wave::TWaveFormat& In, int64_t InDataSize) {
    if (Out.size() < 44) return "output shorter than its header";
    if (std::memcmp(Out.data(), "RIFF", 4) != 0 || std::memcmp(Out.data() + 8, "WAVEfmt ", 8) != 0 ||
        Get32(Out, 16) != 16 || std::memcmp(Out.data() + 36, "data", 4) != 0)
        return "output header damaged";
    if (Get32(Out, 4) != Out.size() - 8 || Get32(Out, 40) != Out.size() - 44) return "output sizes disagree with its length";
    const uint16_t Align = static_cast<uint16_t>(2 * In.Channels);
    if (Get16(Out, 20) != In.FormatTag || Get16(Out, 22) != In.Channels || Get32(Out, 24) != In.SamplesPerSec ||
        Get32(Out, 28) != static_cast<uint32_t>(Align * In.SamplesPerSec) || Get16(Out, 32) != Align ||
        Get16(Out, 34) != 16)
        return "output format is not the input's";
    const int64_t Frames = In.BlockAlign == 0 ? 0 : InDataSize / In.BlockAlign;
    if (static_cast<int64_t>(Out.size()) - 44 != Frames * Align) return "output does not hold every frame";
    return "";
}

struct ExitRequest {
    int Code;
};

// The real application with the per-file step replaced: the command line decides everything
// up to the file loop, and no file is touched.
class NoFilesApp : public sonolift::TSonoliftApp {
public:
    int ProcessFile(const std::string& Path) override {
        if (Path.empty()) EmptyPath = true;
        return 0;
    }
    bool EmptyPath = false;
};

} // namespace

std::string ProcessFileOnce(const uint8_t* Data, size_t Size) {
    uint8_t Settings[SettingBytes] = {};
    const size_t Skip = std::min(Size, SettingBytes);
    if (Skip > 0) std::memcpy(Settings, Data, Skip);
    const Bytes File(Data + Skip, Data + Size);

    InScratch Here;
    WriteAll(InName, File);
    const size_t Before = OpenDescriptors();
    int Result = 0;
    std::string Problem;
    Capture Out(stdout);
    try {
        sonolift::TSonoliftApp App;
        ApplySettings(App, Settings);
        Result = App.ProcessFile(InName);
    } catch (...) {
        Problem = "a failure escaped ProcessFile";
    }
    Out.Finish();
    if (OpenDescriptors() != Before) return "descriptor leak";
    if (!Problem.empty()) return Problem;
    if (Result != 0 && Result != -1) return "status " + std::to_string(Result);

    Bytes After;
    if (!ReadAll(InName, After) || After != File) return "the input changed";
    const std::vector<std::string> Names = Listing(".");
    for (const std::string& Name : Names)
        if (Name != InName && Name != OutFile) return "a stray file: " + Name;
    const bool HaveOutput = std::find(Names.begin(), Names.end(), OutFile) != Names.end();

    // The input as the wave object sees it, for the expectations.
    wave::TWaveFormat Format;
    int64_t DataSize = -1;
    bool Corrupt = false, Opened = false;
    {
        Capture Quiet(stdout);
        try {
            wave::TWaveIO In(InName, wave::TWaveIOMode::wioRead);
            Format = In.Format();
            DataSize = In.DataSize();
            Corrupt = In.Modified();
            Opened = true;
        } catch (...) {
        }
    }
    if (!Out.Truncated()) {
        Problem = CheckReport(Out.Text(), Result, Corrupt, Opened);
        if (!Problem.empty()) return Problem;
    }
    Bytes Output;
    if (Result == 0) {
        if (!Opened) return "an input that does not open succeeded";
        if (!HaveOutput || !ReadAll(OutFile, Output)) return "no output for a file that succeeded";
        return CheckFinishedOutput(Output, Format, DataSize);
    }
    if (HaveOutput) {
        // An abandoned output keeps its creation header; only sample bytes follow it.
        if (!ReadAll(OutFile, Output)) return "output unreadable";
        const Bytes Head = CreationHeader();
        if (Output.size() < Head.size() || !std::equal(Head.begin(), Head.end(), Output.begin()))
            return "abandoned output lost its creation header";
    }
    return "";
}

std::string CommandLineOnce(const uint8_t* Data, size_t Size) {
    std::vector<std::string> Words;
    if (Size > 0) {
        Words.emplace_back();
        for (size_t I = 0; I < Size; ++I) {
            if (Data[I] == 0)
                Words.emplace_back();
            else
                Words.back().push_back(static_cast<char>(Data[I]));
        }
    }
    std::vector<const char*> Argv;
    for (const std::string& W : Words) Argv.push_back(W.c_str());
    Argv.push_back(nullptr);

    InScratch Here;
    const size_t Before = OpenDescriptors();
    std::string Problem;
    bool Exited = false;
    int Code = 0;
    bool EmptyPath = false;
    Capture Out(stdout);
    Capture Err(stderr);
    vx::SetExitHandler([](int C) { throw ExitRequest{C}; });
    try {
        vx::vxSystemStartup(static_cast<int>(Words.size()), Argv.data());
        vx::TonebenchStartup();
        vx::ProgramInfo.Name = "sonolift";
        vx::ProgramInfo.Usage = "[file...]";
        vx::ProgramInfo.Description = "wave file dynamic amplification utility.";
        vx::ProgramInfo.Version = "0.1.0";
        auto App = std::make_unique<NoFilesApp>();
        App->Initialize();
        try {
            App->Run();
        } catch (...) {
            EmptyPath = App->EmptyPath;
            throw;
        }
        EmptyPath = App->EmptyPath;
    } catch (const ExitRequest& E) {
        Exited = true;
        Code = E.Code;
    } catch (const std::exception& E) {
        Problem = std::string("a failure escaped the run: ") + E.what();
    } catch (...) {
        Problem = "an unknown failure escaped the run";
    }
    vx::SetExitHandler(nullptr);
    Out.Finish();
    Err.Finish();
    if (OpenDescriptors() != Before) return "descriptor leak";
    if (!Problem.empty()) return Problem;
    if (EmptyPath) return "an empty path reached ProcessFile";
    if (!Listing(".").empty()) return "the command line created a file";
    if (!Exited) return Err.Text().empty() && Out.Text().empty() ? "" : "output from a run without files";
    if (Code == 0) return Err.Text().empty() && !Out.Text().empty() ? "" : "exit 0 without help or version text";
    if (Code != 1) return "exit status " + std::to_string(Code);
    const std::string Hint = "Try `" + vx::ExtractFileName(vx::ExePath()) + " --help' for more information.\n";
    const std::string& E = Err.Text();
    if (!Out.Text().empty() || E.size() < Hint.size() || E.compare(E.size() - Hint.size(), Hint.size(), Hint) != 0)
        return "exit 1 without the usage error lines";
    return "";
}

void AbortOnFinding(const std::string& Problem) {
    if (Problem.empty()) return;
    std::fprintf(stderr, "sonolift finding: %s\n", Problem.c_str());
    std::abort();
}

} // namespace sonofuzz
