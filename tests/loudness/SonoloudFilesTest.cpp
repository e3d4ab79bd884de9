// sonoloud on files it may not read and in folders it may not write (as an unprivileged user:
// root reads and writes everything, so a test run by root drops to nobody with setpriv, and says
// so where it cannot), and on samples narrower than their container, whose normalised values
// keep their unused bits zero.
#include "TestSupport.h"
#include "WaveRecipe.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace testsupport;

const char* const Setpriv = "/usr/bin/setpriv";

// sonoloud with Args in Dir, as an unprivileged user; nullopt where none can be had.
std::optional<RunResult> RunUnprivileged(const TempDir& Dir, const std::vector<std::string>& Args) {
    RunOptions O;
    O.Cwd = Dir.Path(), O.Env = {"LC_ALL=C"};
    if (::geteuid() != 0) return Run(SONOLOUD_BINARY, Args, O);
    if (::access(Setpriv, X_OK) != 0) return std::nullopt;
    std::vector<std::string> Words = {"--reuid=65534", "--regid=65534", "--clear-groups", SONOLOUD_BINARY};
    Words.insert(Words.end(), Args.begin(), Args.end());
    return Run(Setpriv, Words, O);
}

bool EndsWith(const std::string& S, const std::string& Tail) {
    return S.size() >= Tail.size() && S.compare(S.size() - Tail.size(), Tail.size(), Tail) == 0;
}

TEST(SonoloudFiles, AnInputItMayNotReadAndAFolderItMayNotWriteFailWithTheSystemsReason) {
    TempDir D;
    WriteFile(D / "ok.wav", testwave::Build("pcm16 1 8000 data tone 8000 1 1000 8000 -20"));
    WriteFile(D / "secret.wav", testwave::Build("pcm16 1 8000 data tone 8000 1 1000 8000 -20"));
    ::chmod((D / "secret.wav").c_str(), 0600);
    ::chmod((D / "ok.wav").c_str(), 0644);
    ::chmod(D.Path().c_str(), 0555); // readable, not writable: no output can be created
    const auto R = RunUnprivileged(D, {"-t", "-23", "--csv", "secret.wav", "ok.wav"});
    ::chmod(D.Path().c_str(), 0755);
    if (!R) GTEST_SKIP() << "run as root without " << Setpriv << ": no unprivileged user to test with";
    EXPECT_EQ(R->Status, 2);
    EXPECT_NE(R->Err.find(": secret.wav: Permission denied\n"), std::string::npos) << R->Err;
    EXPECT_TRUE(EndsWith(R->Err, ": ok.wav: cannot create waveout-0-loud.wav: Permission denied\n")) << R->Err;
    EXPECT_NE(R->Out.find("\r\nsecret.wav,failed,,,,,,,,,,Permission denied,,,\r\n"), std::string::npos) << R->Out;
    EXPECT_TRUE(EndsWith(R->Out, "\r\nok.wav,failed,,,,,,,,,,cannot create waveout-0-loud.wav: Permission denied,,,\r\n")) << R->Out;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(D.Path()), {}), 2) << "an output was left behind";
}

// Samples of a 24-bit recording in 32-bit containers, normalised: each the value of the same
// samples taken as full 32-bit ones, within half a step of 256 of it, on a multiple of 256.
TEST(SonoloudFiles, NormalisedSamplesKeepTheirValidBits) {
    TempDir D;
    const std::string Tone = " data tone 9000 2 1000 8000 -20";
    WriteFile(D / "narrow.wav", testwave::Build("pcm32 2 8000 ext 24 3" + Tone));
    WriteFile(D / "wide.wav", testwave::Build("pcm32 2 8000 ext 32 3" + Tone));
    RunOptions O;
    O.Cwd = D.Path();
    const RunResult R = testsupport::Run(SONOLOUD_BINARY, {"-t", "-30", "narrow.wav", "wide.wav"}, O);
    ASSERT_EQ(R.Status, 0) << R.Err;
    const Bytes Narrow = ReadFile(D / "waveout-0-loud.wav"), Wide = ReadFile(D / "waveout-1-loud.wav");
    ASSERT_EQ(Narrow.size(), Wide.size());
    ASSERT_GT(Narrow.size(), 68u);
    EXPECT_EQ(Narrow[38] | Narrow[39] << 8, 24) << "the valid bits are kept";
    int Moved = 0;
    for (size_t At = 68; At + 4 <= Narrow.size(); At += 4) {
        int32_t N, W;
        std::memcpy(&N, &Narrow[At], 4), std::memcpy(&W, &Wide[At], 4);
        ASSERT_EQ(N % 256, 0) << "at byte " << At;
        ASSERT_LE(std::abs(static_cast<int64_t>(N) - W), 128) << "at byte " << At;
        Moved += N != W;
    }
    EXPECT_GT(Moved, 0);
}

} // namespace
