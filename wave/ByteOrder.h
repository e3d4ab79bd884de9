// The byte order of every field and sample of a WAVE file: little-endian integers of 1 to 8
// bytes read and written byte by byte, so the same on any machine. The one place that says it.
#pragma once

#include <cstdint>

namespace wave {

// The unsigned integer of Size bytes at P.
inline uint64_t GetLE(const uint8_t* P, int Size) {
    uint64_t V = 0;
    for (int I = Size - 1; I >= 0; --I) V = V << 8 | P[I];
    return V;
}

// The same field read as a two's-complement integer of Size bytes, sign-extended.
inline int64_t GetLESigned(const uint8_t* P, int Size) {
    const int Shift = 64 - 8 * Size;
    return static_cast<int64_t>(GetLE(P, Size) << Shift) >> Shift;
}

// The low Size bytes of V at P.
inline void PutLE(uint8_t* P, uint64_t V, int Size) {
    for (int I = 0; I < Size; ++I) P[I] = static_cast<uint8_t>(V >> (8 * I));
}

} // namespace wave
