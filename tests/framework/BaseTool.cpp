// A tool built on the console base class alone, run as a child by the framework tests. With
// BASETOOL_EXECUTE set, Execute returns that status and the destructor reports that it ran.
#include "vxConsole.h"

#include <cstdlib>
#include <memory>

namespace {

class TExecuteTool : public vx::TvxConsoleApplication {
public:
    explicit TExecuteTool(int Status) : FStatus(Status) {}
    ~TExecuteTool() override { vx::WriteOut("destroyed\n"); }
    int Execute() override { return FStatus; }

private:
    int FStatus;
};

} // namespace

int main(int argc, char** argv) {
    vx::vxSystemStartup(argc, argv);
    std::unique_ptr<vx::TvxConsoleApplication> App;
    if (const char* Status = std::getenv("BASETOOL_EXECUTE"))
        App = std::make_unique<TExecuteTool>(std::atoi(Status));
    else
        App = std::make_unique<vx::TvxConsoleApplication>();
    App->Initialize();
    App->Run();
    App.reset();
    vx::ProcessExit(0);
}
