#include "TestSupport.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace testsupport {

void Put16(Bytes& B, uint16_t V) {
    B.push_back(static_cast<uint8_t>(V));
    B.push_back(static_cast<uint8_t>(V >> 8));
}

void Put32(Bytes& B, uint32_t V) {
    for (int I = 0; I < 4; ++I) B.push_back(static_cast<uint8_t>(V >> (8 * I)));
}

void PutTag(Bytes& B, const char* Tag) { B.insert(B.end(), Tag, Tag + 4); }

WaveBuilder& WaveBuilder::Chunk(const char* Tag, const Bytes& Payload) {
    return ChunkWithSize(Tag, static_cast<int32_t>(Payload.size()), Payload);
}

WaveBuilder& WaveBuilder::ChunkWithSize(const char* Tag, int32_t Size, const Bytes& Payload) {
    PutTag(FBody, Tag);
    Put32(FBody, static_cast<uint32_t>(Size));
    FBody.insert(FBody.end(), Payload.begin(), Payload.end());
    return *this;
}

WaveBuilder& WaveBuilder::FmtRaw(uint16_t FormatTag, uint16_t Channels, uint32_t Rate, uint32_t ByteRate,
                                 uint16_t BlockAlign, uint16_t Bits) {
    Bytes P;
    Put16(P, FormatTag);
    Put16(P, Channels);
    Put32(P, Rate);
    Put32(P, ByteRate);
    Put16(P, BlockAlign);
    Put16(P, Bits);
    return Chunk("fmt ", P);
}

WaveBuilder& WaveBuilder::Fmt(uint16_t Channels, uint32_t Rate, uint16_t Bits, uint16_t FormatTag) {
    const uint16_t Align = static_cast<uint16_t>((Channels * Bits + 7) / 8);
    return FmtRaw(FormatTag, Channels, Rate, Align * Rate, Align, Bits);
}

WaveBuilder& WaveBuilder::Data(const std::vector<int16_t>& Samples) {
    Bytes P;
    for (int16_t S : Samples) Put16(P, static_cast<uint16_t>(S));
    return Chunk("data", P);
}

WaveBuilder& WaveBuilder::Raw(const Bytes& Tail) {
    FBody.insert(FBody.end(), Tail.begin(), Tail.end());
    return *this;
}

Bytes WaveBuilder::Build() const { return Build(static_cast<int32_t>(FBody.size() + 4)); }

Bytes WaveBuilder::Build(int32_t RiffSize) const {
    Bytes B;
    PutTag(B, "RIFF");
    Put32(B, static_cast<uint32_t>(RiffSize));
    PutTag(B, "WAVE");
    B.insert(B.end(), FBody.begin(), FBody.end());
    return B;
}

Bytes PcmWave(const std::vector<int16_t>& Samples, uint16_t Channels, uint32_t Rate) {
    return WaveBuilder().Fmt(Channels, Rate, 16).Data(Samples).Build();
}

std::vector<int16_t> SamplesOf(const Bytes& File, size_t HeaderSize) {
    std::vector<int16_t> S;
    for (size_t I = HeaderSize; I + 1 < File.size(); I += 2)
        S.push_back(static_cast<int16_t>(static_cast<uint16_t>(File[I] | (File[I + 1] << 8))));
    return S;
}

TempDir::TempDir() {
    const char* Base = std::getenv("TMPDIR");
    std::string Template = std::string(Base && *Base ? Base : "/tmp") + "/sonolift-test-XXXXXX";
    std::vector<char> Buf(Template.begin(), Template.end());
    Buf.push_back('\0');
    if (::mkdtemp(Buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    FPath = Buf.data();
}

TempDir::~TempDir() {
    std::error_code Ec;
    // make everything removable again (tests may leave read-only folders behind)
    std::filesystem::permissions(FPath, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, Ec);
    std::filesystem::remove_all(FPath, Ec);
}

void WriteFile(const std::string& Path, const Bytes& Content) {
    std::ofstream F(Path, std::ios::binary | std::ios::trunc);
    F.write(reinterpret_cast<const char*>(Content.data()), static_cast<std::streamsize>(Content.size()));
    if (!F) throw std::runtime_error("cannot write " + Path);
}

void WriteText(const std::string& Path, const std::string& Content) { WriteFile(Path, Bytes(Content.begin(), Content.end())); }

Bytes ReadFile(const std::string& Path) {
    std::ifstream F(Path, std::ios::binary);
    if (!F) throw std::runtime_error("cannot read " + Path);
    return Bytes(std::istreambuf_iterator<char>(F), std::istreambuf_iterator<char>());
}

bool Exists(const std::string& Path) {
    struct stat St {};
    return ::lstat(Path.c_str(), &St) == 0;
}

std::string Digest(const std::string& Path) {
    uint64_t H = 1469598103934665603ull;
    for (uint8_t B : ReadFile(Path)) {
        H ^= B;
        H *= 1099511628211ull;
    }
    char Buf[17];
    std::snprintf(Buf, sizeof Buf, "%016llx", static_cast<unsigned long long>(H));
    return Buf;
}

std::string SonoliftBinary() { return SONOLIFT_BINARY; }

RunResult Run(const std::string& Program, const std::vector<std::string>& Args, const RunOptions& Options) {
    int OutPipe[2], ErrPipe[2];
    if (::pipe2(OutPipe, O_CLOEXEC) != 0 || ::pipe2(ErrPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    std::vector<std::string> Argv;
    Argv.push_back(Options.ArgZero.empty() ? Program : Options.ArgZero);
    Argv.insert(Argv.end(), Args.begin(), Args.end());
    std::vector<char*> CArgs;
    for (std::string& A : Argv) CArgs.push_back(A.data());
    CArgs.push_back(nullptr);
    pid_t Pid = ::fork();
    if (Pid < 0) throw std::runtime_error("fork failed");
    if (Pid == 0) {
        ::dup2(OutPipe[1], 1);
        ::dup2(ErrPipe[1], 2);
        int Null = ::open("/dev/null", O_RDONLY);
        if (Null >= 0) ::dup2(Null, 0);
        if (!Options.Cwd.empty() && ::chdir(Options.Cwd.c_str()) != 0) ::_exit(127);
        if (Options.FileSizeLimit >= 0) {
            struct rlimit L {static_cast<rlim_t>(Options.FileSizeLimit), static_cast<rlim_t>(Options.FileSizeLimit)};
            ::setrlimit(RLIMIT_FSIZE, &L);
        }
        if (Options.OpenFilesLimit >= 0) {
            struct rlimit L {static_cast<rlim_t>(Options.OpenFilesLimit), static_cast<rlim_t>(Options.OpenFilesLimit)};
            ::setrlimit(RLIMIT_NOFILE, &L);
        }
        for (const std::string& E : Options.Env) ::putenv(const_cast<char*>(E.c_str()));
        ::execv(Program.c_str(), CArgs.data());
        ::_exit(127);
    }
    ::close(OutPipe[1]);
    ::close(ErrPipe[1]);
    RunResult R;
    struct pollfd Fds[2] = {{OutPipe[0], POLLIN, 0}, {ErrPipe[0], POLLIN, 0}};
    int Open = 2;
    const time_t Deadline = ::time(nullptr) + Options.TimeoutSeconds;
    bool Killed = false;
    while (Open > 0) {
        int Ready = ::poll(Fds, 2, 1000);
        if (::time(nullptr) > Deadline && !Killed) {
            ::kill(Pid, SIGKILL);
            Killed = true;
        }
        if (Ready <= 0) continue;
        for (int I = 0; I < 2; ++I) {
            if (Fds[I].fd < 0 || !(Fds[I].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char Buf[65536];
            ssize_t N = ::read(Fds[I].fd, Buf, sizeof Buf);
            if (N > 0) {
                (I == 0 ? R.Out : R.Err).append(Buf, static_cast<size_t>(N));
            } else {
                ::close(Fds[I].fd);
                Fds[I].fd = -1;
                --Open;
            }
        }
    }
    int WStatus = 0;
    while (::waitpid(Pid, &WStatus, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(WStatus)) R.Status = WEXITSTATUS(WStatus);
    if (WIFSIGNALED(WStatus)) R.Signal = WTERMSIG(WStatus);
    return R;
}

RunResult RunSonolift(const std::vector<std::string>& Args, const RunOptions& Options) {
    return Run(SonoliftBinary(), Args, Options);
}

} // namespace testsupport
