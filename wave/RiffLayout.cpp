#include "RiffLayout.h"

#include <algorithm>
#include <cstring>

namespace wave {

std::array<uint8_t, 16> EncodeFormat(const TWaveFormat& F) {
    std::array<uint8_t, 16> B{};
    uint8_t* P = B.data();
    PutLE(P, F.FormatTag, 2), PutLE(P + 2, F.Channels, 2), PutLE(P + 4, F.SamplesPerSec, 4);
    PutLE(P + 8, F.AvgBytesPerSec, 4), PutLE(P + 12, F.BlockAlign, 2), PutLE(P + 14, F.BitsPerSample, 2);
    return B;
}

TWaveFormat DecodeFormat(const uint8_t* P) {
    return TWaveFormat{static_cast<uint16_t>(GetLE(P, 2)),      static_cast<uint16_t>(GetLE(P + 2, 2)),
                       static_cast<uint32_t>(GetLE(P + 4, 4)),  static_cast<uint32_t>(GetLE(P + 8, 4)),
                       static_cast<uint16_t>(GetLE(P + 12, 2)), static_cast<uint16_t>(GetLE(P + 14, 2))};
}

std::array<uint8_t, 12> FileHead(const char* Form, int64_t RiffSize) {
    std::array<uint8_t, 12> B{};
    std::memcpy(B.data(), Form, 4);
    PutLE(B.data() + 4, std::memcmp(Form, "RIFF", 4) != 0 ? InDs64 : static_cast<uint32_t>(RiffSize), 4);
    std::memcpy(B.data() + 8, "WAVE", 4);
    return B;
}

std::array<uint8_t, 8> ChunkHead(const char* Tag, int64_t Size, bool SizeInDs64) {
    std::array<uint8_t, 8> B{};
    std::memcpy(B.data(), Tag, 4);
    PutLE(B.data() + 4, SizeInDs64 ? InDs64 : static_cast<uint32_t>(Size), 4);
    return B;
}

std::array<uint8_t, Ds64Size> Ds64Payload(int64_t RiffSize, int64_t DataSize, uint16_t BlockAlign) {
    std::array<uint8_t, Ds64Size> B{};
    const int64_t Data = std::max<int64_t>(DataSize, 0);
    PutLE(B.data(), static_cast<uint64_t>(RiffSize), 8), PutLE(B.data() + 8, static_cast<uint64_t>(Data), 8);
    PutLE(B.data() + 16, static_cast<uint64_t>(BlockAlign == 0 ? 0 : Data / BlockAlign), 8);
    return B;
}

std::array<uint8_t, FactSize> FactPayload(bool Rf64, int64_t Frames) {
    std::array<uint8_t, FactSize> B{};
    PutLE(B.data(), Rf64 ? InDs64 : static_cast<uint32_t>(std::clamp<int64_t>(Frames, 0, InDs64)), 4);
    return B;
}

bool NeedsFact(const TWaveFormat& F, const TWaveExtension& E) {
    return (E.Present ? GetLE(E.SubFormat.data(), 2) : F.FormatTag) == FloatTag && (F.BitsPerSample == 32 || F.BitsPerSample == 64);
}

int64_t FmtSize(const TWaveFormat& F, const TWaveExtension& E) { return E.Present ? 16 + ExtensionSize : NeedsFact(F, E) ? 18 : 16; }

std::vector<uint8_t> FmtPayload(const TWaveFormat& F, const TWaveExtension& E, int64_t Size) {
    const std::array<uint8_t, 16> Record = EncodeFormat(F);
    std::vector<uint8_t> B(Record.begin(), Record.end());
    if (Size == 18) B.resize(18); // cbSize 0
    if (E.Present && Size >= 16 + ExtensionSize) {
        B.resize(16 + ExtensionSize);
        PutLE(&B[16], ExtensionSize - 2, 2), PutLE(&B[18], E.ValidBits, 2), PutLE(&B[20], E.ChannelMask, 4);
        std::copy(E.SubFormat.begin(), E.SubFormat.end(), B.begin() + 24);
    }
    return B;
}

} // namespace wave
