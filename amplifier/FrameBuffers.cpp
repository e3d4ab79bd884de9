#include "FrameBuffers.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace sonolift {

void TFrameBuffers::Begin(wave::TWaveIO& Input, wave::TWaveIO& Output, int64_t Window, int64_t Block) {
    FIn = &Input;
    FOut = &Output;
    FInAlign = Input.Format().BlockAlign;
    FOutAlign = Output.Format().BlockAlign;
    FBlock = Block;
    // The output's buffer is twice the input's: a write into a new file costs the kernel more
    // per call than a read, and halving those calls took a tenth off the time.
    FInBuffer.assign(static_cast<size_t>(std::max(Block, Window / FInAlign) * FInAlign), 0);
    FOutBuffer.assign(static_cast<size_t>(std::max(Block, 2 * Window / FOutAlign) * FOutAlign), 0);
    FFirst = FFrames = FOutBytes = 0;
}

const uint8_t* TFrameBuffers::Input(int64_t First, int64_t Want, int64_t Keep, int64_t& Frames) {
    const int64_t Capacity = static_cast<int64_t>(FInBuffer.size()) / FInAlign, End = FFirst + FFrames;
    if (First < FFirst || End - First < std::min(Want, FBlock)) {
        const int64_t Start = Keep >= FFirst && Keep <= First && First <= End && First - Keep <= Capacity / 2 ? Keep : First;
        int64_t Kept = 0;
        if (Start >= FFirst && Start <= End) {
            Kept = End - Start;
            std::memmove(FInBuffer.data(), FInBuffer.data() + (Start - FFirst) * FInAlign, static_cast<size_t>(Kept * FInAlign));
        }
        const int64_t N = std::min(Capacity - Kept, FIn->DataSize() / FInAlign - (Start + Kept));
        if (N > 0) {
            FIn->SetPosition((Start + Kept) * FInAlign);
            FIn->ReadWaveData(FInBuffer.data() + Kept * FInAlign, static_cast<int32_t>(N * FInAlign));
        }
        FFirst = Start;
        FFrames = Kept + std::max<int64_t>(N, 0);
    }
    Frames = std::min(Want, FFirst + FFrames - First);
    return FInBuffer.data() + (First - FFirst) * FInAlign;
}

uint8_t* TFrameBuffers::OutputRoom(int64_t Want, int64_t& Frames) {
    if ((static_cast<int64_t>(FOutBuffer.size()) - FOutBytes) / FOutAlign < std::min(Want, FBlock)) Write();
    Frames = std::min(Want, (static_cast<int64_t>(FOutBuffer.size()) - FOutBytes) / FOutAlign);
    return FOutBuffer.data() + FOutBytes;
}

void TFrameBuffers::Write() {
    const int64_t Bytes = std::exchange(FOutBytes, 0);
    if (Bytes > 0) FOut->WriteWaveData(FOutBuffer.data(), static_cast<int32_t>(Bytes));
}

void TFrameBuffers::Release() {
    FIn = FOut = nullptr;
    FInBuffer = {};
    FOutBuffer = {};
    FFirst = FFrames = FOutBytes = 0;
}

} // namespace sonolift
