// The receive limits of the nine bands and the two ranges of bank B, as frequencies in 10 Hz
// units. Bands are numbered 1..9 here (index 0 unused), in the order of g_BandNameList.
#pragma once

#include <array>
#include <cstdint>

#include "app/image/model_regions.h"
#include "app/image/radio_image.h"

namespace vm {

inline constexpr int kBandCount = 9;

struct BandLimits {
    std::int32_t lower;
    std::int32_t upper;
};

// The fixed limits of band n (1..9); every edited frequency of a band is held inside them.
BandLimits FixedBandLimits(int band);
// Bands 4 ("108M") and 9 ("850M") receive only.
bool IsReceiveOnlyBand(int band);

struct BandTables {
    std::array<std::int32_t, 10> RxLower{};
    std::array<std::int32_t, 10> RxUpper{};
    // [1..9] the bands, [10] the low range of bank B, [11] its high range.
    std::array<int, 12> BandEnabled{};
    std::int32_t LowRangeLower = 0;
    std::int32_t LowRangeUpper = 0;
    std::int32_t HighRangeLower = 0;
    std::int32_t HighRangeUpper = 0;

    // The values before any file or radio data is seen: the fixed limits, only band 1 enabled,
    // bank B ranges 134-180 and 400-512 MHz.
    static BandTables Initial();
};

// Address of the frequency range record of band n (1..9): Rx lower, Rx upper, Tx lower, Tx upper.
constexpr std::uint32_t FrequencyRangeRecord(int band) {
    return FrequencyRange::Addr(band);
}

// After Open and after a successful Read: the limits and the bank B ranges from the image.
void RecomputeBandTables(BandTables& bands, const RadioImage& image);

// The enable flags from the programmed lower limits (channel table load, frequency ranges).
void RecomputeBandEnabled(BandTables& bands);

}  // namespace vm
