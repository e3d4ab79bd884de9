// Program entry of sonoloud.
#include "SonoloudApp.h"

#include <clocale>
#include <csignal>
#include <exception>
#include <memory>

int main(int argc, char** argv) {
    // Only the sort of file names follows the locale; numbers are always written with '.'.
    std::setlocale(LC_COLLATE, "");
    std::setlocale(LC_CTYPE, "");
    // A write past the file-size limit must fail like any other write, not kill the process.
    std::signal(SIGXFSZ, SIG_IGN);
    try {
        // Targets and ceilings are negative: "-t -16" is a switch and its value.
        vx::vxSystemStartup(argc, argv, true);
        vx::TonebenchStartup();
        vx::ProgramInfo.Name = "sonoloud";
        vx::ProgramInfo.Usage = "[-t LUFS [-c DBTP]] [--csv] file...";
        vx::ProgramInfo.Description = "wave file loudness meter and normaliser.";
        vx::ProgramInfo.Version = "0.1.0";
        auto App = std::make_unique<sonoloud::TSonoloudApp>();
        App->Initialize();
        App->Run();
        App.reset();
    } catch (const std::exception& E) {
        vx::WriteErr(vx::ExePath() + ": " + E.what() + "\n");
        vx::ProcessExit(1);
    } catch (...) {
        vx::WriteErr(vx::ExePath() + ": unknown failure\n");
        vx::ProcessExit(1);
    }
    vx::ProcessExit(0);
}
