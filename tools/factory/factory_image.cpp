#include "tools/factory/factory_image.h"

#include <algorithm>

#include "app/editors/channels/program_view.h"
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

void WriteBandLimits(RadioImage& image) {
    for (int n = 1; n <= kBandCount; ++n)
        std::fill_n(image.data() + FrequencyRange::Addr(n), image_map::kFrequencyRanges.stride,
                    std::uint8_t{0x00});
    for (int n : kFactoryBands) {
        const BandLimits l = FixedBandLimits(n);
        const auto lower = static_cast<std::uint32_t>(l.lower);
        const auto upper = static_cast<std::uint32_t>(l.upper);
        FrequencyRange::Set(image, n, FrequencyRange::kRxLower, lower);
        FrequencyRange::Set(image, n, FrequencyRange::kRxUpper, upper);
        if (!IsReceiveOnlyBand(n)) {
            FrequencyRange::Set(image, n, FrequencyRange::kTxLower, lower);
            FrequencyRange::Set(image, n, FrequencyRange::kTxUpper, upper);
        }
    }
}

// The basic settings: every field's factory value (see BasicSettingsMap).
void WriteBasicSettings(RadioImage& image) {
    WriteFactoryValues(BasicSettingsMap::Record(image), BasicSettingsMap::kFields);
}

// Editors finish the image: each editor's load and store (and the image-wide consistency pass)
// run over it here so that the factory image is a fixed point of every editor.
void FinishWithEditors(FileHeader& /*header*/, RadioImage& image) {
    // The channel table: its load and store turn empty records into cleared records, and the
    // store ends with NormalizeImage.
    BandTables bands = BandTables::Initial();
    RecomputeBandTables(bands, image);
    RecomputeBandEnabled(bands);
    CProgramView table(image, bands);
    table.OnInitialUpdate();
    table.StoreToImage();
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
    FinishWithEditors(header, image);
}

}  // namespace vm
