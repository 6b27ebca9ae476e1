// What the tests of the channel edit dialog, the VFO dialog and the scan-edge view share: an
// erased image with chosen bands programmed at their fixed limits.
#pragma once

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

#include "app/editors/channels/channel_memory.h"
#include "app/editors/channels/channel_panel.h"
#include "app/image/band_tables.h"
#include "app/image/channel_record.h"
#include "tests/app/editors/channels/channel_fixture.h"
#include "tests/support/form_input.h"

namespace vm::testing {

using P = ChannelPanel;

struct ChannelEditorTest : ::testing::Test {
    RadioImage image{};
    BandTables bands = BandTables::Initial();

    // Bands numbered 1..9 as in the band tables.
    void UseBands(std::initializer_list<int> bands_1_to_9) {
        image.fill(0xFF);
        ProgramBands(image, bands_1_to_9);
        RecomputeBandTables(bands, image);
        RecomputeBandEnabledFromImage(bands, image);
    }
    void SetUp() override { UseBands({1, 2, 3, 4, 5, 6, 7, 8, 9}); }

    std::vector<std::uint8_t> Bytes(std::uint32_t at, std::size_t n = 32) const {
        return {image.data() + at, image.data() + at + n};
    }
};

}  // namespace vm::testing
