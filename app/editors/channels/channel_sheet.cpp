#include "app/editors/channels/channel_sheet.h"

#include <algorithm>
#include <cctype>

#include "app/editors/channels/csv_document.h"
#include "app/image/channel_record.h"
#include "app/image/codecs.h"

namespace vm {

namespace {

using V = CProgramView;

std::string_view Trim(std::string_view s) {
    return TrimBlanks(s);
}

int HeaderColumn(std::string_view header) {
    for (int c = 0; c < V::kColumnCount; ++c)
        if (SameIgnoringCase(Trim(header), V::kHeaders[static_cast<std::size_t>(c)])) return c;
    return -1;
}

bool RowInUse(const CProgramView& table, int row) {
    return !table.grid().Text(row, V::kColRx).empty();
}

}  // namespace

int ColumnByHeader(std::string_view header) {
    return HeaderColumn(header);
}

int EditableColumnByHeader(std::string_view header) {
    const int c = HeaderColumn(header);
    return c == V::kColCh ? -1 : c;
}

std::optional<int> ParseChannelNumber(std::string_view arg) {
    arg = Trim(arg);
    if (arg.empty() || arg.size() > 4) return std::nullopt;
    int n = 0;
    for (char c : arg) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
        n = n * 10 + (c - '0');
    }
    if (n < 1 || n > kChannelsPerBank) return std::nullopt;
    return n;
}

std::optional<CellEdit> ParseCellEdit(std::string_view arg, std::string& error) {
    const std::size_t colon = arg.find(':');
    const std::size_t eq = arg.find('=');
    if (colon == std::string_view::npos || eq == std::string_view::npos || eq < colon) {
        error = "'" + std::string(arg) + "' is not CH:COLUMN=TEXT";
        return std::nullopt;
    }
    const auto channel = ParseChannelNumber(arg.substr(0, colon));
    if (!channel) {
        error = "'" + std::string(arg.substr(0, colon)) + "' is not a channel number 1-800";
        return std::nullopt;
    }
    const std::string_view header = arg.substr(colon + 1, eq - colon - 1);
    const int column = EditableColumnByHeader(header);
    if (column < 0) {
        error = "unknown column '" + std::string(header) + "'";
        return std::nullopt;
    }
    return CellEdit{*channel, column, std::string(arg.substr(eq + 1)), 0};
}

bool ApplyCellEdit(CProgramView& table, const CellEdit& edit, std::string& error) {
    if (edit.column != V::kColRx && !RowInUse(table, edit.channel)) {
        error = "channel " + std::to_string(edit.channel) + " is empty: set its " +
                std::string(V::kHeaders[V::kColRx]) + " first";
        return false;
    }
    if (table.TypeIntoCell(edit.channel, edit.column, edit.text) != edit.column) {
        error = "channel " + std::to_string(edit.channel) + ": the cell did not open";
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------

void WriteChannelListing(const CProgramView& table, std::ostream& out) {
    const Grid& g = table.grid();
    std::vector<std::size_t> width(V::kColumnCount);
    for (int c = 0; c < V::kColumnCount; ++c)
        width[static_cast<std::size_t>(c)] = g.Text(0, c).size();
    for (int r = 1; r < g.Rows(); ++r) {
        if (!RowInUse(table, r)) continue;
        for (int c = 0; c < V::kColumnCount; ++c)
            width[static_cast<std::size_t>(c)] =
                std::max(width[static_cast<std::size_t>(c)], g.Text(r, c).size());
    }
    auto line = [&](int r) {
        std::string s;
        for (int c = 0; c < V::kColumnCount; ++c) {
            const std::string& t = g.Text(r, c);
            if (c > 0) s += "  ";
            s += t;
            if (c + 1 < V::kColumnCount)
                s.append(width[static_cast<std::size_t>(c)] - t.size(), ' ');
        }
        while (!s.empty() && s.back() == ' ') s.pop_back();
        out << s << '\n';
    };
    line(0);
    for (int r = 1; r < g.Rows(); ++r)
        if (RowInUse(table, r)) line(r);
}

void WriteChannelCsv(const CProgramView& table, std::ostream& out) {
    const Grid& g = table.grid();
    std::vector<std::string> fields(V::kColumnCount);
    for (int r = 0; r < g.Rows(); ++r) {
        for (int c = 0; c < V::kColumnCount; ++c)
            fields[static_cast<std::size_t>(c)] = g.Text(r, c);
        WriteCsvRow(out, fields);
    }
}

CsvImport ParseChannelCsv(std::string_view text) {
    return ParseChannelCsv(ReadCsvDocument(text));
}

CsvImport ParseChannelCsv(const CsvDocument& doc) {
    CsvImport result;
    if (!doc.ok()) {
        result.error = doc.error;
        return result;
    }
    auto fail = [&](int line, const std::string& why) {
        result.error = "line " + std::to_string(line) + ": " + why;
        result.edits.clear();
        return result;
    };
    std::vector<int> columns;  // table column of each CSV field
    int ch_field = -1;
    for (std::size_t i = 0; i < doc.header.size(); ++i) {
        const int c = HeaderColumn(doc.header[i]);
        if (c < 0) return fail(doc.header_line, "unknown column '" + doc.header[i] + "'");
        if (std::find(columns.begin(), columns.end(), c) != columns.end())
            return fail(doc.header_line, "column '" + doc.header[i] + "' appears twice");
        if (c == V::kColCh) ch_field = static_cast<int>(i);
        columns.push_back(c);
    }
    if (ch_field < 0)
        return fail(doc.header_line, "no '" + std::string(V::kHeaders[V::kColCh]) + "' column");
    std::vector<int> seen_on(kChannelsPerBank + 1, 0);
    for (const CsvRow& row : doc.rows) {
        const auto& fields = row.fields;
        if (fields.size() != columns.size())
            return fail(row.line, std::to_string(fields.size()) + " fields where the header has " +
                                      std::to_string(columns.size()));
        const auto channel = ParseChannelNumber(fields[static_cast<std::size_t>(ch_field)]);
        if (!channel)
            return fail(row.line, "'" + fields[static_cast<std::size_t>(ch_field)] +
                                      "' is not a channel number 1-800");
        int& seen = seen_on[static_cast<std::size_t>(*channel)];
        if (seen != 0)
            return fail(row.line, "channel " + std::to_string(*channel) +
                                      " appears again (first on line " + std::to_string(seen) +
                                      ")");
        seen = row.line;
        for (int c = V::kColRx; c < V::kColumnCount; ++c) {
            const auto it = std::find(columns.begin(), columns.end(), c);
            if (it == columns.end()) continue;
            result.edits.push_back(
                {*channel, c, fields[static_cast<std::size_t>(it - columns.begin())], row.line});
        }
    }
    return result;
}

std::vector<EditReport> ApplyImport(CProgramView& table, const CsvImport& import) {
    std::vector<EditReport> reports;
    for (const CellEdit& e : import.edits) {
        const Grid& g = table.grid();
        if (g.Text(e.channel, e.column) == e.text) continue;
        if (e.column != V::kColRx && !RowInUse(table, e.channel)) {
            reports.push_back({e, std::string(), "the channel is empty, the cell is ignored"});
            continue;
        }
        const std::string before = g.Text(e.channel, e.column);
        std::string error;
        if (!ApplyCellEdit(table, e, error)) {
            reports.push_back({e, std::string(), error});
            continue;
        }
        // An empty cell that left the table's cell as it was is not worth a line, except an
        // Rx cell: emptying it asks for the channel to be cleared.
        const std::string& now = g.Text(e.channel, e.column);
        const bool untouched = e.text.empty() && now == before && e.column != V::kColRx;
        if (now != e.text && !untouched) reports.push_back({e, now, std::string()});
    }
    return reports;
}

}  // namespace vm
