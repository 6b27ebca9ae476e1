#include "tools/factory/factory_image.h"

#include <algorithm>
#include <utility>

#include "app/editors/channels/program_view.h"
#include "app/editors/settings/basic_setting_view.h"
#include "app/image/band_tables.h"
#include "app/image/channel_record.h"
#include "app/image/codecs.h"
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

// The basic settings the factory programs; the bytes holding bit fields start from 0.
void WriteBasicSettings(RadioImage& image) {
    std::uint8_t* b = image.data();
    using B = BasicSettingsMap;
    PutLe16(b + B::kLeftPriorityCh, 0);   // Left Priority Ch: Off
    PutLe16(b + B::kRightPriorityCh, 0);  // Right Priority Ch: Off
    b[B::kAutoPowerOff] = 0;              // Auto power off(h): Off
    b[B::kBacklightBrightness] = 3;       // Backlight Brightness: 3
    for (std::uint32_t byte : {B::kKeys, B::kSignal, B::kFunctions, B::kScan}) b[byte] = 0;
    const std::pair<BitField, int> lists[] = {
        {B::kSqlLeftBits, 2},         // SQL(Left): "5"
        {B::kSqlRightBits, 2},        // SQL(Right): "5"
        {B::kBacklightColorBits, 1},  // Backlight Color: Blue
        {B::kBeep, 1},                // Beep: On
        {B::kKeyLock, 0},             // Key lock: Manual
        {B::kPttLock, 0},             // PTT lock: Off
        {B::kHyperChannel, 0},        // Hyper Channel: Manual
        {B::kRightKey, 0},            // Right Function Key: Key1
        {B::kTbst, 2},                // TBST Frequency(Hz): 1750
        {B::kAniDisplay, 0},          // ANI Display: Off
        {B::kSelentMode, 0},          // Selent mode: Off
        {B::kSte, 0},                 // STE: Frequency
        {B::kAutoTransfer, 0},        // Auto transfer: Off
        {B::kAutoContact, 0},         // Auto contact: Connect remind
        {B::kAutoAm, 1},              // Auto AM: Auto
        {B::kAmFunction, 0},          // AM Function: Off
        {B::kSpanTransit, 0},         // Span Transit: Off
        {B::kScanMode, 0},            // Scan mode: MEM
        {B::kScanResume, 0},          // Scan resume mode: TO
        {B::kSpanExitDelayBits, 10},  // Span Transit Exit Delay: 1.0 s
    };
    for (const auto& [field, value] : lists) field.Set(b, value);
    PutLe16(b + B::kScrambler, static_cast<std::uint16_t>(B::kScramblerDefault));  // 3300 Hz
    b[B::kVolume] = 8;                                                             // Volume 8
    b[B::kTot] = 3;                                                                // TOT 3 min
    b[B::kTotPreAlert] = 0;                                       // TOT pre-alert Off
    b[B::kTotRekey] = 0;                                          // TOT rekey Off
    b[B::kTotReset] = 0;                                          // TOT reset Off
    for (std::size_t k = 0; k < CKeyPage::kDefaults.size(); ++k)  // P1-P4: BAND, VFO/MR, TONE, LOW
        b[B::KeyAddr(k)] = static_cast<std::uint8_t>(CKeyPage::kDefaults[k]);
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
