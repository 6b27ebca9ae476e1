#include "tools/factory/factory_image.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>
#include <utility>

#include "app/editors/channels/channel_memory.h"
#include "app/image/band_tables.h"
#include "app/image/channel_record.h"
#include "app/image/codecs.h"
#include "app/image/image_fields.h"
#include "app/image/model_regions.h"
#include "app/image/settings_regions.h"

namespace vm {

namespace {

void BuildHeader(FileHeader& header) {
    header.fill(0xFF);
    StampHeader(header);
    using S = FiveToneStandardBlock;
    for (int i = 0; i < kFiveToneStdCount; ++i) {
        std::uint8_t* rec = header.data() + FiveToneStdRecord(i);
        rec[S::kStandard] = static_cast<std::uint8_t>(i);
        rec[S::kWidth] = kFiveToneMinWidth[static_cast<std::size_t>(i)];
        rec[S::kGroup] = 0x0A;      // "A"
        rec[S::kRepeat] = 0x0E;     // "E"
        rec[S::kDelimiter] = 0x00;  // "None"
    }
    ReloadFiveToneTables(header);
    // "USER DEFINDE" starts from ZVEI1's tones.
    std::copy_n(header.data() + FiveToneStdRecord(0) + S::kTones, 2 * S::kToneCount,
                header.data() + FiveToneStdRecord(kUserDefinedStd) + S::kTones);
}

// The factory limits of band n (1..9) in the order of FrequencyRange's fields: a band the
// factory has keeps its fixed limits for Rx, and for Tx unless it receives only; every other
// limit is 0, "no limit" (zeroed bytes, not erased ones).
std::array<std::uint32_t, 4> FactoryLimits(int n) {
    std::array<std::uint32_t, 4> limits{};
    if (std::find(std::begin(kFactoryBands), std::end(kFactoryBands), n) == std::end(kFactoryBands))
        return limits;
    const BandLimits fixed = FixedBandLimits(n);
    const auto lower = static_cast<std::uint32_t>(fixed.lower);
    const auto upper = static_cast<std::uint32_t>(fixed.upper);
    limits[FrequencyRange::kRxLower] = lower;
    limits[FrequencyRange::kRxUpper] = upper;
    if (!IsReceiveOnlyBand(n)) {
        limits[FrequencyRange::kTxLower] = lower;
        limits[FrequencyRange::kTxUpper] = upper;
    }
    return limits;
}

// Every band's frequency range record, field by field.
void WriteBandLimits(RadioImage& image) {
    static_assert(FrequencyRange::kFields.size() * FrequencyField::kWidth ==
                      image_map::kFrequencyRanges.stride,
                  "the four limits fill the record");
    for (int n = 1; n <= FrequencyRange::kBandCount; ++n) {
        const std::array<std::uint32_t, 4> limits = FactoryLimits(n);
        for (std::size_t i = 0; i < FrequencyRange::kFields.size(); ++i)
            FrequencyRange::kFields[i].AsFrequency().Set(image.data() + FrequencyRange::Addr(n),
                                                         limits[i]);
    }
}

// The basic settings: every field's factory value (see BasicSettingsMap).
void WriteBasicSettings(RadioImage& image) {
    WriteFactoryValues(BasicSettingsMap::Record(image), BasicSettingsMap::kFields);
}

// The channels as the channel table stores them: an empty channel of bank A becomes the
// table's cleared record, and the store ends with the image-wide consistency pass (VFOs, band
// memories, bitmaps, coefficients, side records). The factory image is thus a fixed point of
// the table.
void FinishChannels(RadioImage& image) {
    BandTables bands = BandTables::Initial();
    RecomputeBandTables(bands, image);
    RecomputeBandEnabledFromImage(bands, image);
    for (int n = 1; n <= kChannelsPerBank; ++n)
        if (ChannelAt(std::as_const(image), n).IsEmpty())
            WriteClearedRecord(image.data() + ChannelOffset(n));
    NormalizeImage(image, bands);
}

}  // namespace

void BuildFactoryImage(FileHeader& header, RadioImage& image) {
    BuildHeader(header);
    image.fill(0xFF);
    WriteBandLimits(image);
    BandTables bands = BandTables::Initial();
    RecomputeBandTables(bands, image);
    RecomputeBandEnabled(bands);
    InitChannelRecord(image, 1, 14'550'000, bands);
    WriteBasicSettings(image);
    FinishChannels(image);
}

}  // namespace vm
