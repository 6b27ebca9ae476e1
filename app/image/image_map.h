// The map of the radio image: every region's address, size and record layout, written once.
// The region views (channel_regions.h, settings_regions.h, model_regions.h) and the core read
// their addresses from here; nothing else names an image address.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace vm {

// A region of the image: `count` records of `stride` bytes from `base` (a single block has
// count 1). `size` is the bytes the region spans; a record may use fewer bytes than its stride.
struct ImageRegion {
    std::string_view name;
    std::uint32_t base;
    std::uint32_t stride;
    std::uint32_t count;
    std::uint32_t size;

    constexpr std::uint32_t End() const { return base + size; }  // exclusive
    constexpr std::uint32_t Record(int i) const {
        return base + stride * static_cast<std::uint32_t>(i);
    }
    constexpr bool Contains(std::uint32_t a) const { return a >= base && a < End(); }
};

constexpr ImageRegion Records(std::string_view name, std::uint32_t base, std::uint32_t stride,
                              std::uint32_t count) {
    return {name, base, stride, count, stride * count};
}
constexpr ImageRegion Block(std::string_view name, std::uint32_t base, std::uint32_t size) {
    return {name, base, size, 1, size};
}

namespace image_map {

// Sent to the radio by Write, never read back: decoder coefficients of the five-tone digits
// and of the two-tone system tones.
inline constexpr ImageRegion kFiveToneCoefficients =
    Records("five-tone coefficients", 0x0060, 2, 16);
inline constexpr ImageRegion kTwoToneCoefficients = Records("two-tone coefficients", 0x0080, 8, 16);
// Channel records, bank A channels 1-800 and bank B channels 801-1600.
inline constexpr ImageRegion kBankA = Records("bank A channels", 0x0100, 32, 800);
inline constexpr ImageRegion kBankB = Records("bank B channels", 0x6500, 32, 800);
// Scan edges L1, U1 … L5, U5, and the VFOs: bank A bands 0-8, then the two bank B bands.
inline constexpr ImageRegion kScanEdges = Records("scan edges", 0xC900, 32, 10);
inline constexpr ImageRegion kVfos = Records("VFOs", 0xCA40, 32, 11);
inline constexpr ImageRegion kBasicSettings = Block("basic settings", 0xCC00, 64);
inline constexpr ImageRegion kAlarm = Block("alarm", 0xCC70, 8);
// Channel bitmaps, 100 bytes each (one bit per channel of a bank) at a stride of 128.
inline constexpr ImageRegion kUsedMapA = Block("used channels, bank A", 0xCC80, 100);
inline constexpr ImageRegion kScanMapA = Block("scan channels, bank A", 0xCD00, 100);
inline constexpr ImageRegion kPriorityMapA = Block("priority channels, bank A", 0xCD80, 100);
inline constexpr ImageRegion kUsedMapB = Block("used channels, bank B", 0xCE00, 100);
inline constexpr ImageRegion kScanMapB = Block("scan channels, bank B", 0xCE80, 100);
inline constexpr ImageRegion kPriorityMapB = Block("priority channels, bank B", 0xCF00, 100);
// Two-tone: sixteen systems, then sixteen contacts.
inline constexpr ImageRegion kTwoToneSystems = Records("two-tone systems", 0xCF80, 32, 16);
inline constexpr ImageRegion kTwoToneContacts = Records("two-tone contacts", 0xD180, 16, 16);
// Five-tone: the current standard block, settings and IDs, contacts, decode functions.
inline constexpr ImageRegion kFiveTone = Block("five-tone settings", 0xD280, 0x50);
inline constexpr ImageRegion kFiveToneContacts = Records("five-tone contacts", 0xD2D0, 32, 16);
inline constexpr ImageRegion kFiveToneFunctions = Records("five-tone functions", 0xD4D0, 16, 8);
// DTMF: settings and PTT ID codes, then sixteen code memories.
inline constexpr ImageRegion kDtmf = Block("DTMF settings", 0xD6B0, 0x30);
inline constexpr ImageRegion kDtmfPttIdCodes = Records("DTMF PTT ID codes", 0xD6E0, 32, 4);
inline constexpr ImageRegion kDtmfCodeMemories = Records("DTMF code memories", 0xD760, 24, 16);
// The copy of the bank A VFOs (records 0-8) that the radio keeps.
inline constexpr ImageRegion kVfoMirror = Records("VFO copy", 0xD8E0, 32, 9);
// Band memories: two channel records each. Side records: laid out like the head of the basic
// settings block, which they copy on reset.
inline constexpr ImageRegion kBandMemories = Records("band memories", 0xDA00, 64, 6);
inline constexpr ImageRegion kBandSideRecords = Records("band side records", 0xDB80, 64, 6);
inline constexpr ImageRegion kCustomData = Block("custom data", 0xFEE0, 32);
inline constexpr ImageRegion kModelInfo = Block("model information", 0xFF00, 44);
// Rx lower, Rx upper, Tx lower, Tx upper of bands 1-9.
inline constexpr ImageRegion kFrequencyRanges = Records("frequency ranges", 0xFF30, 16, 9);

// The index, in address order.
inline constexpr std::array kAll = {
    kFiveToneCoefficients,
    kTwoToneCoefficients,
    kBankA,
    kBankB,
    kScanEdges,
    kVfos,
    kBasicSettings,
    kAlarm,
    kUsedMapA,
    kScanMapA,
    kPriorityMapA,
    kUsedMapB,
    kScanMapB,
    kPriorityMapB,
    kTwoToneSystems,
    kTwoToneContacts,
    kFiveTone,
    kFiveToneContacts,
    kFiveToneFunctions,
    kDtmf,
    kDtmfPttIdCodes,
    kDtmfCodeMemories,
    kVfoMirror,
    kBandMemories,
    kBandSideRecords,
    kCustomData,
    kModelInfo,
    kFrequencyRanges,
};

// Write sends the image from the coefficients up to here (and the top of the image); the bytes
// from here to the custom data are read but never written.
inline constexpr std::uint32_t kWriteEnd = 0xF400;

// The header of a data file: sixteen five-tone standard records from offset 0x100 (the same
// 40-byte layout as the image's current standard block).
inline constexpr ImageRegion kFiveToneStandards = Records("five-tone standards", 0x100, 40, 16);

}  // namespace image_map

// The locations the core touches by name.
inline constexpr std::uint32_t kBankA = image_map::kBankA.base;
inline constexpr std::uint32_t kBankB = image_map::kBankB.base;
inline constexpr std::uint32_t kBasicSettings = image_map::kBasicSettings.base;
// Bits 0-1 of this basic-settings byte are cleared whenever the views are committed.
inline constexpr std::uint32_t kCommitByte = kBasicSettings + 0x25;
inline constexpr std::uint32_t kCustomData = image_map::kCustomData.base;
inline constexpr std::size_t kCustomDataSize = image_map::kCustomData.size;
inline constexpr std::uint32_t kModelInfo = image_map::kModelInfo.base;

}  // namespace vm
