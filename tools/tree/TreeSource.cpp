#include "TreeSource.h"

#include "LoudnessReport.h"
#include "StaticGain.h"
#include "vxSystem.h"

#include <algorithm>
#include <cmath>
#include <charconv>

namespace tree {

std::string TagOf(const wave::TChunkEntry& C) { return std::string(C.Header.Tag.data(), 4); }

TSource::TSource(const std::string& Name, size_t Window) : Wave(Name, wave::TWaveIOMode::wioRead, Window, &Walked) {}

const wave::TChunkEntry* TSource::Find(const char* Tag) const {
    auto It = std::find_if(Walked.begin(), Walked.end(), [&](const auto& C) { return TagOf(C) == Tag; });
    return It == Walked.end() ? nullptr : &*It;
}

int64_t TSource::PayloadSize(const wave::TChunkEntry& C) const {
    return std::max<int64_t>(0, std::min(C.Header.Size, Wave.FileSize() - C.Offset - 8));
}

TBytes TSource::Read(const wave::TChunkEntry& C) {
    TBytes B;
    Copy(C, [&](const uint8_t* P, size_t N) { B.insert(B.end(), P, P + N); });
    return B;
}

void TSource::Pass(TFigures& Figures) {
    if (const wave::TChunkEntry* D = Find("data")) Copy(*D, [&](const uint8_t* P, size_t N) { Figures.Add(P, N); });
}

std::string TSource::AudioDigest() {
    TFigures Figures(Wave, false);
    Pass(Figures);
    return Figures.Digest();
}

int64_t TSource::Frames() const {
    const uint16_t Align = Wave.Format().BlockAlign;
    return Align == 0 ? 0 : std::max<int64_t>(Wave.DataSize(), 0) / Align;
}

double TSource::Seconds() const {
    const uint32_t Rate = Wave.Format().SamplesPerSec;
    return Rate == 0 ? 0 : static_cast<double>(Frames()) / Rate;
}

std::string SecondsText(double Seconds) {
    char Text[64];
    return std::string(Text, std::to_chars(Text, Text + sizeof Text, Seconds, std::chars_format::fixed, 6).ptr);
}

std::string TSource::Note() const {
    if (Wave.DataToEnd()) return "header sizes disagree with the file; read to its end";
    return Wave.Modified() ? "header sizes disagree with the file" : "";
}

std::array<std::string, 3> LoudnessColumns(const sonoloud::TLoudness& L) {
    return {sonoloud::CsvFigure(L.Integrated), sonoloud::CsvFigure(L.Range), sonoloud::CsvFigure(L.TruePeak)};
}

} // namespace tree
