// The data-file steps every command shares, on top of the shell's Document (the editor's code):
// each reports failures and warnings on the error stream the way the tool does.
#pragma once

#include <filesystem>
#include <span>
#include <string_view>

#include "app/editors/catalogue/editor_session.h"
#include "tools/cli/cli.h"

namespace vm::cli {

// The editor's state at start-up: the image and header reset from "Default.dat" in the
// application folder (ResetToDefaults), no current file. Returns what was read of "Default.dat".
FactoryLoad StartLikeEditor(Context& ctx);

// Start-up for a command whose result is built on the factory image (new, read): unless
// "Default.dat" is a whole data file, prints why with `consequence` ("no file was written") and
// returns false. The editor takes a short factory file as it is; a command must not save the
// gaps as if they were the factory image.
bool StartFromWholeFactoryImage(Context& ctx, std::string_view consequence);

// Start-up, then File > Open of `file`. On failure prints "vm6142: FILE: MESSAGE" (MESSAGE is
// the editor's message: "File does not match", the system's error text, ...) and returns false;
// on success prints the size warning of a short or long file, if any.
bool OpenDataFile(Context& ctx, const std::filesystem::path& file);

// File > Save: the frame's commit of the open views (CommitAllViews: each view stored, the
// channel table last, bits 0-1 of 0xCC25 cleared), then the current file written atomically.
// Prints the error and returns false on failure.
bool SaveDataFile(Context& ctx, std::span<const OpenView> views);

// File > Save As to `file`: commit, stamp, atomic write, `file` becomes the current file.
bool SaveDataFileAs(Context& ctx, const std::filesystem::path& file);

// Whether a command may create `file`: not a folder, not an existing file unless `force`, in a
// folder that exists. Prints the reason and returns false otherwise (checked before any work
// whose result would be lost).
bool MayCreateFile(const Context& ctx, const std::filesystem::path& file, bool force);

}  // namespace vm::cli
