// What a file that the wave object refuses is instead, told from its first bytes: another audio
// format (FLAC, MP3, Ogg, AIFF, ...), another RIFF form (RIFX, Wave64), or none known. The
// reason a tool gives for such a file, and whether a conversion to PCM WAVE exists.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace wave {

struct TForeignKind {
    std::string What;         // "a FLAC file, not a WAVE file", "not a RIFF/WAVE file", ...
    bool Convertible = false; // audio that a converter can turn into PCM WAVE
};

// The kind of a file of Length bytes that begins with the Count bytes at Head (up to 16).
TForeignKind ForeignKind(const uint8_t* Head, size_t Count, int64_t Length);

// The one-line hint for a file that holds audio in another form or encoding.
inline constexpr char ConversionHint[] = "convert it to PCM WAVE first, for example: ffmpeg -i INPUT -c:a pcm_s24le OUTPUT.wav";

} // namespace wave
