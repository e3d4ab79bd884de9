// Overload lines held with the output bytes of the block that produced them, and written to
// standard output once those bytes are in the file: a block that a failed write lost still
// shows its lines, and no line is shown for a block that never got there.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

namespace sonolift {

class THeldLines {
public:
    // Holds Lines for the output's data bytes [Start, End).
    void Hold(int64_t Start, int64_t End, std::string Lines);
    // Writes the lines of the blocks whose bytes lie before Committed; after a failure (Failed)
    // also those of the first block that did not get there whole, and forgets the rest.
    void Emit(int64_t Committed, bool Failed);
    bool Empty() const { return FBlocks.empty(); }
    void Clear() { FBlocks.clear(); }

private:
    struct TBlock {
        int64_t Start, End;
        std::string Lines;
    };
    std::deque<TBlock> FBlocks;
};

} // namespace sonolift
