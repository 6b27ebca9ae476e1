// The channel table as a spreadsheet: rows inserted, deleted, moved, sorted, found, copied,
// cut and pasted, with undo and redo of every step. Each operation stores the table first (so
// edits in its cells are part of the step), moves whole records, and then runs the table's own
// rules over the result (the table reloads and stores, with the image-wide consistency pass);
// an operation that would leave channel 1 where the table does not keep it is refused and
// changes nothing. Pasted text is typed into the cells as a user types it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/editors/channels/program_view.h"

namespace vm {

struct TableOpResult {
    bool ok = true;
    std::string error;                 // why nothing changed
    std::vector<std::string> reports;  // cells that did not take what was pasted, rows skipped
    bool changed = false;              // the channels changed (a step to undo)
};

// Rows copied from the table: as text spreadsheets read (tab-separated with the header row),
// as the table's own CSV, and the records themselves, so that pasting them back gives the
// same channels.
struct ChannelClipboard {
    std::string tsv;
    std::string csv;
    std::vector<std::array<std::uint8_t, 32>> records;
};

enum class SortKey { Rx, Name };

class ChannelTableOps {
public:
    explicit ChannelTableOps(CProgramView& table);

    // After open, read or reset: the image as it is now is where undo stops.
    void ResetHistory();
    // Stores the table; if its channels changed since the last step, that is a step.
    void CommitCellEdits();
    bool CanUndo() const { return !undo_.empty(); }
    bool CanRedo() const { return !redo_.empty(); }
    bool Undo();
    bool Redo();

    // Rows are 1..800 of the table's bank.
    // An empty channel at `row`, the rest shifted down. The last channel in use is never pushed
    // off the end unless `push_off_last` says so.
    TableOpResult Insert(int row, bool push_off_last = false);
    // Whether channel 800 is in use, so that Insert would push it off the end.
    bool LastInUse() const;
    // Clears the rows (channel 1 excepted, as the table keeps it), or removes them and shifts
    // the channels below up.
    TableOpResult Delete(const std::vector<int>& rows, bool shift);
    // Moves rows first..last so that `first` lands on `to`.
    TableOpResult Move(int first, int last, int to);
    // Sorts first..last by Rx frequency or name (channels in use first, stable).
    TableOpResult Sort(SortKey key, int first, int last);
    // The order Sort would give: the rows first..last as they would stand afterwards.
    std::vector<int> SortPreview(SortKey key, int first, int last) const;

    // The next (or previous) row after `from`, wrapping around, whose Rx or Tx is the frequency
    // typed in `what`, or whose name holds `what` (ignoring case).
    std::optional<int> Find(std::string_view what, int from, bool forward) const;

    ChannelClipboard Copy(const std::vector<int>& rows);
    TableOpResult Cut(const std::vector<int>& rows, ChannelClipboard& clipboard);
    // Pastes clipboard text at `row`, row after row. When `text` is what `own` was copied as,
    // its records are pasted (their reserved bytes excepted); otherwise the text (tab-separated
    // or CSV, with the table's header row or the table's columns in order) is typed cell by
    // cell.
    TableOpResult Paste(int row, std::string_view text, const ChannelClipboard* own = nullptr);

private:
    using Bank32 = std::vector<std::uint8_t>;
    Bank32 Snapshot() const;
    void Restore(const Bank32& bank);
    std::uint8_t* Record(int row);
    // Runs the table's rules over the records; refuses (restoring `before`) a channel 1 the
    // table would not keep. Records the step.
    TableOpResult Finish(const Bank32& before, TableOpResult result);
    void Push(const Bank32& before);

    CProgramView& table_;
    Bank32 current_;
    std::vector<Bank32> undo_;
    std::vector<Bank32> redo_;
};

}  // namespace vm
