#include <cerrno>
#include <string>
#include <system_error>

#include "tools/cli/file_io.h"

namespace vm::cli {

namespace fs = std::filesystem;

FactoryLoad StartLikeEditor(Context& ctx) {
    return ctx.doc.New(ctx.app.DefaultDataFile());
}

bool StartFromWholeFactoryImage(Context& ctx, std::string_view consequence) {
    const FactoryLoad load = StartLikeEditor(ctx);
    if (load.Whole()) return true;
    const std::string why = load.Loaded()
                                ? "the file is " + std::to_string(load.bytes_read) +
                                      " bytes long, shorter than a data file (69632 bytes)"
                                : shell::SystemErrorText(load.error);
    ctx.Fail(ctx.app.DefaultDataFile().string() + ": cannot read the factory image (" + why +
             "); " + std::string(consequence));
    return false;
}

namespace {

// What the bytes beyond the end of a short file hold: the factory image's where "Default.dat"
// reached that far, else what the image held before (zero in a new process).
std::string KeptContent(const Context& ctx, const FactoryLoad& factory, std::uintmax_t file_bytes) {
    if (factory.Whole()) return " (the factory image's)";
    const std::string name = ctx.app.DefaultDataFile().string();
    if (!factory.Loaded())
        return " (not the factory image's: " + name + ": " + shell::SystemErrorText(factory.error) +
               ")";
    const std::string length = std::to_string(factory.bytes_read);
    if (factory.bytes_read <= file_bytes)
        return " (not the factory image's: " + name + " is only " + length + " bytes long)";
    return " (the factory image's only up to byte " + length + ", where " + name + " ends)";
}

}  // namespace

bool OpenDataFile(Context& ctx, const fs::path& file) {
    const FactoryLoad factory = StartLikeEditor(ctx);
    const shell::OpenResult r = ctx.doc.Open(file);
    if (!r) {
        ctx.Fail(file.string() + ": " + r.message);
        return false;
    }
    if (const auto warning = shell::SizeWarning(r))
        ctx.Warn(file.string() + ": " + *warning +
                 (r.IsShort() ? KeptContent(ctx, factory, r.bytes_read) : ""));
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
