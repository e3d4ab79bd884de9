// Program entry of sonoloud.
#include "SonoloudApp.h"

int main(int argc, char** argv) {
    // Targets and ceilings are negative: "-t -16" is a switch and its value.
    vx::RunTool(argc, argv, {"sonoloud", "[-t LUFS [-c DBTP]] [--csv] file...", "wave file loudness meter and normaliser.", true},
                [] { return std::make_unique<sonoloud::TSonoloudApp>(); });
}
