#include "app/image/image_map.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/image/channel_record.h"
#include "app/image/channel_regions.h"
#include "app/image/image_fields.h"
#include "app/image/model_regions.h"
#include "app/image/radio_image.h"
#include "app/image/settings_regions.h"

namespace vm {
namespace {

TEST(ImageMap, RegionsAreInAddressOrderInsideTheImageAndNeverOverlap) {
    std::uint32_t previous_end = 0;
    std::string previous = "(start)";
    for (const ImageRegion& r : image_map::kAll) {
        SCOPED_TRACE(std::string(r.name));
        EXPECT_GE(r.base, previous_end) << "overlaps " << previous;
        EXPECT_LE(r.End(), kImageSize);
        EXPECT_GT(r.size, 0u);
        EXPECT_FALSE(r.name.empty());
        previous_end = r.End();
        previous = std::string(r.name);
    }
}

// The regions as the radio lays them out: first and last byte.
TEST(ImageMap, RegionsSpanTheRadiosAddresses) {
    struct Case {
        const ImageRegion& region;
        std::uint32_t first, last;
    };
    namespace m = image_map;
    const Case cases[] = {
        {m::kFiveToneCoefficients, 0x0060, 0x007F},
        {m::kTwoToneCoefficients, 0x0080, 0x00FF},
        {m::kBankA, 0x0100, 0x64FF},
        {m::kBankB, 0x6500, 0xC8FF},
        {m::kScanEdges, 0xC900, 0xCA3F},
        {m::kVfos, 0xCA40, 0xCB9F},
        {m::kBasicSettings, 0xCC00, 0xCC3F},
        {m::kAlarm, 0xCC70, 0xCC77},
        {m::kTwoToneSystems, 0xCF80, 0xD17F},
        {m::kTwoToneContacts, 0xD180, 0xD27F},
        {m::kFiveTone, 0xD280, 0xD2CF},
        {m::kFiveToneFunctions, 0xD4D0, 0xD54F},
        {m::kDtmf, 0xD6B0, 0xD6DF},
        {m::kDtmfCodeMemories, 0xD760, 0xD8DF},
        {m::kVfoMirror, 0xD8E0, 0xD9FF},
        {m::kBandMemories, 0xDA00, 0xDB7F},
        {m::kBandSideRecords, 0xDB80, 0xDCFF},
        {m::kCustomData, 0xFEE0, 0xFEFF},
        {m::kModelInfo, 0xFF00, 0xFF2B},
        {m::kFrequencyRanges, 0xFF30, 0xFFBF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.region.name));
        EXPECT_EQ(c.region.base, c.first);
        EXPECT_EQ(c.region.End() - 1, c.last);
    }
    // Contiguous neighbours: the five-tone block, its contacts and functions; DTMF settings,
    // PTT ID codes and code memories; coefficients straight before bank A.
    EXPECT_EQ(m::kFiveTone.End(), m::kFiveToneContacts.base);
    EXPECT_EQ(m::kFiveToneContacts.End(), m::kFiveToneFunctions.base);
    EXPECT_EQ(m::kDtmf.End(), m::kDtmfPttIdCodes.base);
    EXPECT_EQ(m::kDtmfPttIdCodes.End(), m::kDtmfCodeMemories.base);
    EXPECT_EQ(m::kTwoToneCoefficients.End(), m::kBankA.base);
    EXPECT_EQ(m::kBankA.End(), m::kBankB.base);
}

TEST(ImageMap, ViewsAddressTheirRecordsThroughTheIndex) {
    const std::pair<std::uint32_t, std::uint32_t> cases[] = {
        {ChannelOffset(800), 0x64E0},
        {ChannelOffset(801), 0x6500},
        {ScanEdgeMap::RecordAddr(4), 0xC980},
        {VfoMap::RecordAddr(10), 0xCB80},
        {BandMemoryMap::HalfAddr(5, 1), 0xDB60},
        {BandSideRecordMap::RecordAddr(5), 0xDCC0},
        {ChannelBitmaps::Base(ChannelMap::Priority, Bank::B), 0xCF00},
        {ChannelBitmaps::ByteAddr(ChannelMap::Scan, Bank::A, 800), 0xCD63},
        {DtmfCodeMemory::kBase + DtmfCodeMemory::kSize * 15, 0xD8C8},
        {DtmfMap::PttIdCodes(4), 0xD740},
        {TwoToneMap::SystemAddr(15) + TwoToneMap::kTones[3].at, 0xD176},
        {TwoToneMap::ContactAddr(15), 0xD270},
        {FiveToneMap::kBase + FiveToneStandardBlock::Tone(15).at, 0xD2A6},
        {DecoderCoefficientMap::TwoToneAddr(15, 3), 0x00FE},
        {DecoderCoefficientMap::FiveToneAddr(15), 0x007E},
        {FrequencyRange::Addr(9), 0xFFB0},
        {kProgramDate, 0xFF28},
        {kCommitByte, 0xCC25},
        {AlarmMap::kBase + AlarmMap::kEmiCode.at, 0xCC76},
        {BasicSettingsMap::kBase + SideRecord::kProtectionFlag, 0xCC08},
        {static_cast<std::uint32_t>(FiveToneStdRecord(15)), 0x358},
    };
    for (const auto& [got, want] : cases) EXPECT_EQ(got, want) << std::hex << want;
}

// Every field list of the map, with the size of the record it describes.
struct FieldList {
    std::string_view record;
    std::uint32_t size;
    std::span<const SettingField> fields;
};
const FieldList kFieldLists[] = {
    {"basic settings", BasicSettingsMap::kSize, BasicSettingsMap::kFields},
    {"alarm", image_map::kAlarm.size, AlarmMap::kFields},
    {"DTMF", image_map::kDtmf.size, DtmfMap::kFields},
    {"DTMF code memory", DtmfCodeMemory::kSize, DtmfCodeMemory::kFields},
    {"two-tone system", TwoToneMap::kSystemSize, TwoToneMap::kSystemFields},
    {"two-tone contact", TwoToneMap::kContactSize, TwoToneMap::kContactFields},
    {"five-tone", image_map::kFiveTone.size, FiveToneMap::kFields},
    {"five-tone contact", FiveToneMap::kContactSize, FiveToneMap::kContactFields},
    {"five-tone function", FiveToneMap::kFunctionSize, FiveToneMap::kFunctionFields},
    {"model information", image_map::kModelInfo.size, ModelInfoMap::kFields},
    {"frequency range", image_map::kFrequencyRanges.stride, FrequencyRange::kFields},
};

// Every settings field lies in its record, no two fields share a bit, each range fits the
// field's bytes and each factory value lies in its range.
TEST(SettingsFields, FieldsLieInTheirRecordsWithoutOverlap) {
    for (const FieldList& list : kFieldLists) {
        std::vector<std::uint8_t> used(list.size, 0);
        for (const SettingField& f : list.fields) {
            SCOPED_TRACE(std::string(list.record) + ": " + std::string(f.name));
            ASSERT_LE(f.at + f.width, list.size);
            EXPECT_EQ(f.width, f.kind == FieldKind::Word                                ? 2u
                               : f.kind == FieldKind::Frequency                         ? 4u
                               : f.kind == FieldKind::Bits || f.kind == FieldKind::Byte ? 1u
                                                                                        : f.width);
            for (std::uint32_t i = 0; i < f.width; ++i) {
                EXPECT_EQ(used[f.at + i] & f.Mask(), 0) << "byte " << f.at + i;
                used[f.at + i] |= f.Mask();
            }
            EXPECT_LE(f.min, f.max);
            const int most = f.kind == FieldKind::Bits   ? f.AsBits().Max()
                             : f.kind == FieldKind::Word ? 0xFFFF
                                                         : 0xFF;
            EXPECT_GE(f.min, 0);
            EXPECT_LE(f.max, most);
            if (f.factory) {
                EXPECT_TRUE(f.InRange(*f.factory)) << *f.factory;
            }
        }
    }
}

// A number field reads and writes only its own bits or bytes, in every list.
TEST(SettingsFields, SetTouchesOnlyTheField) {
    for (const FieldList& list : kFieldLists) {
        for (const SettingField& f : list.fields) {
            if (f.kind != FieldKind::Bits && f.kind != FieldKind::Byte && f.kind != FieldKind::Word)
                continue;
            SCOPED_TRACE(std::string(list.record) + ": " + std::string(f.name));
            std::vector<std::uint8_t> rec(list.size, 0xA5);
            const std::vector<std::uint8_t> before = rec;
            f.Set(rec.data(), f.max);
            EXPECT_EQ(f.Get(rec.data()), f.max);
            for (std::uint32_t a = 0; a < rec.size(); ++a) {
                const bool mine = a >= f.at && a < f.at + f.width;
                EXPECT_EQ(rec[a] & ~(mine ? f.Mask() : 0), before[a] & ~(mine ? f.Mask() : 0)) << a;
            }
        }
    }
}

TEST(ImageFields, BitFieldWritesOnlyItsBitsAndTruncatesTheValue) {
    struct Case {
        BitField f;
        int value;
        std::uint8_t before, after;
        int read;
    };
    const Case cases[] = {
        {{0, 7, 0}, 0x5A, 0xFF, 0x5A, 0x5A}, {{0, 5, 4}, 2, 0xFF, 0xEF, 2},
        {{0, 5, 4}, 7, 0x00, 0x30, 3},       {{0, 0, 0}, 1, 0xFE, 0xFF, 1},
        {{1, 7, 7}, 0, 0xFF, 0x7F, 0},
    };
    for (const Case& c : cases) {
        std::uint8_t rec[2] = {c.before, c.before};
        c.f.Set(rec, c.value);
        EXPECT_EQ(rec[c.f.at], c.after) << c.f.hi << "-" << c.f.lo;
        EXPECT_EQ(rec[1 - c.f.at], c.before) << "the other byte was touched";
        EXPECT_EQ(c.f.Get(rec), c.read);
    }
}

TEST(ImageFields, FrequencyAbsentWhenTheTopByteIsZeroOrErased) {
    const FrequencyField f{2};
    struct Case {
        std::array<std::uint8_t, 6> bytes;
        std::optional<std::uint32_t> stored;
    };
    const Case cases[] = {
        {{0, 0, 0x00, 0x25, 0x65, 0x14}, 14'652'500},
        {{0, 0, 0x00, 0x25, 0x65, 0x00}, std::nullopt},
        {{0, 0, 0x00, 0x00, 0x00, 0xFF}, std::nullopt},
        {{0, 0, 0xFF, 0xFF, 0xFF, 0xFF}, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(f.Stored(c.bytes.data()), c.stored);
        EXPECT_EQ(f.Absent(c.bytes.data()), !c.stored.has_value());
    }
    std::array<std::uint8_t, 6> rec{};
    f.Set(rec.data(), 43'000'000);
    EXPECT_EQ(rec, (std::array<std::uint8_t, 6>{0, 0, 0x00, 0x00, 0x00, 0x43}));
    f.Erase(rec.data());
    EXPECT_TRUE(f.Erased(rec.data()));
    EXPECT_EQ(rec[1], 0);
}

TEST(ImageFields, DigitStringsEndAtTheFirstNonDigitCode) {
    const DigitStringField f{1, 4};
    std::array<std::uint8_t, 6> rec = {0x77, 1, 0x0E, 16, 3, 0x77};
    EXPECT_EQ(f.Get(rec.data(), DtmfDigitChar), "1*");
    EXPECT_EQ(f.Get(rec.data(), HexDigitChar), "1E");

    // Non-digits are skipped, the rest is cut at the width and filled with 0xFF.
    f.Set(rec.data(), "9x#A0B", DtmfDigitValue);
    EXPECT_EQ(rec, (std::array<std::uint8_t, 6>{0x77, 9, 15, 10, 0, 0x77}));
    f.Set(rec.data(), "", HexDigitValue);
    EXPECT_EQ(rec, (std::array<std::uint8_t, 6>{0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x77}));
    EXPECT_EQ(f.Get(rec.data(), HexDigitChar), "");
}

TEST(ModelRegions, FrequencyRangeLimitsUseTheAbsentRule) {
    RadioImage image;
    image.fill(0xFF);
    FrequencyRange::Set(image, 5, FrequencyRange::kRxLower, 13'600'000);
    FrequencyRange::Set(image, 5, FrequencyRange::kTxUpper, 17'400'000);
    image[FrequencyRange::Addr(5) + 7] = 0x00;  // Rx upper: top byte 0
    const FrequencyRange r(image, 5);
    EXPECT_EQ(r.Stored(FrequencyRange::kRxLower), 13'600'000u);
    EXPECT_EQ(r.Stored(FrequencyRange::kRxUpper), std::nullopt);
    EXPECT_EQ(r.OrZero(FrequencyRange::kRxUpper), 0u);
    EXPECT_EQ(r.Stored(FrequencyRange::kTxLower), std::nullopt);
    EXPECT_EQ(r.Stored(FrequencyRange::kTxUpper), 17'400'000u);
    // Its neighbours are untouched.
    EXPECT_EQ(image[FrequencyRange::Addr(4) + 15], 0xFF);
    EXPECT_EQ(image[FrequencyRange::Addr(6)], 0xFF);
}

}  // namespace
}  // namespace vm
