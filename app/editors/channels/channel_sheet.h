// The channel table as text: a listing of the channels in use, CSV export and import, and cell
// edits by channel number and header text. Every edit is typed into the table's own cell
// editor, so it is committed exactly as in the table.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "app/editors/channels/csv_document.h"
#include "app/editors/channels/program_view.h"

namespace vm {

// The column whose header is `header` (ignoring case and blanks around it), or -1.
int ColumnByHeader(std::string_view header);
// The same, but the "CH" column, which is not editable, is not found.
int EditableColumnByHeader(std::string_view header);

struct CellEdit {
    int channel = 0;  // 1..800
    int column = 0;   // CProgramView::kColRx ... kColName
    std::string text;
    int line = 0;  // CSV line the edit comes from (0: the command line)
};

// "CH:COLUMN=TEXT". Returns nullopt and sets `error` when the text is not such an edit.
std::optional<CellEdit> ParseCellEdit(std::string_view arg, std::string& error);
// "CH" alone: a channel to clear (its Rx cell emptied).
std::optional<int> ParseChannelNumber(std::string_view arg);

// Types the edit into its cell and leaves it. Refuses (false, with `error`) a cell of an empty
// channel other than its Rx cell, which the table would not open.
bool ApplyCellEdit(CProgramView& table, const CellEdit& edit, std::string& error);

// Every channel in use, one line each, under the 12 header texts, in aligned columns.
void WriteChannelListing(const CProgramView& table, std::ostream& out);

// All 800 rows as CSV under the header row; empty channels have empty cells.
void WriteChannelCsv(const CProgramView& table, std::ostream& out);

struct CsvImport {
    std::vector<CellEdit> edits;  // in file order, row by row, each row's cells in table order
    std::string error;            // "line N: ..." when the file is refused
    bool ok() const { return error.empty(); }
};

// Reads CSV text in the form WriteChannelCsv writes: a header row of known header texts (any
// order, "CH" required, matched ignoring case), then rows of the same number of fields.
// A channel appearing twice is refused.
CsvImport ParseChannelCsv(std::string_view text);
CsvImport ParseChannelCsv(const CsvDocument& doc);

// Applies imported edits as a user editing a spreadsheet copy would: cells whose text equals
// the table's are not touched; once a row's Rx cell is empty, its other cells are skipped.
// Returns, for the caller to report, the edits that were refused and those whose cell became
// other than the text (except an empty text that left a cell other than Rx as it was), with the
// cell's resulting text.
struct EditReport {
    CellEdit edit;
    std::string result;  // the cell's text after the commit
    std::string error;   // the edit was refused
};
std::vector<EditReport> ApplyImport(CProgramView& table, const CsvImport& import);

}  // namespace vm
