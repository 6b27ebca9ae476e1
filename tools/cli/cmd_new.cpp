// vm6142 new FILE: a new data file from the factory image (File > New, then Save As).
#include <system_error>

#include "app/editors/catalogue/editor_session.h"
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
    // Stored as a save stores it, so that saving the new file without an edit changes nothing.
    CommitEveryView(ctx.doc);
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
        "rebuilt, the five-tone tables reloaded), stored as File > Save stores it (so that a\n"
        "save without an edit leaves the file as it is) and written to FILE with the signature\n"
        "and format stamp. FILE is written atomically; an existing FILE is replaced only with\n"
        "--force. Nothing is written unless \"Default.dat\" is a whole data file.",
    .options = kOptions,
    .min_args = 1,
    .max_args = 1,
    .run = RunNew,
};

}  // namespace vm::cli
