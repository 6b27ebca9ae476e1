// Field codecs shared by every editor: packed BCD numbers, tones and codes, digit codecs,
// frequency and tone text, display formats and the option lists (exact-decimal text and the
// input filters come from app/text).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app/image/option_list.h"
#include "app/text/text_format.h"

namespace vm {

// ---------------------------------------------------------------------------------------------
// Number encodings

constexpr std::uint8_t ToBcd(int v) {
    return static_cast<std::uint8_t>((v / 10) * 16 + v % 10);
}
constexpr int FromBcd(std::uint8_t b) {
    return (b >> 4) * 10 + (b & 0x0F);
}

// Frequency: four packed BCD bytes in units of 10 Hz, lowest digit pair first.
void PutFrequency(std::uint8_t* addr, std::uint32_t f);
std::uint32_t GetFrequency(const std::uint8_t* addr);

// Two packed BCD bytes, lowest digit pair first (CTCSS tone in tenths, DCS code digits).
void PutBcd16(std::uint8_t* addr, int v);
int GetBcd16(const std::uint8_t* addr);
// Whether both bytes are packed BCD (every nibble 0-9). Erased memory (FF FF) is not.
bool IsBcd16(const std::uint8_t* addr);

// Unsigned 16-bit little-endian binary (signalling tones in tenths of Hz).
void PutLe16(std::uint8_t* addr, std::uint16_t v);
std::uint16_t GetLe16(const std::uint8_t* addr);

// True when all n bytes at addr are 0xFF (an unprogrammed field).
bool IsErased(const std::uint8_t* addr, std::size_t n);

// Bit field [lo, hi] of a byte.
constexpr int GetBits(std::uint8_t b, int hi, int lo) {
    return (b >> lo) & ((1 << (hi - lo + 1)) - 1);
}
constexpr void SetBits(std::uint8_t& b, int hi, int lo, int v) {
    const int mask = ((1 << (hi - lo + 1)) - 1) << lo;
    b = static_cast<std::uint8_t>((b & ~mask) | ((v << lo) & mask));
}

// Character field: ASCII padded with 0xFF, ending at the first 0x00 or 0xFF.
std::string GetCharField(const std::uint8_t* addr, std::size_t n);
void PutCharField(std::uint8_t* addr, std::size_t n, std::string_view text);

// ---------------------------------------------------------------------------------------------
// Exact decimal text <-> integer units

// Keeps f (10 Hz units) when it lies on the 2.5 kHz or the 6.25 kHz raster; otherwise lowers it
// to a multiple of 6.25 kHz or of 5 kHz, whichever removes the smaller remainder (5 kHz on a
// tie).
void SnapFrequency(std::uint32_t& f);

// A typed frequency in MHz to 10 Hz units (0 when nothing can be read).
std::uint32_t ParseMHz(std::string_view text);
// "%3.5f" of a frequency in 10 Hz units shown in MHz: 14550000 -> "145.50000".
std::string FormatMHz(std::uint32_t f);
// Tenths conversion: "88.5" -> 885 (0 when nothing can be read); 885 -> "88.5".
int TextToTenths(std::string_view text);
std::string TenthsToText(int tenths);

std::string FormatDcs(int code);   // "%03d"
std::string FormatHex(int v);      // "%X"
std::string FormatPercent(int p);  // "%d%%"

// ---------------------------------------------------------------------------------------------
// Normalisers and signalling helpers

std::string NormaliseCtcssText(std::string_view text);
std::string NormaliseDcsText(std::string_view text);
int ClampToneFrequency(int tenths);

std::uint8_t HexDigitValue(char c);   // 0..15, 255 when not a hex digit
char HexDigitChar(int v);             // '0'..'F', 0 for 16 or more
std::uint8_t DtmfDigitValue(char c);  // '*' 14, '#' 15, hex digits, else 255
char DtmfDigitChar(int v);            // 14 '*', 15 '#', 0 for 16 or more

std::int32_t DecoderCoefficient(int tenths);
// The coefficient as the radio stores it: a 16-bit two's-complement word, held within that
// range (a tone of 0, an unused digit, gives 32767 rather than wrapping to -32768).
std::uint16_t DecoderCoefficientWord(int tenths);

// ---------------------------------------------------------------------------------------------
// Display formats and input filters

int StepFromText(std::string_view text);      // 0 if absent
std::string_view StepText(int pos);           // "12.5" outside the list
int SqlModeFromText(std::string_view text);   // 0 if absent
std::string_view SqlModeText(int pos);        // "Carrier" outside the list
int BandNameFromText(std::string_view text);  // -1 if absent
std::string_view BandNameText(int pos);       // only "150M" (4) and "450M" (7)

// ---------------------------------------------------------------------------------------------
// Bounded edits and spin steps: the value a control settles on and the text it shows.

struct EditResult {
    int value;
    std::string text;
};

// Leaving an integer edit: empty -> default; rounded down to a multiple of step; outside
// [min, max] -> default; shown "%d", or off_text for 0 when one is given.
EditResult BoundedIntEdit(std::string_view text, int min, int max, int step, int def,
                          std::string_view off_text = {});
// Leaving a tenths edit: read as tenths, [min, max] else default, shown "%.1f".
EditResult BoundedTenthsEdit(std::string_view text, int min, int max, int def);

// An up/down button beside such an edit. step is signed (positive counts up).
EditResult SpinStep(int current, int step, int min, int max, std::string_view off_text = {});
EditResult SpinStepTenths(int current, int step, int min, int max);

// ---------------------------------------------------------------------------------------------
// Fixed defaults

inline constexpr int kDefaultCtcssTenths = 1000;            // 100.0 Hz
inline constexpr int kDefaultDcsCode = 23;                  // 023
inline constexpr std::uint32_t kDefaultOffset = 60000;      // 600 kHz
inline constexpr std::uint32_t kDefaultOffsetUhf = 760000;  // 7.6 MHz ("450M", "850M")

}  // namespace vm
