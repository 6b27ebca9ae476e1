// An erased image with all nine bands programmed at their fixed limits, and a loaded table.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "app/editors/channels/channel_memory.h"
#include "app/editors/channels/program_view.h"
#include "app/image/band_tables.h"
#include "app/image/channel_record.h"

namespace vm::testing {

inline void ProgramBands(RadioImage& image, std::initializer_list<int> bands_1_to_9) {
    for (int n = 1; n <= kBandCount; ++n)
        std::fill_n(image.data() + FrequencyRangeRecord(n), 16, std::uint8_t{0x00});
    for (int n : bands_1_to_9) {
        const BandLimits l = FixedBandLimits(n);
        PutFrequency(image.data() + FrequencyRangeRecord(n), static_cast<std::uint32_t>(l.lower));
        PutFrequency(image.data() + FrequencyRangeRecord(n) + 4,
                     static_cast<std::uint32_t>(l.upper));
    }
}

struct ChannelTable : ::testing::Test {
    RadioImage image{};
    BandTables bands = BandTables::Initial();
    std::unique_ptr<CProgramView> view;

    void SetUp() override {
        image.fill(0xFF);
        ProgramBands(image, {1, 2, 3, 4, 5, 6, 7, 8, 9});
        Refresh();
    }
    void Refresh() {
        RecomputeBandTables(bands, image);
        RecomputeBandEnabledFromImage(bands, image);
        view = std::make_unique<CProgramView>(image, bands);
        view->OnInitialUpdate();
    }
    std::string Cell(int row, int col) const { return view->grid().Text(row, col); }
    ChannelRecord Rec(int n) { return ChannelAt(image, n); }
    const std::uint8_t* Bytes(int n) const { return image.data() + ChannelOffset(n); }
};

}  // namespace vm::testing
