// sonolift as the end-to-end cases run it besides the program: the same entry and libraries with
// the I/O settings the build names, and only the baseline vector passes, a check of those too.
#include "GainKernels.h"
#include "SonoliftApp.h"

int main(int argc, char** argv) {
    sonolift::WideVectors = false;
    sonolift::RunSonolift(argc, argv, [](sonolift::TSonoliftApp& App) {
        App.SetIOWindow(SONOLIFT_TWIN_WINDOW), App.SetBytewiseSamples(SONOLIFT_TWIN_BYTEWISE);
    });
}
