// Numbers as text, exactly, and the characters an edit accepts: what the headless widgets and
// the field codecs share. No image, no toolkit.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vm {

// Parses a decimal number ("145.0125", "88.5", "-3") scaled by 10^fraction_digits, exactly:
// digits beyond the unit are truncated. Leading blanks are skipped and parsing stops at the
// first character that does not belong to the number. Returns nullopt when no digit is read.
std::optional<std::int64_t> ParseScaled(std::string_view text, int fraction_digits);

// Prints value / 10^fraction_digits with exactly fraction_digits decimals ("%.Nf").
std::string FormatScaled(std::int64_t value, int fraction_digits);

std::string FormatInt(long long v);  // "%d"

// Input filters: the characters an edit accepts.
inline constexpr std::string_view g_FreqInputFilter = "0123456789.\b";
inline constexpr std::string_view g_DecimalInputFilter = "0123456789.\b";
inline constexpr std::string_view g_DigitInputFilter = "0123456789\b";
inline constexpr std::string_view g_DtmfInputFilter = "0123456789ABCD*#\b";
inline constexpr std::string_view g_HexInputFilter = "0123456789ABCDEF\b";
inline constexpr std::string_view g_ToneInputFilter = "dniDNI0123456789.\b";
inline constexpr std::string_view g_SymbolInputFilter = " +-*/#\b";

// True when a typed character passes a filter (backspace is in every filter).
bool FilterAccepts(std::string_view filter, char c);

}  // namespace vm
