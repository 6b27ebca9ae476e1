// vm6142 set FILE EDITOR FIELD=VALUE...: sets editor fields as a user does, then saves FILE.
#include <vector>

#include "tools/cli/cli.h"
#include "tools/cli/editor_cli.h"
#include "tools/cli/file_io.h"

namespace vm::cli {

extern const Command kSetCommand;

namespace {

constexpr Option kOptions[] = {kRecordOption, kPasswordOption};

int RunSet(Context& ctx, const Args& args) {
    const EditorEntry* editor = EditorNamed(ctx, kSetCommand, args[1]);
    if (!editor) return kExitUsage;
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
    EditorSession session(*editor, ctx.doc);
    if (auto failed = GoToRecordOption(ctx, kSetCommand, args, session)) return *failed;
    if (auto failed = EnterPasswordOption(ctx, kSetCommand, args, session)) return *failed;
    // Every field is checked before anything is typed, so a usage error changes nothing.
    std::vector<EditorField> fields;
    for (const Assignment& a : assignments) {
        auto f = FieldNamed(ctx, kSetCommand, session, a.field);
        if (!f) return kExitUsage;
        fields.push_back(*f);
    }
    // A message box of the editor (a refused value) ends the run: nothing is saved.
    auto message_raised = [&] {
        if (session.messages().empty()) return false;
        ctx.Fail(session.messages().front() + "; nothing saved");
        return true;
    };
    if (message_raised()) return kExitFailure;
    for (std::size_t i = 0; i < assignments.size(); ++i) {
        const EditorField& f = fields[i];
        if (auto error = SetEditorField(session.view(), f, assignments[i].value))
            return UsageError(ctx, kSetCommand, f.Name() + " " + *error + "; nothing saved");
        if (message_raised()) return kExitFailure;
        if (!ShowsAsTyped(f, assignments[i].value))
            ctx.out << f.Name() << " = " << ShownText(f) << '\n';
    }
    // The window closes; an editor that refuses keeps it open and nothing is saved.
    if (auto refusal = session.Close()) return ctx.Fail(*refusal + "; nothing saved");
    if (message_raised()) return kExitFailure;
    const std::vector<OpenView> views = session.Views();
    if (!SaveDataFile(ctx, views)) return kExitFailure;
    return kExitSuccess;
}

}  // namespace

extern const Command kSetCommand = {
    .name = "set",
    .arguments = "FILE EDITOR FIELD=VALUE...",
    .summary = "Set editor fields as a user does, then save the file.",
    .description =
        "Opens FILE, opens the editor named EDITOR as the desktop editor does (the channel\n"
        "table open beside it) and, for each FIELD=VALUE in order, brings the field on screen\n"
        "(its tab, its record tab), types VALUE into an edit field, picks the list entry whose\n"
        "text is VALUE (compared without case), or clicks a table cell and types or picks\n"
        "VALUE in the editor that opens there, and leaves the field, so the editor corrects\n"
        "the value as it does in the window. Then the editor is closed and FILE saved as\n"
        "File > Save saves it (every open view stored, the channel table last).\n"
        "FIELD is named as `vm6142 show` prints it (\"Page/Label\", \"Page/Group/Label\",\n"
        "\"Page/ROW/COLUMN\"), compared without case. Each field whose text differs from what\n"
        "was typed is printed as the editor shows it.\n"
        "An editor that is read-only until an access code is given (\"Frequency range\": F11,\n"
        "then the code) takes it with --password CODE, entered as a user does before the\n"
        "fields are set; a wrong code is the editor's message.\n"
        "A field or list entry that does not exist, or a name that fits several fields, is a\n"
        "usage error (exit 2); a message of the editor (a refused value, a refused close)\n"
        "is printed and the run fails (exit 1). Nothing is saved then.",
    .options = kOptions,
    .min_args = 3,
    .max_args = -1,
    .run = RunSet};

}  // namespace vm::cli
