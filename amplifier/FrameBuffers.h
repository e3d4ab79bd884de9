// The engine's buffers for one file: the input's frames, read straight from the file and used
// where they lie, and the output's bytes waiting to be written. Knows files only as TWaveIO
// objects (opened without windows of their own: these are the windows) and nothing of gain.
// With a window, the output is written on a thread of its own while the engine amplifies the
// next stretch (a write into a new file is the kernel's dearest work here); the bytes and the
// failures are those of the writes in turn, a failure raised at the next pass.
#pragma once

#include "BackgroundTask.h"
#include "WaveFiles.h"

#include <cstdint>
#include <vector>

namespace sonolift {

class TFrameBuffers {
public:
    TFrameBuffers() = default;
    ~TFrameBuffers() { Release(); }
    TFrameBuffers(const TFrameBuffers&) = delete;
    TFrameBuffers& operator=(const TFrameBuffers&) = delete;

    // Buffers for Input and Output: Window bytes of the input's frames and two of 1.5 x Window
    // bytes of the output's, at least Block frames each; a request for Block frames or more is
    // never served in fewer. A Window of 0 writes in turn, one request at a time.
    void Begin(wave::TWaveIO& Input, wave::TWaveIO& Output, int64_t Window, int64_t Block);
    // Frames of the input from First on, where they lie; Frames is set to how many follow, at
    // most Want and at least min(Want, Block). When the buffer holds fewer it is read again
    // from First, after what it holds from Keep on where that is at most half of it. Raises
    // "Stream read error".
    const uint8_t* Input(int64_t First, int64_t Want, int64_t Keep, int64_t& Frames);
    // Room for up to Want frames of the output (the buffer passed to the writer first where
    // min(Want, Block) do not fit); Frames is set to how many fit. Raises "Stream write error"
    // for the buffer passed before.
    uint8_t* OutputRoom(int64_t Want, int64_t& Frames);
    // Takes the next Frames frames of the room as the output's.
    void Commit(int64_t Frames) { FOutBytes += Frames * FOutAlign; }
    // Writes the output's bytes held and waits until every byte passed is in the file; bytes
    // are forgotten once passed, so that a write that fails is not tried again. Raises "Stream
    // write error".
    void Write();
    // Waits for the write under way, frees the buffers and forgets the files; never throws.
    void Release() noexcept;

private:
    // Hands the output's bytes held to the writer, once those passed before are in the file.
    void Pass();
    // Waits for the write under way; raises its failure.
    void Settle();
    wave::TWaveIO* FIn = nullptr;
    wave::TWaveIO* FOut = nullptr;
    int64_t FInAlign = 1, FOutAlign = 1, FBlock = 1;
    // the input's frames FFirst .. FFirst + FFrames; the first FOutBytes of FOutBuffer[0], the
    // other the bytes under way
    std::vector<uint8_t> FInBuffer, FOutBuffer[2];
    int64_t FFirst = 0, FFrames = 0, FOutBytes = 0;
    bool FBehind = false, FWriting = false;
    TBackgroundTask FWriter;
};

} // namespace sonolift
