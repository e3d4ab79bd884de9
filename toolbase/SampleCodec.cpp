#include "SampleCodec.h"

#include "ForeignFiles.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <type_traits>

namespace vx {

namespace {

using E = TSampleEncoding;

// The sub-formats of the extensible format: PCM and IEEE float (their GUIDs differ only in the
// first byte).
constexpr uint8_t SubFormatTail[15] = {0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};

template <class T>
void Put(uint8_t* Values, int64_t I, T V) {
    std::memcpy(Values + I * static_cast<int64_t>(sizeof(T)), &V, sizeof(T));
}
template <class T>
T Get(const uint8_t* Values, int64_t I) {
    T V;
    std::memcpy(&V, Values + I * static_cast<int64_t>(sizeof(T)), sizeof(T));
    return V;
}

// Not a number is 0, an infinity full scale; written without branches, so loops vectorise.
// Count values of type From at Src converted by Fn to type To at Dst, a block at a time through
// local arrays, where the compiler vectorises the conversion. From and To are the machine's own
// (little-endian) types.
template <class From, class To, class TFn>
void Convert(const uint8_t* Src, int64_t Count, uint8_t* Dst, TFn&& Fn) {
    constexpr int64_t Block = 64;
    From In[Block] = {};
    To Out[Block];
    for (int64_t I = 0; I < Count; I += Block) {
        const size_t N = static_cast<size_t>(std::min(Block, Count - I));
        std::memcpy(In, Src + I * static_cast<int64_t>(sizeof(From)), N * sizeof(From));
        for (int64_t K = 0; K < Block; ++K) Out[K] = Fn(In[K]);
        std::memcpy(Dst + I * static_cast<int64_t>(sizeof(To)), Out, N * sizeof(To));
    }
}

// Float samples of type From at Src to doubles at Dst, as Convert does; false when one of them
// is not finite (all exponent bits set: adding the lowest exponent bit carries into the sign).
template <class From>
bool ToDoubles(const uint8_t* Src, int64_t Count, uint8_t* Dst) {
    using TBits = std::conditional_t<sizeof(From) == 4, uint32_t, uint64_t>;
    constexpr int Width = 8 * sizeof(From), Mantissa = std::numeric_limits<From>::digits - 1;
    constexpr TBits Exponent = ~TBits{0} >> 1 & ~((TBits{1} << Mantissa) - 1), Low = TBits{1} << Mantissa;
    constexpr int64_t Block = 64;
    From In[Block] = {};
    double Out[Block];
    TBits Bad = 0;
    for (int64_t I = 0; I < Count; I += Block) {
        const size_t N = static_cast<size_t>(std::min(Block, Count - I));
        std::memcpy(In, Src + I * static_cast<int64_t>(sizeof(From)), N * sizeof(From));
        for (int64_t K = 0; K < Block; ++K) {
            Bad |= ((std::bit_cast<TBits>(In[K]) & Exponent) + Low) >> (Width - 1);
            Out[K] = In[K];
        }
        std::memcpy(Dst + I * 8, Out, N * 8);
    }
    return Bad == 0;
}

// The byte-by-byte rule, out of line, so that the paths that use samples in place stay as
// compact as they are without it.
[[gnu::noinline]] void DecodeBytewise(TSampleEncoding Enc, const uint8_t* Bytes, int64_t Count, uint8_t* Values) {
    for (int64_t I = 0; I < Count; ++I) {
        const int64_t V = wave::GetLESigned(Bytes + I * SampleBytes(Enc), SampleBytes(Enc));
        if (Enc == E::sePcm8) Put<int16_t>(Values, I, static_cast<int16_t>((V & 0xFF) - 128));
        if (Enc == E::sePcm16) Put<int16_t>(Values, I, static_cast<int16_t>(V));
        if (Enc == E::sePcm24 || Enc == E::sePcm32) Put<int32_t>(Values, I, static_cast<int32_t>(V));
        if (Enc == E::seFloat32) Put<double>(Values, I, Finite(std::bit_cast<float>(static_cast<uint32_t>(V))));
        if (Enc == E::seFloat64) Put<double>(Values, I, Finite(std::bit_cast<double>(V)));
    }
}

[[gnu::noinline]] void EncodeBytewise(TSampleEncoding Enc, const uint8_t* Values, int64_t Count, uint8_t* Bytes) {
    for (int64_t I = 0; I < Count; ++I) {
        uint64_t V = 0;
        if (Enc == E::sePcm8) V = static_cast<uint64_t>(Get<int16_t>(Values, I) + 128);
        if (Enc == E::sePcm16) V = static_cast<uint64_t>(Get<int16_t>(Values, I));
        if (Enc == E::sePcm24 || Enc == E::sePcm32) V = static_cast<uint64_t>(Get<int32_t>(Values, I));
        if (Enc == E::seFloat32) V = std::bit_cast<uint32_t>(static_cast<float>(Get<double>(Values, I)));
        if (Enc == E::seFloat64) V = std::bit_cast<uint64_t>(Get<double>(Values, I));
        wave::PutLE(Bytes + I * SampleBytes(Enc), V, SampleBytes(Enc));
    }
}

// The format tag that Format's samples are in: an extensible format's sub-format (-1 for one
// that is none of the registered tags), 16-bit samples under any tag taken for PCM.
int EffectiveTag(const wave::TWaveFormat& Format, const wave::TWaveExtension& Extension) {
    if (Format.FormatTag != wave::ExtensibleTag) return Format.BitsPerSample == 16 ? 1 : Format.FormatTag;
    const auto& Sub = Extension.SubFormat;
    if (!Extension.Present || std::memcmp(Sub.data() + 2, SubFormatTail + 1, 14) != 0) return -1;
    return static_cast<int>(wave::GetLE(Sub.data(), 2));
}

// Valid bits that a sample of the extensible Format may have: all, or for integers from 1 up.
bool ValidBitsFit(const wave::TWaveFormat& Format, const wave::TWaveExtension& Extension, int Tag) {
    const int Valid = Extension.ValidBits, Bits = Format.BitsPerSample;
    return Format.FormatTag != wave::ExtensibleTag || Valid == Bits || (Tag == 1 && Valid >= 1 && Valid < Bits);
}

// The names of the encodings WAVE files are met in, by format tag.
const char* TagName(int Tag) {
    switch (Tag) {
    case 0x0002: return "MS ADPCM";
    case 0x0006: return "A-law";
    case 0x0007: return "µ-law";
    case 0x0011: return "IMA ADPCM";
    case 0x0031: return "GSM 6.10";
    case 0x0050: return "MPEG audio";
    case 0x0055: return "MP3";
    case 0x00FF: case 0x1610: return "AAC";
    case 0x2000: return "AC-3";
    case 0x2001: return "DTS";
    case 0xF1AC: return "FLAC";
    default: return "an encoding";
    }
}

} // namespace

TSampleEncoding SampleEncoding(const wave::TWaveFormat& Format, const wave::TWaveExtension& Extension) {
    const int Bits = Format.BitsPerSample;
    const int Tag = EffectiveTag(Format, Extension);
    if (!ValidBitsFit(Format, Extension, Tag)) return E::seNone;
    E Encoding = E::seNone;
    if (Tag == 1) Encoding = Bits == 8 ? E::sePcm8 : Bits == 16 ? E::sePcm16 : Bits == 24 ? E::sePcm24 : Bits == 32 ? E::sePcm32 : E::seNone;
    if (Tag == 3) Encoding = Bits == 32 ? E::seFloat32 : Bits == 64 ? E::seFloat64 : E::seNone;
    if (Encoding == E::seNone || Format.Channels == 0) return E::seNone;
    // Each frame must hold all its channels; 16-bit frames may be wider, as they always could.
    const int64_t Needed = static_cast<int64_t>(Format.Channels) * SampleBytes(Encoding);
    const bool Fits = Encoding == E::sePcm16 ? Format.BlockAlign >= Needed : Format.BlockAlign == Needed;
    return Fits ? Encoding : E::seNone;
}

vx::EvxError EncodingTrouble(const wave::TWaveFormat& Format, const wave::TWaveExtension& Extension) {
    const int Tag = EffectiveTag(Format, Extension), Bits = Format.BitsPerSample;
    const std::string Hint = wave::ConversionHint;
    if (Format.FormatTag == wave::ExtensibleTag && !Extension.Present)
        return vx::EvxError("an extensible format chunk without its 22-byte extension");
    if (Tag == -1) return vx::EvxError("an extensible format of an unknown sub-format is not PCM", Hint);
    if (Tag != 1 && Tag != 3) {
        char Number[16];
        std::snprintf(Number, sizeof Number, Tag < 10 ? "%d" : "0x%04X", Tag);
        return vx::EvxError(std::string(TagName(Tag)) + " (format " + Number + ") is not PCM", Hint);
    }
    if (!ValidBitsFit(Format, Extension, Tag))
        return vx::EvxError(std::to_string(Extension.ValidBits) + " valid bits in " + std::to_string(Bits) +
                            "-bit float samples are not read", Hint);
    if (SampleEncoding(Format, Extension) != E::seNone) return vx::EvxError("");
    const bool Readable = Tag == 1 ? Bits == 8 || Bits == 16 || Bits == 24 || Bits == 32 : Bits == 32 || Bits == 64;
    if (!Readable)
        return vx::EvxError(std::to_string(Bits) + "-bit " + (Tag == 1 ? "integer" : "float") + " samples are not read (" +
                            (Tag == 1 ? "8, 16, 24 or 32 bits" : "32 or 64 bits") + ")", Hint);
    if (Format.Channels == 0) return vx::EvxError("a format of no channels");
    return vx::EvxError("frames of " + std::to_string(Format.BlockAlign) + " bytes do not hold " + std::to_string(Format.Channels) +
                        (Format.Channels == 1 ? " channel of " : " channels of ") + std::to_string(Bits) + "-bit samples");
}

TSampleEncoding ReadableEncoding(const wave::TWaveIO& File) {
    const TSampleEncoding Encoding = SampleEncoding(File.Format(), File.Extension());
    if (Encoding == E::seNone) throw EncodingTrouble(File.Format(), File.Extension());
    if (File.DataSize() < 0) throw vx::EvxError("no data chunk: no audio");
    return Encoding;
}

int UnusedBits(const wave::TWaveFormat& Format, const wave::TWaveExtension& Extension) {
    const bool Narrower = Format.FormatTag == wave::ExtensibleTag && Extension.ValidBits < Format.BitsPerSample;
    return Narrower && SampleEncoding(Format, Extension) != E::seNone && !IsFloat(SampleEncoding(Format, Extension))
               ? Format.BitsPerSample - Extension.ValidBits
               : 0;
}

double RoundToValidBits(double V, int Unused) { return std::ldexp(std::nearbyint(std::ldexp(V, -Unused)), Unused); }

int SampleBytes(TSampleEncoding Enc) {
    switch (Enc) {
    case E::sePcm8: return 1;
    case E::sePcm16: return 2;
    case E::sePcm24: return 3;
    case E::sePcm32: case E::seFloat32: return 4;
    case E::seFloat64: return 8;
    case E::seNone: break;
    }
    return 0;
}

bool IsFloat(TSampleEncoding Enc) { return Enc == E::seFloat32 || Enc == E::seFloat64; }

int ValueBytes(TSampleEncoding Enc) {
    return IsFloat(Enc) ? 8 : Enc == E::sePcm8 || Enc == E::sePcm16 ? 2 : 4;
}

// Each switch picks a loop, so the encoding is not looked at per sample. Where samples are not
// used in place, every sample goes through the byte-by-byte rule instead (chosen once a call).
void DecodeSamples(TSampleEncoding Enc, const uint8_t* Bytes, int64_t Count, uint8_t* Values, bool Bytewise) {
    if (!SamplesInPlace(Bytewise)) return DecodeBytewise(Enc, Bytes, Count, Values);
    bool AllFinite = true;
    switch (Enc) {
    case E::sePcm8: Convert<uint8_t, int16_t>(Bytes, Count, Values, [](uint8_t B) { return static_cast<int16_t>(B - 128); }); break;
    case E::sePcm16: std::memcpy(Values, Bytes, static_cast<size_t>(Count) * 2); break;
    case E::sePcm24: // four bytes at a time, the last sample's on its own
        for (int64_t I = 0; I + 1 < Count; ++I) Put<int32_t>(Values, I, static_cast<int32_t>(Get<uint32_t>(Bytes + 3 * I, 0) << 8) >> 8);
        if (Count > 0) Put<int32_t>(Values, Count - 1, static_cast<int32_t>(wave::GetLESigned(Bytes + 3 * (Count - 1), 3)));
        break;
    case E::sePcm32: std::memcpy(Values, Bytes, static_cast<size_t>(Count) * 4); break;
    case E::seFloat32: AllFinite = ToDoubles<float>(Bytes, Count, Values); break;
    case E::seFloat64: AllFinite = ToDoubles<double>(Bytes, Count, Values); break;
    case E::seNone: break;
    }
    // NaN and infinities are rare: looked for while the samples are converted, mended afterwards.
    for (int64_t I = 0; !AllFinite && I < Count; ++I) Put<double>(Values, I, Finite(Get<double>(Values, I)));
}

void EncodeSamples(TSampleEncoding Enc, const uint8_t* Values, int64_t Count, uint8_t* Bytes, bool Bytewise) {
    if (!SamplesInPlace(Bytewise)) return EncodeBytewise(Enc, Values, Count, Bytes);
    switch (Enc) {
    case E::sePcm8: Convert<int16_t, uint8_t>(Values, Count, Bytes, [](int16_t V) { return static_cast<uint8_t>(V + 128); }); break;
    case E::sePcm16: std::memcpy(Bytes, Values, static_cast<size_t>(Count) * 2); break;
    case E::sePcm24: // four bytes at a time, each write's last byte overwritten by the next
        for (int64_t I = 0; I + 1 < Count; ++I) Put<uint32_t>(Bytes + 3 * I, 0, static_cast<uint32_t>(Get<int32_t>(Values, I)));
        if (Count > 0) wave::PutLE(Bytes + 3 * (Count - 1), static_cast<uint32_t>(Get<int32_t>(Values, Count - 1)), 3);
        break;
    case E::sePcm32: std::memcpy(Bytes, Values, static_cast<size_t>(Count) * 4); break;
    case E::seFloat32: Convert<double, float>(Values, Count, Bytes, [](double V) { return static_cast<float>(V); }); break;
    case E::seFloat64: std::memcpy(Bytes, Values, static_cast<size_t>(Count) * 8); break;
    case E::seNone: break;
    }
}

std::string ValueText(int64_t V, bool) { return std::to_string(V); }

std::string ValueText(double V, bool Single) {
    char Buffer[64];
    const auto Result = Single ? std::to_chars(Buffer, Buffer + sizeof Buffer, static_cast<float>(V))
                               : std::to_chars(Buffer, Buffer + sizeof Buffer, V);
    return std::string(Buffer, Result.ptr);
}

} // namespace vx
