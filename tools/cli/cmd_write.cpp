// vm6142 write FILE: Program > Write of a data file to the radio.
#include <memory>

#include "tools/cli/cli.h"
#include "tools/cli/file_io.h"
#include "tools/cli/safety_cli.h"
#include "tools/cli/transfer_cli.h"

namespace vm::cli {

namespace {

constexpr Option kOptions[] = {
    {"port", 'p', "PORT", "serial port: COM1..COM16 or a device path (default: Program.ini)"},
    {"service", 0, "", "service mode: also write the custom data [0xFEE0, 0xFF00)"},
    {"password", 0, "CODE", "access code of a protected radio (otherwise asked)"},
    {"quiet", 'q', "", "no progress and no summary"},
    {"backup-first", 0, "", "read the radio into a backup before writing"},
    {"verify", 0, "", "read the written ranges back and compare them with FILE"},
};

// Reads the radio into a backup; false (and nothing is to be written) when that fails.
bool BackupFirst(Context& ctx, const TransferRequest& request) {
    auto before = std::make_unique<RadioImage>(ctx.doc.Image());
    const int code = RunTransfer(ctx, *before, ProgramReadRanges(), request);
    if (code != kExitSuccess) {
        ctx.err << kProgramName << ": the radio could not be read for a backup: nothing was "
                << "written\n";
        return false;
    }
    if (!BackupAfterRead(ctx, ctx.doc.Header(), *before, request.quiet)) {
        ctx.err << kProgramName << ": nothing was written\n";
        return false;
    }
    return true;
}

int RunWrite(Context& ctx, const Args& args) {
    if (!OpenDataFile(ctx, args[0])) return kExitFailure;
    // Committing the views clears bits 0-1 of 0xCC25 in what is sent; the file stays as it is.
    auto sent = std::make_unique<RadioImage>(ctx.doc.Image());
    ClearCommitBits(*sent);

    TransferRequest request = RequestFromArgs(ctx, args);
    request.service = args.Flag("service");
    if (args.Flag("backup-first") && !BackupFirst(ctx, request)) return kExitFailure;
    const TransferRangeTable table = ProgramWriteRanges(request.service);
    const int code = RunTransfer(ctx, *sent, table, request);
    if (code != kExitSuccess) return code;
    if (!request.quiet)
        ctx.out << "wrote " << CountBlocks(table) << " blocks of " << args[0] << " to "
                << request.port.Describe() << "\n";
    if (args.Flag("verify")) return VerifyRadio(ctx, ctx.doc, request);
    return kExitSuccess;
}

}  // namespace

extern const Command kWriteCommand = {
    .name = "write",
    .arguments = "FILE",
    .summary = "Write a data file to the radio.",
    .description =
        "Does what the editor's Program > Write does with FILE open: [0x0060, 0xF400) and\n"
        "[0xFF00, 0x10000) are written to the radio over the clone cable; with --service the\n"
        "second range starts at 0xFEE0 (the custom data). Bits 0-1 of 0xCC25 are cleared in\n"
        "what is sent, as committing the editor's views does; FILE itself is not changed.\n"
        "\n"
        "A protected radio asks for its access code on the terminal (not echoed), or takes\n"
        "--password. Ctrl-C cancels after the current block (the radio is sent \"ENDW\") and\n"
        "exits with status 130; a transfer that fails first exits with status 1.\n"
        "PORT is COM1..COM16 (see `vm6142 ports`) or a device path.\n"
        "\n"
        "--backup-first reads the radio into a backup (see `vm6142 backups`) before writing;\n"
        "when that read or the backup fails nothing is written. --verify reads the written\n"
        "ranges back afterwards and compares them as `vm6142 verify` does (exit 1 when the\n"
        "radio does not hold FILE).",
    .options = kOptions,
    .min_args = 1,
    .max_args = 1,
    .run = RunWrite,
};

}  // namespace vm::cli
