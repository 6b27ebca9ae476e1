// vm6142 set FILE EDITOR FIELD=VALUE...: sets editor fields as a user does, then saves FILE.
#include <vector>

#include "app/editors/settings/editor_fields.h"
#include "tools/cli/cli.h"
#include "tools/cli/editor_catalogue.h"
#include "tools/cli/file_io.h"

namespace vm::cli {

extern const Command kSetCommand;

namespace {

int RunSet(Context& ctx, const Args& args) {
    const EditorEntry* editor = FindEditor(args[1]);
    if (!editor)
        return UsageError(ctx, kSetCommand,
                          "no editor \"" + args[1] + "\" (editors: " + EditorNames() + ")");
    struct Assignment {
        std::string field, value;
    };
    std::vector<Assignment> assignments;
    for (std::size_t i = 2; i < args.Count(); ++i) {
        const std::string& a = args[i];
        const auto eq = a.find('=');
        if (eq == std::string::npos || eq == 0)
            return UsageError(ctx, kSetCommand, "'" + a + "': expected FIELD=VALUE");
        assignments.push_back({a.substr(0, eq), a.substr(eq + 1)});
    }
    if (!OpenDataFile(ctx, args[0])) return kExitFailure;
    auto view = editor->open(ctx.doc);
    // Every field is checked before anything is typed, so a usage error changes nothing.
    std::vector<EditorField> fields;
    for (const Assignment& a : assignments) {
        auto f = FindEditorField(*view, a.field);
        if (!f)
            return UsageError(ctx, kSetCommand,
                              "\"" + std::string(editor->name) + "\" has no field \"" + a.field +
                                  "\" (vm6142 show FILE \"" + std::string(editor->name) +
                                  "\" lists them)");
        fields.push_back(*f);
    }
    for (std::size_t i = 0; i < assignments.size(); ++i) {
        const EditorField& f = fields[i];
        if (auto error = SetEditorField(*view, f, assignments[i].value))
            return UsageError(ctx, kSetCommand, f.Name() + " " + *error + "; nothing saved");
        if (!ShowsAsTyped(f, assignments[i].value))
            ctx.out << f.Name() << " = " << ShownText(f) << '\n';
    }
    view->StoreToImage();
    view.reset();  // the window closes
    if (!SaveDataFile(ctx)) return kExitFailure;
    return kExitSuccess;
}

}  // namespace

extern const Command kSetCommand = {
    .name = "set",
    .arguments = "FILE EDITOR FIELD=VALUE...",
    .summary = "Set editor fields as a user does, then save the file.",
    .description =
        "Opens FILE, opens the editor named EDITOR and, for each FIELD=VALUE in order, selects\n"
        "the field's tab, types VALUE into an edit field or picks the list entry whose text is\n"
        "VALUE (compared without case), and leaves the field, so the editor corrects the value\n"
        "as it does in the window. Then the editor is stored and FILE saved (File > Save).\n"
        "FIELD is \"Page/Label\" as `vm6142 show` prints it, compared without case. Each field\n"
        "whose text differs from what was typed is printed as the editor shows it.\n"
        "A field or list entry that does not exist is a usage error (exit 2); nothing is saved.",
    .options = {},
    .min_args = 3,
    .max_args = -1,
    .run = RunSet};

}  // namespace vm::cli
