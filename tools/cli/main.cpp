// vm6142: the command-line tool. See cli.h for the framework and README.md for adding commands.
#include <iostream>
#include <string>
#include <vector>

#include "app/shell/globals.h"
#include "tools/cli/cli.h"

int main(int argc, char** argv) {
    using namespace vm;
    // Installed, the user's settings and data folders are made on the first run, as the
    // editor makes them; beside the executable nothing is made.
    const shell::Locations where = shell::Locate(shell::CurrentEnvironment());
    std::vector<std::string> problems;
    if (where.mode == shell::InstallMode::kInstalled) problems = shell::PrepareUserFolders(where);
    shell::LoadStartUpValues(shell::g_App, where);
    std::vector<std::string> args(argv + 1, argv + argc);
    cli::Context ctx{std::cout, std::cerr, shell::g_Document, shell::g_App};
    for (const std::string& problem : problems) ctx.Warn(problem);
    const int code = cli::Run(args, ctx);
    std::cout.flush();
    if (!std::cout && code == cli::kExitSuccess) {
        std::cerr << cli::kProgramName << ": cannot write the output\n";
        return cli::kExitFailure;
    }
    return code;
}
