// vm6142 channels FILE: a bank's channel table as text, exchanged with other programs, edited
// cell by cell and row by row.
#include <algorithm>
#include <sstream>
#include <variant>
#include <vector>

#include "app/editors/catalogue/editor_commands.h"
#include "app/editors/channels/channel_memory.h"
#include "app/editors/channels/channel_sheet.h"
#include "app/editors/channels/channel_table_ops.h"
#include "app/editors/channels/chirp_csv.h"
#include "app/editors/channels/csv_document.h"
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
    {"import", 'i', "CSV", "apply a CSV file (the --csv form or the exchange layout)"},
    {"format", 'f', "FORMAT", "--csv layout: table (default) or chirp"},
    {"bank", 'b', "BANK", "the bank to work on: A (default) or B"},
    {"partial", 0, "", "--import applies the rows that can be held when others cannot"},
    {"insert", 0, "N", "insert an empty channel at N, the rest shifted down"},
    {"delete", 0, "N[-M]", "delete channels N..M, the rest shifted up"},
    {"move", 0, "A-B:C", "move channels A..B so that A lands on C"},
    {"sort", 0, "KEY", "sort the channels by rx or name"},
    {"range", 0, "A-B", "--sort only channels A..B"},
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

// "N" or "N-M" with channel numbers 1-800.
std::optional<std::pair<int, int>> ParseRange(std::string_view text) {
    const auto dash = text.find('-');
    const auto a = ParseChannelNumber(text.substr(0, dash));
    if (!a) return std::nullopt;
    if (dash == std::string_view::npos) return std::pair{*a, *a};
    const auto b = ParseChannelNumber(text.substr(dash + 1));
    if (!b || *b < *a) return std::nullopt;
    return std::pair{*a, *b};
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

    // Bank, layout and row operation.
    Bank bank = Bank::A;
    if (const auto b = args.Value("bank")) {
        if (*b == "B" || *b == "b")
            bank = Bank::B;
        else if (*b != "A" && *b != "a")
            return UsageError(ctx, self, "--bank takes A or B, not '" + Printable(*b) + "'");
    }
    bool chirp_out = false;
    if (const auto f = args.Value("format")) {
        if (*f == "chirp")
            chirp_out = true;
        else if (*f != "table")
            return UsageError(ctx, self,
                              "--format takes table or chirp, not '" + Printable(*f) + "'");
        if (!args.Flag("csv")) return UsageError(ctx, self, "--format goes with --csv");
    }
    int operations = 0;
    for (const char* op : {"insert", "delete", "move", "sort"}) operations += args.Flag(op);
    if (operations > 1)
        return UsageError(ctx, self, "one of --insert, --delete, --move, --sort at a time");
    if (args.Flag("range") && !args.Flag("sort"))
        return UsageError(ctx, self, "--range goes with --sort");
    if (args.Flag("partial") && !args.Flag("import"))
        return UsageError(ctx, self, "--partial goes with --import");
    std::optional<std::pair<int, int>> op_range;
    int move_to = 0;
    SortKey sort_key = SortKey::Rx;
    if (const auto v = args.Value("insert")) {
        op_range = ParseRange(*v);
        if (!op_range || op_range->first != op_range->second)
            return UsageError(ctx, self, "--insert takes a channel number 1-800");
    }
    if (const auto v = args.Value("delete")) {
        op_range = ParseRange(*v);
        if (!op_range) return UsageError(ctx, self, "--delete takes N or N-M, channels 1-800");
    }
    if (const auto v = args.Value("move")) {
        const auto colon = v->find(':');
        const auto to =
            colon == std::string::npos ? std::nullopt : ParseChannelNumber(v->substr(colon + 1));
        op_range = ParseRange(v->substr(0, colon));
        if (!op_range || !to) return UsageError(ctx, self, "--move takes A-B:C, channels 1-800");
        move_to = *to;
    }
    if (const auto v = args.Value("sort")) {
        if (*v == "rx")
            sort_key = SortKey::Rx;
        else if (*v == "name")
            sort_key = SortKey::Name;
        else
            return UsageError(ctx, self, "--sort takes rx or name");
        op_range = std::pair{1, kChannelsPerBank};
        if (const auto r = args.Value("range")) {
            op_range = ParseRange(*r);
            if (!op_range) return UsageError(ctx, self, "--range takes A-B, channels 1-800");
        }
    }

    // The CSV is read and checked completely before the data file is touched.
    CsvImport import;
    CsvDocument import_doc;
    bool import_chirp = false;
    const auto import_path = args.Value("import");
    if (import_path) {
        const FileBytes csv = ReadFileBytes(*import_path, kMaxCsvBytes);
        if (!csv) return ctx.Fail(*import_path + ": " + shell::SystemErrorText(csv.error));
        if (csv.more)
            return ctx.Fail(*import_path + ": longer than " + std::to_string(kMaxCsvBytes) +
                            " bytes, not a channel table; nothing saved");
        import_doc = ReadCsvDocument(csv.Text());
        if (!import_doc.ok())
            return ctx.Fail(*import_path + ": " + Printable(import_doc.error, 120) +
                            "; nothing saved");
        import_chirp = chirp::IsChirpHeader(import_doc.header);
        if (!import_chirp) {
            const bool any_known =
                std::any_of(import_doc.header.begin(), import_doc.header.end(),
                            [](const std::string& h) { return ColumnByHeader(h) >= 0; });
            if (!any_known)
                return ctx.Fail(*import_path + ": line " + std::to_string(import_doc.header_line) +
                                ": no known column (neither the table's headers nor " +
                                "'Location'); nothing saved");
            import = ParseChannelCsv(import_doc);
            if (!import.ok())
                return ctx.Fail(*import_path + ": " + Printable(import.error, 120) +
                                "; nothing saved");
        }
    }

    if (!OpenDataFile(ctx, args[0])) return kExitFailure;
    BandTables& bands = ctx.doc.Bands();
    RecomputeBandEnabledFromImage(bands, ctx.doc.Image());
    CProgramView table_a(ctx.doc.Image(), bands, Bank::A);
    table_a.OnInitialUpdate();
    std::optional<CProgramView> table_b;
    if (bank == Bank::B) {
        table_b.emplace(ctx.doc.Image(), bands, Bank::B);
        table_b->OnInitialUpdate();
    }
    CProgramView& table = bank == Bank::B ? *table_b : table_a;
    const std::vector<std::string> before_a = CellTexts(table_a.grid());
    const std::vector<std::string> before_b =
        table_b ? CellTexts(table_b->grid()) : std::vector<std::string>();

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

    bool operated = false;
    if (op_range) {
        ChannelTableOps ops(table);
        TableOpResult r;
        const auto [first, last] = *op_range;
        if (args.Flag("insert")) {
            r = ops.Insert(first);
        } else if (args.Flag("delete")) {
            std::vector<int> rows;
            for (int n = first; n <= last; ++n) rows.push_back(n);
            r = ops.Delete(rows, true);
        } else if (args.Flag("move")) {
            r = ops.Move(first, last, move_to);
        } else {
            r = ops.Sort(sort_key, first, last);
        }
        for (const std::string& line : r.reports) ctx.Warn(line);
        if (!r.ok) return ctx.Fail(r.error + "; nothing saved");
        operated = r.changed;
    }

    bool imported = false;
    if (import_path && !import_chirp) {
        for (const EditReport& r : ApplyImport(table, import)) {
            const std::string where = *import_path + ": line " + std::to_string(r.edit.line) + ": ";
            if (!r.error.empty())
                ctx.Warn(where + Describe(r.edit) + ": " + r.error);
            else
                ctx.out << where << Describe(r.edit) << " became " << Became(r.result) << '\n';
        }
    } else if (import_path) {
        const chirp::ImportPlan plan = chirp::PlanImport(import_doc, bands, bank == Bank::B);
        if (!plan.ok())
            return ctx.Fail(*import_path + ": " + Printable(plan.error, 120) + "; nothing saved");
        auto where = [&](const chirp::RowProblem& p) {
            return *import_path + ": line " + std::to_string(p.line) + ": " +
                   (p.location ? "location " + std::to_string(p.location) + ": " : std::string());
        };
        for (const chirp::RowProblem& p : plan.problems)
            ctx.Warn(where(p) + Printable(p.text, 160));
        for (const chirp::RowProblem& p : plan.notes)
            ctx.out << where(p) << Printable(p.text, 160) << '\n';
        if (!plan.problems.empty() && !args.Flag("partial"))
            return ctx.Fail(*import_path + ": " + std::to_string(plan.problems.size()) +
                            " problem(s) in rows this radio cannot hold; nothing saved " +
                            "(--partial applies the other rows)");
        const auto failed = chirp::ApplyImport(plan, table_a, table_b ? &*table_b : nullptr);
        for (const chirp::RowProblem& p : failed) ctx.Warn(where(p) + Printable(p.text, 160));
        if (!failed.empty())
            return ctx.Fail(*import_path +
                            ": rows the table did not take as planned; nothing saved");
    }
    if (import_path)
        imported = CellTexts(table_a.grid()) != before_a ||
                   (table_b && CellTexts(table_b->grid()) != before_b);

    // An import that changed no cell leaves the file as it is.
    if (!edits.empty() || imported || operated) {
        std::vector<OpenView> views = {{EditorOfCommand(ID_EDIT_CHANNEL), &table_a}};
        if (table_b) views.push_back({EditorOfCommand(ID_EDIT_CHANNEL), &*table_b});
        if (!SaveDataFile(ctx, views)) return kExitFailure;
    }
    if (args.Flag("csv") && chirp_out) {
        for (const chirp::ExportNote& n : chirp::WriteCsv(table, ctx.doc.Image(), ctx.out))
            ctx.Warn("channel " + std::to_string(n.channel) + ": " + n.text);
    } else if (args.Flag("csv"))
        WriteChannelCsv(table, ctx.out);
    else if (edits.empty() && !import_path && !op_range)
        WriteChannelListing(table, ctx.out);
    return ctx.out ? kExitSuccess : ctx.Fail("cannot write the output");
}

}  // namespace

extern const Command kChannelsCommand = {
    .name = "channels",
    .arguments = "FILE [CH:COLUMN=TEXT | CH]...",
    .summary = "List, export, import and edit a bank's channels as the channel table does.",
    .description =
        "Without edits, prints bank A (--bank B: bank B, its channels numbered 1-800 here) as\n"
        "the channel table shows it: one line per channel in use under the table's 12 column\n"
        "headers. --csv prints all 800 rows as CSV instead (empty channels have empty cells);\n"
        "--csv --format chirp prints the channels in use in the exchange layout most\n"
        "multi-radio programmers read (21 columns, Location = channel number, 801-1600 for\n"
        "bank B; powers as Low 5.0W, Middle 2 10W, Middle 1 25W, High 50W). What that layout\n"
        "cannot carry (bandwidth Middle, signalling) is named on the error stream.\n"
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
        "Row operations, one per command, after the edits: --insert N (an empty channel at N,\n"
        "the rest shifted down; refused while channel 800 is in use), --delete N or N-M (the\n"
        "channels removed, the rest shifted up), --move A-B:C (channels A..B moved so that A\n"
        "lands on C), --sort rx|name [--range A-B] (channels in use first, by Rx frequency or\n"
        "by name). Whole records move; the table's rules then run over the result, and an\n"
        "operation that would leave channel 1 outside the 150M and 450M bands is refused.\n"
        "\n"
        "--import CSV applies a file in either layout, recognised by its header line (after a\n"
        "byte-order mark, '#' comment lines and blank lines; fields separated by ',' or ';').\n"
        "The --csv form is applied row by row, cell by cell, with the same rules; cells equal\n"
        "to the table's are left alone, and an import that changes no cell does not rewrite\n"
        "FILE. The header row names the columns (any order, CH required). In the exchange\n"
        "layout (any of its columns in any order, Location and Frequency required, unknown\n"
        "ones ignored) each row replaces its channel; a row this radio cannot hold exactly (a\n"
        "frequency in no band or off the raster, a cross mode or a second tone or code, an\n"
        "unknown mode or step, a bank B location without --bank B) is named with its line\n"
        "number and nothing is saved, unless --partial applies the other rows. A name is held\n"
        "as the name cell takes it and a power as the nearest level; both are printed.\n"
        "A malformed file (not text, bad quoting, wrong number of fields, unknown columns only,\n"
        "a channel or location given twice, channel numbers outside 1-800) is refused with its\n"
        "line number and nothing is saved.\n"
        "\n"
        "After edits, an operation or an import the table is stored (with the image-wide\n"
        "consistency pass) and FILE is saved, as File > Save does.",
    .options = kOptions,
    .min_args = 1,
    .max_args = -1,
    .run = RunChannels,
};

}  // namespace vm::cli
