// Program entry of sonolift.
#include "SonoliftApp.h"

int main(int argc, char** argv) {
    vx::RunTool(argc, argv, {"sonolift", "[file...]", "wave file dynamic amplification utility.", false},
                [] { return std::make_unique<sonolift::TSonoliftApp>(); });
}
