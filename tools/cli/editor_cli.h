// What `vm6142 show` and `vm6142 set` share: the editor named on the command line, its
// `--record N`, and the fields named by the user.
#pragma once

#include <optional>
#include <string>

#include "app/editors/catalogue/editor_session.h"
#include "app/editors/framework/editor_fields.h"
#include "tools/cli/cli.h"

namespace vm::cli {

inline constexpr Option kRecordOption = {"record", 'r', "N",
                                         "the record of a dialog that steps through records "
                                         "(Channel edit: the channel number)"};

inline constexpr Option kPasswordOption = {
    "password", 'p', "CODE",
    "the access code of an editor that asks for one after F11 (Frequency range); without it "
    "such an editor stays read-only"};

// The built editor named `name`; otherwise prints the usage error and returns null.
const EditorEntry* EditorNamed(const Context& ctx, const Command& cmd, const std::string& name);

// Goes to the record of `--record N`, if given. Returns the exit status of a failure (a usage
// error for an editor without records or a number outside them), or nullopt.
std::optional<int> GoToRecordOption(const Context& ctx, const Command& cmd, const Args& args,
                                    EditorSession& session);

// Gives the editor the code of `--password CODE`, if given, as a user does (F11, the code
// typed into the prompt, Enter). Returns the exit status of a usage error (the editor asks
// for no code), or nullopt; a wrong code is the editor's message, left to the caller.
std::optional<int> EnterPasswordOption(const Context& ctx, const Command& cmd, const Args& args,
                                       EditorSession& session);

// The one field `name` names; otherwise prints the usage error (no such field, or the
// candidates of an ambiguous name) and returns nullopt.
std::optional<EditorField> FieldNamed(const Context& ctx, const Command& cmd,
                                      EditorSession& session, const std::string& name);

}  // namespace vm::cli
