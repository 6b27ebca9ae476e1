// Typed fields of an image record, each described once by its offset (and, for a bit field,
// its byte and bits) and read and written through the same description.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
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
    // Whether all eight nibbles are digits 0-9: only then does the value read back as stored.
    bool Digits(const std::uint8_t* record) const {
        return IsBcd16(record + at) && IsBcd16(record + at + 2);
    }
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

// What a settings field holds.
enum class FieldKind { Bits, Byte, Word, Chars, Digits, Frequency };

// One field of a settings record, described once: its offset in the record, what it holds,
// the values it may hold and the value the factory gives it (none: the factory leaves its
// bytes erased). Bits, Byte and Word fields hold a number in [min, max] (a list field holds
// its entry's position); Chars and Digits fields hold `width` bytes of text or digit codes; a
// Frequency field holds four BCD bytes.
struct SettingField {
    std::string_view name;
    FieldKind kind;
    std::uint32_t at;
    std::uint32_t width = 1;  // bytes
    int hi = 7, lo = 0;       // Bits
    int min = 0, max = 0;
    std::optional<int> factory;

    static constexpr SettingField Bits(std::string_view name, std::uint32_t at, int hi, int lo,
                                       int max, std::optional<int> factory = {}) {
        return {name, FieldKind::Bits, at, 1, hi, lo, 0, max, factory};
    }
    static constexpr SettingField Byte(std::string_view name, std::uint32_t at, int min, int max,
                                       std::optional<int> factory = {}) {
        return {name, FieldKind::Byte, at, 1, 7, 0, min, max, factory};
    }
    static constexpr SettingField Word(std::string_view name, std::uint32_t at, int min, int max,
                                       std::optional<int> factory = {}) {
        return {name, FieldKind::Word, at, 2, 7, 0, min, max, factory};
    }
    static constexpr SettingField Chars(std::string_view name, std::uint32_t at,
                                        std::uint32_t width) {
        return {name, FieldKind::Chars, at, width, 7, 0, 0, 0, {}};
    }
    static constexpr SettingField Digits(std::string_view name, std::uint32_t at,
                                         std::uint32_t width) {
        return {name, FieldKind::Digits, at, width, 7, 0, 0, 0, {}};
    }
    static constexpr SettingField Frequency(std::string_view name, std::uint32_t at) {
        return {name, FieldKind::Frequency, at, FrequencyField::kWidth, 7, 0, 0, 0, {}};
    }

    // The number a Bits, Byte or Word field holds, and writing one (a Bits field keeps the
    // other bits of its byte).
    int Get(const std::uint8_t* record) const {
        switch (kind) {
            case FieldKind::Bits:
                return GetBits(record[at], hi, lo);
            case FieldKind::Word:
                return GetLe16(record + at);
            default:
                return record[at];
        }
    }
    void Set(std::uint8_t* record, int v) const {
        switch (kind) {
            case FieldKind::Bits:
                SetBits(record[at], hi, lo, v);
                break;
            case FieldKind::Word:
                PutLe16(record + at, static_cast<std::uint16_t>(v));
                break;
            default:
                record[at] = static_cast<std::uint8_t>(v);
        }
    }
    constexpr bool InRange(int v) const { return v >= min && v <= max; }
    // The bits of byte `at + i` (i < width) the field occupies.
    constexpr std::uint8_t Mask() const {
        return kind == FieldKind::Bits ? static_cast<std::uint8_t>(((1 << (hi - lo + 1)) - 1) << lo)
                                       : std::uint8_t{0xFF};
    }
    constexpr BitField AsBits() const { return {at, hi, lo}; }
    constexpr CharField AsChars() const { return {at, width}; }
    constexpr DigitStringField AsDigits() const { return {at, width}; }
    constexpr FrequencyField AsFrequency() const { return {at}; }
};

// Writes the factory value of every field of a record that has one. The bytes that hold bit
// fields start from 0, so the bits no field names are 0 too.
void WriteFactoryValues(std::uint8_t* record, std::span<const SettingField> fields);

}  // namespace vm
