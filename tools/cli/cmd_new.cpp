// vm6142 new FILE: a new data file from the factory image (File > New, then Save As).
#include <system_error>

#include "tools/cli/cli.h"
#include "tools/cli/file_io.h"

namespace vm::cli {

namespace {

constexpr Option kOptions[] = {
    {"force", 'f', "", "replace FILE when it exists"},
};

int RunNew(Context& ctx, const Args& args) {
    namespace fs = std::filesystem;
    const fs::path file = args[0];
    if (!MayCreateFile(ctx, file, args.Flag("force"))) return kExitFailure;
    if (!StartFromWholeFactoryImage(ctx, "no file was written")) return kExitFailure;
    if (!SaveDataFileAs(ctx, file)) return kExitFailure;
    return kExitSuccess;
}

}  // namespace

extern const Command kNewCommand = {
    .name = "new",
    .arguments = "FILE",
    .summary = "Create a new data file from the factory image.",
    .description =
        "Does what the editor's File > New followed by File > Save As does: the image and header\n"
        "are reset from \"Default.dat\" in the application folder (the band edge and VFO records\n"
        "rebuilt, the five-tone tables reloaded) and written to FILE with the signature and\n"
        "format stamp. FILE is written atomically; an existing FILE is replaced only with\n"
        "--force. Nothing is written unless \"Default.dat\" is a whole data file.",
    .options = kOptions,
    .min_args = 1,
    .max_args = 1,
    .run = RunNew,
};

}  // namespace vm::cli
