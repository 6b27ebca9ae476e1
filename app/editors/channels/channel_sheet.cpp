#include "app/editors/channels/channel_sheet.h"

#include <algorithm>
#include <cctype>

#include "app/image/channel_record.h"
#include "app/image/codecs.h"

namespace vm {

namespace {

using V = CProgramView;

bool SameIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) ==
                      std::toupper(static_cast<unsigned char>(y));
           });
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

int HeaderColumn(std::string_view header) {
    for (int c = 0; c < V::kColumnCount; ++c)
        if (SameIgnoringCase(Trim(header), V::kHeaders[static_cast<std::size_t>(c)])) return c;
    return -1;
}

bool RowInUse(const CProgramView& table, int row) {
    return !table.grid().Text(row, V::kColRx).empty();
}

// One CSV record: fields, or an error for bad quoting. `pos` moves past the record's line end.
bool ReadCsvRecord(std::string_view text, std::size_t& pos, int& line,
                   std::vector<std::string>& fields, std::string& error) {
    fields.assign(1, std::string());
    bool quoted = false;      // inside a quoted field
    bool was_quoted = false;  // the current field was quoted and has closed
    while (pos < text.size()) {
        const char c = text[pos++];
        if (quoted) {
            if (c == '"') {
                if (pos < text.size() && text[pos] == '"') {
                    fields.back().push_back('"');
                    ++pos;
                } else {
                    quoted = false;
                    was_quoted = true;
                }
            } else {
                if (c == '\n') ++line;
                fields.back().push_back(c);
            }
            continue;
        }
        if (c == ',') {
            fields.emplace_back();
            was_quoted = false;
        } else if (c == '\n' || c == '\r') {
            if (c == '\r' && pos < text.size() && text[pos] == '\n') ++pos;
            return true;
        } else if (c == '"') {
            if (!fields.back().empty() || was_quoted) {
                error = "a quote inside an unquoted field";
                return false;
            }
            quoted = true;
        } else {
            if (was_quoted) {
                error = "text after a closing quote";
                return false;
            }
            fields.back().push_back(c);
        }
    }
    if (quoted) {
        error = "a quoted field is not closed";
        return false;
    }
    return true;
}

}  // namespace

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

std::string CsvField(std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos && Trim(text) == text)
        return std::string(text);
    std::string s = "\"";
    for (char c : text) {
        if (c == '"') s += '"';
        s += c;
    }
    return s + '"';
}

void WriteChannelCsv(const CProgramView& table, std::ostream& out) {
    const Grid& g = table.grid();
    for (int r = 0; r < g.Rows(); ++r) {
        for (int c = 0; c < V::kColumnCount; ++c) {
            if (c > 0) out << ',';
            out << CsvField(g.Text(r, c));
        }
        out << '\n';
    }
}

CsvImport ParseChannelCsv(std::string_view text) {
    CsvImport result;
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);  // a spreadsheet's BOM
    std::size_t pos = 0;
    int line = 1;
    std::vector<int> columns;  // table column of each CSV field
    int ch_field = -1;
    std::vector<std::string> fields;
    bool header_done = false;
    while (pos < text.size()) {
        const int first_line = line;
        std::string error;
        if (!ReadCsvRecord(text, pos, line, fields, error)) {
            result.error = "line " + std::to_string(first_line) + ": " + error;
            result.edits.clear();
            return result;
        }
        ++line;
        if (fields.size() == 1 && Trim(fields[0]).empty()) continue;  // blank line
        auto fail = [&](const std::string& why) {
            result.error = "line " + std::to_string(first_line) + ": " + why;
            result.edits.clear();
            return result;
        };
        if (!header_done) {
            for (std::size_t i = 0; i < fields.size(); ++i) {
                const int c = HeaderColumn(fields[i]);
                if (c < 0) return fail("unknown column '" + fields[i] + "'");
                if (std::find(columns.begin(), columns.end(), c) != columns.end())
                    return fail("column '" + fields[i] + "' appears twice");
                if (c == V::kColCh) ch_field = static_cast<int>(i);
                columns.push_back(c);
            }
            if (ch_field < 0)
                return fail("no '" + std::string(V::kHeaders[V::kColCh]) + "' column");
            header_done = true;
            continue;
        }
        if (fields.size() != columns.size())
            return fail(std::to_string(fields.size()) + " fields where the header has " +
                        std::to_string(columns.size()));
        const auto channel = ParseChannelNumber(fields[static_cast<std::size_t>(ch_field)]);
        if (!channel)
            return fail("'" + fields[static_cast<std::size_t>(ch_field)] +
                        "' is not a channel number 1-800");
        for (int c = V::kColRx; c < V::kColumnCount; ++c) {
            const auto it = std::find(columns.begin(), columns.end(), c);
            if (it == columns.end()) continue;
            result.edits.push_back(
                {*channel, c, fields[static_cast<std::size_t>(it - columns.begin())], first_line});
        }
    }
    if (!header_done) result.error = "line 1: no header row";
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
