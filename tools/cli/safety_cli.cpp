#include "tools/cli/safety_cli.h"

#include <memory>

#include "app/image/band_tables.h"
#include "app/shell/backups.h"
#include "tools/cli/json.h"

namespace vm::cli {

bool BackupAfterRead(Context& ctx, const FileHeader& header, const RadioImage& image, bool quiet) {
    const shell::BackupResult backup = shell::SaveBackup(ctx.app, header, image);
    if (!backup.ok()) {
        ctx.Warn("no backup was made: " + backup.file.string() + ": " + backup.io.message);
        return false;
    }
    if (!quiet) ctx.out << "backup: " << backup.file.string() << "\n";
    return true;
}

void PrintDiff(Context& ctx, const DocumentDiff& diff, bool json) {
    if (!json) {
        for (const std::string& line : DiffLines(diff)) ctx.out << line << '\n';
        return;
    }
    JsonWriter j(ctx.out);
    j.BeginObject();
    j.Bool("equal", diff.Equal());
    j.BeginArray("fields");
    for (const FieldChange& c : diff.fields) {
        j.BeginObject();
        j.String("editor", c.editor);
        if (c.record != 0) j.Number("record", c.record);
        j.String("field", c.field);
        if (c.absent_before)
            j.Null("a");
        else
            j.String("a", c.before);
        if (c.absent_after)
            j.Null("b");
        else
            j.String("b", c.after);
        j.EndObject();
    }
    j.EndArray();
    j.BeginArray("bytes");
    for (const ByteChange& c : diff.bytes) {
        j.BeginObject();
        j.String("in", c.header ? "header" : "image");
        j.String("start", Hex4(c.start));
        j.String("end", Hex4(c.end));
        j.String("a", HexBytes(c.before));
        j.String("b", HexBytes(c.after));
        j.EndObject();
    }
    j.EndArray();
    j.EndObject();
    ctx.out << '\n';
}

int VerifyRadio(Context& ctx, const shell::Document& expected, const TransferRequest& request) {
    auto sent = std::make_unique<DocumentCopy>(expected);
    ClearCommitBits(sent->image);
    auto radio = std::make_unique<DocumentCopy>(sent->doc);
    // The ranges Write sends, read back.
    TransferRangeTable table = ProgramWriteRanges(request.service);
    table.direction = TransferDirection::Read;
    table.caption = "Read";
    const int code = RunTransfer(ctx, radio->image, table, request);
    if (code != kExitSuccess) {
        ctx.err << kProgramName << ": "
                << (code == kExitInterrupted ? "cancelled" : "the transfer failed")
                << ": the radio was not verified\n";
        return code;
    }
    RecomputeBandTables(radio->bands, radio->image);
    const DocumentDiff diff = CompareDocuments(sent->doc, radio->doc);
    if (diff.Equal()) {
        if (!request.quiet)
            ctx.out << "verified " << CountBlocks(table) << " blocks: the radio holds the file\n";
        return kExitSuccess;
    }
    PrintDiff(ctx, diff, false);
    ctx.err << kProgramName << ": the radio does not hold what was written\n";
    return kExitFailure;
}

}  // namespace vm::cli
