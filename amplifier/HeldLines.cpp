#include "HeldLines.h"

#include "vxSystem.h"

namespace sonolift {

void THeldLines::Hold(int64_t Start, int64_t End, std::string Lines) {
    FBlocks.push_back(TBlock{Start, End, std::move(Lines)});
}

void THeldLines::Emit(int64_t Committed, bool Failed) {
    std::string Text;
    while (!FBlocks.empty() && (FBlocks.front().End <= Committed || (Failed && FBlocks.front().Start <= Committed))) {
        Text += FBlocks.front().Lines;
        FBlocks.pop_front();
    }
    if (Failed) FBlocks.clear();
    if (!Text.empty()) vx::WriteOut(Text);
}

} // namespace sonolift
