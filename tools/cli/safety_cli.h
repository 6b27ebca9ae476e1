// What `read`, `write`, `diff` and `verify` share for keeping a radio's contents safe: the
// backup after a read, the comparison printed as `diff` prints it, and the verification of
// what `write` sends against what the radio holds.
#pragma once

#include "app/editors/catalogue/document_diff.h"
#include "tools/cli/cli.h"
#include "tools/cli/transfer_cli.h"

namespace vm::cli {

// Saves header and image as a backup in the backups folder. Prints where (unless `quiet`), or
// a warning when it could not be written; returns whether it was.
bool BackupAfterRead(Context& ctx, const FileHeader& header, const RadioImage& image, bool quiet);

// Prints the differences, one a line (or one JSON object with `json`).
void PrintDiff(Context& ctx, const DocumentDiff& diff, bool json);

// Reads the ranges that Write sends (with `service`, the wider one) from the radio and compares
// them with `expected` (what Write sends: the document with the commit bits cleared). Prints the
// differences as `diff` does. Returns kExitSuccess when the radio holds them, kExitFailure when
// it does not or the read failed, kExitInterrupted when cancelled.
int VerifyRadio(Context& ctx, const shell::Document& expected, const TransferRequest& request);

}  // namespace vm::cli
