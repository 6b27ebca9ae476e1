// vm6142 backups: the backups every read made, newest first.
#include "app/shell/backups.h"
#include "tools/cli/cli.h"

namespace vm::cli {

namespace {

int RunBackups(Context& ctx, const Args&) {
    const auto folder = shell::BackupFolder(ctx.app);
    const auto list = shell::ListBackups(folder);
    if (list.empty()) {
        ctx.err << kProgramName << ": no backups in " << folder.string() << "\n";
        return kExitSuccess;
    }
    ctx.out << "Date                 Serial number  File\n";
    for (const shell::BackupEntry& b : list) {
        std::string serial = b.serial_number;
        if (serial.size() < 14) serial.resize(14, ' ');
        ctx.out << b.date << "  " << serial << " " << b.file.string() << "\n";
    }
    return ctx.out ? kExitSuccess : ctx.Fail("cannot write the output");
}

}  // namespace

extern const Command kBackupsCommand = {
    .name = "backups",
    .arguments = "",
    .summary = "List the backups that reading a radio made.",
    .description =
        "Every successful read (this tool's `read`, the editor's Program > Read) also saves\n"
        "what the radio sent as a data file in the backups folder beside the data folder,\n"
        "named by date, time and the radio's serial number. The newest 100 are kept (section\n"
        "\"Backups\", key \"Keep\" of Program.ini). Lists them newest first: date, serial\n"
        "number, file.",
    .options = {},
    .min_args = 0,
    .max_args = 0,
    .run = RunBackups,
};

}  // namespace vm::cli
