#include "app/text/text_format.h"

#include <cctype>

namespace vm {

std::optional<std::int64_t> ParseScaled(std::string_view text, int fraction_digits) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    constexpr std::int64_t kLimit = 100'000'000'000'000LL;  // keeps far from overflow
    std::int64_t v = 0;
    bool any = false;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        any = true;
        if (v < kLimit) v = v * 10 + (text[i] - '0');
    }
    int taken = 0;
    if (i < text.size() && text[i] == '.') {
        ++i;
        for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
            any = true;
            if (taken < fraction_digits) {
                if (v < kLimit) v = v * 10 + (text[i] - '0');
                ++taken;
            }
        }
    }
    if (!any) return std::nullopt;
    for (; taken < fraction_digits; ++taken)
        if (v < kLimit) v *= 10;
    return negative ? -v : v;
}

std::string FormatScaled(std::int64_t value, int fraction_digits) {
    std::int64_t scale = 1;
    for (int i = 0; i < fraction_digits; ++i) scale *= 10;
    const bool negative = value < 0;
    const std::uint64_t mag =
        negative ? static_cast<std::uint64_t>(-(value + 1)) + 1 : static_cast<std::uint64_t>(value);
    std::string s = negative ? "-" : "";
    s += std::to_string(mag / static_cast<std::uint64_t>(scale));
    if (fraction_digits > 0) {
        std::string frac = std::to_string(mag % static_cast<std::uint64_t>(scale));
        s += '.';
        s.append(static_cast<std::size_t>(fraction_digits) - frac.size(), '0');
        s += frac;
    }
    return s;
}

std::string FormatInt(long long v) {
    return std::to_string(v);
}

bool FilterAccepts(std::string_view filter, char c) {
    return c == '\b' || (c != '\0' && filter.find(c) != std::string_view::npos);
}

}  // namespace vm
