// vm6142: the command-line tool. See cli.h for the framework and README.md for adding commands.
#include <iostream>
#include <string>
#include <vector>

#include "app/shell/globals.h"
#include "tools/cli/cli.h"

int main(int argc, char** argv) {
    using namespace vm;
    shell::LoadStartUpValues(shell::g_App, shell::ExecutableFolder());
    std::vector<std::string> args(argv + 1, argv + argc);
    cli::Context ctx{std::cout, std::cerr, shell::g_Document, shell::g_App};
    const int code = cli::Run(args, ctx);
    std::cout.flush();
    if (!std::cout && code == cli::kExitSuccess) {
        std::cerr << cli::kProgramName << ": cannot write the output\n";
        return cli::kExitFailure;
    }
    return code;
}
