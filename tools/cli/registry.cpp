// The command table, built from commands.def.
#include <array>

#include "tools/cli/cli.h"

namespace vm::cli {

#define VM_COMMAND(X) extern const Command k##X##Command;
#include "tools/cli/commands.def"
#undef VM_COMMAND

namespace {
#define VM_COMMAND(X) &k##X##Command,
const Command* const kTable[] = {
#include "tools/cli/commands.def"
};
#undef VM_COMMAND
}  // namespace

std::span<const Command* const> Commands() {
    return kTable;
}

const Command* FindCommand(std::string_view name) {
    for (const Command* c : kTable)
        if (c->name == name) return c;
    return nullptr;
}

}  // namespace vm::cli
