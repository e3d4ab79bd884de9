// What a refused file is told to be from its first bytes: each other format by its mark, MPEG
// audio and AAC by their frame sync, and files that only look alike told as none of them.
#include "ForeignFiles.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace {

using namespace std::literals;

wave::TForeignKind KindOf(std::string_view Head, int64_t Length = 1000) {
    return wave::ForeignKind(reinterpret_cast<const uint8_t*>(Head.data()), Head.size(), Length);
}

TEST(ForeignFiles, EachFormatByItsFirstBytes) {
    const struct {
        std::string_view Head;
        std::string What;
        bool Convertible;
    } Cases[] = {
        {"fLaC\0\0\0\x22"sv, "a FLAC file, not a WAVE file", true},
        {"ID3\x04"sv, "an MP3 file, not a WAVE file", true},
        {"\xFF\xFB\x90\x64"sv, "an MP3 file, not a WAVE file", true},  // MPEG-1 layer III
        {"\xFF\xF1\x50\x80"sv, "an AAC file, not a WAVE file", true},  // ADTS, layer bits 0
        {"\xFF\x7B\x90\x64"sv, "not a RIFF/WAVE file", false},         // one sync bit short
        {"\xFE\xFB\x90\x64"sv, "not a RIFF/WAVE file", false},
        {"FORM\0\0\0\0AIFC"sv, "an AIFF file, not a WAVE file", true},
        {"FORM\0\0\0\0ILBM"sv, "not a RIFF/WAVE file", false},
        {"\0\0\0\x20" "ftypM4A "sv, "an MP4/M4A file, not a WAVE file", true},
        {"RIFX\0\0\0\0WAVE"sv, "a RIFX (big-endian) file, not a little-endian RIFF/WAVE file", true},
        {"RIFF\0\0\0\0AVI "sv, "a RIFF file of the form \"AVI \", not WAVE", false},
    };
    for (const auto& C : Cases) {
        const wave::TForeignKind K = KindOf(C.Head);
        EXPECT_EQ(K.What, C.What) << C.What;
        EXPECT_EQ(K.Convertible, C.Convertible) << C.What;
    }
    EXPECT_EQ(KindOf(""sv, 0).What, "an empty file");
    EXPECT_EQ(KindOf("RIFF\0\0\0"sv, 7).What, "too short for a RIFF/WAVE header");
    EXPECT_EQ(KindOf("\xFF"sv, 1).What, "not a RIFF/WAVE file"); // a sync needs two bytes
}

} // namespace
