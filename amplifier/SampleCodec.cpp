#include "SampleCodec.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>

namespace sonolift {

namespace {

using E = TSampleEncoding;

// The sub-formats of the extensible format: PCM and IEEE float (their GUIDs differ only in the
// first byte).
constexpr uint8_t SubFormatTail[15] = {0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};

int64_t LoadLE(const uint8_t* P, int Bytes) {
    uint64_t U = 0;
    for (int I = Bytes - 1; I >= 0; --I) U = U << 8 | P[I];
    const int Shift = 64 - 8 * Bytes; // sign-extend
    return static_cast<int64_t>(U << Shift) >> Shift;
}

void StoreLE(uint8_t* P, uint64_t V, int Bytes) {
    for (int I = 0; I < Bytes; ++I) P[I] = static_cast<uint8_t>(V >> (8 * I));
}

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

double Finite(double V) { return std::isnan(V) ? 0.0 : std::isinf(V) ? (V < 0 ? -1.0 : 1.0) : V; }

} // namespace

TSampleEncoding SampleEncoding(const wave::TWaveFormat& Format, const wave::TWaveExtension& Extension) {
    const int Bits = Format.BitsPerSample;
    int Tag = Format.FormatTag;
    if (Tag == wave::ExtensibleTag) {
        const auto& Sub = Extension.SubFormat;
        if (!Extension.Present || Extension.ValidBits != Bits || std::memcmp(Sub.data() + 1, SubFormatTail, 15) != 0)
            return E::seNone;
        Tag = Sub[0] == 1 || Sub[0] == 3 ? Sub[0] : -1;
    } else if (Bits == 16) {
        Tag = 1;
    }
    E Encoding = E::seNone;
    if (Tag == 1) Encoding = Bits == 8 ? E::sePcm8 : Bits == 16 ? E::sePcm16 : Bits == 24 ? E::sePcm24 : Bits == 32 ? E::sePcm32 : E::seNone;
    if (Tag == 3) Encoding = Bits == 32 ? E::seFloat32 : Bits == 64 ? E::seFloat64 : E::seNone;
    if (Encoding == E::seNone || Format.Channels == 0) return E::seNone;
    // Each frame must hold all its channels; 16-bit frames may be wider, as they always could.
    const int64_t Needed = static_cast<int64_t>(Format.Channels) * SampleBytes(Encoding);
    const bool Fits = Encoding == E::sePcm16 ? Format.BlockAlign >= Needed : Format.BlockAlign == Needed;
    return Fits ? Encoding : E::seNone;
}

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

// Each switch picks a loop, so the encoding is not looked at per sample.
void DecodeSamples(TSampleEncoding Enc, const uint8_t* Bytes, int64_t Count, uint8_t* Values) {
    const int W = SampleBytes(Enc);
    auto Each = [Count](auto&& Body) {
        for (int64_t I = 0; I < Count; ++I) Body(I);
    };
    switch (Enc) {
    case E::sePcm8: Each([&](int64_t I) { Put<int16_t>(Values, I, static_cast<int16_t>(Bytes[I] - 128)); }); break;
    case E::sePcm16:
        if constexpr (std::endian::native == std::endian::little)
            std::memcpy(Values, Bytes, static_cast<size_t>(Count) * 2);
        else
            Each([&](int64_t I) { Put<int16_t>(Values, I, static_cast<int16_t>(LoadLE(Bytes + 2 * I, 2))); });
        break;
    case E::sePcm24: case E::sePcm32:
        Each([&](int64_t I) { Put<int32_t>(Values, I, static_cast<int32_t>(LoadLE(Bytes + W * I, W))); });
        break;
    case E::seFloat32:
        Each([&](int64_t I) { Put<double>(Values, I, Finite(std::bit_cast<float>(static_cast<uint32_t>(LoadLE(Bytes + 4 * I, 4))))); });
        break;
    case E::seFloat64:
        Each([&](int64_t I) { Put<double>(Values, I, Finite(std::bit_cast<double>(static_cast<uint64_t>(LoadLE(Bytes + 8 * I, 8))))); });
        break;
    case E::seNone: break;
    }
}

void EncodeSamples(TSampleEncoding Enc, const uint8_t* Values, int64_t Count, uint8_t* Bytes) {
    const int W = SampleBytes(Enc);
    auto Each = [Count](auto&& Body) {
        for (int64_t I = 0; I < Count; ++I) Body(I);
    };
    switch (Enc) {
    case E::sePcm8: Each([&](int64_t I) { Bytes[I] = static_cast<uint8_t>(Get<int16_t>(Values, I) + 128); }); break;
    case E::sePcm16:
        if constexpr (std::endian::native == std::endian::little)
            std::memcpy(Bytes, Values, static_cast<size_t>(Count) * 2);
        else
            Each([&](int64_t I) { StoreLE(Bytes + 2 * I, static_cast<uint16_t>(Get<int16_t>(Values, I)), 2); });
        break;
    case E::sePcm24: case E::sePcm32:
        Each([&](int64_t I) { StoreLE(Bytes + W * I, static_cast<uint32_t>(Get<int32_t>(Values, I)), W); });
        break;
    case E::seFloat32:
        Each([&](int64_t I) { StoreLE(Bytes + 4 * I, std::bit_cast<uint32_t>(static_cast<float>(Get<double>(Values, I))), 4); });
        break;
    case E::seFloat64: Each([&](int64_t I) { StoreLE(Bytes + 8 * I, std::bit_cast<uint64_t>(Get<double>(Values, I)), 8); }); break;
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

} // namespace sonolift
