// One input through the real code, with the properties that must hold for any input checked
// afterwards. Shared by the fuzz targets (which abort on a finding) and the corpus replay test
// (which reports it). Each call runs in a private scratch folder with standard output and
// standard error captured, and leaves the process as it found it.
#pragma once

#include "WaveFiles.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace sonofuzz {

// Leading bytes of a per-file input that choose the amplifier's settings; the rest is the file.
inline constexpr size_t SettingBytes = 8;

// Writes Data (after the setting bytes) as in.wav and runs TSonoliftApp::ProcessFile on it, its
// wave files (and the checks' own) with I/O windows of Window bytes. Returns "" when every
// property held, otherwise what went wrong.
std::string ProcessFileOnce(const uint8_t* Data, size_t Size, size_t Window = wave::WaveIOWindow);

// Leading bytes of a loudness input up to the first line feed (within the first SwitchBytes) are
// sonoloud's switch words; the rest is the file.
inline constexpr size_t SwitchBytes = 64;

// Writes the file part of Data as in.wav and runs sonoloud with the switch words (those holding
// a '/' left out, so that nothing outside the scratch folder is named) and in.wav. Returns ""
// when every property held, otherwise what went wrong.
std::string LoudnessOnce(const uint8_t* Data, size_t Size);

// For the fuzz targets: prints a finding and aborts, so the fuzzer keeps the input.
void AbortOnFinding(const std::string& Problem);

} // namespace sonofuzz
