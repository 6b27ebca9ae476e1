#include "app/image/radio_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>

#include "app/image/band_tables.h"
#include "app/image/channel_record.h"
#include "app/image/channel_regions.h"
#include "app/image/codecs.h"
#include "app/image/model_regions.h"
#include "tests/support/files.h"

namespace vm {
namespace {

TEST(TransferRanges, CountTheirBlocks) {
    EXPECT_EQ(CountBlocks(ProgramReadRanges()), 510);
    EXPECT_EQ(CountBlocks(ProgramWriteRanges(false)), 490);
    EXPECT_EQ(CountBlocks(ProgramWriteRanges(true)), 491);
    EXPECT_EQ(CountBlocks(CustomDataReadRanges()), 1);
    EXPECT_EQ(CountBlocks(CustomDataWriteRanges()), 1);
    EXPECT_EQ(ProgramReadRanges().caption, "Read");
    EXPECT_EQ(ProgramWriteRanges(false).caption, "Write");
    EXPECT_EQ(CustomDataReadRanges().caption, "读数据");
    EXPECT_EQ(CustomDataWriteRanges().caption, "写数据");
    EXPECT_EQ(ProgramWriteRanges(true).start[1], 0xFEE0u);
    EXPECT_EQ(ProgramWriteRanges(false).start[1], 0xFF00u);
}

TEST(TransferRanges, BlocksNeverCrossA128ByteBoundary) {
    EXPECT_EQ(BlockLength(0x0060, 0xF400), 32u);
    EXPECT_EQ(BlockLength(0x0080, 0xF400), 128u);
    EXPECT_EQ(BlockLength(0xFEE0, 0xFF00), 32u);
    EXPECT_EQ(BlockLength(0x0101, 0x0110), 0x0Fu);  // cut at the range end
    TransferRangeTable t;
    t.Add(0x0010, 0x0210);
    EXPECT_EQ(CountBlocks(t), 5);  // 0x10-0x80, 0x80, 0x100, 0x180, 0x200-0x210
    // Only whole, written ranges reach 0xF400-0xFEDF: never in a Program write.
    for (bool extended : {false, true}) {
        const auto w = ProgramWriteRanges(extended);
        for (int r = 0; r < w.count; ++r) {
            const auto s = w.start[static_cast<std::size_t>(r)];
            const auto e = w.end[static_cast<std::size_t>(r)];
            EXPECT_TRUE(e <= 0xF400 || s >= 0xFEE0);
            EXPECT_TRUE(extended || s >= 0xFF00 || e <= 0xF400);
            EXPECT_GE(s, 0x0060u);
        }
    }
}

TEST(TransferRanges, HoldAtMostSixteen) {
    TransferRangeTable t;
    for (int i = 0; i < 20; ++i) t.Add(0, 128);
    EXPECT_EQ(t.count, 16);
}

TEST(Header, StampAndSignature) {
    FileHeader h;
    h.fill(0);
    EXPECT_FALSE(HasSignature(h.data()));
    StampHeader(h);
    EXPECT_TRUE(HasSignature(h.data()));
    const std::uint8_t expected[16] = {'V',  'M',  '6',  '1',  '4',  '2',  0xFF, 0xFF,
                                       0x56, 0x02, 0x00, 0x07, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_TRUE(std::equal(std::begin(expected), std::end(expected), h.begin()));
    EXPECT_EQ(h[16], 0);
}

TEST(Header, FiveToneReloadKeepsRecordHeadsAndUserTones) {
    FileHeader h;
    h.fill(0xAB);
    ReloadFiveToneTables(h);
    // ZVEI1 digit 1 = 1060.0 Hz = 10600 = 0x68 0x29.
    EXPECT_EQ(h[FiveToneStdRecord(0) + 8 + 2], 0x68);
    EXPECT_EQ(h[FiveToneStdRecord(0) + 8 + 3], 0x29);
    EXPECT_EQ(GetLe16(&h[FiveToneStdRecord(10) + 8]), 9798);    // Euro SIGNAL 979.8
    EXPECT_EQ(GetLe16(&h[FiveToneStdRecord(14) + 8 + 30]), 0);  // MODAT F unused
    for (int i = 0; i < 16; ++i)
        for (int k = 0; k < 8; ++k)
            EXPECT_EQ(h[FiveToneStdRecord(i) + static_cast<std::size_t>(k)], 0xAB);
    for (std::size_t k = 0; k < 40; ++k) EXPECT_EQ(h[FiveToneStdRecord(15) + k], 0xAB);
    EXPECT_EQ(h[0x0FF], 0xAB);
    EXPECT_EQ(h[0x380], 0xAB);
}

class ResetTest : public ::testing::Test {
protected:
    testing::TempDir dir_;
};

TEST_F(ResetTest, MissingFactoryFileOnlyReloadsTones) {
    RadioImage image;
    image.fill(0x11);
    FileHeader header;
    header.fill(0x22);
    BandTables bands = BandTables::Initial();
    EXPECT_FALSE(ResetToDefaults(image, header, bands, dir_ / "Default.dat"));
    for (auto b : image) ASSERT_EQ(b, 0x11);
    EXPECT_EQ(header[0], 0x22);
    EXPECT_EQ(GetLe16(&header[FiveToneStdRecord(0) + 8]), 24000);
    EXPECT_EQ(header[FiveToneStdRecord(15) + 8], 0x22);
}

// A factory image: every byte patterned, the nine bands at their fixed limits, except those
// in `absent` (stored 0, as a band the radio lacks) and `narrowed` (band 8, "450M", 400-440 MHz).
RadioImage FactoryPattern(std::initializer_list<int> absent = {}, bool narrowed = false) {
    RadioImage fi;
    for (std::size_t i = 0; i < fi.size(); ++i) fi[i] = static_cast<std::uint8_t>(i * 7);
    for (int n = 1; n <= kBandCount; ++n) {
        const bool gone = std::find(absent.begin(), absent.end(), n) != absent.end();
        const BandLimits l = FixedBandLimits(n);
        FrequencyRange::Set(fi, n, FrequencyRange::kRxLower,
                            gone ? 0 : static_cast<std::uint32_t>(l.lower));
        FrequencyRange::Set(fi, n, FrequencyRange::kRxUpper,
                            gone ? 0 : static_cast<std::uint32_t>(l.upper));
    }
    if (narrowed) FrequencyRange::Set(fi, 8, FrequencyRange::kRxUpper, 44'000'000);
    return fi;
}

void WriteFactoryFile(const std::filesystem::path& file, const FileHeader& fh,
                      const RadioImage& fi) {
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(fh.data()), kHeaderSize);
    out.write(reinterpret_cast<const char*>(fi.data()), kImageSize);
}

TEST_F(ResetTest, LoadsTheFileThenDerivesEdgeAndVfoRecords) {
    FileHeader fh;
    fh.fill(0x33);
    const RadioImage fi = FactoryPattern();
    WriteFactoryFile(dir_ / "Default.dat", fh, fi);
    RadioImage image{};
    FileHeader header{};
    BandTables bands = BandTables::Initial();
    ASSERT_TRUE(ResetToDefaults(image, header, bands, dir_ / "Default.dat"));
    // The built-in tones replace the file's in records 0..14; the rest of the header is the file's.
    EXPECT_EQ(GetLe16(&header[FiveToneStdRecord(14) + 8]), 6375);  // MODAT 0: 637.5 Hz
    EXPECT_EQ(GetLe16(&header[FiveToneStdRecord(6) + 8 + 2 * 15]), 10550);
    EXPECT_EQ(header[FiveToneStdRecord(3) + 7], 0x33);
    EXPECT_EQ(header[FiveToneStdRecord(15) + 8], 0x33);
    EXPECT_EQ(header[0], 0x33);  // no signature check on the factory file
    EXPECT_EQ(header[0x10], 0x33);
    EXPECT_EQ(image[0x1234], fi[0x1234]);
    // Edge record 0: 30 MHz, band 0, default record.
    ConstChannelRecord edge0(image, BandMemoryMap::kBase);
    EXPECT_EQ(edge0.Rx(), 3'000'000u);
    EXPECT_EQ(edge0.Offset(), 60'000u);
    // Edge record 1: 450 MHz, band 7 -> 7.6 MHz offset.
    ConstChannelRecord edge1(image, BandMemoryMap::HalfAddr(0, 1));
    EXPECT_EQ(edge1.Rx(), 45'000'000u);
    EXPECT_EQ(edge1.Offset(), 760'000u);
    // VFO record i: the basic settings block, bands of F[2i] and F[2i+1].
    for (std::uint32_t i = 0; i < 6; ++i) {
        const std::uint32_t r = BandSideRecordMap::kBase + 64 * i;
        for (std::uint32_t k = 0; k < 64; ++k) {
            if (k == 2 || k == 6) continue;
            ASSERT_EQ(image[r + k], fi[kBasicSettings + k]) << i << " " << k;
        }
    }
    EXPECT_EQ(image[BandSideRecordMap::kBase + 2], 0);           // 30 MHz: band 0
    EXPECT_EQ(image[BandSideRecordMap::kBase + 6], 7);           // 450 MHz: band 7
    EXPECT_EQ(image[BandSideRecordMap::kBase + 64 * 3 + 2], 6);  // 350 MHz: band 6
    EXPECT_EQ(image[BandSideRecordMap::kBase + 64 * 5 + 2], 8);  // 850 MHz
    // The tables held after the reset are the file's limits.
    EXPECT_EQ(bands.RxUpper[8], FixedBandLimits(8).upper);
}

// The band numbers and offsets the reset writes follow the limits of the file it loads, whatever
// limits were held before (the file open until then, or the tables at start-up).
TEST_F(ResetTest, DerivedRecordsFollowTheLoadedLimitsNotTheHeldOnes) {
    struct Held {
        const char* name;
        BandTables bands;
    };
    BandTables without7 = BandTables::Initial();
    without7.RxLower[7] = without7.RxUpper[7] = 0;  // no "350M"
    BandTables narrowed8 = BandTables::Initial();
    narrowed8.RxUpper[8] = 44'000'000;  // "450M" ends at 440 MHz: 450 MHz lies in no band
    BandTables empty{};                 // every band 0-0
    const Held held[] = {{"start-up", BandTables::Initial()},
                         {"no 350M", without7},
                         {"450M to 440 MHz", narrowed8},
                         {"no bands", empty}};
    struct Loaded {
        const char* name;
        RadioImage fi;
        std::uint8_t band_350;  // side 0 of band side record 3
        std::uint8_t band_450;  // side 1 of band side record 0
        std::uint32_t offset_450;
    };
    const Loaded files[] = {{"every band", FactoryPattern(), 6, 7, 760'000},
                            {"no 350M", FactoryPattern({7}), 0xFF, 7, 760'000},
                            {"450M to 440 MHz", FactoryPattern({}, true), 6, 0xFF, 60'000}};
    FileHeader fh;
    fh.fill(0x33);
    for (const Loaded& f : files) {
        WriteFactoryFile(dir_ / "Default.dat", fh, f.fi);
        for (const Held& h : held) {
            RadioImage image{};
            FileHeader header{};
            BandTables bands = h.bands;
            ASSERT_TRUE(ResetToDefaults(image, header, bands, dir_ / "Default.dat"));
            const std::string where = std::string(f.name) + " after " + h.name;
            EXPECT_EQ(image[BandSideRecordMap::kBase + 64 * 3 + 2], f.band_350) << where;
            EXPECT_EQ(image[BandSideRecordMap::kBase + 6], f.band_450) << where;
            EXPECT_EQ(ConstChannelRecord(image, BandMemoryMap::HalfAddr(0, 1)).Offset(),
                      f.offset_450)
                << where;
            for (int n = 1; n <= kBandCount; ++n)
                EXPECT_EQ(bands.RxUpper[static_cast<std::size_t>(n)],
                          static_cast<std::int32_t>(
                              FrequencyRange(f.fi, n).OrZero(FrequencyRange::kRxUpper)))
                    << where << " band " << n;
        }
    }
}

// What the reset says it took: a folder is no factory file (untouched, as a missing one); a short
// file is laid over the start and the rest keeps what it held; a longer one gives 69,632 bytes.
TEST_F(ResetTest, ReportsHowMuchOfTheFactoryFileItTook) {
    struct Case {
        const char* name;
        long size;  // -1: "Default.dat" is a folder
        bool loaded;
        std::size_t bytes;
        bool whole;
    };
    const Case cases[] = {
        {"folder", -1, false, 0, false},
        {"empty", 0, true, 0, false},
        {"inside the header", 100, true, 100, false},
        {"inside the image", kHeaderSize + 0x1000, true, kHeaderSize + 0x1000, false},
        {"whole", kDataFileSize, true, kDataFileSize, true},
        {"longer", kDataFileSize + 5, true, kDataFileSize, true},
    };
    const auto file = dir_ / "Default.dat";
    for (const Case& c : cases) {
        std::filesystem::remove_all(file);
        if (c.size < 0) {
            std::filesystem::create_directory(file);
        } else {
            std::ofstream out(file, std::ios::binary);
            const std::string bytes(static_cast<std::size_t>(c.size), '\x5A');
            out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        }
        RadioImage image;
        image.fill(0x11);
        FileHeader header;
        header.fill(0x22);
        BandTables bands = BandTables::Initial();
        const FactoryLoad load = ResetToDefaults(image, header, bands, file);
        EXPECT_EQ(load.Loaded(), c.loaded) << c.name;
        EXPECT_EQ(load.error, c.loaded ? 0 : EISDIR) << c.name;
        EXPECT_EQ(load.bytes_read, c.bytes) << c.name;
        EXPECT_EQ(load.Whole(), c.whole) << c.name;
        // The byte before the end of what was read is the file's, the one after it kept its value.
        const std::size_t n = load.bytes_read;
        if (n > 0 && n <= kHeaderSize) {
            EXPECT_EQ(header[n - 1], 0x5A) << c.name;
        }
        if (n < kHeaderSize) {
            EXPECT_EQ(header[n], 0x22) << c.name;
        }
        if (n > kHeaderSize) {
            EXPECT_EQ(image[n - kHeaderSize - 1], 0x5A) << c.name;
        }
        if (n >= kHeaderSize && n < kDataFileSize) {
            EXPECT_EQ(image[n - kHeaderSize], 0x11) << c.name;
        }
        // The derived records are written only when the file was read.
        EXPECT_EQ(ConstChannelRecord(image, image_map::kBandMemories.base).Rx() == 3'000'000u,
                  c.loaded)
            << c.name;
    }
}

TEST(BandTablesTest, InitialValues) {
    const BandTables t = BandTables::Initial();
    EXPECT_EQ(t.RxLower[1], 2'600'000);
    EXPECT_EQ(t.RxUpper[4], 13'399'500);
    EXPECT_EQ(t.RxUpper[9], 95'000'000);
    EXPECT_EQ(t.BandEnabled[1], 1);
    for (int n = 2; n <= 11; ++n) EXPECT_EQ(t.BandEnabled[static_cast<std::size_t>(n)], 0) << n;
    EXPECT_EQ(t.LowRangeLower, 13'400'000);
    EXPECT_EQ(t.HighRangeUpper, 51'200'000);
}

TEST(BandTablesTest, RecomputedFromTheImage) {
    RadioImage image;
    image.fill(0xFF);
    BandTables t = BandTables::Initial();
    // Band 6 programmed as 222-225 MHz, band 8 as 430-440, band 5 erased.
    PutFrequency(&image[FrequencyRangeRecord(6)], 22'200'000);
    PutFrequency(&image[FrequencyRangeRecord(6) + 4], 22'500'000);
    PutFrequency(&image[FrequencyRangeRecord(8)], 43'000'000);
    PutFrequency(&image[FrequencyRangeRecord(8) + 4], 44'000'000);
    RecomputeBandTables(t, image);
    EXPECT_EQ(t.RxLower[6], 22'200'000);
    EXPECT_EQ(t.RxLower[5], 0);               // highest byte 0xFF reads as 0
    EXPECT_EQ(t.LowRangeLower, 13'400'000);   // keeps its previous value
    EXPECT_EQ(t.HighRangeLower, 22'200'000);  // band 6 wins over band 8
    // Highest byte 0x00 reads as 0 too; then band 8 gives the high range.
    for (int k = 0; k < 4; ++k) image[FrequencyRangeRecord(6) + static_cast<std::uint32_t>(k)] = 0;
    image[FrequencyRangeRecord(6)] = 0x55;  // only the top byte decides
    RecomputeBandTables(t, image);
    EXPECT_EQ(t.RxLower[6], 0);
    EXPECT_EQ(t.HighRangeLower, 43'000'000);
    RecomputeBandEnabled(t);
    EXPECT_EQ(t.BandEnabled[8], 1);
    EXPECT_EQ(t.BandEnabled[6], 0);
    EXPECT_EQ(t.BandEnabled[11], 1);
    EXPECT_EQ(t.BandEnabled[10], 0);
}

TEST(BandTablesTest, EnabledOnlyWhenLowerLiesInTheFixedLimits) {
    BandTables t = BandTables::Initial();
    t.RxLower[5] = 13'300'000;  // below 134 MHz
    t.RxLower[2] = 5'400'000;   // exactly the upper fixed limit
    RecomputeBandEnabled(t);
    EXPECT_EQ(t.BandEnabled[5], 0);
    EXPECT_EQ(t.BandEnabled[10], 0);
    EXPECT_EQ(t.BandEnabled[2], 1);
}

TEST(CommitBits, ClearsOnlyBitsZeroAndOne) {
    RadioImage image{};
    image[kCommitByte] = 0xFF;
    ClearCommitBits(image);
    EXPECT_EQ(image[kCommitByte], 0xFC);
}

}  // namespace
}  // namespace vm
