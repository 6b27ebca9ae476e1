// The factory image is finished by the channel table, so it is a fixed point of the table's
// load and store (with the consistency pass).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "app/editors/channels/channel_memory.h"
#include "app/editors/channels/program_view.h"
#include "tests/support/files.h"
#include "tools/factory/factory_image.h"

namespace vm {
namespace {

BandTables BandsOf(const RadioImage& image) {
    BandTables bands = BandTables::Initial();
    RecomputeBandTables(bands, image);
    RecomputeBandEnabledFromImage(bands, image);
    return bands;
}

TEST(FactoryImage, LoadingAndStoringTheTableChangesNoByte) {
    FileHeader header;
    RadioImage image;
    BuildFactoryImage(header, image);
    const RadioImage factory = image;
    BandTables bands = BandsOf(image);
    CProgramView table(image, bands);
    table.OnInitialUpdate();
    table.StoreToImage();
    for (std::size_t a = 0; a < kImageSize; ++a) ASSERT_EQ(image[a], factory[a]) << std::hex << a;
    // Empty channels were written as the table's cleared record.
    EXPECT_EQ(GetFrequency(factory.data() + ChannelOffset(2) + 0x10), 760'000u);
    EXPECT_EQ(factory[ChannelOffset(2) + 0x0C], 0xC0);
}

TEST(FactoryImage, TheFileBesideTheExecutablesIsAFixedPointToo) {
    const std::vector<std::uint8_t> file =
        testing::ReadBytes(testing::BuildAppFolder() / "Default.dat");
    ASSERT_EQ(file.size(), kDataFileSize);
    RadioImage image;
    std::copy(file.begin() + kHeaderSize, file.end(), image.begin());
    BandTables bands = BandsOf(image);
    CProgramView table(image, bands);
    table.OnInitialUpdate();
    table.StoreToImage();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), file.begin() + kHeaderSize));
}

}  // namespace
}  // namespace vm
