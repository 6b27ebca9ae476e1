#include "tools/factory/factory_image.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <vector>

#include "app/image/band_tables.h"
#include "app/image/channel_record.h"
#include "app/image/codecs.h"
#include "tests/support/files.h"

namespace vm {
namespace {

std::vector<std::uint8_t> ReadBuiltFactoryFile() {
    return testing::ReadBytes(testing::BuildAppFolder() / "Default.dat");
}

TEST(FactoryFile, IsTheGeneratedImageBesideTheExecutables) {
    const auto file = ReadBuiltFactoryFile();
    ASSERT_EQ(file.size(), kDataFileSize);
    FileHeader header;
    RadioImage image;
    BuildFactoryImage(header, image);
    EXPECT_TRUE(std::equal(header.begin(), header.end(), file.begin()));
    EXPECT_TRUE(std::equal(image.begin(), image.end(), file.begin() + kHeaderSize));
}

TEST(FactoryHeader, SignatureStampAndFiveToneStandards) {
    FileHeader h;
    RadioImage image;
    BuildFactoryImage(h, image);
    EXPECT_TRUE(HasSignature(h.data()));
    EXPECT_TRUE(std::equal(kFormatStamp.begin(), kFormatStamp.end(), h.begin() + 8));
    for (int i = 0; i < 16; ++i) {
        const std::uint8_t* rec = h.data() + FiveToneStdRecord(i);
        EXPECT_EQ(rec[0], i);
        EXPECT_EQ(rec[1], kFiveToneMinWidth[static_cast<std::size_t>(i)]);
        EXPECT_EQ(rec[2], 0x0A);
        EXPECT_EQ(rec[3], 0x0E);
        EXPECT_EQ(rec[4], 0x00);
        EXPECT_EQ(rec[5] & rec[6] & rec[7], 0xFF);
        const int tones_of = i == 15 ? 0 : i;  // USER DEFINDE starts as ZVEI1
        for (int d = 0; d < 16; ++d)
            EXPECT_EQ(
                GetLe16(rec + 8 + 2 * d),
                kFiveToneTones[static_cast<std::size_t>(tones_of)][static_cast<std::size_t>(d)]);
    }
    EXPECT_EQ(kFiveToneMinWidth[13], 33);  // EIA
    for (std::size_t k = 16; k < 0x100; ++k) ASSERT_EQ(h[k], 0xFF) << k;
    for (std::size_t k = 0x380; k < kHeaderSize; ++k) ASSERT_EQ(h[k], 0xFF) << k;
}

TEST(FactoryImage, FrequencyRangesOfThePresentBands) {
    FileHeader h;
    RadioImage image;
    BuildFactoryImage(h, image);
    const std::set<int> present = {1, 2, 4, 5, 8, 9};
    for (int n = 1; n <= 9; ++n) {
        const std::uint8_t* rec = image.data() + FrequencyRangeRecord(n);
        const BandLimits fixed = FixedBandLimits(n);
        const bool tx = present.count(n) && n != 4 && n != 9;
        EXPECT_EQ(GetFrequency(rec),
                  present.count(n) ? static_cast<std::uint32_t>(fixed.lower) : 0u);
        EXPECT_EQ(GetFrequency(rec + 4),
                  present.count(n) ? static_cast<std::uint32_t>(fixed.upper) : 0u);
        EXPECT_EQ(GetFrequency(rec + 8), tx ? static_cast<std::uint32_t>(fixed.lower) : 0u) << n;
        EXPECT_EQ(GetFrequency(rec + 12), tx ? static_cast<std::uint32_t>(fixed.upper) : 0u) << n;
        if (!tx) {
            for (int k = 8; k < 16; ++k) EXPECT_EQ(rec[k], 0x00);
        }
    }
    BandTables bands = BandTables::Initial();
    RecomputeBandTables(bands, image);
    RecomputeBandEnabled(bands);
    for (int n = 1; n <= 9; ++n)
        EXPECT_EQ(bands.BandEnabled[static_cast<std::size_t>(n)], present.count(n) ? 1 : 0) << n;
}

TEST(FactoryImage, ChannelOneAndBasicSettingsOnAnErasedImage) {
    FileHeader h;
    RadioImage image;
    BuildFactoryImage(h, image);
    ConstChannelRecord ch1(image, ChannelOffset(1));
    EXPECT_EQ(ch1.Rx(), 14'550'000u);
    EXPECT_EQ(ch1.Tx(), 14'550'000u);
    EXPECT_EQ(ch1.Offset(), 60'000u);
    EXPECT_EQ(image[kCommitByte] & 0x03, 0);   // a committed image
    EXPECT_EQ(image[0xCC2F], 8);               // Volume within 1-15
    EXPECT_EQ(GetLe16(&image[0xCC28]), 3300);  // scrambler within 2600-4000
    // Nothing else of bank A or bank B is programmed, except bank B's first record, which
    // the consistency pass always creates.
    for (int n = 2; n <= 1600; ++n)
        if (n != 801) {
            ASSERT_TRUE(ConstChannelRecord(image, ChannelOffset(n)).IsEmpty()) << n;
        }
    EXPECT_FALSE(ConstChannelRecord(image, ChannelOffset(801)).IsEmpty());
    EXPECT_EQ(image[0x0000], 0xFF);
    EXPECT_EQ(image[0xF400], 0xFF);
    EXPECT_EQ(image[kCustomData], 0xFF);
}

}  // namespace
}  // namespace vm
