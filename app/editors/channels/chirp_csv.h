// The channel list layout that most multi-radio programmers and repeater directories exchange
// (21 named columns, one row per memory), written from and applied to the channel table.
//
// Each row maps onto one channel record: Duplex and Offset onto the offset direction and offset
// (split onto the Tx frequency), the tone modes onto the decode type with its one CTCSS tone and
// one DCS code, DtcsPolarity onto the DCS polarity, Mode onto the bandwidth and the AM bit,
// TStep onto the step list, Skip onto scan, Power onto the nearest of the four power levels
// (kPowerWatts) and Name through the table's name filter. A row this radio cannot hold exactly
// is refused with what could not be held; the rest is typed into the table, cell by cell, so a
// file never stores what the table would not.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "app/editors/channels/csv_document.h"
#include "app/editors/channels/program_view.h"
#include "app/image/band_tables.h"
#include "app/image/channel_record.h"

namespace vm::chirp {

inline constexpr std::array<std::string_view, 21> kColumns = {
    "Location",  "Name",     "Frequency",    "Duplex",     "Offset",    "Tone",     "rToneFreq",
    "cToneFreq", "DtcsCode", "DtcsPolarity", "RxDtcsCode", "CrossMode", "Mode",     "TStep",
    "Skip",      "Power",    "Comment",      "URCALL",     "RPT1CALL",  "RPT2CALL", "DVCODE"};

// Watts each entry of g_TxPowerList stands for ("Low", "Middle 2", "Middle 1", "High"), in
// tenths of a watt.
inline constexpr std::array<int, 4> kPowerWatts = {50, 100, 250, 500};

// Whether a header row is this layout's: it names "Location" (any subset of the columns in any
// order, unknown ones ignored).
bool IsChirpHeader(const std::vector<std::string>& header);

// A note on a channel: something the layout could not carry exactly.
struct ExportNote {
    int channel = 0;
    std::string text;
};

// The channels in use of the table's bank (Location = channel number, 801.. for bank B) under
// the header, separated by commas. The table must show what the image holds (loaded, or
// stored since its last edit). Returns what the layout could not carry.
std::vector<ExportNote> WriteCsv(const CProgramView& table, const RadioImage& image,
                                 std::ostream& out);

// One row of a file, mapped onto a channel.
struct RowPlan {
    int line = 0;
    int channel = 0;  // 1..1600
    std::uint32_t rx = 0;
    std::uint32_t tx = 0;
    OffsetDirection direction = OffsetDirection::Simplex;
    std::optional<std::uint32_t> offset;  // stored offset; none keeps the default record's
    int decode = 0;                       // g_ToneModeList
    int ctcss = 1000;                     // tenths of Hz
    int dcs = 23;
    int polarity = 0;
    int power = 3;
    int scan = 0;
    int bandwidth = 0;
    bool am = false;
    std::optional<int> step;  // g_StepList position; none keeps the default
    std::string name;         // as the name edit takes it
};

struct RowProblem {
    int line = 0;
    int location = 0;  // 0 when unknown
    std::string text;
};

struct ImportPlan {
    std::vector<RowPlan> rows;         // the rows that can be held, in file order
    std::vector<RowProblem> problems;  // rows refused, with what could not be held
    std::vector<RowProblem> notes;     // rows held with a value adjusted (name, power)
    std::string error;                 // the file is refused as a whole
    bool ok() const { return error.empty(); }
};

// Maps every row. Bank B (locations 801-1600) is accepted only when `bank_b` says so; without
// it such a row is a problem. A location appearing twice refuses the file.
ImportPlan PlanImport(const CsvDocument& doc, const BandTables& bands, bool bank_b);

// Applies the rows of a plan through the tables (bank_b may be null when no row is for bank
// B). Each row replaces its channel: the channel is cleared (channel 1 excepted), then created
// from its Rx and its cells typed. Returns rows whose cells the table did not take as planned,
// which no plan should hold; the caller then must not save.
std::vector<RowProblem> ApplyImport(const ImportPlan& plan, CProgramView& bank_a,
                                    CProgramView* bank_b);

}  // namespace vm::chirp
