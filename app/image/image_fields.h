// Typed fields of an image record, each described once by its offset (and, for a bit field,
// its byte and bits) and read and written through the same description.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app/image/codecs.h"

namespace vm {

// Bits hi..lo of byte `at` of a record.
struct BitField {
    std::uint32_t at;
    int hi, lo;

    constexpr int Get(const std::uint8_t* record) const { return GetBits(record[at], hi, lo); }
    constexpr void Set(std::uint8_t* record, int v) const { SetBits(record[at], hi, lo, v); }
    constexpr int Max() const { return (1 << (hi - lo + 1)) - 1; }
};

// A whole byte.
struct ByteField {
    std::uint32_t at;

    constexpr std::uint8_t Get(const std::uint8_t* record) const { return record[at]; }
    constexpr void Set(std::uint8_t* record, int v) const {
        record[at] = static_cast<std::uint8_t>(v);
    }
};

// A 16-bit little-endian word (channel numbers, signalling tones in tenths of Hz).
struct WordField {
    std::uint32_t at;

    std::uint16_t Get(const std::uint8_t* record) const { return GetLe16(record + at); }
    void Set(std::uint8_t* record, std::uint16_t v) const { PutLe16(record + at, v); }
};

// A frequency: four packed BCD bytes in 10 Hz units. Absent when its highest byte is 0x00 or
// 0xFF; erased when all four bytes are 0xFF.
struct FrequencyField {
    static constexpr std::uint32_t kWidth = 4;
    std::uint32_t at;

    std::uint32_t Get(const std::uint8_t* record) const { return GetFrequency(record + at); }
    void Set(std::uint8_t* record, std::uint32_t f) const { PutFrequency(record + at, f); }
    bool Absent(const std::uint8_t* record) const {
        const std::uint8_t top = record[at + kWidth - 1];
        return top == 0x00 || top == 0xFF;
    }
    std::optional<std::uint32_t> Stored(const std::uint8_t* record) const {
        if (Absent(record)) return std::nullopt;
        return Get(record);
    }
    bool Erased(const std::uint8_t* record) const { return IsErased(record + at, kWidth); }
    void Erase(std::uint8_t* record) const {
        for (std::uint32_t i = 0; i < kWidth; ++i) record[at + i] = 0xFF;
    }
};

// A CTCSS tone (tenths of Hz) or DCS code (its digits as a number): two packed BCD bytes.
struct BcdField {
    std::uint32_t at;

    int Get(const std::uint8_t* record) const { return GetBcd16(record + at); }
    void Set(std::uint8_t* record, int v) const { PutBcd16(record + at, v); }
};

// ASCII characters padded with 0xFF, ending at the first 0x00 or 0xFF.
struct CharField {
    std::uint32_t at;
    std::uint32_t width;

    std::string Get(const std::uint8_t* record) const { return GetCharField(record + at, width); }
    // The text up to the first byte that is not printable ASCII (0x20-0x7E).
    std::string Printable(const std::uint8_t* record) const {
        std::string s;
        for (std::uint32_t i = 0; i < width && record[at + i] >= 0x20 && record[at + i] <= 0x7E;
             ++i)
            s.push_back(static_cast<char>(record[at + i]));
        return s;
    }
    void Set(std::uint8_t* record, std::string_view text) const {
        PutCharField(record + at, width, text);
    }
};

// A string of digit codes (0-15) ending at the first code of 16 or more; 0xFF fills the rest.
// `to_char` names the digits (HexDigitChar, DtmfDigitChar), `to_code` reads them back.
struct DigitStringField {
    std::uint32_t at;
    std::uint32_t width;

    std::string Get(const std::uint8_t* record, char (*to_char)(int)) const {
        std::string s;
        for (std::uint32_t i = 0; i < width && record[at + i] < 16; ++i)
            s.push_back(to_char(record[at + i]));
        return s;
    }
    // Characters that are not digits are skipped; digits beyond the width are dropped.
    void Set(std::uint8_t* record, std::string_view digits, std::uint8_t (*to_code)(char)) const {
        std::uint32_t n = 0;
        for (char c : digits) {
            const std::uint8_t code = to_code(c);
            if (code < 16 && n < width) record[at + n++] = code;
        }
        for (; n < width; ++n) record[at + n] = 0xFF;
    }
};

}  // namespace vm
