#include "TestSupport.h"

#include <cerrno>
#include <csignal>
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

TempDir::TempDir() {
    const char* Base = std::getenv("TMPDIR");
    FPath = std::string(Base && *Base ? Base : "/tmp") + "/sonolift-test-XXXXXX";
    if (::mkdtemp(FPath.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    FPath = std::filesystem::canonical(FPath).string(); // as programs that resolve it print it
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

RunResult Run(const std::string& Program, const std::vector<std::string>& Args, const RunOptions& Options) {
    int OutPipe[2], ErrPipe[2];
    if (::pipe2(OutPipe, O_CLOEXEC) != 0 || ::pipe2(ErrPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    std::vector<std::string> Argv{Options.ArgZero.value_or(Program)};
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
        const rlimit Limit{static_cast<rlim_t>(Options.FileSizeLimit), static_cast<rlim_t>(Options.FileSizeLimit)};
        if (Options.FileSizeLimit >= 0) ::setrlimit(RLIMIT_FSIZE, &Limit);
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
