// Atomic file replacement: the new content is written to a temporary file beside the target,
// flushed to disk, then renamed over the target. On any failure the temporary file is removed,
// the target is left exactly as it was, and the error is returned.
#pragma once

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <span>

#include "app/shell/messages.h"

namespace vm::shell {

// Writes the pieces, in order, as the whole new content of `target`.
// - A target that is a symbolic link is followed: the file it names is replaced, the link stays.
// - An existing target keeps its permission bits; a new one gets 0666 less the umask.
// - Needs write permission on the target (when it exists) and on its folder (the temporary
//   file is created there).
IoResult WriteFileAtomically(const std::filesystem::path& target,
                             std::initializer_list<std::span<const std::uint8_t>> pieces);

}  // namespace vm::shell
