// The helper's units on their own: the head of an RF64 assembly, a fill that comes out short,
// a bext's loudness fields at their bounds, the figures of audio handed over in pieces of any
// size, paths quoted as bash's printf %q quotes them, job records as they arrive in a pipe.
#include "ShellQuote.h"
#include "StaticGain.h"
#include "TestSupport.h"
#include "TreeAssemble.h"
#include "TreeFigures.h"
#include "TreeJob.h"
#include "WaveRecipe.h"
#include "vxSystem.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

using namespace tree;

uint64_t LE(const testsupport::Bytes& B, size_t At, int Size) {
    uint64_t V = 0;
    for (int I = Size - 1; I >= 0; --I)
        V = V << 8 | B.at(At + static_cast<size_t>(I));
    return V;
}

struct TPair {
    testsupport::TempDir Dir;
    TPair() {
        testsupport::WriteFile(
            Dir / "src.wav",
            testwave::Build("pcm16 2 8000 chunk iXML 010203 data music 1001 2 3 100"));
        testsupport::WriteFile(Dir / "lev.wav",
                               testwave::Build("pcm16 2 8000 data music 1001 2 4 100"));
    }
};

// A small file told to be RF64: "RF64" with the size in a ds64 chunk first (the RIFF size, the
// data size, the frames), the data chunk's size field a placeholder; read back as RF64.
TEST(Assemble, Rf64WhateverTheSize) {
    TPair P;
    TSource Source(P.Dir / "src.wav"), Levelled(P.Dir / "lev.wav");
    TAssembly How;
    How.Rf64 = true;
    Assemble(Source, Levelled, P.Dir / "out.wav", How);
    const testsupport::Bytes Out = testsupport::ReadFile(P.Dir / "out.wav");
    EXPECT_EQ(std::string(Out.begin(), Out.begin() + 4), "RF64");
    EXPECT_EQ(LE(Out, 4, 4), 0xFFFFFFFFu);
    EXPECT_EQ(std::string(Out.begin() + 12, Out.begin() + 16), "ds64");
    EXPECT_EQ(LE(Out, 16, 4), 28u);
    EXPECT_EQ(LE(Out, 20, 8), Out.size() - 8);
    EXPECT_EQ(LE(Out, 28, 8), 4004u);
    EXPECT_EQ(LE(Out, 36, 8), 1001u);
    TSource Back(P.Dir / "out.wav");
    ASSERT_TRUE(Back.Wave.Rf64());
    EXPECT_EQ(LE(Out, static_cast<size_t>(Back.Find("data")->Offset) + 4, 4), 0xFFFFFFFFu);
    EXPECT_EQ(Back.Frames(), 1001);
    EXPECT_EQ(Back.AudioDigest(), Levelled.AudioDigest());
    EXPECT_NE(Back.Find("iXML"), nullptr);
}

// A fill that writes fewer bytes than it promised would leave sizes that disagree with the file.
TEST(Assemble, AShortFillFails) {
    TPair P;
    TSource Source(P.Dir / "src.wav"), Levelled(P.Dir / "lev.wav");
    TAssembly How;
    How.DataBytes = 4004;
    How.Fill = [](const sonoloud::TBytesSink& Put) {
        const uint8_t Zero[4000] = {};
        Put(Zero, sizeof Zero);
    };
    EXPECT_THROW(Assemble(Source, Levelled, P.Dir / "out.wav", How), vx::EvxError);
}

// The figures of a file's audio handed over in pieces that cut its frames anywhere equal those
// of the loudness tool's own reading; a file whose frames do not all come has none.
TEST(Figures, PiecesOfAnySize) {
    testsupport::TempDir Dir;
    for (const char* Recipe :
         {"pcm24 2 48000 data music 60000 2 7 100", "pcm8 1 8000 data music 30001 1 8 100",
          "float32 3 44100 ext 32 7 data music 40000 3 9 100"}) {
        SCOPED_TRACE(Recipe);
        testsupport::WriteFile(Dir / "a.wav", testwave::Build(Recipe));
        TSource S(Dir / "a.wav");
        const sonoloud::TLoudness Whole =
            sonoloud::MeasureWave(S.Wave, sonoloud::MeasurableEncoding(S.Wave));
        const TBytes Audio = S.Read(*S.Find("data"));
        TFigures F(S.Wave), Cut(S.Wave);
        for (size_t At = 0, Piece = 1; At < Audio.size(); At += Piece, Piece = Piece * 7 % 4099 + 1)
            F.Add(Audio.data() + At, std::min(Piece, Audio.size() - At));
        Cut.Add(Audio.data(), Audio.size() - 1);
        const sonoloud::TLoudness L = F.Loudness();
        EXPECT_EQ(L.Integrated, Whole.Integrated);
        EXPECT_EQ(L.Range, Whole.Range);
        EXPECT_EQ(L.TruePeak, Whole.TruePeak);
        EXPECT_EQ(L.MaxMomentary, Whole.MaxMomentary);
        EXPECT_EQ(L.MaxShortTerm, Whole.MaxShortTerm);
        EXPECT_EQ(F.Digest(), S.AudioDigest());
        EXPECT_EQ(Cut.Loudness().Integrated, -HUGE_VAL);
    }
    TDigest D;
    D.Add(reinterpret_cast<const uint8_t*>("ab"), 2),
        D.Add(reinterpret_cast<const uint8_t*>("c"), 1);
    EXPECT_EQ(D.Hex(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

// A bext's loudness fields hold hundredths as signed 16-bit integers; 0x7FFF (not available)
// for what does not fit below it or is no number.
TEST(Assemble, BextLoudnessAtItsBounds) {
    TBytes Bext(602);
    sonoloud::TLoudness L;
    L.Integrated = -327.68, L.Range = 327.66, L.TruePeak = 327.67, L.MaxMomentary = -327.69,
    L.MaxShortTerm = -HUGE_VAL;
    SetBextLoudness(Bext, L);
    EXPECT_EQ(LE(Bext, 346, 2), 2u);
    EXPECT_EQ(LE(Bext, 412, 2), 0x8000u);
    EXPECT_EQ(LE(Bext, 414, 2), 32766u);
    EXPECT_EQ(LE(Bext, 416, 2), 0x7FFFu);
    EXPECT_EQ(LE(Bext, 418, 2), 0x7FFFu);
    EXPECT_EQ(LE(Bext, 420, 2), 0x7FFFu);
}

// A tilde is quoted where the shell would expand it (at the start of a word, after ':' or '='),
// and a text with a character that cannot be shown as it is goes into $'...'.
TEST(ShellQuote, AsBashPrintfQ) {
    EXPECT_EQ(ShellQuote("~x"), "\\~x");
    EXPECT_EQ(ShellQuote("a:~b"), "a:\\~b");
    EXPECT_EQ(ShellQuote("a=~b"), "a=\\~b");
    EXPECT_EQ(ShellQuote("a~b"), "a~b");
    EXPECT_EQ(ShellQuote("a\x01" "b\x1b"), "$'a\\001b\\E'");
}

// Records come through the pipe back to back and in pieces: each whole one is taken with its
// own fields, and what follows it waits for the rest.
TEST(Records, BackToBackAndInPieces) {
    TJobRecord A, B;
    int N = 0;
    for (std::string* F : A.Fields()) *F = std::to_string(N++) + "a";
    for (std::string* F : B.Fields()) *F = std::to_string(N++) + "b";
    B.Path = "two\nlines, one field";
    const std::string Both = EncodeRecord(A) + EncodeRecord(B), Next = EncodeRecord(A).substr(0, 5);
    std::string Buffer = Both + Next;
    TJobRecord R;
    ASSERT_TRUE(DecodeRecord(Buffer, R));
    for (size_t I = 0; I < R.Fields().size(); ++I) EXPECT_EQ(*R.Fields()[I], *A.Fields()[I]) << I;
    ASSERT_TRUE(DecodeRecord(Buffer, R));
    EXPECT_EQ(R.Path, B.Path);
    EXPECT_EQ(R.Missed, B.Missed);
    EXPECT_EQ(R.Status, B.Status);
    EXPECT_FALSE(DecodeRecord(Buffer, R));
    EXPECT_EQ(Buffer, Next);
}

} // namespace
