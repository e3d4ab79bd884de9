// Program entry of sonolift.
#include "SonoliftApp.h"

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
        vx::vxSystemStartup(argc, argv);
        vx::TonebenchStartup();
        vx::ProgramInfo.Name = "sonolift";
        vx::ProgramInfo.Usage = "[file...]";
        vx::ProgramInfo.Description = "wave file dynamic amplification utility.";
        vx::ProgramInfo.Version = "0.1.0";
        auto App = std::make_unique<sonolift::TSonoliftApp>();
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
