#include <cerrno>
#include <system_error>

#include "tools/cli/file_io.h"

namespace vm::cli {

namespace fs = std::filesystem;

bool StartLikeEditor(Context& ctx) {
    return ctx.doc.New(ctx.app.DefaultDataFile());
}

bool OpenDataFile(Context& ctx, const fs::path& file) {
    const bool factory = StartLikeEditor(ctx);
    const shell::OpenResult r = ctx.doc.Open(file);
    if (!r) {
        ctx.Fail(file.string() + ": " + r.message);
        return false;
    }
    if (const auto warning = shell::SizeWarning(r))
        ctx.Warn(file.string() + ": " + *warning +
                 (r.IsShort() ? (factory ? " (the factory image's)" : " (zero bytes)") : ""));
    return true;
}

bool SaveDataFile(Context& ctx, std::span<const OpenView> views) {
    if (!ctx.doc.HasCurrentFile()) {
        ctx.Fail("no current file to save");
        return false;
    }
    CommitAllViews(ctx.doc.Image(), views);
    const shell::IoResult r = ctx.doc.Save();
    if (!r) {
        ctx.Fail(ctx.doc.CurrentFile().string() + ": " + r.message);
        return false;
    }
    return true;
}

bool SaveDataFileAs(Context& ctx, const fs::path& file) {
    ClearCommitBits(ctx.doc.Image());
    const shell::IoResult r = ctx.doc.SaveAs(file);
    if (!r) {
        ctx.Fail(file.string() + ": " + r.message);
        return false;
    }
    return true;
}

bool MayCreateFile(const Context& ctx, const fs::path& file, bool force) {
    std::error_code ec;
    const auto status = fs::status(file, ec);
    if (fs::is_directory(status)) {
        ctx.Fail(file.string() + ": " + shell::SystemErrorText(EISDIR));
        return false;
    }
    if (fs::exists(status) && !force) {
        ctx.Fail(file.string() + ": the file exists (use --force to replace it)");
        return false;
    }
    const fs::path folder = file.has_parent_path() ? file.parent_path() : fs::path(".");
    if (!fs::is_directory(folder, ec)) {
        ctx.Fail(file.string() + ": " + shell::SystemErrorText(ENOENT));
        return false;
    }
    return true;
}

}  // namespace vm::cli
