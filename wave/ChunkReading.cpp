#include "ChunkReading.h"

#include "ByteOrder.h"
#include "vxSystem.h"

#include <algorithm>
#include <cstring>

namespace wave {

namespace {

bool TagAmong(const uint8_t* Tag, const char* Tags, size_t Length) {
    for (size_t K = 0; K + 4 <= Length; K += 4)
        if (std::memcmp(Tag, Tags + K, 4) == 0) return true;
    return false;
}

// PadRule with a read that may fail: -1 then.
int64_t TryPadRule(TWaveStream& Stream, int64_t At, int64_t End) {
    if (At >= End) return At;
    uint8_t Raw[9];
    const size_t Count = static_cast<size_t>(std::min<int64_t>(9, End - At));
    if (!Stream.ReadAt(Raw, Count, At)) return -1;
    if (Raw[0] == 0) return At + 1;
    if (Count < 9) return At; // a header fits at At at most
    return HeaderScore(Raw + 1, At + 1, End) > HeaderScore(Raw, At, End) ? At + 1 : At;
}

} // namespace

int HeaderScore(const uint8_t* Raw, int64_t At, int64_t End) {
    for (int I = 0; I < 4; ++I)
        if (Raw[I] < 0x20 || Raw[I] > 0x7E || (I == 0 && Raw[I] == ' ')) return 0;
    const bool Fits = static_cast<int64_t>(GetLE(Raw + 4, 4)) <= End - (At + 8);
    return 1 + Fits + TagAmong(Raw, WaveTags, sizeof WaveTags - 1);
}

int64_t PadRule(TWaveStream& Stream, int64_t At, int64_t End) {
    const int64_t Next = TryPadRule(Stream, At, End);
    if (Next < 0) throw vx::EvxError("Stream read error");
    return Next;
}

bool Reaches(TWaveStream& Stream, int64_t At, int64_t End, const std::string& Wanted, int Steps, int64_t& Budget) {
    for (; Steps > 0 && Budget > 0 && At >= 0 && End - At >= 8; --Steps, --Budget) {
        uint8_t Raw[8];
        if (!Stream.ReadAt(Raw, 8, At)) return false;
        if (TagAmong(Raw, Wanted.data(), Wanted.size())) return true;
        const int64_t Size = static_cast<int64_t>(GetLE(Raw + 4, 4));
        if (Size > End - (At + 8)) return false;
        At += 8 + Size;
        if (Size & 1) At = TryPadRule(Stream, At, End);
    }
    return false;
}

} // namespace wave
