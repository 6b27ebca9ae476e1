#include "app/image/channel_record.h"

#include <gtest/gtest.h>

#include <vector>

namespace vm {
namespace {

std::vector<std::uint8_t> Bytes(const RadioImage& image, std::uint32_t at, std::size_t n) {
    return {image.begin() + at, image.begin() + at + static_cast<std::ptrdiff_t>(n)};
}

TEST(ChannelBanks, OffsetsOfBothBanks) {
    EXPECT_EQ(ChannelOffset(1), 0x0100u);
    EXPECT_EQ(ChannelOffset(800), 0x64E0u);
    EXPECT_EQ(ChannelOffset(801), 0x6500u);
    EXPECT_EQ(ChannelOffset(1600), 0xC8E0u);
}

TEST(DefaultRecord, For145500) {
    RadioImage image{};
    InitChannelRecord(image, 1, 14'550'000, BandTables::Initial());
    EXPECT_EQ(
        Bytes(image, 0x100, 32),
        (std::vector<std::uint8_t>{0x00, 0x00, 0x55, 0x14, 0x00, 0x00, 0x55, 0x14, 0x00, 0x10, 0x23,
                                   0x00, 0xC0, 0x08, 0x06, 0x00, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00,
                                   0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    ConstChannelRecord r = ChannelAt(std::as_const(image), 1);
    EXPECT_FALSE(r.IsEmpty());
    EXPECT_EQ(r.TxPower(), 3);
    EXPECT_EQ(r.Emphasis(), 1);
    EXPECT_EQ(r.Step(), 6);
    EXPECT_EQ(r.Direction(), OffsetDirection::Simplex);
    EXPECT_EQ(r.Name(), "");
}

struct BandCase {
    std::uint32_t f;
    int band;
    int am;
    std::uint32_t offset;
};

TEST(DefaultRecord, BandDecidesAmAndOffset) {
    const BandCase cases[] = {
        {12'000'000, 3, 1, 60'000},   // 120 MHz airband: AM
        {44'600'000, 7, 0, 760'000},  // 446 MHz
        {85'000'000, 8, 0, 760'000},  // 850 MHz
        {10'000'000, -1, 0, 60'000},  // 100 MHz lies between bands
        {0, -1, 0, 60'000},           // no frequency
        {13'399'500, 3, 1, 60'000},   // upper limit inclusive
        {13'400'000, 4, 0, 60'000},
    };
    const BandTables bands = BandTables::Initial();
    for (const auto& c : cases) {
        RadioImage image{};
        EXPECT_EQ(FindBand(bands, c.f), c.band) << c.f;
        InitChannelRecord(image, 5, c.f, bands);
        ConstChannelRecord r = ChannelAt(std::as_const(image), 5);
        EXPECT_EQ(r.Am(), c.am) << c.f;
        EXPECT_EQ(r.Offset(), c.offset) << c.f;
        EXPECT_EQ(r.IsEmpty(), c.f == 0) << c.f;
    }
}

// A band that the radio lacks has the limits 0-0 after the tables are read from the image, so a
// lookup of frequency 0 would land in it; the record without a frequency belongs to no band.
TEST(DefaultRecord, WithoutFrequencyBelongsToNoBandWhateverBandsAreAbsent) {
    for (int absent : {4, 8, 9}) {  // "108M" (AM), "450M" and "850M" (7.6 MHz offset)
        BandTables bands = BandTables::Initial();
        bands.RxLower[static_cast<std::size_t>(absent)] = 0;
        bands.RxUpper[static_cast<std::size_t>(absent)] = 0;
        RadioImage image{};
        InitChannelRecord(image, 7, 0, bands);
        ConstChannelRecord r = ChannelAt(std::as_const(image), 7);
        EXPECT_EQ(r.Am(), 0) << absent;
        EXPECT_EQ(r.Offset(), 60'000u) << absent;
        EXPECT_EQ(Bytes(image, ChannelOffset(7), 8), std::vector<std::uint8_t>(8, 0xFF)) << absent;
    }
}

TEST(DefaultRecord, WritesBankBAndAnyOffset) {
    RadioImage image{};
    InitChannelRecord(image, 801, 14'550'000, BandTables::Initial());
    EXPECT_EQ(image[0x6503], 0x14);
    InitChannelRecordAt(image, 0xDA00, 3'000'000, BandTables::Initial());
    EXPECT_EQ(image[0xDA03], 0x03);
}

TEST(ClearedRecord, AlwaysHoldsTheUhfOffset) {
    RadioImage image{};
    WriteClearedRecord(image.data() + 0x100);
    EXPECT_EQ(
        Bytes(image, 0x100, 20),
        (std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x10,
                                   0x23, 0x00, 0xC0, 0x08, 0x06, 0x00, 0x00, 0x00, 0x76, 0x00}));
    EXPECT_TRUE(ChannelAt(std::as_const(image), 1).IsEmpty());
}

TEST(ChannelRecordFields, EveryBitFieldRoundTripsAndLeavesNeighboursAlone) {
    RadioImage image;
    image.fill(0x00);
    ChannelRecord r = ChannelAt(image, 2);
    r.SetTxPower(2);
    r.SetBeatShift(1);
    r.SetReverseBackup(1);
    r.SetDisplayType(1);
    r.SetScan(2);
    EXPECT_EQ(image[ChannelOffset(2) + 0x0C], 0b10'1'1'01'10);
    r.SetBandwidth(2);
    r.SetScrambler(1);
    r.SetCompander(0);
    r.SetEmphasis(1);
    r.SetSqlMode(4);
    EXPECT_EQ(image[ChannelOffset(2) + 0x0D], 0b10'1'0'1'100);
    r.SetDirection(OffsetDirection::Split);
    r.SetReverse(0);
    r.SetTalkAround(1);
    r.SetStep(12);
    EXPECT_EQ(image[ChannelOffset(2) + 0x0E], 0b11'0'1'1100);
    r.SetDcsPolarity(1);
    r.SetBusyLock(2);
    r.SetTxStop(1);
    r.SetDecodeType(3);
    EXPECT_EQ(image[ChannelOffset(2) + 0x0F], 0b01'10'1'011);
    image[ChannelOffset(2) + 0x14] = 0x20;  // reserved bit set by someone else
    r.SetOptSignal(3);
    r.SetAm(1);
    r.SetDecodeCode(15);
    EXPECT_EQ(image[ChannelOffset(2) + 0x14], 0b11'0'1'1111);  // reserved bit written 0
    r.SetPttId(5);
    r.SetName("AB-1");
    EXPECT_EQ(r.Name(), "AB-1");
    EXPECT_EQ(image[ChannelOffset(2) + 0x1C], 0xFF);
    EXPECT_EQ(image[ChannelOffset(2) + 0x16], 0x00);  // reserved bytes untouched
    EXPECT_EQ(r.TxPower(), 2);
    EXPECT_EQ(r.Scan(), 2);
    EXPECT_EQ(r.SqlMode(), 4);
    EXPECT_EQ(r.Step(), 12);
    EXPECT_EQ(r.DecodeType(), 3);
    EXPECT_EQ(r.BusyLock(), 2);
    EXPECT_EQ(r.DecodeCode(), 15);
    EXPECT_EQ(r.PttId(), 5);
    r.ClearTx();
    EXPECT_FALSE(r.HasTx());
    r.SetTx(14'600'000);
    EXPECT_TRUE(r.HasTx());
    EXPECT_EQ(r.Tx(), 14'600'000u);
    r.SetCtcss(885);
    r.SetDcs(754);
    EXPECT_EQ(r.Ctcss(), 885);
    EXPECT_EQ(r.Dcs(), 754);
}

TEST(EmptyTest, TopRxByteZeroOrFF) {
    RadioImage image{};
    EXPECT_TRUE(ChannelAt(std::as_const(image), 3).IsEmpty());
    image[ChannelOffset(3) + 3] = 0xFF;
    EXPECT_TRUE(ChannelAt(std::as_const(image), 3).IsEmpty());
    image[ChannelOffset(3) + 3] = 0x01;
    EXPECT_FALSE(ChannelAt(std::as_const(image), 3).IsEmpty());
}

TEST(BandLookups, HomeBandsAndDefinedBands) {
    BandTables t = BandTables::Initial();
    EXPECT_EQ(HomeBandOf(t, 14'550'000), 4);
    EXPECT_EQ(HomeBandOf(t, 44'000'000), 7);
    EXPECT_EQ(HomeBandOf(t, 3'000'000), -1);
    EXPECT_EQ(DefaultHomeBand(t), -1);  // at start only band 1 is enabled
    t.BandEnabled[8] = 1;
    EXPECT_EQ(DefaultHomeBand(t), 7);
    t.BandEnabled[5] = 1;
    EXPECT_EQ(DefaultHomeBand(t), 4);
    EXPECT_EQ(FirstDefinedBand(t), 0);
    t.RxLower[1] = 0;
    t.RxUpper[2] = -1;
    EXPECT_EQ(FirstDefinedBand(t), 2);
    for (auto& v : t.RxLower) v = 0;
    EXPECT_EQ(FirstDefinedBand(t), -1);
}

TEST(BandLookups, BankBUsesItsTwoRanges) {
    BandTables t = BandTables::Initial();
    EXPECT_EQ(FindBand(t, 14'550'000, Bank::B), 0);
    EXPECT_EQ(FindBand(t, 44'000'000, Bank::B), 1);
    EXPECT_EQ(FindBand(t, 3'000'000, Bank::B), -1);
    t.HighRangeLower = 22'000'000;
    t.HighRangeUpper = 26'000'000;
    EXPECT_EQ(FindBand(t, 44'000'000, Bank::B), -1);
    EXPECT_EQ(FindBand(t, 22'000'000, Bank::B), 1);
    EXPECT_EQ(BankOfChannel(800), Bank::A);
    EXPECT_EQ(BankOfChannel(801), Bank::B);
}

}  // namespace
}  // namespace vm
