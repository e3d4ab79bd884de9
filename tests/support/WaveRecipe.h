// WAVE files for every test, the fuzz corpus and the tree fixtures, written from a recipe: one
// line of words that lists the chunks, such as
//   pcm16 2 8000 data (100 -100)x50 chunk LIST 41424344 riff 200
// Sizes are written as the recipe says, so damaged files are as easy to make as good ones.
//
//   pcm8|pcm16|pcm24|pcm32|float32|float64 CH RATE   a plain fmt chunk of that encoding
//   ext [VALID [MASK [GUID]]]    makes the last fmt chunk extensible (40 bytes, cbSize 22)
//   fmt TAG CH RATE BYTERATE ALIGN BITS [HEX]        a fmt chunk field by field
//   data SAMPLE...               a data chunk in the last encoding: numbers (nan, inf, -inf for
//                                float), (SAMPLE...)xN repeats, music FRAMES CHANNELS SEED
//                                LOUDNESS% for noise under a changing envelope, tone FRAMES
//                                CHANNELS HZ RATE DBFS for a sine in every channel (peak DBFS)
//   chunk TAG PAYLOAD            any chunk; '.' in TAG stands for a blank; PAYLOAD is hex, '-'
//                                for none, *N:HH for N bytes HH, or @FILE for a file's bytes,
//                                or such pieces joined by '+'
//   size N / riff N              the size field of the last chunk / of the RIFF header
//   raw HEX                      bytes appended as they are (a pad byte: raw 00)
//   rf64, bw64                   "RF64" or "BW64" with a ds64 chunk first, data size 0xFFFFFFFF
//   ds64 RIFF DATA FRAMES        the ds64 chunk's sizes as given (0 0 0: a writer into a pipe)
//   fact                         a float output's header: cbSize 0 after a plain fmt, a fact
//                                chunk with the frame count after the fmt chunk
//   cut N                        the file cut after N bytes
//   text WORD                    not a WAVE file: the word and a line end
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace testwave {

using Bytes = std::vector<uint8_t>;
// From sample index First on (interleaved), gain Gain percent.
using TGains = std::vector<std::pair<int64_t, int64_t>>;

// The file a recipe describes; raises std::runtime_error for a malformed recipe.
Bytes Build(const std::string& Recipe);
// What sonolift makes of the plain or extensible file of recipe In when its samples are
// amplified with Gains: the same format, only fmt (and fact for floats) and data, each sample
// by the rule of its encoding (integers rounded at their valid bits).
Bytes Amplified(const std::string& In, const TGains& Gains);
// A sample amplified by the rule of integer files: s / 100 * L in extended precision, rounded
// half to even, to a multiple of 2^Unused (the container's bits below the valid bits).
int64_t AmplifyInt(int64_t S, int64_t L, int Unused = 0);

// The seed corpus that fuzz/corpus/seeds.txt describes: paths under fuzz/corpus and contents
// (process/seed-NAME and loud/seed-NAME).
std::vector<std::pair<std::string, Bytes>> Seeds(const std::string& SeedsFile);

} // namespace testwave
