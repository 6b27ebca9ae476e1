// vm6142 channels FILE: bank A's channel table as text, and editing it cell by cell.
#include <algorithm>
#include <sstream>
#include <variant>
#include <vector>

#include "app/editors/catalogue/editor_commands.h"
#include "app/editors/channels/channel_memory.h"
#include "app/editors/channels/channel_sheet.h"
#include "app/editors/channels/program_view.h"
#include "app/image/file_bytes.h"
#include "tools/cli/cli.h"
#include "tools/cli/file_io.h"

namespace vm::cli {

extern const Command kChannelsCommand;

namespace {

constexpr Option kOptions[] = {
    {"csv", 'c', "", "print all 800 rows as CSV (after any edits)"},
    {"set", 's', "", "the arguments after FILE are edits CH:COLUMN=TEXT"},
    {"clear", 0, "", "the arguments after FILE include channel numbers CH to clear"},
    {"import", 'i', "CSV", "apply a CSV file in the --csv form, cell by cell"},
};

// A CSV of the whole table is some 60 KB; a file far beyond that is not one.
constexpr std::size_t kMaxCsvBytes = 16 * 1024 * 1024;

// One edit of the command line: a cell to type into, or a channel to clear.
using Edit = std::variant<CellEdit, int>;

std::string Describe(const CellEdit& e) {
    return std::to_string(e.channel) + ':' +
           std::string(CProgramView::kHeaders[static_cast<std::size_t>(e.column)]) + '=' +
           Printable(e.text);
}

std::string Became(const std::string& text) {
    return text.empty() ? std::string("empty") : Printable(text);
}

// A channel number to clear, in range or not: digits alone (blanks around them allowed).
bool IsChannelArgument(std::string_view a) {
    const auto first = a.find_first_not_of(" \t");
    if (first == std::string_view::npos) return false;
    const auto last = a.find_last_not_of(" \t");
    return std::all_of(a.begin() + static_cast<std::ptrdiff_t>(first),
                       a.begin() + static_cast<std::ptrdiff_t>(last) + 1,
                       [](char c) { return c >= '0' && c <= '9'; });
}

std::vector<std::string> CellTexts(const Grid& g) {
    std::vector<std::string> cells;
    cells.reserve(static_cast<std::size_t>(g.Rows() * g.Cols()));
    for (int r = 0; r < g.Rows(); ++r)
        for (int c = 0; c < g.Cols(); ++c) cells.push_back(g.Text(r, c));
    return cells;
}

int RunChannels(Context& ctx, const Args& args) {
    const Command& self = kChannelsCommand;
    const bool set = args.Flag("set");
    const bool clear = args.Flag("clear");

    // The command line's edits, in the order given.
    std::vector<Edit> edits;
    for (std::size_t i = 1; i < args.Count(); ++i) {
        const std::string& a = args[i];
        const std::string shown = "'" + Printable(a) + "'";
        if (IsChannelArgument(a)) {
            const auto ch = ParseChannelNumber(a);
            if (!ch) return UsageError(ctx, self, shown + " is not a channel number 1-800");
            if (!clear) return UsageError(ctx, self, shown + ": a channel to clear needs --clear");
            edits.emplace_back(*ch);
            continue;
        }
        if (!set)
            return UsageError(ctx, self, "unexpected argument " + shown + " (edits need --set)");
        std::string error;
        const auto e = ParseCellEdit(a, error);
        if (!e) return UsageError(ctx, self, Printable(error, 120));
        edits.emplace_back(*e);
    }
    const bool has_cells =
        std::any_of(edits.begin(), edits.end(), [](const Edit& e) { return e.index() == 0; });
    const bool has_clears =
        std::any_of(edits.begin(), edits.end(), [](const Edit& e) { return e.index() == 1; });
    if (set && !has_cells) return UsageError(ctx, self, "--set needs edits CH:COLUMN=TEXT");
    if (clear && !has_clears) return UsageError(ctx, self, "--clear needs channel numbers");

    // The CSV is read and checked completely before the data file is touched.
    CsvImport import;
    const auto import_path = args.Value("import");
    if (import_path) {
        const FileBytes csv = ReadFileBytes(*import_path, kMaxCsvBytes);
        if (!csv) return ctx.Fail(*import_path + ": " + shell::SystemErrorText(csv.error));
        if (csv.more)
            return ctx.Fail(*import_path + ": longer than " + std::to_string(kMaxCsvBytes) +
                            " bytes, not a channel table; nothing saved");
        import = ParseChannelCsv(csv.Text());
        if (!import.ok())
            return ctx.Fail(*import_path + ": " + Printable(import.error, 120) + "; nothing saved");
    }

    if (!OpenDataFile(ctx, args[0])) return kExitFailure;
    BandTables& bands = ctx.doc.Bands();
    RecomputeBandEnabledFromImage(bands, ctx.doc.Image());
    CProgramView table(ctx.doc.Image(), bands);
    table.OnInitialUpdate();

    for (const Edit& edit : edits) {
        const CellEdit e = edit.index() == 0
                               ? std::get<CellEdit>(edit)
                               : CellEdit{std::get<int>(edit), CProgramView::kColRx, "", 0};
        std::string error;
        if (!ApplyCellEdit(table, e, error))
            return ctx.Fail(Describe(e) + ": " + error + "; nothing saved");
        const std::string& now = table.grid().Text(e.channel, e.column);
        if (edit.index() == 1 && !now.empty())  // the table keeps this channel in use
            return ctx.Fail(std::to_string(e.channel) + ": channel " + std::to_string(e.channel) +
                            " cannot be cleared; nothing was cleared and nothing saved");
        if (now != e.text) ctx.out << Describe(e) << " became " << Became(now) << '\n';
    }
    bool imported = false;
    if (import_path) {
        const std::vector<std::string> before = CellTexts(table.grid());
        for (const EditReport& r : ApplyImport(table, import)) {
            const std::string where = *import_path + ": line " + std::to_string(r.edit.line) + ": ";
            if (!r.error.empty())
                ctx.Warn(where + Describe(r.edit) + ": " + r.error);
            else
                ctx.out << where << Describe(r.edit) << " became " << Became(r.result) << '\n';
        }
        imported = CellTexts(table.grid()) != before;
    }

    // An import that changed no cell leaves the file as it is.
    if (!edits.empty() || imported) {
        const OpenView views[] = {{EditorOfCommand(ID_EDIT_CHANNEL), &table}};
        if (!SaveDataFile(ctx, views)) return kExitFailure;
    }
    if (args.Flag("csv"))
        WriteChannelCsv(table, ctx.out);
    else if (edits.empty() && !import_path)
        WriteChannelListing(table, ctx.out);
    return ctx.out ? kExitSuccess : ctx.Fail("cannot write the output");
}

}  // namespace

extern const Command kChannelsCommand = {
    .name = "channels",
    .arguments = "FILE [CH:COLUMN=TEXT | CH]...",
    .summary = "List, export, import and edit bank A's channels as the channel table does.",
    .description =
        "Without edits, prints bank A as the channel table shows it: one line per channel in\n"
        "use under the table's 12 column headers. --csv prints all 800 rows as CSV instead\n"
        "(empty channels have empty cells).\n"
        "\n"
        "--set: each argument CH:COLUMN=TEXT types TEXT into that cell of the table and leaves\n"
        "it, with the table's own rules (band, raster, channel 1, tone and code normalisation).\n"
        "COLUMN is a header text (\"Rx Freq\", \"Tx Freq\", \"Decode Type\", \"CTCSS\", \"DCS\",\n"
        "\"DCS Polarity\", \"Power\", \"Scan\", \"Bandwidth\", \"Signaling\", \"Name\"), compared\n"
        "without case. --clear: each argument CH empties that channel's Rx cell. Edits apply in\n"
        "the order given; a cell that became other than what was typed is printed (control\n"
        "characters escaped, long texts cut). An empty channel takes only its Rx Freq; any\n"
        "other cell of it is refused, as is clearing channel 1 (the table keeps it in use):\n"
        "the command then fails (exit status 1) and nothing is saved.\n"
        "\n"
        "--import CSV applies a file in the --csv form row by row, cell by cell, with the same\n"
        "rules; cells equal to the table's are left alone, and an import that changes no cell\n"
        "does not rewrite FILE. The header row names the columns\n"
        "(any order, CH required). A malformed file (bad quoting, wrong number of fields,\n"
        "unknown columns, channel numbers outside 1-800) is refused with its line number and\n"
        "nothing is saved.\n"
        "\n"
        "After edits or an import the table is stored (with the image-wide consistency pass)\n"
        "and FILE is saved, as File > Save does.",
    .options = kOptions,
    .min_args = 1,
    .max_args = -1,
    .run = RunChannels,
};

}  // namespace vm::cli
