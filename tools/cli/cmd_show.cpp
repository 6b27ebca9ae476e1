// vm6142 show FILE EDITOR [--json]: every field of an editor as it shows them after loading.
#include "app/editors/settings/editor_fields.h"
#include "tools/cli/cli.h"
#include "tools/cli/editor_catalogue.h"
#include "tools/cli/file_io.h"
#include "tools/cli/json.h"

namespace vm::cli {

extern const Command kShowCommand;

namespace {

constexpr Option kOptions[] = {
    {"json", 'j', "", "print one JSON object of field name to text"},
};

int RunShow(Context& ctx, const Args& args) {
    const EditorEntry* editor = FindEditor(args[1]);
    if (!editor)
        return UsageError(ctx, kShowCommand,
                          "no editor \"" + args[1] + "\" (editors: " + EditorNames() + ")");
    if (!OpenDataFile(ctx, args[0])) return kExitFailure;
    auto view = editor->open(ctx.doc);
    const auto fields = EditorFields(*view);
    if (args.Flag("json")) {
        JsonWriter j(ctx.out);
        j.BeginObject();
        for (const EditorField& f : fields) j.String(f.Name(), ShownText(f));
        j.EndObject();
    } else {
        for (const EditorField& f : fields)
            ctx.out << f.Name() << " = " << ShownText(f) << (IsHidden(f) ? " (hidden)" : "")
                    << '\n';
    }
    return ctx.out ? kExitSuccess : ctx.Fail("cannot write the output");
}

}  // namespace

extern const Command kShowCommand = {
    .name = "show",
    .arguments = "FILE EDITOR",
    .summary = "Show every field of an editor (\"Basic setting\", ...).",
    .description =
        "Loads FILE into the editor named EDITOR (the text of its item in the editor's tree,\n"
        "compared without case) and prints every field as the editor shows it, one line a\n"
        "field: \"Page/Label = text\". Fields the editor keeps hidden are marked \"(hidden)\";\n"
        "a list with no selection shows an empty text.",
    .options = kOptions,
    .min_args = 2,
    .max_args = 2,
    .run = RunShow};

}  // namespace vm::cli
