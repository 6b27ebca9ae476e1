#include "app/editors/channels/channel_table_ops.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <sstream>

#include "app/editors/channels/channel_sheet.h"
#include "app/editors/channels/csv_document.h"
#include "app/image/channel_record.h"
#include "app/image/codecs.h"

namespace vm {

namespace {

using V = CProgramView;

constexpr std::size_t kUndoLevels = 100;
constexpr std::size_t kBankBytes = static_cast<std::size_t>(kChannelsPerBank) * 32;
// The record bytes a paste of a copied channel leaves as the target holds them.
constexpr std::size_t kReserved1 = 0x16, kReserved2 = 0x1E;

std::string Upper(std::string_view s) {
    std::string u(s);
    for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return u;
}

std::optional<std::int64_t> Number(std::string_view text, int digits) {
    text = TrimBlanks(text);
    if (text.empty() || text.find_first_not_of("0123456789.") != std::string_view::npos)
        return std::nullopt;
    return ParseScaled(text, digits);
}

// Whether a cell took the text as typed, up to the way the table writes it.
bool TookText(int col, std::string_view typed, const std::string& cell) {
    typed = TrimBlanks(typed);
    switch (col) {
        case V::kColRx:
        case V::kColTx:
            return Number(typed, 5) == Number(cell, 5);
        case V::kColCtcss:
            return Number(typed, 1) == Number(cell, 1);
        case V::kColDcs:
            return Number(typed, 0) == Number(cell, 0);
        default:
            return Upper(typed) == Upper(cell);
    }
}

std::vector<int> Unique(std::vector<int> rows) {
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    return rows;
}

TableOpResult Refused(std::string why) {
    TableOpResult r;
    r.ok = false;
    r.error = std::move(why);
    return r;
}

bool ValidRow(int row) {
    return row >= 1 && row <= kChannelsPerBank;
}

// Clipboard text as rows of fields: tab-separated lines, or CSV.
std::vector<std::vector<std::string>> SplitText(std::string_view text, std::string& error) {
    std::vector<std::vector<std::string>> rows;
    const std::size_t first_end = text.find('\n');
    if (text.substr(0, first_end).find('\t') != std::string_view::npos ||
        text.find_first_of(",;") == std::string_view::npos) {
        std::size_t pos = 0;
        while (pos <= text.size()) {
            std::size_t end = text.find('\n', pos);
            if (end == std::string_view::npos) end = text.size();
            std::string_view line = text.substr(pos, end - pos);
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            if (!TrimBlanks(line).empty()) {
                std::vector<std::string> fields;
                std::size_t p = 0;
                while (true) {
                    const std::size_t tab = line.find('\t', p);
                    fields.emplace_back(line.substr(
                        p, tab == std::string_view::npos ? std::string_view::npos : tab - p));
                    if (tab == std::string_view::npos) break;
                    p = tab + 1;
                }
                rows.push_back(std::move(fields));
            }
            pos = end + 1;
        }
        return rows;
    }
    const CsvDocument doc = ReadCsvDocument(text);
    if (!doc.ok()) {
        error = doc.error;
        return {};
    }
    rows.push_back(doc.header);
    for (const CsvRow& r : doc.rows) rows.push_back(r.fields);
    return rows;
}

}  // namespace

ChannelTableOps::ChannelTableOps(CProgramView& table) : table_(table) {
    current_ = Snapshot();
}

ChannelTableOps::Bank32 ChannelTableOps::Snapshot() const {
    const std::uint8_t* base = table_.image().data() + ChannelOffset(table_.ChannelOfRow(1));
    return Bank32(base, base + kBankBytes);
}

std::uint8_t* ChannelTableOps::Record(int row) {
    return table_.image().data() + ChannelOffset(table_.ChannelOfRow(row));
}

void ChannelTableOps::Restore(const Bank32& bank) {
    std::copy(bank.begin(), bank.end(), Record(1));
    table_.LoadFromImage();
    table_.StoreToImage();
}

void ChannelTableOps::ResetHistory() {
    undo_.clear();
    redo_.clear();
    current_ = Snapshot();
}

void ChannelTableOps::Push(const Bank32& before) {
    undo_.push_back(before);
    if (undo_.size() > kUndoLevels) undo_.erase(undo_.begin());
    redo_.clear();
}

void ChannelTableOps::CommitCellEdits() {
    table_.StoreToImage();
    Bank32 now = Snapshot();
    if (now == current_) return;
    Push(current_);
    current_ = std::move(now);
}

bool ChannelTableOps::Undo() {
    CommitCellEdits();
    if (undo_.empty()) return false;
    redo_.push_back(current_);
    Restore(undo_.back());
    undo_.pop_back();
    current_ = Snapshot();
    return true;
}

bool ChannelTableOps::Redo() {
    CommitCellEdits();
    if (redo_.empty()) return false;
    undo_.push_back(current_);
    Restore(redo_.back());
    redo_.pop_back();
    current_ = Snapshot();
    return true;
}

TableOpResult ChannelTableOps::Finish(const Bank32& before, TableOpResult result) {
    table_.LoadFromImage();
    table_.StoreToImage();
    // Channel 1 stays where the table keeps it: bank A's in a home band, bank B's in its bands.
    const ConstChannelRecord first(Record(1));
    const BandTables& bands = table_.bands();
    auto kept = [&](std::uint32_t f) {
        return table_.bank() == Bank::A ? HomeBandOf(bands, f) >= 0
                                        : FindBand(bands, f, Bank::B) >= 0;
    };
    if (!first.IsEmpty() && (!kept(first.Rx()) || (!first.TxAbsent() && !kept(first.Tx())))) {
        const std::uint32_t f = kept(first.Rx()) ? first.Tx() : first.Rx();
        Restore(before);
        current_ = Snapshot();
        return Refused(
            "channel 1 would hold " + FormatMHz(f) + " MHz, outside " +
            (table_.bank() == Bank::A ? "the 150M and 450M bands" : "the bands of bank B") +
            " where the table keeps it; nothing changed");
    }
    Bank32 now = Snapshot();
    if (now != before) {
        Push(before);
        result.changed = true;
    }
    current_ = std::move(now);
    return result;
}

bool ChannelTableOps::LastInUse() const {
    return !table_.grid().Text(kChannelsPerBank, V::kColRx).empty();
}

TableOpResult ChannelTableOps::Insert(int row, bool push_off_last) {
    if (!ValidRow(row)) return Refused("channel " + std::to_string(row) + " is not 1-800");
    CommitCellEdits();
    if (LastInUse() && !push_off_last)
        return Refused("channel 800 is in use and would be pushed off the end; nothing changed");
    const Bank32 before = current_;
    std::uint8_t* at = Record(row);
    std::memmove(at + 32, at, static_cast<std::size_t>(kChannelsPerBank - row) * 32);
    WriteClearedRecord(at);
    return Finish(before, {});
}

TableOpResult ChannelTableOps::Delete(const std::vector<int>& rows_in, bool shift) {
    const std::vector<int> rows = Unique(rows_in);
    if (rows.empty()) return Refused("no channel to delete");
    for (int r : rows)
        if (!ValidRow(r)) return Refused("channel " + std::to_string(r) + " is not 1-800");
    CommitCellEdits();
    const Bank32 before = current_;
    TableOpResult result;
    if (!shift) {
        for (int r : rows) {
            if (r == 1) {
                result.reports.push_back("channel 1 is kept: the table keeps it in use");
                continue;
            }
            WriteClearedRecord(Record(r));
        }
    } else {
        std::vector<std::array<std::uint8_t, 32>> kept;
        for (int r = 1; r <= kChannelsPerBank; ++r) {
            if (std::binary_search(rows.begin(), rows.end(), r)) continue;
            std::array<std::uint8_t, 32> rec{};
            std::memcpy(rec.data(), Record(r), 32);
            kept.push_back(rec);
        }
        for (int r = 1; r <= kChannelsPerBank; ++r) {
            const auto i = static_cast<std::size_t>(r - 1);
            if (i < kept.size())
                std::memcpy(Record(r), kept[i].data(), 32);
            else
                WriteClearedRecord(Record(r));
        }
    }
    return Finish(before, std::move(result));
}

TableOpResult ChannelTableOps::Move(int first, int last, int to) {
    if (!ValidRow(first) || !ValidRow(last) || first > last)
        return Refused("channels " + std::to_string(first) + "-" + std::to_string(last) +
                       " are not a range within 1-800");
    const int count = last - first + 1;
    if (to < 1 || to + count - 1 > kChannelsPerBank)
        return Refused("channels " + std::to_string(first) + "-" + std::to_string(last) +
                       " do not fit from channel " + std::to_string(to) + " on");
    CommitCellEdits();
    const Bank32 before = current_;
    std::vector<std::array<std::uint8_t, 32>> all(kChannelsPerBank);
    for (int r = 1; r <= kChannelsPerBank; ++r)
        std::memcpy(all[static_cast<std::size_t>(r - 1)].data(), Record(r), 32);
    std::vector<std::array<std::uint8_t, 32>> block(all.begin() + first - 1, all.begin() + last);
    all.erase(all.begin() + first - 1, all.begin() + last);
    all.insert(all.begin() + to - 1, block.begin(), block.end());
    for (int r = 1; r <= kChannelsPerBank; ++r)
        std::memcpy(Record(r), all[static_cast<std::size_t>(r - 1)].data(), 32);
    return Finish(before, {});
}

std::vector<int> ChannelTableOps::SortPreview(SortKey key, int first, int last) const {
    std::vector<int> order;
    if (!ValidRow(first) || !ValidRow(last) || first > last) return order;
    const Grid& g = table_.grid();
    for (int r = first; r <= last; ++r) order.push_back(r);
    auto used = [&](int r) { return !g.Text(r, V::kColRx).empty(); };
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
        if (used(a) != used(b)) return used(a);
        if (!used(a)) return false;
        if (key == SortKey::Rx)
            return Number(g.Text(a, V::kColRx), 5) < Number(g.Text(b, V::kColRx), 5);
        const std::string na = Upper(g.Text(a, V::kColName));
        const std::string nb = Upper(g.Text(b, V::kColName));
        if (na.empty() != nb.empty()) return !na.empty();  // unnamed channels after the named
        return na < nb;
    });
    return order;
}

TableOpResult ChannelTableOps::Sort(SortKey key, int first, int last) {
    if (!ValidRow(first) || !ValidRow(last) || first > last)
        return Refused("channels " + std::to_string(first) + "-" + std::to_string(last) +
                       " are not a range within 1-800");
    CommitCellEdits();
    const Bank32 before = current_;
    const std::vector<int> order = SortPreview(key, first, last);
    std::vector<std::array<std::uint8_t, 32>> sorted(order.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        std::memcpy(sorted[i].data(), Record(order[i]), 32);
    for (std::size_t i = 0; i < order.size(); ++i)
        std::memcpy(Record(first + static_cast<int>(i)), sorted[i].data(), 32);
    return Finish(before, {});
}

std::optional<int> ChannelTableOps::Find(std::string_view what, int from, bool forward) const {
    what = TrimBlanks(what);
    if (what.empty()) return std::nullopt;
    const Grid& g = table_.grid();
    const auto f = Number(what, 5);
    const std::string needle = Upper(what);
    auto matches = [&](int r) {
        if (g.Text(r, V::kColRx).empty()) return false;
        if (f) return Number(g.Text(r, V::kColRx), 5) == f || Number(g.Text(r, V::kColTx), 5) == f;
        return Upper(g.Text(r, V::kColName)).find(needle) != std::string::npos;
    };
    int r = std::clamp(from, 0, kChannelsPerBank + 1);
    for (int i = 0; i < kChannelsPerBank; ++i) {
        r = forward ? r % kChannelsPerBank + 1 : (r <= 1 ? kChannelsPerBank : r - 1);
        if (matches(r)) return r;
    }
    return std::nullopt;
}

ChannelClipboard ChannelTableOps::Copy(const std::vector<int>& rows_in) {
    CommitCellEdits();
    ChannelClipboard clip;
    const Grid& g = table_.grid();
    std::ostringstream tsv, csv;
    std::vector<std::string> fields(V::kColumnCount);
    auto tsv_line = [&] {
        for (std::size_t c = 0; c < fields.size(); ++c) tsv << (c ? "\t" : "") << fields[c];
        tsv << '\n';
    };
    for (int c = 0; c < V::kColumnCount; ++c)
        fields[static_cast<std::size_t>(c)] = std::string(V::kHeaders[static_cast<std::size_t>(c)]);
    tsv_line();
    WriteCsvRow(csv, fields);
    for (int r : Unique(rows_in)) {
        if (!ValidRow(r)) continue;
        for (int c = 0; c < V::kColumnCount; ++c)
            fields[static_cast<std::size_t>(c)] = g.Text(r, c);
        tsv_line();
        WriteCsvRow(csv, fields);
        std::array<std::uint8_t, 32> rec{};
        std::memcpy(rec.data(), Record(r), 32);
        clip.records.push_back(rec);
    }
    clip.tsv = tsv.str();
    clip.csv = csv.str();
    return clip;
}

TableOpResult ChannelTableOps::Cut(const std::vector<int>& rows, ChannelClipboard& clipboard) {
    clipboard = Copy(rows);
    return Delete(rows, false);
}

TableOpResult ChannelTableOps::Paste(int row, std::string_view text, const ChannelClipboard* own) {
    if (!ValidRow(row)) return Refused("channel " + std::to_string(row) + " is not 1-800");
    CommitCellEdits();
    const Bank32 before = current_;
    TableOpResult result;

    if (own && !own->records.empty() && (text == own->tsv || text == own->csv)) {
        for (std::size_t i = 0; i < own->records.size(); ++i) {
            const int r = row + static_cast<int>(i);
            if (r > kChannelsPerBank) {
                result.reports.push_back(std::to_string(own->records.size() - i) +
                                         " rows beyond channel 800 are not pasted");
                break;
            }
            const auto& src = own->records[i];
            std::uint8_t* dst = Record(r);
            std::memcpy(dst, src.data(), kReserved1);
            std::memcpy(dst + 0x18, src.data() + 0x18, kReserved2 - 0x18);
        }
        return Finish(before, std::move(result));
    }

    std::string error;
    const auto lines = SplitText(text, error);
    if (!error.empty()) return Refused("the clipboard text: " + error);
    if (lines.empty()) return Refused("the clipboard holds no channels");
    std::vector<int> columns;
    std::size_t first_line = 0;
    const bool header = std::all_of(lines[0].begin(), lines[0].end(),
                                    [](const std::string& f) { return ColumnByHeader(f) >= 0; });
    if (header) {
        for (const std::string& f : lines[0]) columns.push_back(ColumnByHeader(f));
        first_line = 1;
    } else {
        const std::size_t n = lines[0].size();
        if (n > V::kColumnCount)
            return Refused("the clipboard rows have " + std::to_string(n) + " fields; the table " +
                           "has " + std::to_string(V::kColumnCount) + " columns");
        const int start = n == V::kColumnCount ? V::kColCh : V::kColRx;
        for (std::size_t i = 0; i < n; ++i) columns.push_back(start + static_cast<int>(i));
    }
    const auto rx_field = std::find(columns.begin(), columns.end(), V::kColRx);
    const Grid& g = table_.grid();
    for (std::size_t li = first_line; li < lines.size(); ++li) {
        const int r = row + static_cast<int>(li - first_line);
        const std::string where = "channel " + std::to_string(r) + ": ";
        if (r > kChannelsPerBank) {
            result.reports.push_back(std::to_string(lines.size() - li) +
                                     " rows beyond channel 800 are not pasted");
            break;
        }
        const auto& fields = lines[li];
        if (fields.size() != columns.size()) {
            result.reports.push_back(where + "the row has " + std::to_string(fields.size()) +
                                     " fields where the first has " +
                                     std::to_string(columns.size()) + "; not pasted");
            continue;
        }
        if (rx_field != columns.end()) {
            const std::string& rx = fields[static_cast<std::size_t>(rx_field - columns.begin())];
            if (TrimBlanks(rx).empty()) {
                if (r == 1)
                    result.reports.push_back(where +
                                             "channel 1 is kept: the table keeps it in use");
                else if (!g.Text(r, V::kColRx).empty())
                    table_.TypeIntoCell(r, V::kColRx, "");
                continue;
            }
        }
        // The Rx first (it creates an empty channel), then the other cells in table order.
        for (int c = V::kColRx; c < V::kColumnCount; ++c) {
            const auto it = std::find(columns.begin(), columns.end(), c);
            if (it == columns.end()) continue;
            const std::string& typed = fields[static_cast<std::size_t>(it - columns.begin())];
            if (TookText(c, typed, g.Text(r, c))) continue;
            std::string why;
            const std::string head(V::kHeaders[static_cast<std::size_t>(c)]);
            if (!ApplyCellEdit(table_, {r, c, typed, 0}, why)) {
                result.reports.push_back(where + head + " '" + typed + "' refused: " + why);
                continue;
            }
            if (!TookText(c, typed, g.Text(r, c)))
                result.reports.push_back(where + head + " '" + typed + "' became '" + g.Text(r, c) +
                                         "'");
        }
    }
    table_.StoreToImage();  // the typed cells, before the table reloads
    return Finish(before, std::move(result));
}

}  // namespace vm
