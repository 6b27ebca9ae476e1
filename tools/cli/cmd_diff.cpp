// vm6142 diff A B [--json]: what differs between two data files, field by field.
#include <memory>

#include "tools/cli/cli.h"
#include "tools/cli/file_io.h"
#include "tools/cli/safety_cli.h"

namespace vm::cli {

namespace {

constexpr Option kOptions[] = {
    {"json", 'j', "", "print one JSON object: \"equal\", \"fields\" and \"bytes\""},
};

int RunDiff(Context& ctx, const Args& args) {
    // As diff(1): trouble is 2, also when a file cannot be opened as a data file.
    if (!OpenDataFile(ctx, args[0])) return kExitUsage;
    auto first = std::make_unique<DocumentCopy>(ctx.doc);
    if (!OpenDataFile(ctx, args[1])) return kExitUsage;
    const DocumentDiff diff = CompareDocuments(first->doc, ctx.doc);
    PrintDiff(ctx, diff, args.Flag("json"));
    if (!ctx.out) {
        ctx.Fail("cannot write the output");
        return kExitUsage;
    }
    return diff.Equal() ? kExitSuccess : kExitFailure;
}

}  // namespace

extern const Command kDiffCommand = {
    .name = "diff",
    .arguments = "A B",
    .summary = "Show what differs between two data files.",
    .description =
        "Opens A and B as File > Open does and compares them through every editor, as each\n"
        "shows its fields: one line a field that differs, \"EDITOR: FIELD: A's text → B's\n"
        "text\" (channels by number and column, \"12/Rx Freq\"; a dialog that steps through\n"
        "records by record). Then the bytes no editor shows that differ, as address ranges of\n"
        "the image (or of the file header) with their bytes in hex.\n"
        "Exit status as diff(1): 0 when the files are equal, 1 when they differ, 2 on trouble\n"
        "(a usage error, or a file that cannot be opened as a data file).",
    .options = kOptions,
    .min_args = 2,
    .max_args = 2,
    .run = RunDiff,
};

}  // namespace vm::cli
