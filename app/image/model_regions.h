// Views of the regions at the top of the image: the custom data, the model information block
// and the frequency range records of the nine bands.
#pragma once

#include <cstdint>
#include <optional>

#include "app/image/image_fields.h"
#include "app/image/image_map.h"
#include "app/image/radio_image.h"

namespace vm {

// Model information: identity strings, firmware version and the last program date.
struct ModelInfoMap {
    static constexpr std::uint32_t kBase = image_map::kModelInfo.base;
    // Text fields as (image address, width).
    static constexpr CharField kSerialNumber{kBase + 0x00, 8}, kModelName{kBase + 0x08, 8},
        kModelCode{kBase + 0x10, 16}, kFirmwareVersion{kBase + 0x20, 8};
    // The editable identity strings: serial number, model name and model code.
    static constexpr std::uint32_t kIdentitySize = 0x20;
    // Last program date: the year as a u16 of four BCD digits, then month and day as one BCD
    // byte each.
    static constexpr std::uint32_t kProgramDate = kBase + 0x28;
    static constexpr WordField kYear{kProgramDate};
    static constexpr ByteField kMonth{kProgramDate + 2}, kDay{kProgramDate + 3};
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
    static constexpr FrequencyField Field(Limit l) {
        return {static_cast<std::uint32_t>(l) * FrequencyField::kWidth};
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
