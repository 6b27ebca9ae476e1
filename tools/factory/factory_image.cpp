#include "tools/factory/factory_image.h"

#include <algorithm>

#include "app/editors/channels/program_view.h"
#include "app/editors/settings/image_map.h"
#include "app/image/band_tables.h"
#include "app/image/channel_record.h"
#include "app/image/codecs.h"

namespace vm {

namespace {

void BuildHeader(FileHeader& header) {
    header.fill(0xFF);
    StampHeader(header);
    for (int i = 0; i < kFiveToneStdCount; ++i) {
        std::uint8_t* rec = header.data() + FiveToneStdRecord(i);
        rec[0] = static_cast<std::uint8_t>(i);
        rec[1] = kFiveToneMinWidth[static_cast<std::size_t>(i)];
        rec[2] = 0x0A;
        rec[3] = 0x0E;
        rec[4] = 0x00;
        rec[5] = rec[6] = rec[7] = 0xFF;
    }
    ReloadFiveToneTables(header);
    // "USER DEFINDE" starts from ZVEI1's tones.
    std::copy_n(header.data() + FiveToneStdRecord(0) + 8, 32,
                header.data() + FiveToneStdRecord(kUserDefinedStd) + 8);
}

void WriteBandLimits(RadioImage& image) {
    for (int n = 1; n <= kBandCount; ++n)
        std::fill_n(image.data() + FrequencyRangeRecord(n), 16, std::uint8_t{0x00});
    for (int n : kFactoryBands) {
        const BandLimits l = FixedBandLimits(n);
        std::uint8_t* rec = image.data() + FrequencyRangeRecord(n);
        PutFrequency(rec + 0, static_cast<std::uint32_t>(l.lower));
        PutFrequency(rec + 4, static_cast<std::uint32_t>(l.upper));
        if (!IsReceiveOnlyBand(n)) {
            PutFrequency(rec + 8, static_cast<std::uint32_t>(l.lower));
            PutFrequency(rec + 12, static_cast<std::uint32_t>(l.upper));
        }
    }
}

// Basic settings block 0xCC18-0xCC3B (listed in the README's file-format notes).
void WriteBasicSettings(RadioImage& image) {
    std::uint8_t* b = image.data();
    using B = BasicSettingsMap;
    PutLe16(b + B::kLeftPriorityCh, 0);   // Left Priority Ch: Off
    PutLe16(b + B::kRightPriorityCh, 0);  // Right Priority Ch: Off
    b[B::kSqlLeft] = 2;                   // SQL(Left): "5"
    b[B::kAutoPowerOff] = 0;              // Auto power off(h): Off
    b[B::kBacklightBrightness] = 3;       // Backlight Brightness: 3
    b[B::kBacklightColor] = 1;            // Backlight Color: Blue
    b[B::kKeys] = 0x80;       // Beep On, Key lock Manual, PTT lock Off, Hyper Manual, Key1
    b[B::kSignal] = 0x80;     // TBST 1750 Hz, ANI Off, Selent Off, STE Frequency
    b[B::kFunctions] = 0x08;  // Auto AM Auto; transfer, contact, AM function, span transit off
    b[B::kScan] = 0x00;       // Scan mode MEM, resume TO
    PutLe16(b + B::kScrambler, static_cast<std::uint16_t>(B::kScramblerDefault));  // 3300 Hz
    b[B::kSpanExitDelay] = 10;                   // Span Transit Exit Delay 1.0 s
    b[B::kSqlRight] = 2;                         // SQL(Right): "5"
    b[B::kVolume] = 8;                           // Volume 8
    b[B::kTot] = 3;                              // TOT 3 min
    b[B::kTotPreAlert] = 0;                      // TOT pre-alert Off
    b[B::kTotRekey] = 0;                         // TOT rekey Off
    b[B::kTotReset] = 0;                         // TOT reset Off
    const std::uint8_t keys[] = {11, 12, 7, 6};  // P1-P4: BAND, VFO/MR, TONE, LOW
    std::copy(std::begin(keys), std::end(keys), b + B::kKeyP1);
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
