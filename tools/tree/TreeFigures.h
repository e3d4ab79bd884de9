// The figures of a file's audio taken as its bytes go by, so that each file of a run is read
// once: the SHA-256 of the data chunk's bytes (nettle) and the loudness of its whole frames
// (the loudness tool's meter).
#pragma once

#include "LoudnessMeter.h"
#include "SampleCodec.h"
#include "WaveFiles.h"

#include <cstdint>
#include <memory>
#include <nettle/sha2.h>
#include <string>
#include <vector>

namespace tree {

// The SHA-256 of bytes handed over in pieces.
class TDigest {
public:
    TDigest() { sha256_init(&FContext); }
    void Add(const uint8_t* Bytes, size_t Count) { sha256_update(&FContext, Count, Bytes); }
    // In hex; ends the digest.
    std::string Hex();

private:
    sha256_ctx FContext;
};

class TFigures {
public:
    // For the audio of Wave, whose data chunk's bytes are added in order. WithLoudness false:
    // the digest only.
    explicit TFigures(const wave::TWaveIO& Wave, bool WithLoudness = true);
    ~TFigures();

    // The next Count bytes of the data chunk, in pieces of any size.
    void Add(const uint8_t* Bytes, size_t Count);
    std::string Digest() {
        if (FHex.empty()) FHex = FDigest.Hex();
        return FHex;
    }
    // The loudness of the whole frames; every figure -inf where they cannot be measured or not
    // all of them came.
    sonoloud::TLoudness Loudness();

private:
    void Measure(const uint8_t* Bytes, int64_t Frames);

    TDigest FDigest;
    std::string FHex;
    std::unique_ptr<sonoloud::TLoudnessMeter> FMeter;
    vx::TSampleEncoding FEncoding = vx::TSampleEncoding::seNone;
    int64_t FAlign = 0, FChannels = 0;
    int64_t FLeft = 0;            // bytes of whole frames still to come
    std::vector<uint8_t> FCarry;  // the start of a frame that the last piece cut
};

// Every figure not available.
sonoloud::TLoudness NoLoudness();

} // namespace tree
