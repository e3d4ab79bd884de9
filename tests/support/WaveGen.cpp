// Writes WAVE files from recipes (see WaveRecipe.h), for the shell tests and the seed corpus:
//   sonolift-wavegen OUT RECIPE...           one file
//   sonolift-wavegen --seeds SEEDS FOLDER    the seed corpus that SEEDS describes
#include "TestSupport.h"
#include "WaveRecipe.h"

#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>

int main(int argc, char** argv) {
    try {
        if (argc == 4 && std::string(argv[1]) == "--seeds") {
            for (const auto& [Path, Content] : testwave::Seeds(argv[2])) {
                std::filesystem::create_directories((std::filesystem::path(argv[3]) / Path).parent_path());
                testsupport::WriteFile(std::string(argv[3]) + "/" + Path, Content);
            }
            return 0;
        }
        if (argc < 3) throw std::runtime_error("usage: sonolift-wavegen OUT RECIPE... | --seeds SEEDS FOLDER");
        std::string Recipe;
        for (int I = 2; I < argc; ++I) Recipe += std::string(argv[I]) + " ";
        testsupport::WriteFile(argv[1], testwave::Build(Recipe));
    } catch (const std::exception& E) {
        std::fprintf(stderr, "sonolift-wavegen: %s\n", E.what());
        return 2;
    }
    return 0;
}
