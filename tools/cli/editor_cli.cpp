#include "tools/cli/editor_cli.h"

#include "app/image/codecs.h"

namespace vm::cli {

const EditorEntry* EditorNamed(const Context& ctx, const Command& cmd, const std::string& name) {
    const EditorEntry* editor = FindEditor(name);
    if (editor && editor->built()) return editor;
    UsageError(ctx, cmd,
               (editor ? "\"" + std::string(editor->name) + "\" is not part of this program yet"
                       : "no editor \"" + name + "\"") +
                   " (editors: " + EditorNames() + ")");
    return nullptr;
}

std::optional<int> GoToRecordOption(const Context& ctx, const Command& cmd, const Args& args,
                                    EditorSession& session) {
    const auto value = args.Value("record");
    if (!value) return std::nullopt;
    const std::string editor(session.entry().name);
    const RecordRange range = session.Records();
    if (range.empty())
        return UsageError(ctx, cmd, "\"" + editor + "\" does not step through records");
    const auto n = ParseScaled(*value, 0);
    const std::string span = FormatInt(range.first) + "-" + FormatInt(range.last);
    if (!n || *n < range.first || *n > range.last || value->find('.') != std::string::npos)
        return UsageError(
            ctx, cmd, "--record " + *value + ": not a record of \"" + editor + "\" (" + span + ")");
    if (!session.GoToRecord(static_cast<int>(*n)))
        return ctx.Fail("\"" + editor + "\" cannot show record " + *value);
    return std::nullopt;
}

std::optional<int> EnterPasswordOption(const Context& ctx, const Command& cmd, const Args& args,
                                       EditorSession& session) {
    const auto code = args.Value("password");
    if (!code) return std::nullopt;
    if (auto error = EnterAccessCode(session.view(), *code))
        return UsageError(ctx, cmd, "\"" + std::string(session.entry().name) + "\" " + *error);
    return std::nullopt;
}

std::optional<EditorField> FieldNamed(const Context& ctx, const Command& cmd,
                                      EditorSession& session, const std::string& name) {
    const std::string editor(session.entry().name);
    const auto found = LookUpEditorField(session.view(), name);
    if (found.size() == 1) return found.front();
    if (found.empty()) {
        UsageError(ctx, cmd,
                   "\"" + editor + "\" has no field \"" + name + "\" (vm6142 show FILE \"" +
                       editor + "\" lists them)");
    } else {
        std::string list;
        for (const EditorField& f : found) list += (list.empty() ? "\"" : ", \"") + f.Name() + "\"";
        UsageError(ctx, cmd,
                   "\"" + name + "\" names more than one field of \"" + editor + "\": " + list);
    }
    return std::nullopt;
}

}  // namespace vm::cli
