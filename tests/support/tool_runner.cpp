#include "tests/support/tool_runner.h"

#include <cstdlib>
#include <memory>
#include <sstream>

#include <sys/wait.h>

#include "app/image/band_tables.h"
#include "app/shell/app_state.h"
#include "app/shell/data_file.h"
#include "tests/support/files.h"
#include "tools/cli/cli.h"

namespace vm::testing {

namespace fs = std::filesystem;

ToolRun RunTool(const std::vector<std::string>& args, const fs::path& app_folder) {
    // Fresh state every run, as a new process would have.
    auto image = std::make_unique<RadioImage>();
    auto header = std::make_unique<FileHeader>();
    image->fill(0);
    header->fill(0);
    BandTables bands = BandTables::Initial();
    shell::Document doc(*image, *header, bands);
    shell::AppState app;
    shell::LoadStartUpValues(app, app_folder);
    std::ostringstream out, err;
    cli::Context ctx{out, err, doc, app};
    ToolRun r;
    r.code = cli::Run(args, ctx);
    r.out = out.str();
    r.err = err.str();
    return r;
}

ToolRun Tool(const std::vector<std::string>& args) {
    return RunTool(args, BuildAppFolder());
}

namespace {
std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}
}  // namespace

ToolRun RunBinary(const std::vector<std::string>& args) {
    TempDir capture;
    std::string cmd = Quote((BuildAppFolder() / "vm6142").string());
    for (const auto& a : args) cmd += " " + Quote(a);
    cmd += " >" + Quote((capture / "out").string()) + " 2>" + Quote((capture / "err").string()) +
           " </dev/null";
    ToolRun r;
    const int status = std::system(cmd.c_str());
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = ReadText(capture / "out");
    r.err = ReadText(capture / "err");
    return r;
}

}  // namespace vm::testing
