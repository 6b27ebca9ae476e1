// vm6142 verify FILE: whether the radio holds what `write FILE` sends.
#include "tools/cli/cli.h"
#include "tools/cli/file_io.h"
#include "tools/cli/safety_cli.h"

namespace vm::cli {

namespace {

constexpr Option kOptions[] = {
    {"port", 'p', "PORT", "serial port: COM1..COM16 or a device path (default: Program.ini)"},
    {"service", 0, "", "service mode: also compare the custom data [0xFEE0, 0xFF00)"},
    {"password", 0, "CODE", "access code of a protected radio (otherwise asked)"},
    {"quiet", 'q', "", "no progress and no summary"},
};

int RunVerify(Context& ctx, const Args& args) {
    if (!OpenDataFile(ctx, args[0])) return kExitFailure;
    TransferRequest request = RequestFromArgs(ctx, args);
    request.service = args.Flag("service");
    return VerifyRadio(ctx, ctx.doc, request);
}

}  // namespace

extern const Command kVerifyCommand = {
    .name = "verify",
    .arguments = "FILE",
    .summary = "Check that the radio holds a data file.",
    .description =
        "Reads from the radio the ranges that `write FILE` sends ([0x0060, 0xF400) and\n"
        "[0xFF00, 0x10000); with --service the second from 0xFEE0) and compares them with what\n"
        "`write` would send, printing the differences as `diff` does.\n"
        "Exit status 0 when the radio holds the file, 1 when it does not or the read failed,\n"
        "130 when cancelled with Ctrl-C.",
    .options = kOptions,
    .min_args = 1,
    .max_args = 1,
    .run = RunVerify,
};

}  // namespace vm::cli
