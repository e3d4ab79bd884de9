#include "FuzzHarness.h"

#include "SonoliftApp.h"
#include "SonoloudApp.h"
#include "WaveFiles.h"
#include "vxSysUtils.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <unistd.h>
#include <vector>

namespace sonofuzz {

namespace {

using Bytes = std::vector<uint8_t>;

std::vector<std::string> Listing(const std::string& Dir) {
    std::vector<std::string> Names;
    std::error_code Ec;
    for (const auto& E : std::filesystem::directory_iterator(Dir, Ec)) Names.push_back(E.path().filename().string());
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

// Takes the place of stdout and keeps what is written, up to a limit.
class Capture {
public:
    Capture() {
        std::fflush(stdout);
        cookie_io_functions_t Io{};
        Io.write = [](void* Self, const char* Buf, size_t N) -> ssize_t {
            auto* C = static_cast<Capture*>(Self);
            C->FTruncated |= C->FText.size() + N > (8u << 20);
            if (!C->FTruncated) C->FText.append(Buf, N);
            return static_cast<ssize_t>(N);
        };
        stdout = ::fopencookie(this, "w", Io);
        if (stdout == nullptr) std::abort();
    }
    ~Capture() { Finish(); }
    // Puts the real stream back; the text is complete from here on.
    void Finish() {
        if (stdout == FSaved) return;
        std::fclose(stdout);
        stdout = FSaved;
    }
    std::string FText;
    bool FTruncated = false;

private:
    FILE* FSaved = stdout;
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

// Standard output of one file ends with the failure line exactly when the file failed, and names
// the file, marked " -- Corrupt" as its header says, when it opened (diagnostic lines before the
// name may hold any byte, line ends included, so only the name line's own text is looked for).
std::string CheckReport(const std::string& Text, int Result, bool Corrupt, bool Opened) {
    const std::string Failure = "FileName: in.wav is not a wave file.\n";
    const bool Failed = Text.size() >= Failure.size() && Text.compare(Text.size() - Failure.size(), Failure.size(), Failure) == 0;
    if (Failed != (Result == -1)) return "the failure line does not match the result";
    if (Opened && Text.find(Corrupt ? "in.wav -- Corrupt\n" : "in.wav\n") == std::string::npos) return "no name line";
    return "";
}

// A finished output: consistent sizes, the input's format with its frame size recomputed, and
// every whole frame of the input.
std::string CheckOutput(const wave::TWaveIO& In, const std::string& Name, size_t Window = wave::WaveIOWindow) {
    try {
        std::vector<wave::TChunkEntry> Walked;
        wave::TWaveIO Out(Name, wave::TWaveIOMode::wioRead, Window, &Walked);
        const wave::TWaveFormat& F = In.Format();
        wave::TWaveFormat Expected = F;
        Expected.BlockAlign = static_cast<uint16_t>(vx::RoundUp(F.Channels * F.BitsPerSample / 8.0));
        Expected.AvgBytesPerSec = Expected.BlockAlign * F.SamplesPerSec;
        if (Out.Modified()) return "output sizes disagree with its length";
        // the walk notes a float output's fact chunk, and nothing else
        for (const wave::TChunkEntry& C : Walked)
            if (std::string T(C.Header.Tag.data(), 4); T != "fmt " && T != "data" && T != "ds64" && T != "fact") return "an output chunk " + T;
        if (!(Out.Format() == Expected) || !(Out.Extension() == In.Extension())) return "output format is not the input's";
        if (Out.DataSize() != In.DataSize() / F.BlockAlign * Expected.BlockAlign) return "output does not hold every frame";
    } catch (const std::exception& E) {
        return std::string("output does not open: ") + E.what();
    }
    return "";
}

} // namespace

std::string ProcessFileOnce(const uint8_t* Data, size_t Size, size_t Window) {
    uint8_t Settings[SettingBytes] = {};
    const size_t Skip = std::min(Size, SettingBytes);
    std::copy(Data, Data + Skip, Settings);
    const Bytes File(Data + Skip, Data + Size);

    InScratch Here;
    std::ofstream("in.wav", std::ios::binary).write(reinterpret_cast<const char*>(File.data()), static_cast<std::streamsize>(File.size()));
    const size_t Before = OpenDescriptors();
    int Result = 0;
    Capture Out;
    try {
        sonolift::TSonoliftApp App;
        ApplySettings(App, Settings);
        App.SetIOWindow(Window);
        Result = App.RunFile("in.wav");
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

    // The input as the wave object sees it, for the expectations; its notes are not wanted again.
    wave::SetWaveNoteSink(nullptr);
    std::unique_ptr<wave::TWaveIO> In;
    try { In = std::make_unique<wave::TWaveIO>("in.wav", wave::TWaveIOMode::wioRead, Window); } catch (...) {} // refused: null
    const std::string Problem = Out.FTruncated ? "" : CheckReport(Out.FText, Result, In && In->Modified(), In != nullptr);
    return !Problem.empty() || Result != 0 ? Problem : CheckOutput(*In, "waveout-0-lift.wav", Window);
}

namespace {

// How the process would have ended: ProcessExit throws this instead while a loudness run lasts.
struct TExit {
    int Code;
};

} // namespace

std::string LoudnessOnce(const uint8_t* Data, size_t Size) {
    const uint8_t* Line = std::find(Data, Data + std::min(Size, SwitchBytes), '\n');
    const bool HasWords = Line != Data + std::min(Size, SwitchBytes);
    std::vector<std::string> Args{"sonoloud"};
    std::istringstream Words(HasWords ? std::string(Data, Line) : std::string());
    for (std::string W; Words >> W;)
        if (W.find('/') == std::string::npos) Args.push_back(W);
    Args.push_back("in.wav");
    std::vector<const char*> Argv;
    for (const std::string& A : Args) Argv.push_back(A.c_str());
    const Bytes File(HasWords ? Line + 1 : Data, Data + Size);

    InScratch Here;
    std::ofstream("in.wav", std::ios::binary).write(reinterpret_cast<const char*>(File.data()), static_cast<std::streamsize>(File.size()));
    const size_t Before = OpenDescriptors();
    Capture Out;
    vx::SetExitHandler([](int Code) { throw TExit{Code}; });
    std::string Problem;
    try {
        vx::vxSystemStartup(static_cast<int>(Argv.size()), Argv.data(), true);
        vx::TonebenchStartup();
        sonoloud::TSonoloudApp App;
        App.Initialize();
        App.Run();
    } catch (const TExit&) {
    } catch (...) {
        Problem = "a failure escaped the run";
    }
    vx::SetExitHandler(nullptr);
    Out.Finish();
    if (!Problem.empty()) return Problem;
    if (OpenDescriptors() != Before) return "descriptor leak";
    if (ReadAll("in.wav") != File) return "the input changed";
    wave::SetWaveNoteSink(nullptr);
    std::unique_ptr<wave::TWaveIO> In;
    for (const std::string& Name : Listing(".")) {
        if (Name == "in.wav") continue;
        if (Name.rfind("waveout-", 0) != 0 || Name.size() < 9 || Name.substr(Name.size() - 9) != "-loud.wav") return "a stray file";
        if (!In) In = std::make_unique<wave::TWaveIO>("in.wav", wave::TWaveIOMode::wioRead); // it gave an output: it opens
        if (std::string Found = CheckOutput(*In, Name); !Found.empty()) return Found;
    }
    return "";
}

void AbortOnFinding(const std::string& Problem) {
    if (Problem.empty()) return;
    std::fprintf(stderr, "sonolift finding: %s\n", Problem.c_str());
    std::abort();
}

} // namespace sonofuzz
