#include "TestSupport.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <utility>

namespace testsupport {

namespace {
void PutLE(Bytes& B, uint32_t V, int Size) {
    for (int I = 0; I < Size; ++I) B.push_back(static_cast<uint8_t>(V >> (8 * I)));
}
void PutTag(Bytes& B, const char* Tag) { B.insert(B.end(), Tag, Tag + 4); }
} // namespace

void Put16(Bytes& B, uint16_t V) { PutLE(B, V, 2); }

WaveBuilder& WaveBuilder::ChunkWithSize(const char* Tag, int32_t Size, const Bytes& Payload) {
    PutTag(FBody, Tag);
    PutLE(FBody, static_cast<uint32_t>(Size), 4);
    return Raw(Payload);
}

WaveBuilder& WaveBuilder::FmtRaw(uint16_t FormatTag, uint16_t Channels, uint32_t Rate, uint32_t ByteRate,
                                 uint16_t BlockAlign, uint16_t Bits) {
    Bytes P;
    for (auto [V, Size] : {std::pair<uint32_t, int>{FormatTag, 2}, {Channels, 2}, {Rate, 4}, {ByteRate, 4}, {BlockAlign, 2}, {Bits, 2}})
        PutLE(P, V, Size);
    return Chunk("fmt ", P);
}

WaveBuilder& WaveBuilder::Fmt(uint16_t Channels, uint32_t Rate, uint16_t Bits) {
    const uint16_t Align = static_cast<uint16_t>((Channels * Bits + 7) / 8);
    return FmtRaw(1, Channels, Rate, Align * Rate, Align, Bits);
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

Bytes WaveBuilder::Build(int32_t RiffSize) const {
    Bytes B;
    PutTag(B, "RIFF");
    PutLE(B, static_cast<uint32_t>(RiffSize), 4);
    PutTag(B, "WAVE");
    B.insert(B.end(), FBody.begin(), FBody.end());
    return B;
}

Bytes PcmWave(const std::vector<int16_t>& Samples, uint16_t Channels, uint32_t Rate) {
    return WaveBuilder().Fmt(Channels, Rate, 16).Data(Samples).Build();
}

TempDir::TempDir() {
    const char* Base = std::getenv("TMPDIR");
    FPath = std::string(Base && *Base ? Base : "/tmp") + "/sonolift-test-XXXXXX";
    if (::mkdtemp(FPath.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
}

TempDir::~TempDir() {
    namespace fs = std::filesystem;
    std::error_code Ec;
    // make everything removable again (tests may leave read-only folders behind)
    fs::permissions(FPath, fs::perms::owner_all, fs::perm_options::add, Ec);
    fs::remove_all(FPath, Ec);
}

void WriteFile(const std::string& Path, const Bytes& Content) {
    std::ofstream F(Path, std::ios::binary | std::ios::trunc);
    F.write(reinterpret_cast<const char*>(Content.data()), static_cast<std::streamsize>(Content.size()));
    if (!F) throw std::runtime_error("cannot write " + Path);
}

Bytes ReadFile(const std::string& Path) {
    std::ifstream F(Path, std::ios::binary);
    if (!F) throw std::runtime_error("cannot read " + Path);
    return Bytes(std::istreambuf_iterator<char>(F), std::istreambuf_iterator<char>());
}

std::string Digest(const std::string& Path) {
    uint64_t H = 1469598103934665603ull;
    for (uint8_t B : ReadFile(Path)) H = (H ^ B) * 1099511628211ull;
    char Buf[17];
    std::snprintf(Buf, sizeof Buf, "%016llx", static_cast<unsigned long long>(H));
    return Buf;
}

RunResult Run(const std::string& Program, const std::vector<std::string>& Args, const RunOptions& Options) {
    int OutPipe[2], ErrPipe[2];
    if (::pipe2(OutPipe, O_CLOEXEC) != 0 || ::pipe2(ErrPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    std::vector<std::string> Argv{Options.ArgZero.empty() ? Program : Options.ArgZero};
    Argv.insert(Argv.end(), Args.begin(), Args.end());
    std::vector<char*> CArgs;
    for (std::string& A : Argv) CArgs.push_back(A.data());
    CArgs.push_back(nullptr);
    const pid_t Pid = ::fork();
    if (Pid < 0) throw std::runtime_error("fork failed");
    if (Pid == 0) {
        ::dup2(OutPipe[1], 1);
        ::dup2(ErrPipe[1], 2);
        if (int Null = ::open("/dev/null", O_RDONLY); Null >= 0) ::dup2(Null, 0);
        if (!Options.Cwd.empty() && ::chdir(Options.Cwd.c_str()) != 0) ::_exit(127);
        for (auto [Resource, Limit] : {std::pair{RLIMIT_FSIZE, Options.FileSizeLimit}, {RLIMIT_NOFILE, Options.OpenFilesLimit}}) {
            const rlimit L{static_cast<rlim_t>(Limit), static_cast<rlim_t>(Limit)};
            if (Limit >= 0) ::setrlimit(Resource, &L);
        }
        for (const std::string& E : Options.Env) ::putenv(const_cast<char*>(E.c_str()));
        ::execv(Program.c_str(), CArgs.data());
        ::_exit(127);
    }
    ::close(OutPipe[1]);
    ::close(ErrPipe[1]);
    RunResult R;
    pollfd Fds[2] = {{OutPipe[0], POLLIN, 0}, {ErrPipe[0], POLLIN, 0}};
    const time_t Deadline = ::time(nullptr) + Options.TimeoutSeconds;
    for (bool Killed = false; Fds[0].fd >= 0 || Fds[1].fd >= 0;) {
        const int Ready = ::poll(Fds, 2, 1000);
        if (!Killed && ::time(nullptr) > Deadline) {
            ::kill(Pid, SIGKILL);
            Killed = true;
        }
        for (int I = 0; Ready > 0 && I < 2; ++I) {
            if (Fds[I].fd < 0 || !(Fds[I].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char Buf[65536];
            const ssize_t N = ::read(Fds[I].fd, Buf, sizeof Buf);
            if (N > 0) (I == 0 ? R.Out : R.Err).append(Buf, static_cast<size_t>(N));
            else ::close(std::exchange(Fds[I].fd, -1));
        }
    }
    int WStatus = 0;
    while (::waitpid(Pid, &WStatus, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(WStatus)) R.Status = WEXITSTATUS(WStatus);
    if (WIFSIGNALED(WStatus)) R.Signal = WTERMSIG(WStatus);
    return R;
}

} // namespace testsupport
