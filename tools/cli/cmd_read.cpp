// vm6142 read -o FILE: Program > Read from the radio into the base image, then Save As.
#include "tools/cli/cli.h"
#include "tools/cli/file_io.h"
#include "tools/cli/safety_cli.h"
#include "tools/cli/transfer_cli.h"

namespace vm::cli {

extern const Command kReadCommand;

namespace {

constexpr Option kOptions[] = {
    {"port", 'p', "PORT", "serial port: COM1..COM16 or a device path (default: Program.ini)"},
    {"output", 'o', "FILE", "the data file to write (required)"},
    {"base", 'b', "FILE",
     "data file whose header and unread bytes the result keeps "
     "(default: the factory image)"},
    {"password", 0, "CODE", "access code of a protected radio (otherwise asked)"},
    {"force", 'f', "", "replace FILE when it exists"},
    {"quiet", 'q', "", "no progress and no summary"},
    {"no-backup", 0, "", "do not save a backup of what was read"},
};

int RunRead(Context& ctx, const Args& args) {
    namespace fs = std::filesystem;
    const auto output = args.Value("output");
    if (!output || output->empty()) return UsageError(ctx, kReadCommand, "-o FILE is required");
    const fs::path file = *output;
    // Checked before the transfer, so that a long read is not thrown away at the end.
    if (!MayCreateFile(ctx, file, args.Flag("force"))) return kExitFailure;

    if (const auto base = args.Value("base")) {
        if (!OpenDataFile(ctx, *base)) return kExitFailure;
    } else if (!StartFromWholeFactoryImage(ctx, "nothing was read")) {
        return kExitFailure;
    }
    // Read commits the views first.
    ClearCommitBits(ctx.doc.Image());

    const TransferRequest request = RequestFromArgs(ctx, args);
    const TransferRangeTable table = ProgramReadRanges();
    const int code = RunTransfer(ctx, ctx.doc.Image(), table, request);
    if (code != kExitSuccess) {
        ctx.err << kProgramName << ": "
                << (code == kExitInterrupted ? "cancelled" : "the transfer failed") << ": "
                << file.string() << " was not written\n";
        return code;
    }
    if (!SaveDataFileAs(ctx, file)) return kExitFailure;
    if (!args.Flag("no-backup"))
        BackupAfterRead(ctx, ctx.doc.Header(), ctx.doc.Image(), request.quiet);
    if (!request.quiet)
        ctx.out << "read " << CountBlocks(table) << " blocks from " << request.port.Describe()
                << " into " << file.string() << "\n";
    return kExitSuccess;
}

}  // namespace

extern const Command kReadCommand = {
    .name = "read",
    .arguments = "",
    .summary = "Read the radio into a new data file.",
    .description =
        "Does what the editor's Program > Read followed by File > Save As does: the radio's\n"
        "memory [0x0100, 0x10000) is read over the clone cable into the base image (the factory\n"
        "image, or --base FILE, which also gives the header and the bytes below 0x0100), and\n"
        "the result is written to the file given with -o (atomically; an existing file is\n"
        "replaced only with --force).\n"
        "\n"
        "A protected radio asks for its access code on the terminal (not echoed), or takes\n"
        "--password. Ctrl-C cancels after the current block (the radio is sent \"ENDW\") and\n"
        "exits with status 130; a transfer that fails first exits with status 1.\n"
        "When the transfer fails or is cancelled nothing is written.\n"
        "What was read is also saved as a backup (see `vm6142 backups`) unless --no-backup is\n"
        "given; a backup that cannot be written is a warning, the read still succeeds.\n"
        "PORT is COM1..COM16 (see `vm6142 ports`) or a device path such as /dev/ttyUSB0.",
    .options = kOptions,
    .min_args = 0,
    .max_args = 0,
    .run = RunRead,
};

}  // namespace vm::cli
