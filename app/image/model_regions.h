// Views of the regions at the top of the image: the custom data, the model information block
// and the frequency range records of the nine bands.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "app/image/image_fields.h"
#include "app/image/image_map.h"
#include "app/image/radio_image.h"

namespace vm {

// Model information (from kBase): identity strings, firmware version and the last program
// date. The factory leaves the block erased.
struct ModelInfoMap {
    using F = SettingField;
    static constexpr std::uint32_t kBase = image_map::kModelInfo.base;
    static constexpr F kSerialNumber = F::Chars("Serial number", 0x00, 8),
                       kModelName = F::Chars("Model name", 0x08, 8),
                       kModelCode = F::Chars("Model code", 0x10, 16),
                       kFirmwareVersion = F::Chars("Firmware Version", 0x20, 8);
    // The editable identity strings: serial number, model name and model code.
    static constexpr std::uint32_t kIdentitySize = 0x20;
    // Last program date: the year as a word of four BCD digits, then month and day as one BCD
    // byte each.
    static constexpr F kYear = F::Word("Year", 0x28, 0x0000, 0x9999),
                       kMonth = F::Byte("Month", 0x2A, 0x01, 0x12),
                       kDay = F::Byte("Day", 0x2B, 0x01, 0x31);
    static constexpr std::array kFields = {kSerialNumber, kModelName, kModelCode, kFirmwareVersion,
                                           kYear,         kMonth,     kDay};
    static constexpr std::uint32_t kProgramDate = kBase + kYear.at;

    static std::uint8_t* Record(RadioImage& image) { return image.data() + kBase; }
    static const std::uint8_t* Record(const RadioImage& image) { return image.data() + kBase; }
};
inline constexpr std::uint32_t kProgramDate = ModelInfoMap::kProgramDate;

// The frequency range record of band n (1..9): Rx lower, Rx upper, Tx lower, Tx upper, each a
// frequency that counts as absent when its highest byte is 0x00 or 0xFF.
class FrequencyRange {
public:
    enum Limit { kRxLower = 0, kRxUpper = 1, kTxLower = 2, kTxUpper = 3 };
    static constexpr int kBandCount = static_cast<int>(image_map::kFrequencyRanges.count);
    static constexpr std::uint32_t Addr(int band) {
        return image_map::kFrequencyRanges.Record(band - 1);
    }
    // The four limits, in Limit's order. Their factory values depend on the band (its fixed
    // limits; none for a band the factory leaves out), so the factory writes them by band.
    static constexpr std::array<SettingField, 4> kFields = {
        SettingField::Frequency("Rx Lower", 0 * FrequencyField::kWidth),
        SettingField::Frequency("Rx Upper", 1 * FrequencyField::kWidth),
        SettingField::Frequency("Tx Lower", 2 * FrequencyField::kWidth),
        SettingField::Frequency("Tx Upper", 3 * FrequencyField::kWidth),
    };
    static constexpr FrequencyField Field(Limit l) {
        return kFields[static_cast<std::size_t>(l)].AsFrequency();
    }

    FrequencyRange(const RadioImage& image, int band) : p_(image.data() + Addr(band)) {}

    // The limit as stored, absent or not.
    std::uint32_t Raw(Limit l) const { return Field(l).Get(p_); }
    std::optional<std::uint32_t> Stored(Limit l) const { return Field(l).Stored(p_); }
    // Absent counts as 0.
    std::uint32_t OrZero(Limit l) const { return Stored(l).value_or(0); }

    static void Set(RadioImage& image, int band, Limit l, std::uint32_t f) {
        Field(l).Set(image.data() + Addr(band), f);
    }

private:
    const std::uint8_t* p_;
};

}  // namespace vm
