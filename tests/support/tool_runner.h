// Runs the vm6142 tool in-process (own document, streams, application folder) or as the built
// executable, capturing exit status, standard output and standard error.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace vm::testing {

struct ToolRun {
    int code = -1;
    std::string out;
    std::string err;
};

// In-process, with the application folder `app_folder` (Default.dat, Program.ini).
ToolRun RunTool(const std::vector<std::string>& args, const std::filesystem::path& app_folder);
// In-process, with the build's application folder.
ToolRun Tool(const std::vector<std::string>& args);
// The vm6142 executable in the build's application folder.
ToolRun RunBinary(const std::vector<std::string>& args);

}  // namespace vm::testing
