#include "app/image/codecs.h"

#include <gtest/gtest.h>

#include <array>

namespace vm {
namespace {

TEST(Bcd, RoundTripsEveryByteValue) {
    for (int v = 0; v < 100; ++v) EXPECT_EQ(FromBcd(ToBcd(v)), v) << v;
    EXPECT_EQ(ToBcd(45), 0x45);
    EXPECT_EQ(FromBcd(0x99), 99);
}

TEST(Frequency, StoresLowestDigitPairFirst) {
    std::array<std::uint8_t, 4> b{};
    PutFrequency(b.data(), 14'550'000);
    EXPECT_EQ(b, (std::array<std::uint8_t, 4>{0x00, 0x00, 0x55, 0x14}));
    EXPECT_EQ(GetFrequency(b.data()), 14'550'000u);
    PutFrequency(b.data(), 99'999'999);
    EXPECT_EQ(b, (std::array<std::uint8_t, 4>{0x99, 0x99, 0x99, 0x99}));
    EXPECT_EQ(GetFrequency(b.data()), 99'999'999u);
    PutFrequency(b.data(), 60'000);
    EXPECT_EQ(b, (std::array<std::uint8_t, 4>{0x00, 0x00, 0x06, 0x00}));
}

TEST(ToneAndCode, UseTwoBcdBytesLowPairFirst) {
    std::array<std::uint8_t, 2> b{};
    PutBcd16(b.data(), 1000);
    EXPECT_EQ(b, (std::array<std::uint8_t, 2>{0x00, 0x10}));
    PutBcd16(b.data(), 2541);
    EXPECT_EQ(b, (std::array<std::uint8_t, 2>{0x41, 0x25}));
    EXPECT_EQ(GetBcd16(b.data()), 2541);
    PutBcd16(b.data(), 754);
    EXPECT_EQ(b, (std::array<std::uint8_t, 2>{0x54, 0x07}));
    PutLe16(b.data(), 10600);
    EXPECT_EQ(b, (std::array<std::uint8_t, 2>{0x68, 0x29}));
    EXPECT_EQ(GetLe16(b.data()), 10600);
}

TEST(CharField, EndsAtFirstZeroOrFF) {
    std::array<std::uint8_t, 6> b{};
    PutCharField(b.data(), b.size(), "AB");
    EXPECT_EQ(b, (std::array<std::uint8_t, 6>{'A', 'B', 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(GetCharField(b.data(), b.size()), "AB");
    b[1] = 0x00;
    EXPECT_EQ(GetCharField(b.data(), b.size()), "A");
    PutCharField(b.data(), b.size(), "ABCDEFGH");  // cut at the field's width
    EXPECT_EQ(GetCharField(b.data(), b.size()), "ABCDEF");
}

struct ScaledCase {
    const char* text;
    int digits;
    std::optional<std::int64_t> value;
};

TEST(ExactDecimal, ParsesWithoutBinaryRounding) {
    const ScaledCase cases[] = {
        {"88.5", 1, 885},
        {"145.0125", 5, 14'501'250},
        {"145.5", 5, 14'550'000},
        {"145.012599", 5, 14'501'259},
        {"0.1", 1, 1},
        {"260.0", 1, 2600},
        {"  7", 0, 7},
        {"12abc", 0, 12},
        {".5", 1, 5},
        {"-3.25", 1, -32},
        {"", 1, std::nullopt},
        {"abc", 1, std::nullopt},
        {".", 1, std::nullopt},
        {"446.00625", 5, 44'600'625},
        {"0.29", 1, 2},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseScaled(c.text, c.digits), c.value) << c.text;
}

TEST(ExactDecimal, PrintsFromTheInteger) {
    EXPECT_EQ(FormatMHz(14'550'000), "145.50000");
    EXPECT_EQ(FormatMHz(2'600'000), "26.00000");
    EXPECT_EQ(FormatMHz(5), "0.00005");
    EXPECT_EQ(FormatMHz(0), "0.00000");
    EXPECT_EQ(TenthsToText(885), "88.5");
    EXPECT_EQ(TenthsToText(0), "0.0");
    EXPECT_EQ(TenthsToText(-15), "-1.5");
    EXPECT_EQ(FormatDcs(7), "007");
    EXPECT_EQ(FormatHex(255), "FF");
    EXPECT_EQ(FormatHex(0), "0");
    EXPECT_EQ(FormatPercent(42), "42%");
    // Every tone of the list survives text -> tenths -> text.
    for (auto t : g_CtcssToneTable) EXPECT_EQ(TenthsToText(TextToTenths(t)), t);
}

TEST(Normalise, CtcssAcceptsSixtyToTwoSixtyHertz) {
    const std::pair<const char*, const char*> cases[] = {
        {"88.5", "88.5"},   {"", "100.0"},       {"59.9", "100.0"},  {"260.1", "100.0"},
        {"260.0", "260.0"}, {"60", "60.0"},      {"254.1", "254.1"}, {"x", "100.0"},
        {"99.99", "99.9"},  {"123.45", "123.4"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(NormaliseCtcssText(in), out) << in;
}

TEST(Normalise, DcsAcceptsZeroTo777) {
    const std::pair<const char*, const char*> cases[] = {
        {"778", "023"}, {"7", "007"},  {"", "023"},    {"754", "754"}, {"0", "000"},
        {"999", "023"}, {"x", "023"},  {"089", "089"}, {".5", "023"},  {" 12", "012"},
        {"+7", "007"},  {"-1", "023"}, {"7.9", "007"}, {"-.5", "023"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(NormaliseDcsText(in), out) << in;
}

TEST(ToneClamp, KeepsOffAndClampsTheRest) {
    EXPECT_EQ(ClampToneFrequency(0), 0);
    EXPECT_EQ(ClampToneFrequency(1000), 2880);
    EXPECT_EQ(ClampToneFrequency(2880), 2880);
    EXPECT_EQ(ClampToneFrequency(31160), 31160);
    EXPECT_EQ(ClampToneFrequency(40000), 31160);
}

TEST(DigitCodecs, HexAndDtmf) {
    for (int v = 0; v < 16; ++v) {
        EXPECT_EQ(HexDigitValue(HexDigitChar(v)), v);
        EXPECT_EQ(DtmfDigitValue(DtmfDigitChar(v)), v);
    }
    EXPECT_EQ(HexDigitValue('G'), 255);
    EXPECT_EQ(HexDigitChar(16), '\0');
    EXPECT_EQ(DtmfDigitValue('*'), 14);
    EXPECT_EQ(DtmfDigitValue('#'), 15);
    EXPECT_EQ(DtmfDigitValue('E'), 14);
    EXPECT_EQ(DtmfDigitValue('F'), 15);
    EXPECT_EQ(DtmfDigitValue('+'), 255);
    EXPECT_EQ(DtmfDigitChar(14), '*');
    EXPECT_EQ(DtmfDigitChar(13), 'D');
    EXPECT_EQ(DtmfDigitChar(16), '\0');
}

TEST(DecoderCoefficient, IsQ14OfTwoCosine) {
    EXPECT_EQ(DecoderCoefficient(0), 32768);
    EXPECT_EQ(DecoderCoefficient(20000), 0);  // 2000 Hz: a quarter of the sample rate
    // 1000 Hz: 2cos(pi/4) = 1.41421..., x16384 = 23170.47
    EXPECT_EQ(DecoderCoefficient(10000), 23170);
}

TEST(Lookups, StepSqlAndBandName) {
    EXPECT_EQ(StepFromText("12.5"), 6);
    EXPECT_EQ(StepFromText("8.33"), 4);
    EXPECT_EQ(StepFromText("nope"), 0);
    EXPECT_EQ(StepText(12), "100");
    EXPECT_EQ(StepText(13), "12.5");
    EXPECT_EQ(StepText(-1), "12.5");
    EXPECT_EQ(SqlModeFromText("signaling & TONE"), 3);
    EXPECT_EQ(SqlModeFromText("x"), 0);
    EXPECT_EQ(SqlModeText(4), "Signalling | Tone");
    EXPECT_EQ(SqlModeText(5), "Carrier");
    EXPECT_EQ(BandNameFromText("450M"), 7);
    EXPECT_EQ(BandNameFromText("450m"), -1);  // exact compare
    EXPECT_EQ(BandNameText(4), "150M");
    EXPECT_EQ(BandNameText(7), "450M");
    EXPECT_EQ(BandNameText(0), "");
}

TEST(Filters, AcceptOnlyTheirCharactersAndBackspace) {
    EXPECT_TRUE(FilterAccepts(g_FreqInputFilter, '5'));
    EXPECT_TRUE(FilterAccepts(g_FreqInputFilter, '.'));
    EXPECT_FALSE(FilterAccepts(g_FreqInputFilter, 'a'));
    EXPECT_TRUE(FilterAccepts(g_DigitInputFilter, '\b'));
    EXPECT_FALSE(FilterAccepts(g_DigitInputFilter, '.'));
    EXPECT_TRUE(FilterAccepts(g_DtmfInputFilter, '#'));
    EXPECT_FALSE(FilterAccepts(g_DtmfInputFilter, 'E'));
    EXPECT_TRUE(FilterAccepts(g_ToneInputFilter, 'n'));
    EXPECT_FALSE(FilterAccepts(g_HexInputFilter, '\0'));
}

TEST(Tables, HaveTheirSizesAndOrder) {
    EXPECT_EQ(g_CtcssToneTable.size(), 51u);
    EXPECT_EQ(g_DcsCodeTable.size(), 106u);
    EXPECT_EQ(g_CtcssToneTable.front(), "63.0");
    EXPECT_EQ(g_CtcssToneTable.back(), "254.1");
    EXPECT_EQ(g_DcsCodeTable.front(), "017");
    EXPECT_EQ(g_DcsCodeTable.back(), "754");
    // Codes are strictly ascending and are octal digits.
    for (std::size_t i = 1; i < g_DcsCodeTable.size(); ++i)
        EXPECT_LT(g_DcsCodeTable[i - 1], g_DcsCodeTable[i]);
    for (auto code : g_DcsCodeTable)
        for (char c : code) EXPECT_LE(c, '7') << code;
    EXPECT_EQ(IndexOf(g_SqlModeList, "Signalling | Tone"), 4);
}

struct IntEditCase {
    const char* text;
    int min, max, step, def;
    const char* off;
    int value;
    const char* shown;
};

TEST(BoundedEdit, IntegerRoundsDownThenFallsBackToDefault) {
    const IntEditCase cases[] = {
        {"", 0, 30, 1, 5, "", 5, "5"},
        {"45", 0, 30, 1, 5, "", 5, "5"},
        {"17", 0, 2550, 10, 100, "", 10, "10"},
        {"0", 0, 30, 1, 5, "Off", 0, "Off"},
        {"-1", 0, 30, 1, 7, "", 7, "7"},
        {"30", 0, 30, 1, 5, "", 30, "30"},
        {"2559", 0, 2550, 10, 0, "", 2550, "2550"},
    };
    for (const auto& c : cases) {
        const EditResult r = BoundedIntEdit(c.text, c.min, c.max, c.step, c.def, c.off);
        EXPECT_EQ(r.value, c.value) << c.text;
        EXPECT_EQ(r.text, c.shown) << c.text;
    }
    const EditResult t = BoundedTenthsEdit("2.55", 0, 50, 10);
    EXPECT_EQ(t.value, 25);
    EXPECT_EQ(t.text, "2.5");
    EXPECT_EQ(BoundedTenthsEdit("5.1", 0, 50, 10).text, "1.0");
    EXPECT_EQ(BoundedTenthsEdit("", 0, 50, 10).value, 10);
}

struct SpinCase {
    int current, step, min, max;
    int value;
};

TEST(SpinStep, RoundsTowardTheStepAndWraps) {
    const SpinCase cases[] = {
        {15, 1, 0, 15, 0},   // up past the maximum wraps to the minimum
        {0, -1, 0, 30, 30},  // down past the minimum wraps to the maximum
        {5, 1, 0, 30, 6},        {7, 10, 0, 2550, 10},  // 17 rounded down
        {17, -10, 0, 2550, 10},                         // 7 rounded up
        {3, -10, 0, 2550, 0},                           // -7 becomes 0
        {2550, 10, 0, 2550, 0},                         // 2560 wraps up to the minimum
        {0, -10, 0, 2550, 2550},  // -10 is a multiple, below the minimum: wraps down
        {20, 10, 0, 2550, 30},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SpinStep(c.current, c.step, c.min, c.max).value, c.value)
            << c.current << " " << c.step;
    EXPECT_EQ(SpinStep(15, 1, 0, 15, "Off").text, "Off");
    EXPECT_EQ(SpinStep(0, -1, 0, 30, "Off").text, "30");
    EXPECT_EQ(SpinStepTenths(49, 1, 0, 50).text, "5.0");
    EXPECT_EQ(SpinStepTenths(50, 1, 0, 50).text, "0.0");
}

}  // namespace
}  // namespace vm
