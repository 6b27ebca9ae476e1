// vm6142 show FILE EDITOR [--json]: every field of an editor as it shows them after loading.
#include "tools/cli/cli.h"
#include "tools/cli/editor_cli.h"
#include "tools/cli/file_io.h"
#include "tools/cli/json.h"

namespace vm::cli {

extern const Command kShowCommand;

namespace {

constexpr Option kOptions[] = {
    {"json", 'j', "", "print one JSON object of field name to text"},
    kRecordOption,
};

int RunShow(Context& ctx, const Args& args) {
    const EditorEntry* editor = EditorNamed(ctx, kShowCommand, args[1]);
    if (!editor) return kExitUsage;
    if (!OpenDataFile(ctx, args[0])) return kExitFailure;
    EditorSession session(*editor, ctx.doc);
    if (auto failed = GoToRecordOption(ctx, kShowCommand, args, session)) return *failed;
    const auto fields = EditorFields(session.view());
    // An editor can show nothing for a file (the VFOs of a radio with no band enabled).
    if (fields.empty())
        ctx.Warn("\"" + std::string(editor->name) + "\" has no field to show in " + args[0]);
    if (args.Flag("json")) {
        JsonWriter j(ctx.out);
        j.BeginObject();
        for (const EditorField& f : fields) j.String(f.Name(), ShowEditorField(f));
        j.EndObject();
    } else {
        for (const EditorField& f : fields) {
            const std::string text = ShowEditorField(f);
            ctx.out << f.Name() << " = " << text << (IsHidden(f) ? " (hidden)" : "") << '\n';
        }
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
        "compared without case; \"Alarm\" and \"Channel edit\" have none) and prints every\n"
        "field of every page, record tab and table as the editor shows it, one line a field:\n"
        "\"Page/Label = text\"; \"Page/Group/Label\" where a label repeats on a page;\n"
        "\"Page/ROW/COLUMN\" for a table cell. Fields the editor keeps hidden are marked\n"
        "\"(hidden)\"; a list with no selection shows an empty text. A dialog that steps\n"
        "through records shows the record it opens on, or the one --record gives.",
    .options = kOptions,
    .min_args = 2,
    .max_args = 2,
    .run = RunShow};

}  // namespace vm::cli
