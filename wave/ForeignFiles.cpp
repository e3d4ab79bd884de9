#include "ForeignFiles.h"

#include <cstring>

namespace wave {

namespace {

struct TMagic {
    size_t Offset;
    const char* Bytes;
    size_t Count;
    const char* What;
};

// The first bytes of the forms a WAVE file is mistaken for. Wave64's "riff" is followed by the
// rest of its GUID.
const TMagic Magics[] = {
    {0, "fLaC", 4, "a FLAC file, not a WAVE file"},
    {0, "OggS", 4, "an Ogg file (Vorbis, Opus or FLAC), not a WAVE file"},
    {0, "ID3", 3, "an MP3 file, not a WAVE file"},
    {0, "riff\x2e\x91\xcf\x11\xa5\xd6\x28\xdb\x04\xc1\x00\x00", 16, "a Wave64 file, not a RIFF/WAVE file"},
    {0, "RIFX", 4, "a RIFX (big-endian) file, not a little-endian RIFF/WAVE file"},
    {0, "caff", 4, "a CAF file, not a WAVE file"},
    {0, "wvpk", 4, "a WavPack file, not a WAVE file"},
    {0, "MAC ", 4, "a Monkey's Audio file, not a WAVE file"},
    {0, ".snd", 4, "an AU file, not a WAVE file"},
    {4, "ftyp", 4, "an MP4/M4A file, not a WAVE file"},
};

bool Has(const uint8_t* Head, size_t Count, size_t Offset, const char* Bytes, size_t N) {
    return Count >= Offset + N && std::memcmp(Head + Offset, Bytes, N) == 0;
}

} // namespace

TForeignKind ForeignKind(const uint8_t* Head, size_t Count, int64_t Length) {
    if (Length == 0) return {"an empty file", false};
    for (const TMagic& M : Magics)
        if (Has(Head, Count, M.Offset, M.Bytes, M.Count)) return {M.What, true};
    if (Has(Head, Count, 0, "FORM", 4) && (Has(Head, Count, 8, "AIFF", 4) || Has(Head, Count, 8, "AIFC", 4)))
        return {"an AIFF file, not a WAVE file", true};
    // A frame sync: MPEG audio (its layer bits set) or AAC in ADTS frames (layer bits 0).
    if (Count >= 2 && Head[0] == 0xFF && (Head[1] & 0xE0) == 0xE0)
        return {(Head[1] & 0x06) != 0 ? "an MP3 file, not a WAVE file" : "an AAC file, not a WAVE file", true};
    if (Has(Head, Count, 0, "RIFF", 4) && Count >= 12)
        return {"a RIFF file of the form \"" + std::string(reinterpret_cast<const char*>(Head) + 8, 4) + "\", not WAVE", false};
    const bool Riff = Has(Head, Count, 0, "RIFF", 4) || Has(Head, Count, 0, "RF64", 4) || Has(Head, Count, 0, "BW64", 4);
    if (Riff && Length < 12) return {"too short for a RIFF/WAVE header", false};
    return {"not a RIFF/WAVE file", false};
}

} // namespace wave
