// sonolift as the end-to-end cases run it besides the program: the same entry and libraries with
// the I/O settings the build names, and the baseline table of the passes, a check of those too.
#include "SonoliftApp.h"

int main(int argc, char** argv) {
    sonolift::RunSonolift(argc, argv,
                          {SONOLIFT_TWIN_WINDOW, SONOLIFT_TWIN_BYTEWISE, sonolift::KernelTable(sonolift::TKernelSet::Baseline)});
}
