#include "app/image/codecs.h"

#include <algorithm>

#include <cctype>
#include <cmath>
#include <cstdlib>

namespace vm {

void PutFrequency(std::uint8_t* addr, std::uint32_t f) {
    for (int i = 0; i < 4; ++i) {
        addr[i] = ToBcd(static_cast<int>(f % 100));
        f /= 100;
    }
}

std::uint32_t GetFrequency(const std::uint8_t* addr) {
    std::uint32_t f = 0;
    for (int i = 3; i >= 0; --i) f = f * 100 + static_cast<std::uint32_t>(FromBcd(addr[i]));
    return f;
}

void PutBcd16(std::uint8_t* addr, int v) {
    addr[0] = ToBcd(v % 100);
    addr[1] = ToBcd((v / 100) % 100);
}

int GetBcd16(const std::uint8_t* addr) {
    return FromBcd(addr[1]) * 100 + FromBcd(addr[0]);
}

bool IsBcd16(const std::uint8_t* addr) {
    auto digits = [](std::uint8_t b) { return (b >> 4) <= 9 && (b & 0x0F) <= 9; };
    return digits(addr[0]) && digits(addr[1]);
}

void PutLe16(std::uint8_t* addr, std::uint16_t v) {
    addr[0] = static_cast<std::uint8_t>(v & 0xFF);
    addr[1] = static_cast<std::uint8_t>(v >> 8);
}

std::uint16_t GetLe16(const std::uint8_t* addr) {
    return static_cast<std::uint16_t>(addr[0] | (addr[1] << 8));
}

bool IsErased(const std::uint8_t* addr, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (addr[i] != 0xFF) return false;
    return true;
}

std::string GetCharField(const std::uint8_t* addr, std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n && addr[i] != 0x00 && addr[i] != 0xFF; ++i)
        s.push_back(static_cast<char>(addr[i]));
    return s;
}

void PutCharField(std::uint8_t* addr, std::size_t n, std::string_view text) {
    for (std::size_t i = 0; i < n; ++i)
        addr[i] = i < text.size() ? static_cast<std::uint8_t>(text[i]) : 0xFF;
}

// ---------------------------------------------------------------------------------------------

void SnapFrequency(std::uint32_t& f) {
    if (f % 250 == 0 || f % 625 == 0) return;
    const std::uint32_t r625 = f % 625;
    const std::uint32_t r500 = f % 500;
    f -= r625 < r500 ? r625 : r500;
}

std::uint32_t ParseMHz(std::string_view text) {
    const auto v = ParseScaled(text, 5);
    if (!v || *v < 0 || *v > 0xFFFFFFFFLL) return 0;
    return static_cast<std::uint32_t>(*v);
}

std::string FormatMHz(std::uint32_t f) {
    return FormatScaled(f, 5);
}

int TextToTenths(std::string_view text) {
    const auto v = ParseScaled(text, 1);
    if (!v || *v > 0x7FFFFFFF || *v < -0x7FFFFFFF) return 0;
    return static_cast<int>(*v);
}

std::string TenthsToText(int tenths) {
    return FormatScaled(tenths, 1);
}

std::string FormatDcs(int code) {
    std::string s = std::to_string(code);
    if (code >= 0 && s.size() < 3) s.insert(0, 3 - s.size(), '0');
    return s;
}

std::string FormatHex(int v) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    if (v == 0) return "0";
    std::string s;
    auto u = static_cast<unsigned>(v);
    while (u) {
        s.insert(s.begin(), kDigits[u & 0xF]);
        u >>= 4;
    }
    return s;
}

std::string FormatPercent(int p) {
    return std::to_string(p) + "%";
}

// ---------------------------------------------------------------------------------------------

static std::string Upper(std::string_view text) {
    std::string s(text);
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string NormaliseCtcssText(std::string_view text) {
    if (text.empty()) return "100.0";
    const int tenths = TextToTenths(Upper(text));
    if (tenths >= 600 && tenths <= 2600) return TenthsToText(tenths);
    return "100.0";
}

// Whether a decimal integer can be read from the text: blanks, an optional sign, then a digit
// (".5" holds no integer).
static bool StartsWithInteger(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    return i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]));
}

std::string NormaliseDcsText(std::string_view text) {
    if (text.empty()) return "023";
    const std::string upper = Upper(text);
    if (!StartsWithInteger(upper)) return "023";
    const auto v = ParseScaled(upper, 0);
    if (v && *v >= 0 && *v <= 777) return FormatDcs(static_cast<int>(*v));
    return "023";
}

int ClampToneFrequency(int tenths) {
    if (tenths == 0) return 0;
    if (tenths < 2880) return 2880;
    if (tenths > 31160) return 31160;
    return tenths;
}

std::uint8_t HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<std::uint8_t>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return static_cast<std::uint8_t>(c - 'a' + 10);
    return 255;
}

char HexDigitChar(int v) {
    return v >= 0 && v < 16 ? "0123456789ABCDEF"[v] : '\0';
}

std::uint8_t DtmfDigitValue(char c) {
    if (c == '*') return 14;
    if (c == '#') return 15;
    return HexDigitValue(c);
}

char DtmfDigitChar(int v) {
    if (v == 14) return '*';
    if (v == 15) return '#';
    return HexDigitChar(v);
}

std::int32_t DecoderCoefficient(int tenths) {
    const double c = 16384.0 * 2.0 * std::cos(6.2831852 * tenths / 80000.0);
    // Nearest integer: floor, not truncation, so that tones above 2000 Hz (negative values)
    // round the same way as the others.
    return static_cast<std::int32_t>(std::floor(c + 0.5));
}

std::uint16_t DecoderCoefficientWord(int tenths) {
    const std::int32_t c =
        std::clamp(DecoderCoefficient(tenths), std::int32_t{-32768}, std::int32_t{32767});
    return static_cast<std::uint16_t>(static_cast<std::int16_t>(c));
}

// ---------------------------------------------------------------------------------------------

int IndexOf(const std::string_view* list, std::size_t n, std::string_view text, bool ignore_case) {
    for (std::size_t i = 0; i < n; ++i) {
        const std::string_view e = list[i];
        if (e.size() != text.size()) continue;
        bool same = true;
        for (std::size_t k = 0; k < e.size() && same; ++k) {
            same = ignore_case ? std::toupper(static_cast<unsigned char>(e[k])) ==
                                     std::toupper(static_cast<unsigned char>(text[k]))
                               : e[k] == text[k];
        }
        if (same) return static_cast<int>(i);
    }
    return -1;
}

int StepFromText(std::string_view text) {
    const int i = IndexOf(g_StepList, text, true);
    return i < 0 ? 0 : i;
}

std::string_view StepText(int pos) {
    const auto s = EntryOf(g_StepList, pos);
    return s.empty() ? std::string_view("12.5") : s;
}

int SqlModeFromText(std::string_view text) {
    const int i = IndexOf(g_SqlModeList, text, true);
    return i < 0 ? 0 : i;
}

std::string_view SqlModeText(int pos) {
    const auto s = EntryOf(g_SqlModeList, pos);
    return s.empty() ? g_SqlModeList[0] : s;
}

int BandNameFromText(std::string_view text) {
    return IndexOf(g_BandNameList, text, false);
}

std::string_view BandNameText(int pos) {
    return pos == 4 || pos == 7 ? g_BandNameList[static_cast<std::size_t>(pos)]
                                : std::string_view{};
}

// ---------------------------------------------------------------------------------------------

static EditResult Shown(int value, std::string_view off_text) {
    if (value == 0 && !off_text.empty()) return {value, std::string(off_text)};
    return {value, FormatInt(value)};
}

EditResult BoundedIntEdit(std::string_view text, int min, int max, int step, int def,
                          std::string_view off_text) {
    if (text.empty()) return Shown(def, off_text);
    const auto parsed = ParseScaled(text, 0);
    std::int64_t v = parsed.value_or(0);
    if (step > 1) v -= ((v % step) + step) % step;  // down to a multiple of step
    if (v < min || v > max) v = def;
    return Shown(static_cast<int>(v), off_text);
}

EditResult BoundedTenthsEdit(std::string_view text, int min, int max, int def) {
    int v = text.empty() ? def : TextToTenths(text);
    if (v < min || v > max) v = def;
    return {v, TenthsToText(v)};
}

static int Stepped(int current, int step, int min, int max) {
    long long v = static_cast<long long>(current) + step;
    const int mag = step < 0 ? -step : step;
    if (mag > 1 && v % mag != 0) {
        if (step > 0) {
            v -= ((v % mag) + mag) % mag;  // down to a multiple
        } else {
            if (v < 0) v = 0;
            v += (mag - v % mag) % mag;  // up to the next multiple
        }
    }
    if (v < min || v > max) v = step > 0 ? min : max;
    return static_cast<int>(v);
}

EditResult SpinStep(int current, int step, int min, int max, std::string_view off_text) {
    const int v = Stepped(current, step, min, max);
    if (v == min && !off_text.empty()) return {v, std::string(off_text)};
    return {v, FormatInt(v)};
}

EditResult SpinStepTenths(int current, int step, int min, int max) {
    const int v = Stepped(current, step, min, max);
    return {v, TenthsToText(v)};
}

}  // namespace vm
