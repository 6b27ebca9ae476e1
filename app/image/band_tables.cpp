#include "app/image/band_tables.h"

#include "app/image/codecs.h"

namespace vm {

namespace {
constexpr BandLimits kFixed[kBandCount] = {
    {2'600'000, 3'300'000},   {4'700'000, 5'400'000},   {6'600'000, 8'800'000},
    {10'800'000, 13'399'500}, {13'400'000, 18'000'000}, {22'000'000, 26'000'000},
    {32'000'000, 39'999'500}, {40'000'000, 51'200'000}, {75'000'000, 95'000'000}};
}  // namespace

BandLimits FixedBandLimits(int band) {
    return kFixed[band - 1];
}

bool IsReceiveOnlyBand(int band) {
    return band == 4 || band == 9;
}

BandTables BandTables::Initial() {
    BandTables t;
    for (int n = 1; n <= kBandCount; ++n) {
        t.RxLower[static_cast<std::size_t>(n)] = kFixed[n - 1].lower;
        t.RxUpper[static_cast<std::size_t>(n)] = kFixed[n - 1].upper;
    }
    t.BandEnabled[1] = 1;
    t.LowRangeLower = kFixed[4].lower;
    t.LowRangeUpper = kFixed[4].upper;
    t.HighRangeLower = kFixed[7].lower;
    t.HighRangeUpper = kFixed[7].upper;
    return t;
}

void RecomputeBandTables(BandTables& bands, const RadioImage& image) {
    for (int n = 1; n <= kBandCount; ++n) {
        const FrequencyRange range(image, n);
        bands.RxLower[static_cast<std::size_t>(n)] =
            static_cast<std::int32_t>(range.OrZero(FrequencyRange::kRxLower));
        bands.RxUpper[static_cast<std::size_t>(n)] =
            static_cast<std::int32_t>(range.OrZero(FrequencyRange::kRxUpper));
    }
    if (bands.RxLower[5] != 0) {
        bands.LowRangeLower = bands.RxLower[5];
        bands.LowRangeUpper = bands.RxUpper[5];
    }
    if (bands.RxLower[6] != 0) {
        bands.HighRangeLower = bands.RxLower[6];
        bands.HighRangeUpper = bands.RxUpper[6];
    } else if (bands.RxLower[8] != 0) {
        bands.HighRangeLower = bands.RxLower[8];
        bands.HighRangeUpper = bands.RxUpper[8];
    }
}

void RecomputeBandEnabled(BandTables& bands) {
    for (int n = 1; n <= kBandCount; ++n) {
        const auto lower = bands.RxLower[static_cast<std::size_t>(n)];
        bands.BandEnabled[static_cast<std::size_t>(n)] =
            lower >= kFixed[n - 1].lower && lower <= kFixed[n - 1].upper ? 1 : 0;
    }
    bands.BandEnabled[10] = bands.BandEnabled[5];
    bands.BandEnabled[11] = bands.BandEnabled[6] || bands.BandEnabled[8] ? 1 : 0;
}

}  // namespace vm
