#include "app/shell/file_summary.h"

#include <gtest/gtest.h>

#include <cstring>

#include "app/image/channel_record.h"
#include "app/image/codecs.h"

namespace vm::shell {
namespace {

void Put(RadioImage& image, std::uint32_t at, const char* text) {
    std::memcpy(image.data() + at, text, std::strlen(text));
}

TEST(ModelInfo, TextFieldsStopAtTheFirstCharacterOutsideTheirClass) {
    RadioImage image;
    image.fill(0xFF);
    Put(image, 0xFF00, "AB12-345");  // serial: letters and digits only
    Put(image, 0xFF08, "VM6142");
    Put(image, 0xFF10, "CODE-1 X");  // model code: printable, hyphen and space kept
    Put(image, 0xFF20, "V1.02");
    const ModelInfo m = ReadModelInfo(image);
    EXPECT_EQ(m.serial_number, "AB12");
    EXPECT_EQ(m.model_name, "VM6142");
    EXPECT_EQ(m.model_code, "CODE-1 X");
    EXPECT_EQ(m.firmware_version, "V1.02");
    EXPECT_EQ(m.last_program_date, "");  // blank date: all F
}

TEST(ModelInfo, LastProgramDateIsShownOnlyWhenItIsACalendarDate) {
    struct Case {
        std::uint16_t year;
        std::uint8_t month, day;
        const char* shown;
    };
    const Case cases[] = {
        {0x2016, 0x05, 0x31, "2016-05-31"}, {0x2016, 0x02, 0x29, "2016-02-29"},
        {0x2015, 0x02, 0x29, ""},           {0x2016, 0x13, 0x01, ""},
        {0x2016, 0x04, 0x31, ""},           {0x2016, 0x00, 0x10, ""},
        {0x1999, 0x12, 0x01, "1999-12-01"},
    };
    for (const Case& c : cases) {
        RadioImage image{};
        PutLe16(image.data() + kProgramDate, c.year);
        image[kProgramDate + 2] = c.month;
        image[kProgramDate + 3] = c.day;
        EXPECT_EQ(ReadModelInfo(image).last_program_date, c.shown) << std::hex << c.year;
    }
}

TEST(FileSummary, BandsRangesAndChannelsInUse) {
    RadioImage image;
    image.fill(0xFF);
    for (std::uint32_t a = 0xFF30; a < 0xFF30 + 9 * 16; ++a) image[a] = 0x00;
    PutFrequency(image.data() + FrequencyRangeRecord(5), 14'400'000);
    PutFrequency(image.data() + FrequencyRangeRecord(5) + 4, 14'800'000);
    PutFrequency(image.data() + FrequencyRangeRecord(5) + 8, 14'400'000);
    PutFrequency(image.data() + FrequencyRangeRecord(5) + 12, 14'600'000);
    PutFrequency(image.data() + FrequencyRangeRecord(4), 11'800'000);
    PutFrequency(image.data() + FrequencyRangeRecord(4) + 8,
                 11'800'000);                                         // Tx of a receive-only band
    PutFrequency(image.data() + FrequencyRangeRecord(2), 1'000'000);  // outside band 2's limits
    Put(image, kCustomData, "HELLO");
    BandTables bands = BandTables::Initial();
    for (int n : {1, 2, 7, 800}) ChannelAt(image, n).SetRx(14'500'000);
    for (int n : {801, 1600}) ChannelAt(image, n).SetRx(44'500'000);
    RecomputeBandTables(bands, image);

    const FileSummary s = Summarise(image, bands);
    EXPECT_EQ(s.custom_data, "HELLO");
    const BandSummary& b5 = s.bands[4];
    EXPECT_EQ(b5.label, "150M");
    EXPECT_EQ(b5.rx_lower, 14'400'000u);
    EXPECT_EQ(b5.tx_upper, 14'600'000u);
    EXPECT_TRUE(b5.enabled);
    EXPECT_FALSE(s.bands[3].tx_lower.has_value());
    EXPECT_TRUE(s.bands[3].enabled);
    EXPECT_FALSE(s.bands[1].enabled);
    EXPECT_EQ(s.bands[1].rx_lower, 1'000'000u);
    EXPECT_FALSE(s.bands[0].rx_lower.has_value());
    EXPECT_EQ(s.bank_b_low.lower, 14'400'000);
    EXPECT_TRUE(s.bank_b_low.enabled);
    EXPECT_EQ(s.bank_b_high.lower, 40'000'000);  // kept: neither band 6 nor 8 programmed
    EXPECT_FALSE(s.bank_b_high.enabled);
    EXPECT_EQ(s.channels_in_use_a, 4);
    EXPECT_EQ(s.channels_in_use_b, 2);
}

}  // namespace
}  // namespace vm::shell
