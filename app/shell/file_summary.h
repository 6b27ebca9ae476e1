// What `vm6142 info` reports of a loaded data file: the model information block, the custom
// data text, the nine bands' limits and enable flags, the bank B ranges, and how many channels
// of each bank are in use.
//
// The model-block reading rules here are those of the model view's load; the model view should
// call ReadModelInfo rather than repeat them.
#pragma once

#include <array>
#include <optional>
#include <string>

#include "app/image/band_tables.h"
#include "app/image/radio_image.h"

namespace vm::shell {

struct ModelInfo {
    std::string serial_number;      // letters and digits
    std::string model_name;         // letters and digits
    std::string model_code;         // printable characters
    std::string firmware_version;   // printable characters
    std::string last_program_date;  // "%4X-%02X-%02X" of the stored date when valid, else ""
};

ModelInfo ReadModelInfo(const RadioImage& image);

struct BandSummary {
    int band = 0;  // 1..9
    std::string label;
    // Present frequencies (10 Hz units); absent ones (byte 3 is 0x00 or 0xFF) are nullopt.
    // The Tx limits of the receive-only bands 4 and 9 are always nullopt.
    std::optional<std::uint32_t> rx_lower, rx_upper, tx_lower, tx_upper;
    bool enabled = false;
};

struct RangeSummary {
    std::int32_t lower = 0;
    std::int32_t upper = 0;
    bool enabled = false;
};

struct FileSummary {
    ModelInfo model;
    std::string custom_data;  // up to the first 0x00 or 0xFF
    std::array<BandSummary, kBandCount> bands;
    RangeSummary bank_b_low, bank_b_high;
    int channels_in_use_a = 0;
    int channels_in_use_b = 0;
};

// `bands` are the band limit tables as recomputed after Open; the enable flags are derived from
// them as the channel table's load does (RecomputeBandEnabled) on a copy.
FileSummary Summarise(const RadioImage& image, const BandTables& bands);

}  // namespace vm::shell
