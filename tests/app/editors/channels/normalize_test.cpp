#include <gtest/gtest.h>

#include "app/image/channel_regions.h"
#include "app/image/settings_regions.h"
#include "tests/app/editors/channels/channel_fixture.h"
#include "tests/support/unmapped_bytes.h"

namespace vm {
namespace {

struct Normalize : ::testing::Test {
    RadioImage image{};
    BandTables bands = BandTables::Initial();

    void SetUp() override {
        image.fill(0xFF);
        Program({1, 2, 3, 4, 5, 6, 7, 8, 9});
    }
    void Program(std::initializer_list<int> bands_1_to_9) {
        testing::ProgramBands(image, bands_1_to_9);
        RecomputeBandTables(bands, image);
        RecomputeBandEnabledFromImage(bands, image);
    }
    std::uint16_t Word(std::uint32_t a) const { return GetLe16(image.data() + a); }
    void SetWord(std::uint32_t a, std::uint16_t v) { PutLe16(image.data() + a, v); }
    // Image addresses of a five-tone digit's tone, a two-tone system's tone, the scrambler.
    static std::uint32_t FiveTone(int digit) {
        return FiveToneMap::kBase + FiveToneStandardBlock::Tone(digit).at;
    }
    static std::uint32_t TwoTone(int system0, int tone) {
        return TwoToneMap::SystemAddr(system0) +
               TwoToneMap::kTones[static_cast<std::size_t>(tone)].at;
    }
    static constexpr std::uint32_t kScrambler =
        BasicSettingsMap::kBase + BasicSettingsMap::kScrambler.at;
    std::uint32_t Freq(std::uint32_t a) const { return GetFrequency(image.data() + a); }
};

TEST_F(Normalize, RecreatesTheFirstChannelOfEachBank) {
    NormalizeImage(image, bands);
    EXPECT_EQ(Freq(ChannelOffset(1)), 13'400'000u);  // band 4 enabled: its lower limit
    EXPECT_EQ(Freq(ChannelOffset(801) + 4), 13'400'000u);
    Program({1, 8});                     // band 4 off: band 7's lower limit
    image[ChannelOffset(1) + 3] = 0x00;  // byte 0x03 of 0x00 is empty too
    image[ChannelOffset(801) + 3] = 0xFF;
    NormalizeImage(image, bands);
    EXPECT_EQ(Freq(ChannelOffset(1)), 40'000'000u);
    EXPECT_EQ(Freq(ChannelOffset(801)), 40'000'000u);
    EXPECT_EQ(Freq(ChannelOffset(801) + 0x10), 60'000u);
}

TEST_F(Normalize, FiveToneCodesLoseDigitsWithoutATone) {
    for (int d = 0; d < 16; ++d) SetWord(FiveTone(d), 10000);
    SetWord(FiveTone(0xB), 0);
    SetWord(FiveTone(0xE), 0);
    const std::uint8_t code[8] = {1, 0xB, 2, 0xE, 0xB, 3, 0xFF, 4};
    const std::uint32_t contact5 = FiveToneMap::kContacts + 4 * FiveToneMap::kContactSize;
    for (std::uint32_t at : {FiveToneMap::kBase + FiveToneMap::kSelfId.at, contact5,
                             FiveToneMap::kFunctions + 7 * 16u})
        std::copy_n(code, 8, image.data() + at);
    NormalizeImage(image, bands);
    const std::vector<std::uint8_t> expected = {1, 2, 3, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    for (std::uint32_t at : {FiveToneMap::kBase + FiveToneMap::kSelfId.at, contact5,
                             FiveToneMap::kFunctions + 7 * 16u})
        EXPECT_EQ(std::vector<std::uint8_t>(image.data() + at, image.data() + at + 8), expected)
            << std::hex << at;
    // Contact bytes after the code are not touched.
    EXPECT_EQ(image[contact5 + 8], 0xFF);
}

TEST_F(Normalize, DecoderAndScramblerCoefficients) {
    SetWord(TwoTone(0, 0), 10000);   // 1000 Hz
    SetWord(TwoTone(15, 3), 30000);  // 3000 Hz: negative
    SetWord(FiveTone(2), 20000);
    SetWord(kScrambler, 3300);
    NormalizeImage(image, bands);
    EXPECT_EQ(Word(0x0080), 23170);
    EXPECT_EQ(Word(0x0080 + 8 * 15 + 6), static_cast<std::uint16_t>(-23170));
    EXPECT_EQ(Word(0x0064), 0);
    // An unused five-tone digit (tone 0) is held at the largest word, not wrapped to -32768.
    SetWord(FiveTone(0xF), 0);
    // Above 2000 Hz the nearest integer is below the truncated one: 2043.8 Hz gives -1127.
    SetWord(TwoTone(4, 2), 20438);
    NormalizeImage(image, bands);
    EXPECT_EQ(Word(0x0060 + 2 * 15), 0x7FFF);
    EXPECT_EQ(Word(0x0080 + 8 * 4 + 4), static_cast<std::uint16_t>(-1127));
    EXPECT_EQ(Word(0xCC2A), 9011);  // floor(6600 / 0.7324 + 0.5)
    EXPECT_EQ(Word(0xCC28), 3300);
    SetWord(kScrambler, 4001);  // out of range counts as 3300
    NormalizeImage(image, bands);
    EXPECT_EQ(Word(0xCC2A), 9011);
    EXPECT_EQ(Word(0xCC28), 4001);
    SetWord(kScrambler, 4000);
    NormalizeImage(image, bands);
    EXPECT_EQ(Word(0xCC2A), 10923);  // 10922.99 rounds up
}

TEST_F(Normalize, EmiCodeMustNameADtmfMemoryInUse) {
    auto memory = [this](int m) { return image.data() + 0xD760 + 24 * (m - 1); };
    memory(3)[0] = 0;  // first digit "0"
    memory(3)[23] = 1;
    memory(16)[0] = 5;
    memory(16)[23] = 0;
    const std::pair<int, int> cases[] = {{3, 3}, {16, 16}, {4, 0}, {17, 17}, {0, 0}};
    for (auto [stored, expected] : cases) {
        image[0xCC76] = static_cast<std::uint8_t>(stored);
        NormalizeImage(image, bands);
        EXPECT_EQ(image[0xCC76], expected) << stored;
    }
}

TEST_F(Normalize, BitmapsOfBothBanks) {
    InitChannelRecord(image, 9, 14'500'000, bands);
    ChannelAt(image, 9).SetScan(1);                         // skip: used only
    InitChannelRecord(image, 800 + 17, 23'000'000, bands);  // the high range is band 6's
    ChannelAt(image, 800 + 17).SetScan(2);
    InitChannelRecord(image, 800 + 18, 2'700'000, bands);  // in band 0, outside bank B's bands
    image[0xCC80 + 50] = 0xFF;                             // stale bits are cleared
    NormalizeImage(image, bands);
    EXPECT_EQ(image[0xCC80 + 1], 0x01);
    EXPECT_EQ(image[0xCD00 + 1], 0x00);
    EXPECT_EQ(image[0xCC80 + 50], 0x00);
    EXPECT_EQ(image[0xCE00 + 2], 0x01);  // bank B channel 17
    EXPECT_EQ(image[0xCE80 + 2], 0x01);
    EXPECT_EQ(image[0xCF00 + 2], 0x01);
    EXPECT_EQ(image[0xCC80], 0x01);  // channel 1, recreated
    EXPECT_EQ(image[0xCE00], 0x01);  // bank B channel 1
}

// An empty VFO becomes a whole default record at its band's lower edge (found by fuzzing: with
// the frequency alone its tones stayed 0xFF and the VFO dialog rewrote them at the next save);
// a VFO that only needs a new frequency keeps its other bytes.
TEST_F(Normalize, AnEmptyVfoBecomesADefaultRecord) {
    Program({5});                                                   // band 4
    ChannelRecord(image, VfoMap::RecordAddr(7)).SetRx(20'000'000);  // not empty, out of band
    image[VfoMap::RecordAddr(7) + 8] = 0x12;
    NormalizeImage(image, bands);
    RadioImage expected = image;
    InitChannelRecordAt(expected, VfoMap::RecordAddr(4), 13'400'000, bands);
    const auto at = [](const RadioImage& im, std::uint32_t a) {
        return std::vector<std::uint8_t>(im.begin() + a, im.begin() + a + 32);
    };
    EXPECT_EQ(at(image, VfoMap::RecordAddr(4)), at(expected, VfoMap::RecordAddr(4)));
    EXPECT_NE(image[VfoMap::RecordAddr(4) + 8], 0xFF);
    EXPECT_EQ(image[VfoMap::RecordAddr(7) + 8], 0x12);
}

TEST_F(Normalize, VfosBandMemoriesAndPriorityChannels) {
    Program({1, 5, 8});                                             // bands 0, 4 and 7 enabled
    ChannelRecord(image, VfoMap::RecordAddr(4)).SetRx(20'000'000);  // outside band 4
    ChannelRecord(image, VfoMap::RecordAddr(7)).SetRx(44'000'000);  // inside: kept
    SetWord(BasicSettingsMap::kBase + BasicSettingsMap::kLeftPriorityCh.at,
            12);  // empty channel 12
    SetWord(BasicSettingsMap::kBase + BasicSettingsMap::kRightPriorityCh.at,
            1);  // bank B channel 1 exists after step 1
    NormalizeImage(image, bands);
    EXPECT_EQ(Freq(VfoMap::RecordAddr(4)), 13'400'000u);
    EXPECT_EQ(Freq(VfoMap::RecordAddr(4) + 4), 13'400'000u);
    EXPECT_EQ(Freq(VfoMap::RecordAddr(7)), 44'000'000u);
    EXPECT_EQ(Freq(VfoMap::RecordAddr(2)), 6'600'000u);    // disabled: fixed lower limit
    EXPECT_EQ(Freq(VfoMap::RecordAddr(10)), 40'000'000u);  // bank B high range
    EXPECT_TRUE(std::equal(image.begin() + 0xCA40, image.begin() + 0xCB60, image.begin() + 0xD8E0));
    EXPECT_EQ(Word(0xCC18), 0);
    EXPECT_EQ(Word(0xCC1A), 1);
    // Band memories: 30M; 50M else 60M (neither: the first defined band); 150M; 350M (off);
    // 450M; 850M (off). Second halves: 450M.
    const std::uint32_t firsts[6] = {2'600'000, 2'600'000,  13'400'000,
                                     2'600'000, 40'000'000, 2'600'000};
    for (int k = 0; k < 6; ++k) {
        EXPECT_EQ(Freq(BandMemoryMap::RecordAddr(k)), firsts[k]) << k;
        EXPECT_EQ(Freq(BandMemoryMap::RecordAddr(k) + 4), firsts[k]) << k;
        EXPECT_EQ(Freq(BandMemoryMap::RecordAddr(k) + 32), 40'000'000u) << k;
    }
}

// A reference past the scan edges names the 32-byte record at 0xC900 + 32 (v - 257): one the
// image holds (a VFO) counts, one where the image holds no record does not, whatever its bytes.
TEST_F(Normalize, SideRecordReferencesNameOnlyRecordsTheImageHolds) {
    Program({8});  // band 7
    const auto mapped = [](std::uint32_t a) {
        for (const auto& [from, to] : vm::testing::UnmappedRanges())
            if (a + 32 > from && a < to) return false;
        return true;
    };
    int unmapped = -1;
    for (int k = 10; k < 256 && unmapped < 0; ++k)
        if (!mapped(ScanEdgeMap::RecordAddr(k))) unmapped = k;
    ASSERT_GE(unmapped, 0);
    ASSERT_TRUE(mapped(VfoMap::RecordAddr(7)));
    const int vfo = static_cast<int>((VfoMap::RecordAddr(7) - ScanEdgeMap::RecordAddr(0)) / 32);
    ChannelRecord(image, VfoMap::RecordAddr(7)).SetRx(44'000'000);
    PutFrequency(image.data() + ScanEdgeMap::RecordAddr(unmapped), 44'000'000);
    std::uint8_t* s = image.data() + 0xCC00;
    PutLe16(s + 0, static_cast<std::uint16_t>(257 + vfo));
    PutLe16(s + 4, static_cast<std::uint16_t>(257 + unmapped));
    NormalizeImage(image, bands);
    EXPECT_EQ(GetLe16(s), 257 + vfo);
    EXPECT_EQ(GetLe16(s + 4), 1);
}

TEST_F(Normalize, SideRecordsAreRepaired) {
    Program({5, 8});  // bands 4 and 7
    InitChannelRecord(image, 5, 14'500'000, bands);
    ChannelRecord(image, ScanEdgeMap::RecordAddr(3)).SetRx(44'000'000);
    for (std::uint32_t base : {0xCC00u, 0xDB80u + 64 * 5}) {
        std::uint8_t* s = image.data() + base;
        PutLe16(s + 0, 5);        // channel 5: valid
        PutLe16(s + 4, 257 + 3);  // scan edge 3: valid
        s[2] = 2;                 // disabled band
        s[6] = 7;                 // enabled band
        s[8] = 0x12;
        s[9] = 0x0F;  // both fields 3
        s[11] = base == 0xCC00u ? 9 : 3;
        s[16] = 16;
        s[19] = 0x77;  // not a checked byte
        s[22] = 15;
    }
    PutLe16(image.data() + 0xDB80 + 64 * 5 + 4, 6);  // channel 6 is empty
    NormalizeImage(image, bands);
    for (std::uint32_t base : {0xCC00u, 0xDB80u + 64 * 5}) {
        const std::uint8_t* s = image.data() + base;
        EXPECT_EQ(GetLe16(s), 5);
        EXPECT_EQ(s[2], 4);
        EXPECT_EQ(s[6], 7);
        EXPECT_EQ(s[8], 0xFF);
        EXPECT_EQ(s[9], 0x00);
        // 9 names no band memory: the first one with an in-band Rx (memory 0, which took the
        // first defined band's edge); memory 3 has one and stays.
        EXPECT_EQ(s[11], base == 0xCC00u ? 0 : 3);
        EXPECT_EQ(s[16], 0);
        EXPECT_EQ(s[19], 0x77);
        EXPECT_EQ(s[22], 15);
    }
    EXPECT_EQ(GetLe16(image.data() + 0xCC04), 260);
    EXPECT_EQ(GetLe16(image.data() + 0xDB80 + 64 * 5 + 4), 1);
    // Records 0..4 were erased: references 0xFFFF become 1, bands the first enabled one.
    EXPECT_EQ(GetLe16(image.data() + 0xDB80), 1);
    EXPECT_EQ(image[0xDB80 + 2], 4);
}

TEST_F(Normalize, ClearOutOfBandChannelsAndBandEnableFlags) {
    InitChannelRecord(image, 3, 14'500'000, bands);
    InitChannelRecord(image, 4, 60'000'000, bands);  // between bands
    EXPECT_EQ(ClearOutOfBandChannels(image, bands), 799);
    EXPECT_EQ(Freq(ChannelOffset(3)), 14'500'000u);
    EXPECT_TRUE(ChannelAt(image, 4).IsEmpty());
    PutFrequency(image.data() + FrequencyRangeRecord(2), 4'000'000);  // below band 2's limits
    RecomputeBandEnabledFromImage(bands, image);
    EXPECT_EQ(bands.BandEnabled[2], 0);
    EXPECT_EQ(bands.BandEnabled[1], 1);
    EXPECT_EQ(bands.BandEnabled[10], 1);
}

TEST_F(Normalize, IsAFixedPoint) {
    for (int n = 2; n < 1600; n += 13) InitChannelRecord(image, n, 14'500'000 + 2500u * n, bands);
    NormalizeImage(image, bands);
    const RadioImage once = image;
    NormalizeImage(image, bands);
    EXPECT_TRUE(once == image);
}

}  // namespace
}  // namespace vm
